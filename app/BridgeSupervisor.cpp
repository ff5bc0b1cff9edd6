#include "app/BridgeSupervisor.h"

#include "app/Logger.h"
#include "app/UserFolders.h"
#include "mpris/BridgeExit.h"
#include "settings/IgnoreList.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

CBridgeSupervisor::CBridgeSupervisor(CSettingsManager& settings, QObject* parent)
    : QObject(parent), mSettings(settings) {
    mRestart.setSingleShot(true);
    connect(&mRestart, &QTimer::timeout, this, &CBridgeSupervisor::Spawn);
    mSettings.AddObserver(this);
}

CBridgeSupervisor::~CBridgeSupervisor() {
    mSettings.RemoveObserver(this);
    Stop();
}

bool CBridgeSupervisor::HasSessionBus() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus != nullptr && *bus != '\0')
        return true;
    const std::string runtime = CUserFolders::RuntimeDir();
    return !runtime.empty() && ::access((runtime + "/bus").c_str(), F_OK) == 0;
}

bool CBridgeSupervisor::Wanted() const {
    try {
        return mSettings.IsMprisBridgeOn();
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException: " << e.what() << "\n");
        return false;
    }
}

void CBridgeSupervisor::Start(std::uint16_t port) {
    if (mbStopped)
        return;
    mPort = port;
    if (!Wanted()) {
        VBX_LOG(3, "MPRIS bridge switched off (MprisBridge is 0)\n");
        return;
    }
    // Players are heard on the session bus; without one (a service started
    // outside a desktop session) the bridge would only end at once.
    if (!HasSessionBus()) {
        VBX_LOG(3, "No session bus: the MPRIS bridge is not started\n");
        return;
    }
    Spawn();
}

void CBridgeSupervisor::Spawn() {
    if (mbStopped || mChild.IsRunning() || mPort == 0)
        return;
    const std::string path = CUserFolders::ProgramFolder() + "/" + kProgramName;
    if (::access(path.c_str(), X_OK) != 0) {
        VBX_LOG(3, "No MPRIS bridge beside the program (" << path << ")\n");
        return;
    }
    mIgnoreText = CIgnoreList::FromStore().Text();
    const int error = mChild.Spawn(path, {path, "--exit-with-parent", "--port", std::to_string(mPort)});
    if (error != 0) {
        VBX_LOG(1, "Couldn't start the MPRIS bridge " << path << ". Error: " << error << "\n");
        return;
    }
    mStartedAt = CRestartPolicy::Clock::now();
    VBX_LOG(3, "MPRIS bridge started, process " << mChild.Pid() << "\n");
    mProcessFd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, mChild.Pid(), 0)));
    if (!mProcessFd.IsValid()) {
        VBX_LOG(1, "Couldn't watch the MPRIS bridge for its end (error " << errno
                                                                        << "); it is not started again\n");
        return;
    }
    mExitNotifier = new QSocketNotifier(mProcessFd.Get(), QSocketNotifier::Read, this);
    connect(mExitNotifier, &QSocketNotifier::activated, this, &CBridgeSupervisor::OnExited);
}

void CBridgeSupervisor::OnExited() {
    delete mExitNotifier;
    mExitNotifier = nullptr;
    mProcessFd.Reset();
    if (!mChild.TryReap())
        return;
    const int status = mChild.Status();
    const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(CRestartPolicy::Clock::now() - mStartedAt);
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == BridgeExit::kNoBus) {
            VBX_LOG(1, "The MPRIS bridge ended: no session bus; it is not started again\n");
            return;
        }
        if (code == BridgeExit::kDone || code == BridgeExit::kUsage) {
            VBX_LOG(2, "The MPRIS bridge ended with status " << code << "\n");
            return;
        }
    }
    const std::string how = WIFSIGNALED(status) ? "by signal " + std::to_string(WTERMSIG(status))
                                                : "with status " + std::to_string(WEXITSTATUS(status));
    const auto delay = mPolicy.OnEnded(CRestartPolicy::Clock::now(), ran);
    if (!delay) {
        VBX_LOG(1, "The MPRIS bridge ended " << how << " after " << CRestartPolicy::kMaxRestarts
                                             << " restarts within an hour; it is not started again\n");
        return;
    }
    VBX_LOG(1, "The MPRIS bridge ended " << how << "; starting it again in " << delay->count() << " ms\n");
    mRestart.start(static_cast<int>(delay->count()));
}

void CBridgeSupervisor::Update() {
    if (mbStopped || mPort == 0)
        return;
    if (!Wanted()) {
        mRestart.stop();
        if (mChild.IsRunning()) {
            VBX_LOG(3, "Players are not to be heard any more: ending the MPRIS bridge\n");
            EndChild();
        }
        return;
    }
    if (!mChild.IsRunning()) {
        if (!mRestart.isActive() && HasSessionBus()) {
            VBX_LOG(3, "Players are to be heard: starting the MPRIS bridge\n");
            mPolicy = CRestartPolicy();
            Spawn();
        }
        return;
    }
    const std::string ignore = CIgnoreList::FromStore().Text();
    if (ignore != mIgnoreText) {
        mIgnoreText = ignore;
        VBX_LOG(3, "Telling the MPRIS bridge which players to ignore now\n");
        ::kill(mChild.Pid(), SIGHUP);
    }
}

void CBridgeSupervisor::Stop() {
    mbStopped = true;
    mRestart.stop();
    if (mChild.IsRunning()) {
        VBX_LOG(3, "Stopping the MPRIS bridge\n");
        EndChild();
    }
}

void CBridgeSupervisor::EndChild() {
    delete mExitNotifier;
    mExitNotifier = nullptr;
    mProcessFd.Reset();
    ::kill(mChild.Pid(), SIGTERM);
    if (!mChild.WaitForExit(kStopWaitMs)) {
        ::kill(mChild.Pid(), SIGKILL);
        mChild.WaitForExit(-1);
    }
}
