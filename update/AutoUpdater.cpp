#include "update/AutoUpdater.h"

#include "app/Logger.h"
#include "app/UniqueFd.h"
#include "app/UserFolders.h"
#include "update/ConnectionException.h"
#include "update/UpdateLock.h"
#include "update/WinUtils.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// Copies source over target through a new file beside target that is then
/// renamed, so that a running copy of target is replaced rather than
/// overwritten. The copy is executable by its owner. 0 or an error number.
int CopyExecutable(const std::string& source, const std::string& target) {
    CUniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0)
        return errno;
    struct stat st;
    if (::fstat(in.Get(), &st) != 0)
        return errno;
    std::string temp = target + ".XXXXXX";
    CUniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.Get() < 0)
        return errno;
    char buffer[65536];
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.Get(), buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0) {
                error = errno;
                break;
            }
            done += put;
        }
        if (error != 0)
            break;
    }
    if (error == 0 && ::fchmod(out.Get(), (st.st_mode & 0777) | S_IRWXU) != 0)
        error = errno;
    if (error == 0 && !out.Reset())
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temp.c_str());
    return error;
}

} // namespace

/// Observes a downloader and makes it the current one for the life of the
/// object; stops both on every way out of a check or a run.
class CAutoUpdater::CDriving {
public:
    CDriving(CAutoUpdater& updater, CDownloader& downloader, int taskIndex, int taskCount)
        : mUpdater(updater), mDownloader(downloader) {
        mDownloader.AddObserver(&mUpdater);
        mUpdater.SetCurrent(&mDownloader, taskIndex, taskCount);
    }
    ~CDriving() {
        mUpdater.SetCurrent(nullptr, 0, 0);
        mDownloader.RemoveObserver(&mUpdater);
    }
    CDriving(const CDriving&) = delete;
    CDriving& operator=(const CDriving&) = delete;

private:
    CAutoUpdater& mUpdater;
    CDownloader& mDownloader;
};

CAutoUpdater::CAutoUpdater() = default;

CAutoUpdater::~CAutoUpdater() = default;

bool CAutoUpdater::CheckForUpdates() {
    VBX_TRACE();
    CDriving driving(*this, mInfoGetter, 1, 1);
    mInstallers.Reap();
    // The records are about to be replaced: a running list of the last
    // records would point at stale entries.
    mRunning.clear();

    mInfoGetter.GetAppInfo(mApp, true);
    mInfoGetter.GetRadioInfo(mRadio, false);
    mInfoGetter.GetPluginInfo(mPlugins, false);

    mUpdates.clear();
    bool found = false;
    if (mApp.IsVersionNewer()) {
        const std::string folder = mProgramFolder.empty() ? CUserFolders::ProgramFolder() : mProgramFolder;
        if (CanUpdateProgram(folder)) {
            VBX_LOG(3, "Newer app version found.\n");
            mUpdates.push_back(&mApp);
            found = true;
        } else {
            VBX_LOG(3, "Newer app version found; the package manager updates the program in " << folder << "\n");
        }
    }
    if (mRadio.IsInstalled() && mRadio.IsVersionNewer()) {
        VBX_LOG(3, "Newer radio version found.\n");
        mUpdates.push_back(&mRadio);
        found = true;
    }
    for (CPluginInfo& plugin : mPlugins) {
        if (plugin.IsInstalled()) {
            if (plugin.IsVersionNewer()) {
                VBX_LOG(3, "Newer plugin version found for " << plugin.GetName() << ".\n");
                mUpdates.push_back(&plugin);
                found = true;
            }
        } else if (plugin.IsPlayerPresent()) {
            VBX_LOG(3, "New plugin for installed player " << plugin.GetName() << " found.\n");
            mUpdates.push_back(&plugin);
        }
    }
    return found;
}

bool CAutoUpdater::DownloadUpdates(std::vector<CComponentInfo*> tasks) {
    VBX_TRACE();
    const int count = static_cast<int>(tasks.size());
    CDriving driving(*this, mFileDownloader, 0, count);
    CInstallerRunner::CRun run(mInstallers);
    mbAppUpdatePending = false;
    mAppInstallerPath.clear();
    VBX_LOG(3, "We have " << count << " download tasks\n");

    for (int index = 0; index < count; ++index) {
        SetTaskIndex(index);
        if (tasks[static_cast<std::size_t>(index)] == nullptr)
            continue;
        CComponentInfo& task = *tasks[static_cast<std::size_t>(index)];
        const std::string localPath = mInstallers.LocalPath(task);
        if (localPath.empty())
            return true;

        VBX_LOG(3, "Will download " << task.GetDownloadURL() << " to '" << localPath << "'\n");
        const std::uint8_t result = mFileDownloader.Download(task.GetDownloadURL(), localPath, true);
        if (result == DOWNLOAD_CANCELLED)
            return false;
        if (result != DOWNLOAD_OK) {
            VBX_LOG(2, "Downloader returned error status, displaying error msg\n");
            throw CConnectionException("Download failed.");
        }
        if (task.GetDownloadExt() != "exe")
            continue; // the library is already in place
        if (IsProgram(&task)) {
            mAppInstallerPath = localPath;
            mbAppUpdatePending = true;
            mInstallers.HoldFolderOf(localPath);
            continue;
        }
        const auto cancelled = [this] { return mFileDownloader.IsCancelled(); };
        if (mInstallers.Run(task, localPath, cancelled) != 0 && mInstallFailed)
            mInstallFailed(CInstallerRunner::FailedText(task.GetDownloadFileName()));
        // A cancel during the installer's wait ends the run here, before the
        // next download would forget it.
        if (cancelled())
            return false;
    }
    return true;
}

