#pragma once

#include "app/Observer.h"
#include "app/RestartPolicy.h"
#include "app/UniqueFd.h"
#include "update/ChildProcess.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <string>

class CSettingsManager;
class QSocketNotifier;

/// Runs the MPRIS bridge ("vortlebox-mpris", beside the program) for as long
/// as the person wants the desktop's players heard ("MprisBridge"), telling
/// it the port the listener bound. A bridge that ends unexpectedly (killed,
/// crashed) is started again after the back-off of CRestartPolicy; one that
/// ends because there is no session bus, or because another bridge serves
/// it, is not. Follows the settings at once: switched off, the bridge is
/// ended (it stops what it announced); switched on, it starts; a changed
/// "MprisIgnore" is passed on with SIGHUP.
///
/// Lives on the program's main thread; waits for the bridge's end through a
/// descriptor of the process in the event loop, with no timer unless a
/// restart is due.
class CBridgeSupervisor : public QObject, public Observer {
    Q_OBJECT

public:
    static constexpr const char* kProgramName = "vortlebox-mpris";
    /// How long the bridge has to end after SIGTERM before SIGKILL.
    static constexpr int kStopWaitMs = 5000;

    explicit CBridgeSupervisor(CSettingsManager& settings, QObject* parent = nullptr);
    ~CBridgeSupervisor() override;

    /// The listener serves on port: the bridge may run from now on.
    void Start(std::uint16_t port);
    /// Ends the bridge for good (the program's shutdown).
    void Stop();

    /// The process id of the running bridge, 0 for none.
    pid_t Pid() const noexcept { return mChild.IsRunning() ? mChild.Pid() : 0; }

    /// The settings changed.
    void Update() override;

    /// Whether there is a session bus to hear players on.
    static bool HasSessionBus();

private:
    bool Wanted() const;
    void Spawn();
    void OnExited();
    void EndChild();

    CSettingsManager& mSettings;
    std::uint16_t mPort = 0;
    bool mbStopped = false;
    CChildProcess mChild;
    CUniqueFd mProcessFd;
    QSocketNotifier* mExitNotifier = nullptr;
    QTimer mRestart;
    CRestartPolicy mPolicy;
    CRestartPolicy::Clock::time_point mStartedAt;
    std::string mIgnoreText;
};
