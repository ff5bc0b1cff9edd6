#pragma once

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

/// The one process-wide log. Each record names its thread and the function
/// that wrote it, and reaches the file with a single write, so the file is
/// complete up to the last record even if the process dies.
///
/// Record layout:
///   "%y%m%d %H:%M:%S - " thread(width 4) " - " Class::Method "(" line ") - L" level
///   "\n  " message "\n"
class CLogger {
public:
    /// The global accessor.
    static CLogger& Instance() noexcept;

    CLogger() = default;
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    /// Opens the file for writing, appending unless truncate is set, creating
    /// it if absent. A failure leaves the log in its error state: every later
    /// record is skipped silently.
    bool Open(const std::string& path, bool truncate);
    void Close() noexcept;

    void SetLevel(int level) noexcept { mLevel.store(level); }
    int GetLevel() const noexcept { return mLevel.load(); }

    /// Whether a record of this level would be written right now.
    bool Enabled(int level) const noexcept { return level <= mLevel.load() && mFd.load() >= 0; }

    /// Writes one record if the level allows. Takes the lock.
    void Log(int level, std::string_view function, int line, std::string_view message) noexcept;

    /// Writes one record without taking the lock and without allocating, for
    /// the crash handler: a crash while another thread holds the lock must not
    /// hang. Line 0 is written as it is.
    void LogFromSignal(int level, const char* function, int line, const char* message) noexcept;

    /// The lock around each record. Recursive: building a message may log.
    std::recursive_mutex& Mutex() noexcept { return mMutex; }

    /// Builds the header of a record ("... - L3\n  ") into buf; returns its
    /// length. Safe in a signal handler.
    static size_t FormatHeader(char* buf, size_t size, long long epochSeconds, long threadId,
                               std::string_view function, int line, int level) noexcept;

private:
    void WriteAll(const char* data, size_t size) noexcept;

    std::recursive_mutex mMutex;
    std::atomic<int> mFd{-1};
    std::atomic<int> mLevel{0};
};

namespace LogDetail {
/// "void CFoo::Bar(int) const" -> "CFoo::Bar"; lambdas name their enclosing
/// function.
std::string QualifiedName(std::string_view prettyFunction);
/// The kernel thread id, asked of the kernel once per thread.
long ThreadId() noexcept;
} // namespace LogDetail

/// Logs one record: VBX_LOG(3, "Listener bound to port " << port << "\n");
/// The message is built with the log's lock held, only when it is written.
#define VBX_LOG(level, message)                                                                              \
    do {                                                                                                     \
        ::CLogger& vbxLogger_ = ::CLogger::Instance();                                                       \
        if (vbxLogger_.Enabled(level)) {                                                                     \
            static const std::string vbxFunction_ = ::LogDetail::QualifiedName(__PRETTY_FUNCTION__);         \
            std::lock_guard<std::recursive_mutex> vbxGuard_(vbxLogger_.Mutex());                             \
            std::ostringstream vbxMessage_;                                                                  \
            vbxMessage_ << message;                                                                          \
            vbxLogger_.Log(level, vbxFunction_, __LINE__, vbxMessage_.str());                                \
        }                                                                                                    \
    } while (0)

/// The entry trace: a level-4 record whose message is just a line break.
#define VBX_TRACE() VBX_LOG(4, "\n")
