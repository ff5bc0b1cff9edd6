#include "settings/RegistryUtils.h"

#include "app/UserFolders.h"
#include "settings/RegistryDatabase.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using CStoreError = CRegistryDatabase::CStoreError;
using CRegistryException = CRegistryUtils::CRegistryException;

std::mutex gLastInfoMutex;
CRegistryUtils::CKeyInfo gLastInfo;

// "<base>System error: N", with the store's own explanation when it has one.
[[noreturn]] void Throw(const std::string& base, const CStoreError& error) {
    std::string message = base + "System error: " + std::to_string(error.Code());
    if (*error.what() != '\0')
        message += std::string(" (") + error.what() + ")";
    throw CRegistryException(message, error.Code());
}

// The segments of a key path; an empty segment (a leading, trailing or
// doubled backslash) would address some other key, so it is refused.
std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> segments;
    if (path.empty())
        return segments;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string segment = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (segment.empty())
            throw CStoreError(EINVAL, "a key path holds an empty name");
        segments.push_back(std::move(segment));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return segments;
}

void CheckOpen(const CRegistryKey& key) {
    if (!key.IsOpen())
        throw CStoreError(EBADF, "the key is not open");
}

// The process's one connection to the store, shared by every open key. A
// new one is opened when the store's place changes (the environment names
// another), when its file was removed or replaced, and in a child process,
// which must not use its parent's connection.
// It lives until the process ends (static objects may still read settings
// while others are destroyed); the store needs no closing to stay whole.
std::mutex gConnectionMutex;
auto* const gConnection = new std::shared_ptr<CRegistryDatabase>();

std::shared_ptr<CRegistryDatabase> Connection(const std::string& file) {
    std::lock_guard<std::mutex> guard(gConnectionMutex);
    std::shared_ptr<CRegistryDatabase>& current = *gConnection;
    if (current && current->Path() == file && current->IsCurrent())
        return current;
    auto fresh = std::make_shared<CRegistryDatabase>(file);
    if (current && !current->OpenedByThisProcess()) {
        // Inherited from the parent process: neither used nor closed here,
        // as closing it would touch the parent's locks on the file.
        static auto* const sInherited = new std::vector<std::shared_ptr<CRegistryDatabase>>();
        sInherited->push_back(std::move(current));
    }
    // Keys still open on the old connection keep it until the last goes.
    current = std::move(fresh);
    return current;
}

} // namespace

std::string CRegistryUtils::StorePath() {
    const std::string base = CUserFolders::ConfigHome();
    return base.empty() ? std::string() : base + "/Fenwave/registry.db";
}

CRegistryKey CRegistryUtils::OpenKey(const std::string& path, bool create) {
    const std::string base = "Could not retrieve registry key [" + path + "]. ";
    try {
        std::string file = StorePath();
        if (file.empty())
            throw CStoreError(ENOENT, "no home folder to keep the settings in");
        std::vector<std::string> segments = Split(path);
        std::shared_ptr<CRegistryDatabase> db = Connection(file);
        std::int64_t id = db->OpenKey(CRegistryDatabase::kRootId, segments, create);
        return CRegistryKey(std::move(db), id, path);
    } catch (const CStoreError& e) {
        Throw(base, e);
    }
}

CRegistryKey CRegistryUtils::OpenKey(const CRegistryKey& parent, const std::string& path, bool create) {
    const std::string base = "Could not retrieve registry key [" + path + "]. ";
    try {
        CheckOpen(parent);
        std::int64_t id = parent.mDb->OpenKey(parent.mId, Split(path), create);
        std::string full = path.empty()           ? parent.mPath
                           : parent.mPath.empty() ? path
                                                  : parent.mPath + "\\" + path;
        return CRegistryKey(parent.mDb, id, full);
    } catch (const CStoreError& e) {
        Throw(base, e);
    }
}

void CRegistryUtils::CloseKey(CRegistryKey& key) {
    if (!key.IsOpen())
        return;
    std::shared_ptr<CRegistryDatabase> db = std::move(key.mDb);
    key.mId = -1;
    // The process's connection stays open; the last key of one it no longer
    // uses closes it.
    if (db.use_count() == 1) {
        int code = db->Close();
        if (code != 0)
            throw CRegistryException("Could not close registry key. System error: " + std::to_string(code),
                                     code);
    }
}

CRegistryUtils::CKeyInfo CRegistryUtils::QueryInfoKey(const CRegistryKey& key) {
    try {
        CheckOpen(key);
        CRegistryDatabase::CCounts counts = key.mDb->QueryInfo(key.mId);
        CKeyInfo info;
        info.key = key.mPath;
        info.numSubKeys = counts.subKeys;
        info.maxSubKeyLen = counts.maxSubKeyLen;
        info.numValues = counts.values;
        info.maxValueNameLen = counts.maxValueNameLen;
        info.maxValueLen = counts.maxValueLen;
        std::lock_guard<std::mutex> guard(gLastInfoMutex);
        gLastInfo = info;
        return info;
    } catch (const CStoreError& e) {
        Throw("Could not query registry key for info. ", e);
    }
}

