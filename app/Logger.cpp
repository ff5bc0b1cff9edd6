#include "app/Logger.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Appends text to buf at pos without passing size; returns the new position.
size_t Put(char* buf, size_t size, size_t pos, std::string_view text) noexcept {
    for (char c : text) {
        if (pos + 1 >= size)
            break;
        buf[pos++] = c;
    }
    return pos;
}

size_t PutNumber(char* buf, size_t size, size_t pos, long long value, int width, char fill) noexcept {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative)
        digits[n++] = '-';
    for (int i = n; i < width; ++i)
        pos = Put(buf, size, pos, std::string_view(&fill, 1));
    while (n > 0) {
        char c = digits[--n];
        pos = Put(buf, size, pos, std::string_view(&c, 1));
    }
    return pos;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian), without any
// library call, so that the crash path may use it.
void CivilFromDays(long long z, int& y, unsigned& m, unsigned& d) noexcept {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long yy = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yy + (m <= 2 ? 1 : 0));
}

} // namespace

CLogger& CLogger::Instance() noexcept {
    static CLogger logger;
    return logger;
}

CLogger::~CLogger() {
    Close();
}

bool CLogger::Open(const std::string& path, bool truncate) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    Close();
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = ::open(path.c_str(), flags, 0600);
    mFd.store(fd);
    return fd >= 0;
}

void CLogger::Close() noexcept {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    int fd = mFd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

size_t CLogger::FormatHeader(char* buf, size_t size, long long epochSeconds, long threadId,
                             std::string_view function, int line, int level) noexcept {
    long long days = epochSeconds / 86400;
    long long secs = epochSeconds % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    int year;
    unsigned month, day;
    CivilFromDays(days, year, month, day);
    size_t pos = 0;
    pos = PutNumber(buf, size, pos, ((year % 100) + 100) % 100, 2, '0');
    pos = PutNumber(buf, size, pos, month, 2, '0');
    pos = PutNumber(buf, size, pos, day, 2, '0');
    pos = Put(buf, size, pos, " ");
    pos = PutNumber(buf, size, pos, secs / 3600, 2, '0');
    pos = Put(buf, size, pos, ":");
    pos = PutNumber(buf, size, pos, (secs / 60) % 60, 2, '0');
    pos = Put(buf, size, pos, ":");
    pos = PutNumber(buf, size, pos, secs % 60, 2, '0');
    pos = Put(buf, size, pos, " - ");
    pos = PutNumber(buf, size, pos, threadId, 4, ' ');
    pos = Put(buf, size, pos, " - ");
    pos = Put(buf, size, pos, function);
    pos = Put(buf, size, pos, "(");
    pos = PutNumber(buf, size, pos, line, 0, ' ');
    pos = Put(buf, size, pos, ") - L");
    pos = PutNumber(buf, size, pos, level, 0, ' ');
    pos = Put(buf, size, pos, "\n  ");
    if (size > 0)
        buf[pos] = '\0';
    return pos;
}

void CLogger::Log(int level, std::string_view function, int line, std::string_view message) noexcept {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    if (!Enabled(level))
        return;
    char header[512];
    size_t n = FormatHeader(header, sizeof header, static_cast<long long>(::time(nullptr)),
                            LogDetail::ThreadId(), function, line, level);
    try {
        std::string record;
        record.reserve(n + message.size() + 1);
        record.append(header, n).append(message).push_back('\n');
        WriteAll(record.data(), record.size());
    } catch (...) {
        // Out of memory while building the record: the record is lost, the
        // caller is not told.
    }
}

void CLogger::LogFromSignal(int level, const char* function, int line, const char* message) noexcept {
    if (!Enabled(level))
        return;
    // Room for a message that names a path of PATH_MAX bytes.
    char record[8192];
    // Asked afresh: the crashing thread's own record must be right.
    size_t n = FormatHeader(record, sizeof record, static_cast<long long>(::time(nullptr)),
                            static_cast<long>(::syscall(SYS_gettid)), function, line, level);
    n = Put(record, sizeof record, n, message);
    n = Put(record, sizeof record, n, "\n");
    WriteAll(record, n);
}

void CLogger::WriteAll(const char* data, size_t size) noexcept {
    int fd = mFd.load();
    if (fd < 0)
        return;
    while (size > 0) {
        ssize_t w = ::write(fd, data, size);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // The file cannot be written: from now on records are skipped.
            if (mFd.compare_exchange_strong(fd, -1))
                ::close(fd);
            return;
        }
        data += w;
        size -= static_cast<size_t>(w);
    }
}

namespace LogDetail {

std::string QualifiedName(std::string_view pretty) {
    std::string_view s = pretty;
    // Template functions: "void Foo<T>::Bar() [with T = int]".
    if (size_t with = s.find(" [with "); with != std::string_view::npos)
        s = s.substr(0, with);
    // A lambda is named after the function that holds it.
    if (size_t lambda = s.find("::<lambda"); lambda != std::string_view::npos)
        s = s.substr(0, lambda);
    // Cut the parameter list: the last ')' and its matching '('.
    size_t close = s.rfind(')');
    if (close != std::string_view::npos) {
        int depth = 0;
        for (size_t i = close + 1; i-- > 0;) {
            if (s[i] == ')')
                ++depth;
            else if (s[i] == '(' && --depth == 0) {
                s = s.substr(0, i);
                break;
            }
        }
    }
    // Drop the return type: the name starts after the last blank outside
    // template brackets.
    int angle = 0;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<')
            ++angle;
        else if (s[i] == '>')
            --angle;
        else if (s[i] == ' ' && angle == 0)
            start = i + 1;
    }
    return std::string(s.substr(start));
}

namespace {

// The kernel's id of the calling thread, asked for once per thread. A child
// made by fork() starts with a new id, so its copy of the forking thread's
// value is dropped there.
thread_local long tlThreadId = 0;

void ForgetThreadId() noexcept {
    tlThreadId = 0;
}

[[maybe_unused]] const int gForgetInChild = ::pthread_atfork(nullptr, nullptr, ForgetThreadId);

} // namespace

long ThreadId() noexcept {
    if (tlThreadId == 0)
        tlThreadId = static_cast<long>(::syscall(SYS_gettid));
    return tlThreadId;
}

} // namespace LogDetail
