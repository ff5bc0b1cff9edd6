#pragma once

#include "settings/RegistryKey.h"
#include "settings/RegistryValue.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

/// The settings store's operations: keys are backslash-separated paths below
/// the current account's root ("Software\\Fenwave\\Users\\alice"), held in
/// $XDG_CONFIG_HOME/Fenwave/registry.db (default ~/.config), resolved each
/// time a key is opened from the root. Every failure is thrown as
/// CRegistryException; reads of numbers and booleans, and of strings when
/// asked to, store their default when the value is missing.
class CRegistryUtils {
public:
    /// The one failure of the store: a readable message and its error number
    /// (2 for a missing key or value, errno-like numbers otherwise; 0 for
    /// failures that are not the system's).
    class CRegistryException : public std::runtime_error {
    public:
        explicit CRegistryException(const std::string& message, int code = 0)
            : std::runtime_error(message), mCode(code) {}
        int Code() const noexcept { return mCode; }

    private:
        int mCode;
    };

    /// The result of a key-information query.
    struct CKeyInfo {
        std::string key;
        std::uint32_t numSubKeys = 0;
        std::uint32_t maxSubKeyLen = 0;
        std::uint32_t numValues = 0;
        std::uint32_t maxValueNameLen = 0;
        std::uint32_t maxValueLen = 0;
    };

    CRegistryUtils() = delete;

    /// Where the store lives for the current environment.
    static std::string StorePath();

    /// Opens (or, with create, creates) a key below the account's root, or
    /// below parent. Failure: "Could not retrieve registry key [path]. System error: N".
    static CRegistryKey OpenKey(const std::string& path, bool create);
    static CRegistryKey OpenKey(const CRegistryKey& parent, const std::string& path, bool create);
    /// Failure: "Could not close registry key. System error: N".
    static void CloseKey(CRegistryKey& key);

    /// Failure: "Could not query registry key for info. System error: N". The
    /// record is returned and also kept as the last one (LastKeyInfo).
    static CKeyInfo QueryInfoKey(const CRegistryKey& key);
    static CKeyInfo LastKeyInfo();
    static std::uint32_t GetNumSubkeys(const CRegistryKey& key);
    static std::uint32_t GetLongestSubkey(const CRegistryKey& key);
    static std::uint32_t GetLongestDataLength(const CRegistryKey& key);

    /// Failure: "Could not write registry value [name]. System error: N".
    static void WriteString(const CRegistryKey& key, const std::string& name, const std::string& text);
    static void WriteBool(const CRegistryKey& key, const std::string& name, bool flag);
    static void WriteNumber(const CRegistryKey& key, const std::string& name, std::uint32_t value);

    /// A string value. Missing with writeDefault: the default is stored and
    /// returned. Any other failure (a missing value without writeDefault, a
    /// number under that name): "Could not read registry value [name]. System error: N".
    static std::string ReadString(const CRegistryKey& key, const std::string& name, bool writeDefault = false,
                                  const std::string& fallback = std::string());
    /// Numbers and booleans always store their default when missing; a value
    /// of the other type is a read failure.
    static bool ReadBool(const CRegistryKey& key, const std::string& name, bool fallback);
    static std::uint32_t ReadNumber(const CRegistryKey& key, const std::string& name, std::uint32_t fallback);

    /// Appends the subkey names in a stable order. Failure: "Could not
    /// enumerate registry subkeys. System error: N".
    static void ListSubkeys(const CRegistryKey& key, std::vector<std::string>& names);
    /// Every value of the key, by name. Failure: "Could not enumerate
    /// registry values. System error: N".
    static std::vector<CRegistryValue> ListValues(const CRegistryKey& key);

    /// Failure: "Could not delete registry value [name]. System error: N".
    static void DeleteValue(const CRegistryKey& key, const std::string& name);
    /// Deletes the key at path below parent (or the root) with all its
    /// subkeys. Failure: "Could not delete registry key [path]. System error: N".
    static void DeleteKey(const std::string& path);
    static void DeleteKey(const CRegistryKey& parent, const std::string& path);

private:
    /// Stores one value; failure: "Could not write registry value [name]. System error: N".
    static void WriteValue(const CRegistryKey& key, const CRegistryValue& value);
};
