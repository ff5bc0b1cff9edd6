#include "update/PluginInfo.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "update/Version.h"
#include "update/VersionResource.h"

#include <cstdint>
#include <exception>

namespace {

constexpr std::int32_t kUnlimited = 2147483647;

} // namespace

std::string CPluginInfo::GetInstallDir() const {
    const std::size_t at = mPlayerPath.rfind('/');
    std::string dir = at == std::string::npos ? std::string() : mPlayerPath.substr(0, at + 1);
    dir += mPluginFolder;
    if (!dir.empty() && dir.back() != '/')
        dir.push_back('/');
    return dir;
}

bool CPluginInfo::IsInstalled() {
    if (mInstalled == kUnknown)
        mInstalled = IsPluginInstalled() ? kTrue : kFalse;
    return mInstalled == kTrue;
}

bool CPluginInfo::IsVersionNewer() {
    if (mNewer != kUnknown)
        return mNewer == kTrue;
    const std::string installed = GetRegVersion(RegistryKey());
    VBX_LOG(3, mName << " plugin installed ver: " << installed << ", server ver: " << mVersion << "\n");
    return CacheNewer(installed);
}

bool CPluginInfo::IsRunning() {
    return IsExecutableRunning(GetPlayerExeFileName());
}

void CPluginInfo::Clear() {
    CComponentInfo::Clear();
    mPlayerName.clear();
    mPlayerPath.clear();
    mPluginFolder.clear();
    mMinVersion.clear();
    mMaxVersion.clear();
    mPlayerPresent = kUnknown;
}

bool CPluginInfo::Kill() {
    return KillExecutable(GetPlayerExeFileName());
}

void CPluginInfo::Set(const std::string& playerName, const std::string& playerPath,
                      const std::string& downloadUrl, const std::string& version,
                      const std::string& pluginFolder, const std::string& installerArgs,
                      const std::string& minPlayerVersion, const std::string& maxPlayerVersion) {
    CComponentInfo::Set(playerName, std::string(), downloadUrl, version, installerArgs);
    mPlayerName = playerName;
    mPlayerPath = playerPath;
    mPluginFolder = pluginFolder;
    mMinVersion = minPlayerVersion;
    mMaxVersion = maxPlayerVersion;
    mPlayerPresent = kUnknown;
}

bool CPluginInfo::IsPluginInstalled() {
    const std::string key = RegistryKey();
    try {
        CRegistryUtils::OpenKey(key, false);
    } catch (const std::exception&) {
        VBX_LOG(3, key << " wasn't found. Plugin not present.\n");
        return false;
    }
    VBX_LOG(3, key << " was found. Plugin present.\n");
    return true;
}

void CPluginInfo::SetPlayerPath(const std::string& path) {
    mPlayerPath = path;
    mPlayerPresent = kUnknown;
}

bool CPluginInfo::IsPlayerPresent() {
    if (mPlayerPresent == kUnknown)
        mPlayerPresent = FileExists(mPlayerPath) && VersionMatch() ? kTrue : kFalse;
    return mPlayerPresent == kTrue;
}

bool CPluginInfo::VersionMatch() {
    CVersionResource resource;
    resource.Open(mPlayerPath);
    const std::string playerVersion = resource.GetFileVersion();
    if (playerVersion.empty()) {
        VBX_LOG(1, "Couldn't read version number for " << mPlayerName << "\n");
        const bool restricted = !mMinVersion.empty() || !mMaxVersion.empty();
        VBX_LOG(1, "Version restricted: " << (restricted ? "yes" : "no")
                                          << ", assuming match: " << (restricted ? "no" : "yes") << "\n");
        return !restricted;
    }
    VBX_LOG(3, "Player version to test: " << mMinVersion << " - " << mMaxVersion << "\n");
    VBX_LOG(3, "Version of " << mPlayerName << ": " << playerVersion << "\n");
    const CVersion version(playerVersion);
    const CVersion upper = mMaxVersion.empty() ? CVersion(kUnlimited, kUnlimited, kUnlimited, kUnlimited)
                                               : CVersion(mMaxVersion);
    return CVersion(mMinVersion) <= version && version <= upper;
}

std::string CPluginInfo::GetPlayerExeFileName() const {
    const std::size_t at = mPlayerPath.rfind('/');
    return at == std::string::npos ? mPlayerPath : mPlayerPath.substr(at + 1);
}
