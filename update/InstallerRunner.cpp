#include "update/InstallerRunner.h"

#include "app/Logger.h"
#include "update/ComponentInfo.h"
#include "update/ConnectionException.h"
#include "update/WinUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace {

constexpr int kCancelCheckMs = 100;

/// A download file name that may be used as a file in a folder.
bool IsUsableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

CInstallerRunner::~CInstallerRunner() {
    std::erase_if(mStarted, [](CStarted& started) { return started.process.TryReap(); });
    RemoveFolders(true);
}

void CInstallerRunner::BeginRun() noexcept {
    mRunFolder.clear();
    mHeldFolder.clear();
    Reap();
}

void CInstallerRunner::EndRun() noexcept {
    mRunFolder.clear();
    Reap();
}

std::string CInstallerRunner::LocalPath(const CComponentInfo& task) {
    const std::string fileName = task.GetDownloadFileName();
    const std::string ext = task.GetDownloadExt();
    if (IsUsableFileName(fileName) && ext == "exe") {
        if (mRunFolder.empty()) {
            std::string pattern = CWinUtils::GetTempFolder() + kDownloadFolderPrefix + "XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr) {
                VBX_LOG(1, "Couldn't create a download folder " << pattern << ". System error code: " << errno
                                                                 << "\n");
                throw CConnectionException("Download failed.");
            }
            mFolders.push_back(pattern);
            mRunFolder = std::move(pattern);
        }
        return mRunFolder + "/" + fileName;
    }
    if (IsUsableFileName(fileName) && ext == "dll") {
        const std::string installDir = task.GetInstallDir();
        CWinUtils::CreateFolderPath(installDir);
        return installDir + fileName;
    }
    VBX_LOG(1, "Download '" << fileName << "' with ext: " << ext << " not allowed\n");
    return {};
}

int CInstallerRunner::Run(const CComponentInfo& task, const std::string& localPath,
                          const std::function<bool()>& cancelled) {
    Reap();
    const std::string installDir = task.GetInstallDir();
    const std::string parameters = task.GetInstallerArgs() + " /DIR=\"" + installDir + "\"";
    VBX_LOG(3, "Running '" << localPath << " " << parameters << "'\n");

    std::vector<std::string> argv{localPath};
    for (std::string& word : CChildProcess::SplitArguments(task.GetInstallerArgs()))
        argv.push_back(std::move(word));
    argv.push_back("/DIR=" + installDir);

    CChildProcess installer;
    int error = ::chmod(localPath.c_str(), 0700) == 0 ? 0 : errno;
    if (error == 0)
        error = installer.Spawn(localPath, argv);
    if (error != 0) {
        VBX_LOG(1, "Couldn't ShellExecute " << localPath << parameters << ". GetLastError: " << error << "\n");
        return error;
    }
    for (int waited = 0; waited < kWaitMs; waited += kCancelCheckMs) {
        if (installer.WaitForExit(std::min(kCancelCheckMs, kWaitMs - waited)))
            return 0;
        if (cancelled && cancelled())
            break;
    }
    // Still running: it goes on by itself and is reaped later; its folder
    // stays until then.
    const std::string folder = FolderOf(localPath);
    const bool ours = std::find(mFolders.begin(), mFolders.end(), folder) != mFolders.end();
    mStarted.push_back({std::move(installer), ours ? folder : std::string()});
    return 0;
}

void CInstallerRunner::Keep(CChildProcess child) {
    if (child.IsRunning())
        mStarted.push_back({std::move(child), std::string()});
}

void CInstallerRunner::Reap() noexcept {
    std::erase_if(mStarted, [](CStarted& started) { return started.process.TryReap(); });
    RemoveFolders(false);
}

void CInstallerRunner::HoldFolderOf(const std::string& path) {
    mHeldFolder = FolderOf(path);
}

void CInstallerRunner::HandOverFolderOf(const std::string& path) {
    const std::string folder = FolderOf(path);
    std::erase(mFolders, folder);
    if (mHeldFolder == folder)
        mHeldFolder.clear();
}

std::string CInstallerRunner::FailedText(const std::string& fileName) {
    return "Failed to install '" + fileName + "'.";
}

std::string CInstallerRunner::FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void CInstallerRunner::RemoveFolders(bool everything) noexcept {
    std::erase_if(mFolders, [&](const std::string& folder) {
        const bool inUse = folder == mHeldFolder || folder == mRunFolder ||
                           std::any_of(mStarted.begin(), mStarted.end(),
                                       [&](const CStarted& started) { return started.folder == folder; });
        if (inUse && !everything)
            return false;
        std::error_code error;
        std::filesystem::remove_all(folder, error);
        if (error)
            VBX_LOG(2, "Couldn't remove the download folder " << folder << ": " << error.message() << "\n");
        return true;
    });
}
