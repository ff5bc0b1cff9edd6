#include "update/InstallerRunner.h"

#include "app/Logger.h"
#include "update/ComponentInfo.h"
#include "update/WinUtils.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr int kCancelCheckMs = 100;

/// A download file name that may be used as a file in a folder.
bool IsUsableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

CInstallerRunner::~CInstallerRunner() {
    Reap();
}

std::string CInstallerRunner::LocalPath(const CComponentInfo& task, const std::string& tempFolder) {
    const std::string fileName = task.GetDownloadFileName();
    const std::string ext = task.GetDownloadExt();
    if (IsUsableFileName(fileName) && ext == "exe")
        return tempFolder + fileName;
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
    // Still running: it goes on by itself and is reaped later.
    Keep(std::move(installer));
    return 0;
}

void CInstallerRunner::Keep(CChildProcess child) {
    if (child.IsRunning())
        mStarted.push_back(std::move(child));
}

void CInstallerRunner::Reap() noexcept {
    std::erase_if(mStarted, [](CChildProcess& child) { return child.TryReap(); });
}

std::string CInstallerRunner::FailedText(const std::string& fileName) {
    return "Failed to install '" + fileName + "'.";
}
