#pragma once

#include "settings/RegistryValue.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <vector>

/// The SQLite file behind the settings store: a tree of keys under one root
/// per account, each key holding typed values. Names compare without regard
/// to ASCII case and keep the spelling they were created with. Every
/// operation is one transaction; another process holding the file is waited
/// for (up to 5 s) instead of failing. Used through CRegistryUtils.
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

    /// Opens the file, creating it (mode 0600) and its folder if missing.
    explicit CRegistryDatabase(const std::string& path);
    ~CRegistryDatabase();
    CRegistryDatabase(const CRegistryDatabase&) = delete;
    CRegistryDatabase& operator=(const CRegistryDatabase&) = delete;

    const std::string& Path() const noexcept { return mPath; }

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

    [[noreturn]] void Fail(int rc, const char* what) const;
    void Exec(const char* sql);
    void CheckKey(std::int64_t key);
    std::optional<std::int64_t> FindChild(std::int64_t parent, const std::string& name);
    std::optional<CRegistryValue> FindValue(std::int64_t key, const std::string& name);
    void StoreValue(std::int64_t key, const CRegistryValue& value);

    std::string mPath;
    sqlite3* mDb = nullptr;
    std::mutex mMutex;
};
