#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CRegistryDatabase;

/// An open key of the settings store. Closed when the object goes (or by
/// CRegistryUtils::CloseKey); keys opened below it share its connection.
/// Move-only, like the handle it stands for.
class CRegistryKey {
public:
    CRegistryKey() = default;
    CRegistryKey(CRegistryKey&&) noexcept = default;
    CRegistryKey& operator=(CRegistryKey&&) noexcept = default;
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    ~CRegistryKey() = default;

    bool IsOpen() const noexcept { return mDb != nullptr; }
    /// The path the key was opened with, relative to the account's root.
    const std::string& Path() const noexcept { return mPath; }

private:
    friend class CRegistryUtils;
    CRegistryKey(std::shared_ptr<CRegistryDatabase> db, std::int64_t id, std::string path)
        : mDb(std::move(db)), mId(id), mPath(std::move(path)) {}

    std::shared_ptr<CRegistryDatabase> mDb;
    std::int64_t mId = -1;
    std::string mPath;
};
