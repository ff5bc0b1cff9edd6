#include "update/ComponentInfo.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "update/ProcessFinder.h"
#include "update/Version.h"
#include "update/VersionResource.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <sys/stat.h>

namespace {

/// Bounds the closing of one executable's processes, in case they are
/// started again as fast as they are ended.
constexpr int kMaxKillRounds = 16;

std::string AfterLast(const std::string& text, char separator) {
    const std::size_t at = text.rfind(separator);
    return at == std::string::npos ? text : text.substr(at + 1);
}

} // namespace

std::string CComponentInfo::GetInstallDir() const {
    const std::size_t at = mPath.rfind('/');
    return at == std::string::npos ? std::string() : mPath.substr(0, at + 1);
}

bool CComponentInfo::IsInstalled() {
    if (mInstalled == kUnknown)
        mInstalled = FileExists(mPath) ? kTrue : kFalse;
    return mInstalled == kTrue;
}

bool CComponentInfo::IsVersionNewer() {
    if (mNewer != kUnknown)
        return mNewer == kTrue;
    CVersionResource resource;
    resource.Open(mPath);
    return CacheNewer(resource.GetFileVersion());
}

bool CComponentInfo::IsRunning() {
    return IsExecutableRunning(GetExeFileName());
}

void CComponentInfo::Clear() {
    mInstalled = kUnknown;
    mNewer = kUnknown;
    mName.clear();
    mPath.clear();
    mDownloadUrl.clear();
    mVersion.clear();
    mInstallerArgs.clear();
}

bool CComponentInfo::Kill() {
    return KillExecutable(GetExeFileName());
}

void CComponentInfo::Set(const std::string& name, const std::string& path, const std::string& downloadUrl,
                         const std::string& version, const std::string& installerArgs) {
    mInstalled = kUnknown;
    mNewer = kUnknown;
    mName = name;
    mPath = path;
    mDownloadUrl = downloadUrl;
    mVersion = version;
    mInstallerArgs = installerArgs;
}

std::string CComponentInfo::GetExeFileName() const {
    return AfterLast(mPath, '/');
}

std::string CComponentInfo::GetDownloadFileName() const {
    return AfterLast(mDownloadUrl, '/');
}

std::string CComponentInfo::GetDownloadExt() const {
    const std::string fileName = GetDownloadFileName();
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    return CEncodingUtils::ToLowerAscii(fileName.substr(dot + 1));
}

std::string CComponentInfo::GetRegVersion(const std::string& key) {
    try {
        CRegistryKey handle = CRegistryUtils::OpenKey(key, false);
        std::string version = CRegistryUtils::ReadString(handle, "Version");
        if (version.size() > kMaxRegVersionLength)
            throw std::length_error("version string too long");
        return version;
    } catch (const std::exception&) {
        VBX_LOG(1, "Couldn't read version string for " << key << "\n");
        return std::string();
    }
}

bool CComponentInfo::CacheNewer(const std::string& installedVersion) {
    mNewer = CVersion(mVersion) > CVersion(installedVersion) ? kTrue : kFalse;
    return mNewer == kTrue;
}

bool CComponentInfo::IsExecutableRunning(const std::string& executableName) {
    if (executableName.empty())
        return false;
    pid_t pid = 0;
    return CProcessFinder().FindProcess(executableName, pid).IsValid();
}

bool CComponentInfo::KillExecutable(const std::string& executableName) {
    if (executableName.empty())
        return true;
    CProcessFinder finder;
    for (int round = 0; round < kMaxKillRounds; ++round) {
        pid_t pid = 0;
        if (!finder.FindProcess(executableName, pid).IsValid())
            return true; // none (or no more) running
        if (!finder.KillProcess(executableName)) {
            // It may have ended by itself between the two looks.
            if (finder.FindProcess(executableName, pid).IsValid())
                return false;
        }
    }
    pid_t pid = 0;
    return !finder.FindProcess(executableName, pid).IsValid();
}

bool CComponentInfo::FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}