bool CAutoUpdater::CheckIfRunning(const std::vector<CComponentInfo*>& components,
                                  std::vector<std::string>& names) {
    VBX_TRACE();
    mRunning.clear();
    names.clear();
    for (CComponentInfo* component : components) {
        if (component == nullptr || IsProgram(component) || !component->IsRunning())
            continue;
        VBX_LOG(3, "Found running process: " << component->GetName() << "\n");
        mRunning.push_back(component);
        names.push_back(component->GetName());
    }
    return !mRunning.empty();
}

bool CAutoUpdater::KillRunning() {
    VBX_TRACE();
    bool allClosed = true;
    for (CComponentInfo* component : mRunning) {
        if (!component->Kill()) {
            VBX_LOG(1, "Couldn't kill process: " << component->GetName() << "\n");
            allClosed = false;
        }
    }
    return allClosed;
}

bool CAutoUpdater::LaunchAppInstaller() {
    VBX_LOG(3, "Shutting down to update app.\n");
    if (mAppInstallerPath.empty()) {
        VBX_LOG(1, "No downloaded installer of the program to hand over.\n");
        return false;
    }

    // Held until this process ends: its release tells the updater that the
    // program has gone. A second hand-over in the same process already holds it.
    static std::atomic<bool> sLockHeld{false};
    if (!sLockHeld.load()) {
        CUpdateLock lock;
        const int lockError = lock.Acquire(kUpdateLockName, kLockWaitMs);
        if (lockError != 0) {
            VBX_LOG(1, "Couldn't take the update lock " << CUpdateLock::PathFor(kUpdateLockName)
                                                        << ". System error code: " << lockError << "\n");
            return false;
        }
        lock.KeepUntilProcessExit();
        sLockHeld.store(true);
    }

    const int copyError = CopyExecutable("Updater.exe", "UpTemp.exe");
    if (copyError != 0)
        VBX_LOG(1, "Copying of Updater.exe failed. System error code: " << copyError << "\n");

    const std::string parameters = std::string("R ") + kUpdateLockName + " \"" + mAppInstallerPath + "\"";
    VBX_LOG(3, "Will execute: UpTemp.exe " << parameters << "\n");
    CChildProcess updater;
    const int spawnError =
        updater.Spawn("./UpTemp.exe", {"UpTemp.exe", "R", kUpdateLockName, mAppInstallerPath}, true);
    if (spawnError != 0) {
        VBX_LOG(3, "Executed updater, instance: " << spawnError << "\n");
        VBX_LOG(1, "Couldn't start UpTemp.exe. System error code: " << spawnError << "\n");
        return false;
    }
    VBX_LOG(3, "Executed updater, instance: " << updater.Pid() << "\n");
    mInstallers.Keep(std::move(updater));
    // The installer and its folder are the updater's now: it removes them.
    mInstallers.HandOverFolderOf(mAppInstallerPath);
    return true;
}

void CAutoUpdater::Cancel() {
    mInfoGetter.Cancel();
    mFileDownloader.Cancel();
}

void CAutoUpdater::SetInstallFailedHandler(InstallFailedHandler handler) {
    mInstallFailed = std::move(handler);
}

int CAutoUpdater::GetProgress() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mProgress;
}

std::string CAutoUpdater::GetStatusText() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mStatusText;
}

void CAutoUpdater::Update() {
    CDownloader* current = nullptr;
    int taskIndex = 0;
    int taskCount = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        current = mpCurrentDownloader;
        taskIndex = mTaskIndex;
        taskCount = mTaskCount;
    }
    if (current == nullptr)
        return;
    const int progress = current->GetProgress();
    const std::string status = current->GetStatusText();
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mProgress = CombinedProgress(taskIndex, taskCount, progress);
        mStatusText = status;
    }
    NotifyObservers();
}

int CAutoUpdater::CombinedProgress(int taskIndex, int taskCount, int downloaderProgress) noexcept {
    if (taskCount <= 0)
        return downloaderProgress;
    const double done = static_cast<double>(taskIndex) / static_cast<double>(taskCount) * 100.0;
    return static_cast<int>(done) + downloaderProgress / taskCount;
}

bool CAutoUpdater::CanUpdateProgram(const std::string& programFolder) {
    if (programFolder.empty())
        return false;
    struct stat st {};
    if (::stat((programFolder + "/" + kPackageManagedName).c_str(), &st) == 0)
        return false;
    return ::access(programFolder.c_str(), W_OK) == 0;
}

bool CAutoUpdater::IsProgram(const CComponentInfo* component) const {
    return component == &mApp || component->GetName() == CAppInfo::kName;
}

void CAutoUpdater::SetCurrent(CDownloader* downloader, int taskIndex, int taskCount) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mpCurrentDownloader = downloader;
    mTaskIndex = taskIndex;
    mTaskCount = taskCount;
}

void CAutoUpdater::SetTaskIndex(int taskIndex) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mTaskIndex = taskIndex;
}
