#pragma once

#include "update/ChildProcess.h"

#include <functional>
#include <string>
#include <vector>

class CComponentInfo;

/// Places and starts what a download run fetched: an installer (".exe") is
/// downloaded into a folder of the run's own and run with its arguments and
/// the install folder, a library (".dll") goes straight into its install
/// folder. Each installer is waited for a short while only; one still running
/// after that goes on by itself and is reaped once it has ended (at a later
/// Run or Reap, or when the runner goes). The wait ends early when the run is
/// cancelled, so that a cancel is never held up by an installer.
///
/// A run's folder is made in the temporary folder, owner only, under a
/// unique name, so that no other local user can put a file where an
/// installer is about to be started. It is removed once the run has ended
/// and nothing started from it runs any more, unless it is held for a
/// program installer that is started later.
///
/// Shared by the auto-updater and the plug-in wizard. One thread at a time.
class CInstallerRunner {
public:
    /// How long an installer is waited for before the run goes on.
    static constexpr int kWaitMs = 5000;
    /// The start of the name of each run's folder in the temporary folder.
    static constexpr const char* kDownloadFolderPrefix = "vortlebox-update-";

    CInstallerRunner() = default;
    /// Reaps installers that have ended (running ones go on alone) and
    /// removes every folder left: a running installer keeps its open file.
    ~CInstallerRunner();
    CInstallerRunner(const CInstallerRunner&) = delete;
    CInstallerRunner& operator=(const CInstallerRunner&) = delete;

    /// A download run while it lives. At its start the folders of earlier
    /// runs, and the one held for a program installer, go once nothing
    /// started from them runs; at its end its own folder goes the same way.
    class CRun {
    public:
        explicit CRun(CInstallerRunner& runner) noexcept : mRunner(runner) { mRunner.BeginRun(); }
        ~CRun() { mRunner.EndRun(); }
        CRun(const CRun&) = delete;
        CRun& operator=(const CRun&) = delete;

    private:
        CInstallerRunner& mRunner;
    };

    /// Where the task's download goes: the run's folder + file name for
    /// "exe", the install folder (created) + file name for "dll". "" for any
    /// other kind, or a file name that is no plain name; that is logged
    /// ("Download '<file>' with ext: <ext> not allowed"). Throws
    /// CConnectionException when the run's folder cannot be made.
    std::string LocalPath(const CComponentInfo& task);

    /// Runs the downloaded installer at localPath (made executable) with the
    /// task's installer arguments and "/DIR=" + its install folder, and waits
    /// up to kWaitMs for it, or until cancelled() holds (asked every 100 ms).
    /// Returns 0, or the error number of a failed start, which is logged.
    int Run(const CComponentInfo& task, const std::string& localPath, const std::function<bool()>& cancelled);

    /// Keeps a started program until it has ended, to reap it.
    void Keep(CChildProcess child);

    /// Reaps the kept programs that have ended, without waiting, and removes
    /// the folders no longer needed.
    void Reap() noexcept;

    /// Keeps the folder of path past the end of the run, until the next run
    /// begins (a program installer started later).
    void HoldFolderOf(const std::string& path);
    /// The folder of path belongs to a program started from it now, which
    /// removes it: it is forgotten, not removed.
    void HandOverFolderOf(const std::string& path);

    /// The message shown when an installer cannot be started.
    static std::string FailedText(const std::string& fileName);

private:
    struct CStarted {
        CChildProcess process;
        std::string folder; // "" for none of ours
    };

    void BeginRun() noexcept;
    void EndRun() noexcept;
    static std::string FolderOf(const std::string& path);
    /// Removes the folders not in use (every one with everything).
    void RemoveFolders(bool everything) noexcept;

    std::vector<CStarted> mStarted;
    std::vector<std::string> mFolders;
    std::string mRunFolder;
    std::string mHeldFolder;
};
