// vortlebox-mpris: reports what the MPRIS players of the session bus play
// to the Vortlebox listener, as a plug-in of each of them would.
//
//   vortlebox-mpris [--exit-with-parent] [--port N]

#include "app/Logger.h"
#include "app/ProgramVersion.h"
#include "app/StartupLog.h"
#include "mpris/BridgeExit.h"
#include "mpris/ListenerOutbox.h"
#include "mpris/MprisBridge.h"
#include "settings/SettingsManager.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr const char* kLogName = "vortlebox-mpris.log";
constexpr int kExitDeliveryMs = 2000;

void OpenLog() {
    const std::string dir = CSettingsManager::Instance().GetUserDir();
    if (dir.empty())
        return;
    const std::string path = dir + "/" + kLogName;
    CStartupLog::TrimLogFile(path, 500000, 250000);
    CLogger::Instance().Open(path, false);
    CLogger::Instance().SetLevel(4);
    VBX_LOG(3, std::string(60, '*') << " STARTUP " << std::string(59, '*') << "\n");
    VBX_LOG(1, "vortlebox-mpris " << kProgramFileVersion << " on " << CStartupLog::SystemVersionText() << "\n");
}

int Usage(FILE* out) {
    std::fprintf(out, "usage: vortlebox-mpris [--exit-with-parent] [--port N]\n"
                      "Reports what the MPRIS players of the session bus play to the Vortlebox\n"
                      "listener: at port N when given (Vortlebox passes the port it listens on),\n"
                      "else at VORTLEBOX_LISTENER_PORT or 33367 and the ten ports after it.\n"
                      "Players named in the store value MprisIgnore are left alone; SIGHUP reads\n"
                      "it again. Ends with status 1 when there is no session bus or it goes away.\n");
    return out == stdout ? BridgeExit::kDone : BridgeExit::kUsage;
}

// A port number 1 to 65535, the whole text.
bool ParsePort(const char* text, std::uint16_t& port) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    bool exitWithParent = false;
    std::optional<std::uint16_t> port;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--exit-with-parent") == 0) {
            exitWithParent = true;
        } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            std::uint16_t value = 0;
            if (!ParsePort(argv[++i], value)) {
                std::fprintf(stderr, "vortlebox-mpris: not a port number: %s\n", argv[i]);
                return BridgeExit::kUsage;
            }
            port = value;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return Usage(stdout);
        } else {
            return Usage(stderr);
        }
    }
    if (exitWithParent) {
        // Started by the program: end with it, also when it dies.
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            return 0;
    }
    std::setlocale(LC_ALL, "");

    // SIGTERM and SIGINT end the event loop in order; they are blocked
    // before any thread starts, so only the descriptor sees them.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    const int signalFd = ::signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    OpenLog();

    CListenerOutbox outbox(port.value_or(CPlayerListener::BasePortFromEnvironment()),
                           port ? 1 : CListenerOutbox::kPortCount);
    CMprisBridge bridge(QDBusConnection::sessionBus(), outbox);

    // SIGHUP: the person changed which players count; SIGTERM, SIGINT: end.
    QSocketNotifier* notifier = nullptr;
    if (signalFd >= 0) {
        notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [signalFd, &bridge] {
            signalfd_siginfo info{};
            bool end = false;
            bool reload = false;
            while (::read(signalFd, &info, sizeof info) == sizeof info)
                (info.ssi_signo == SIGHUP ? reload : end) = true;
            if (reload)
                bridge.Reload();
            if (end) {
                VBX_LOG(3, "Termination signal received, shutting down\n");
                QCoreApplication::quit();
            }
        });
    }
    // Without its bus the bridge hears nothing: it has stopped what played,
    // and ends (the program does not start it again).
    QObject::connect(&bridge, &CMprisBridge::busLost, &app, [] { QCoreApplication::exit(BridgeExit::kNoBus); });

    int code = 0;
    if (bridge.Start()) {
        code = QCoreApplication::exec();
        if (code != BridgeExit::kNoBus)
            bridge.StopAll();
        if (!outbox.WaitUntilIdle(kExitDeliveryMs))
            VBX_LOG(2, "The listener did not take every line before the end\n");
    } else {
        code = QDBusConnection::sessionBus().isConnected() ? BridgeExit::kDone : BridgeExit::kNoBus;
    }
    VBX_LOG(3, "Exiting\n");
    delete notifier;
    if (signalFd >= 0)
        ::close(signalFd);
    return code;
}
