#pragma once

#include "settings/RegistryValue.h"
#include "settings/SqliteStatement.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

/// The SQLite file behind the settings store: a tree of keys under one root
/// per account, each key holding typed values. Names compare without regard
/// to ASCII case and keep the spelling they were created with.
///
/// One connection, opened once per process and shared by every key (see
/// CRegistryUtils), guarded by its own lock; the tables are made when the
/// connection opens, and statements are prepared once and reused. Every
/// operation is atomic: reads run in read transactions and never take the
/// store's write lock, so they go on while another process writes and work
/// on a store that may only be read; a write takes the write lock up front,
/// and another process holding it is waited for (up to 5 s) instead of
/// failing. Used through CRegistryUtils.
class CRegistryDatabase {
public:
    /// A failure of the store, with an errno-like number (ENOENT for a
    /// missing key or value) and a text saying what went wrong.
    class CStoreError : public std::runtime_error {
    public:
        CStoreError(int code, const std::string& detail) : std::runtime_error(detail), mCode(code) {}
        int Code() const noexcept { return mCode; }

    private:
        int mCode;
    };

    /// Key sizes as the key-information query reports them.
    struct CCounts {
        std::uint32_t subKeys = 0;
        std::uint32_t maxSubKeyLen = 0;
        std::uint32_t values = 0;
        std::uint32_t maxValueNameLen = 0;
        /// Bytes of the longest data: a text with its terminating NUL, or 4.
        std::uint32_t maxValueLen = 0;
    };

    static constexpr std::int64_t kRootId = 0;

    /// Opens the file, creating it (mode 0600) and its folder (0700) if
    /// missing. A file this process may only read is opened for reading.
    explicit CRegistryDatabase(const std::string& path);
    ~CRegistryDatabase();
    CRegistryDatabase(const CRegistryDatabase&) = delete;
    CRegistryDatabase& operator=(const CRegistryDatabase&) = delete;

    const std::string& Path() const noexcept { return mPath; }

    /// Whether this connection still serves the file at Path(): opened by
    /// this process (a connection never crosses a fork), and the file there
    /// is the one it opened (not removed or replaced since).
    bool IsCurrent() const noexcept;
    bool OpenedByThisProcess() const noexcept;

    /// Closes the connection; returns 0 or an errno-like number.
    int Close() noexcept;

    /// The id of the key at the segments below parent; missing keys are
    /// created when create is set, else ENOENT.
    std::int64_t OpenKey(std::int64_t parent, const std::vector<std::string>& segments, bool create);
    CCounts QueryInfo(std::int64_t key);
    void SetValue(std::int64_t key, const CRegistryValue& value);
    /// The value, or nothing when the key has no value of that name.
    std::optional<CRegistryValue> GetValue(std::int64_t key, const std::string& name);
    /// The value; when missing, the given default is stored and returned.
    CRegistryValue GetOrCreate(std::int64_t key, const CRegistryValue& fallback);
    /// Subkey names in a stable order (case-blind by name).
    std::vector<std::string> ListSubkeys(std::int64_t key);
    std::vector<CRegistryValue> ListValues(std::int64_t key);
    void DeleteValue(std::int64_t key, const std::string& name);
    /// Deletes the key at the segments below parent with all its subkeys.
    void DeleteKey(std::int64_t parent, const std::vector<std::string>& segments);

private:
    class CTransaction;
    class CStatementUse;

    [[noreturn]] void Fail(int rc, const char* what) const;
    /// The prepared statement of sql (a literal), prepared on first use.
    CSqliteStatement& Statement(const char* sql);
    /// Runs a statement that returns no rows.
    void Run(const char* sql);
    /// Switches a new store to write-ahead logging. SQLite answers "busy" at
    /// once, without waiting, while another process is switching it too.
    void UseWriteAheadLog();
    void CreateTables();
    void CheckKey(std::int64_t key);
    std::optional<std::int64_t> FindChild(std::int64_t parent, const std::string& name);
    /// The key at the segments, or nothing at the first one missing.
    std::optional<std::int64_t> FindPath(std::int64_t parent, const std::vector<std::string>& segments);
    std::optional<CRegistryValue> FindValue(std::int64_t key, const std::string& name);
    void StoreValue(std::int64_t key, const CRegistryValue& value);

    std::string mPath;
    sqlite3* mDb = nullptr;
    pid_t mOpenedBy = 0;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    std::unordered_map<const char*, std::unique_ptr<CSqliteStatement>> mStatements;
    std::mutex mMutex;
};