CRegistryUtils::CKeyInfo CRegistryUtils::LastKeyInfo() {
    std::lock_guard<std::mutex> guard(gLastInfoMutex);
    return gLastInfo;
}

std::uint32_t CRegistryUtils::GetNumSubkeys(const CRegistryKey& key) {
    return QueryInfoKey(key).numSubKeys;
}

std::uint32_t CRegistryUtils::GetLongestSubkey(const CRegistryKey& key) {
    return QueryInfoKey(key).maxSubKeyLen;
}

std::uint32_t CRegistryUtils::GetLongestDataLength(const CRegistryKey& key) {
    return QueryInfoKey(key).maxValueLen;
}

void CRegistryUtils::WriteValue(const CRegistryKey& key, const CRegistryValue& value) {
    try {
        CheckOpen(key);
        key.mDb->SetValue(key.mId, value);
    } catch (const CStoreError& e) {
        Throw("Could not write registry value [" + value.name + "]. ", e);
    }
}

void CRegistryUtils::WriteString(const CRegistryKey& key, const std::string& name, const std::string& text) {
    CRegistryValue value;
    value.name = name;
    value.type = CRegistryValue::EType::String;
    value.text = text;
    WriteValue(key, value);
}

void CRegistryUtils::WriteBool(const CRegistryKey& key, const std::string& name, bool flag) {
    WriteNumber(key, name, flag ? 1 : 0);
}

void CRegistryUtils::WriteNumber(const CRegistryKey& key, const std::string& name, std::uint32_t number) {
    CRegistryValue value;
    value.name = name;
    value.type = CRegistryValue::EType::Number;
    value.number = number;
    WriteValue(key, value);
}

std::string CRegistryUtils::ReadString(const CRegistryKey& key, const std::string& name, bool writeDefault,
                                       const std::string& fallback) {
    try {
        CheckOpen(key);
        std::optional<CRegistryValue> value;
        if (writeDefault) {
            CRegistryValue def;
            def.name = name;
            def.type = CRegistryValue::EType::String;
            def.text = fallback;
            value = key.mDb->GetOrCreate(key.mId, def);
        } else {
            value = key.mDb->GetValue(key.mId, name);
            if (!value)
                throw CStoreError(ENOENT, "");
        }
        if (value->type != CRegistryValue::EType::String)
            throw CStoreError(EINVAL, "the value is a number, not a text");
        return value->text;
    } catch (const CStoreError& e) {
        Throw("Could not read registry value [" + name + "]. ", e);
    }
}

bool CRegistryUtils::ReadBool(const CRegistryKey& key, const std::string& name, bool fallback) {
    return ReadNumber(key, name, fallback ? 1 : 0) != 0;
}

std::uint32_t CRegistryUtils::ReadNumber(const CRegistryKey& key, const std::string& name,
                                         std::uint32_t fallback) {
    try {
        CheckOpen(key);
        CRegistryValue def;
        def.name = name;
        def.type = CRegistryValue::EType::Number;
        def.number = fallback;
        CRegistryValue value = key.mDb->GetOrCreate(key.mId, def);
        if (value.type != CRegistryValue::EType::Number)
            throw CStoreError(EINVAL, "the value is a text, not a number");
        return value.number;
    } catch (const CStoreError& e) {
        Throw("Could not read registry value [" + name + "]. ", e);
    }
}

void CRegistryUtils::ListSubkeys(const CRegistryKey& key, std::vector<std::string>& names) {
    try {
        CheckOpen(key);
        std::vector<std::string> found = key.mDb->ListSubkeys(key.mId);
        names.insert(names.end(), found.begin(), found.end());
    } catch (const CStoreError& e) {
        Throw("Could not enumerate registry subkeys. ", e);
    }
}

std::vector<CRegistryValue> CRegistryUtils::ListValues(const CRegistryKey& key) {
    try {
        CheckOpen(key);
        return key.mDb->ListValues(key.mId);
    } catch (const CStoreError& e) {
        Throw("Could not enumerate registry values. ", e);
    }
}

void CRegistryUtils::DeleteValue(const CRegistryKey& key, const std::string& name) {
    try {
        CheckOpen(key);
        key.mDb->DeleteValue(key.mId, name);
    } catch (const CStoreError& e) {
        Throw("Could not delete registry value [" + name + "]. ", e);
    }
}

void CRegistryUtils::DeleteKey(const std::string& path) {
    try {
        CRegistryKey root = OpenKey(std::string(), true);
        root.mDb->DeleteKey(CRegistryDatabase::kRootId, Split(path));
    } catch (const CStoreError& e) {
        Throw("Could not delete registry key [" + path + "]. ", e);
    }
}

void CRegistryUtils::DeleteKey(const CRegistryKey& parent, const std::string& path) {
    try {
        CheckOpen(parent);
        parent.mDb->DeleteKey(parent.mId, Split(path));
    } catch (const CStoreError& e) {
        Throw("Could not delete registry key [" + path + "]. ", e);
    }
}
