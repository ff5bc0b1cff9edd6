#pragma once

#include "app/Observer.h"
#include "update/AppInfo.h"
#include "update/Downloader.h"
#include "update/FileDownloader.h"
#include "update/InstallerRunner.h"
#include "update/PluginInfo.h"
#include "update/RadioInfo.h"
#include "update/UpdateInfoGetter.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

/// Finds which installed software has a newer version on the server,
/// downloads and runs the installers the user picked, closes programs that
/// stand in the way, and hands the update of the program itself to the
/// external updater, since a running program cannot replace its own files.
///
/// One progress value and status text cover a whole run: the updater
/// observes whichever downloader it drives and relays to its own observers.
/// A check and a download run must not overlap; Cancel, GetProgress and
/// GetStatusText may be called from any thread.
///
/// The program's own record ("Vortlebox") is never run, closed or killed.
class CAutoUpdater : public CDownloader, public Observer {
public:
    /// The lock the external updater waits on until the program has gone.
    static constexpr const char* kUpdateLockName = "VortleboxUpdate-BBFA5A2D-4B6F-4d2c-8B2F-02F733C5B02C";
    /// How long LaunchAppInstaller waits for the update lock.
    static constexpr int kLockWaitMs = 10000;
    /// Installers are downloaded into a folder made for each run in the
    /// temporary folder (owner only, named this prefix and a unique ending),
    /// never under a name another local user could take first there.
    static constexpr const char* kDownloadFolderPrefix = CInstallerRunner::kDownloadFolderPrefix;

    /// Told, on the downloading thread, the text to show when an installer
    /// could not be started ("Failed to install '<file>'.").
    using InstallFailedHandler = std::function<void(const std::string& message)>;

    CAutoUpdater();
    /// Reaps installers that have ended meanwhile; running ones go on alone.
    /// Removes the download folders that were not handed to the updater.
    ~CAutoUpdater() override;
    CAutoUpdater(const CAutoUpdater&) = delete;
    CAutoUpdater& operator=(const CAutoUpdater&) = delete;

    /// Downloads the update information once and fills the updates list with
    /// the installed components that have a newer version and the plug-ins
    /// of present players that are not installed yet. True if an installed
    /// component has a newer version (new plug-ins alone give false).
    /// CConnectionException when the information cannot be had.
    bool CheckForUpdates();

    /// Downloads and installs the given entries in order: "exe" installers
    /// into the run's own download folder and run, "dll" libraries into their
    /// install folder; the program's own installer is kept for
    /// LaunchAppInstaller. The download folder goes once its installers have
    /// ended (the program's own: once a later run no longer needs it, or with
    /// this object). An entry of any other kind ends the run at once with
    /// true. False if cancelled; CConnectionException ("Download failed.") if
    /// a download fails or the download folder cannot be made.
    bool DownloadUpdates(std::vector<CComponentInfo*> tasks);

    /// Fills the running list, and names (emptied first) with their names, with the given
    /// components (other than the program itself) that run. True if any does.
    bool CheckIfRunning(const std::vector<CComponentInfo*>& components, std::vector<std::string>& names);

    /// Closes every entry of the running list; true if all were closed.
    bool KillRunning();

    /// Takes the update lock for the rest of this process's life, copies
    /// "Updater.exe" to "UpTemp.exe" in the current folder and starts it with
    /// the downloaded installer of the program, which it removes with its
    /// folder once it has run. The caller then shuts the program down. False
    /// if there is no such installer, the lock could not be taken, or the
    /// updater could not be started.
    bool LaunchAppInstaller();

    /// Cancels the update-information download and the file download.
    void Cancel();

    /// The result of the last CheckForUpdates; points into this object.
    const std::vector<CComponentInfo*>& GetUpdates() const noexcept { return mUpdates; }
    /// Whether a run downloaded the program's own installer.
    bool IsAppUpdatePending() const noexcept { return mbAppUpdatePending; }
    /// The local path of that installer.
    std::string GetAppInstallerPath() const { return mAppInstallerPath; }

    /// The file beside the program that says a package manager installed
    /// it, and updates it.
    static constexpr const char* kPackageManagedName = "package-managed";
    /// Whether the program in programFolder may replace itself: not when a
    /// package manager looks after it, nor where the folder is not
    /// writable. Plug-ins and the radio are updated either way.
    static bool CanUpdateProgram(const std::string& programFolder);
    /// The folder of the running program, which CheckForUpdates looks at
    /// (the running executable's by default).
    void SetProgramFolder(std::string folder) { mProgramFolder = std::move(folder); }

    /// Where a failed installer start is reported (the user interface shows
    /// it); none by default.
    void SetInstallFailedHandler(InstallFailedHandler handler);

    int GetProgress() override;
    std::string GetStatusText() override;

    /// The progress relay from the current downloader.
    void Update() override;

    /// The overall progress with task taskIndex of taskCount at
    /// downloaderProgress percent: truncate(taskIndex / taskCount * 100) +
    /// downloaderProgress / taskCount.
    static int CombinedProgress(int taskIndex, int taskCount, int downloaderProgress) noexcept;

private:
    class CDriving;
    bool IsProgram(const CComponentInfo* component) const;
    void SetCurrent(CDownloader* downloader, int taskIndex, int taskCount);
    void SetTaskIndex(int taskIndex);

    CAppInfo mApp;
    CRadioInfo mRadio;
    std::vector<CPluginInfo> mPlugins;
    std::vector<CComponentInfo*> mUpdates;
    std::vector<CComponentInfo*> mRunning;
    CUpdateInfoGetter mInfoGetter;
    CFileDownloader mFileDownloader;
    std::string mProgramFolder;
    std::string mAppInstallerPath;
    bool mbAppUpdatePending = false;
    CInstallerRunner mInstallers;
    InstallFailedHandler mInstallFailed;

    std::recursive_mutex mMutex;
    CDownloader* mpCurrentDownloader = nullptr;
    int mTaskIndex = 0;
    int mTaskCount = 0;
    int mProgress = 0;
    std::string mStatusText;
};
