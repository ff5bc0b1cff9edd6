#pragma once

#include "update/ChildProcess.h"

#include <functional>
#include <string>
#include <vector>

class CComponentInfo;

/// Places and starts what a download run fetched: an installer (".exe") is
/// downloaded into the temporary folder and run with its arguments and the
/// install folder, a library (".dll") goes straight into its install folder.
/// Each installer is waited for a short while only; one still running after
/// that goes on by itself and is reaped once it has ended (at a later Run or
/// Reap, or when the runner goes). The wait ends early when the run is
/// cancelled, so that a cancel is never held up by an installer.
///
/// Shared by the auto-updater and the plug-in wizard. One thread at a time.
class CInstallerRunner {
public:
    /// How long an installer is waited for before the run goes on.
    static constexpr int kWaitMs = 5000;

    CInstallerRunner() = default;
    /// Reaps installers that have ended; running ones go on alone.
    ~CInstallerRunner();
    CInstallerRunner(const CInstallerRunner&) = delete;
    CInstallerRunner& operator=(const CInstallerRunner&) = delete;

    /// Where the task's download goes: tempFolder (ending in "/") + file name
    /// for "exe", the install folder (created) + file name for "dll". "" for
    /// any other kind, or a file name that is no plain name; that is logged
    /// ("Download '<file>' with ext: <ext> not allowed").
    static std::string LocalPath(const CComponentInfo& task, const std::string& tempFolder);

    /// Runs the downloaded installer at localPath (made executable) with the
    /// task's installer arguments and "/DIR=" + its install folder, and waits
    /// up to kWaitMs for it, or until cancelled() holds (asked every 100 ms).
    /// Returns 0, or the error number of a failed start, which is logged.
    int Run(const CComponentInfo& task, const std::string& localPath, const std::function<bool()>& cancelled);

    /// Keeps a started program until it has ended, to reap it.
    void Keep(CChildProcess child);

    /// Reaps the kept programs that have ended, without waiting.
    void Reap() noexcept;

    /// The message shown when an installer cannot be started.
    static std::string FailedText(const std::string& fileName);

private:
    std::vector<CChildProcess> mStarted;
};
