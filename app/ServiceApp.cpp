#include "app/ServiceApp.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "app/StartupLog.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "update/VersionResource.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

// Written by the signal handler, read on the user-interface thread.
std::atomic<int> gSignalWrite{-1};

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const int fd = gSignalWrite.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

uint16_t ListenerBasePort() {
    const char* text = std::getenv(CServiceApp::kPortVariable);
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long port = std::strtol(text, &end, 10);
        if (*end == '\0' && port > 0 && port <= 65535)
            return static_cast<uint16_t>(port);
    }
    return CPlayerListener::kDefaultPort;
}

bool IsOffscreen() {
    return QGuiApplication::platformName() == QLatin1String("offscreen") ||
           QGuiApplication::platformName() == QLatin1String("minimal");
}

} // namespace

CServiceApp::CServiceApp(int& argc, char** argv) : QApplication(argc, argv), mListener(ListenerBasePort()) {
    setQuitOnLastWindowClosed(false);
}

CServiceApp::~CServiceApp() {
    PreExitInstance();
    delete mSignalNotifier;
    const int write = gSignalWrite.exchange(-1);
    if (write >= 0)
        ::close(write);
}

void CServiceApp::InitLogger() {
    const std::string dir = CSettingsManager::Instance().GetUserDir();
    // Without a user folder there is nowhere sensible to write: the log
    // stays silent.
    if (dir.empty())
        return;
    const std::string path = dir + "/vortler.log";
    CStartupLog::TrimLogFile(path, 500000, 250000);
    CLogger::Instance().Open(path, false);
    CLogger::Instance().SetLevel(4);
    VBX_LOG(3, std::string(60, '*') << " STARTUP " << std::string(59, '*') << "\n");
    CVersionResource version;
    version.OpenModule(nullptr);
    VBX_LOG(1, "Windows version: " << CStartupLog::SystemVersionText() << "\n  "
                                   << "VB version: " << version.GetFileVersion() << "\n");
}

void CServiceApp::SetCurrentDir() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    const std::string path = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        VBX_LOG(1, "Couldn't get current dir. This is bad!\n");
        return;
    }
    const std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    if (::chdir(dir.c_str()) != 0)
        VBX_LOG(1, "Couldn't set current dir. This is bad!\n");
}

bool CServiceApp::InitInstance() {
    // The crash handler is installed by main() before this object exists;
    // point A (another running copy, links) comes here.
    InitLogger();
    SetCurrentDir();
    InstallSignalHandlers();

    CSettingsManager& settings = CSettingsManager::Instance();
    try {
        settings.Restore();
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException on mgr.Restore(): " << e.what() << "\n");
        ShowError(e.what());
        mExitCode = 1;
        return false;
    }

    // Point B (first-run wizard, login) comes here.
    std::string userName;
    std::string passwordHash;
    try {
        const CUser user = settings.GetCurrentUser();
        userName = user.name;
        passwordHash = user.passwordHash;
        VBX_LOG(3, "Starting app for user: " << userName << "\n");
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(1, "No current user, starting without one; nothing is submitted until there is one.\n");
    }

    CWebSubmitter::Instance().init(userName, passwordHash, kClientId, kClientVersion, true);

    // The id is read before the record is written: waiting for another
    // thread inside a log statement would hold the log's lock meanwhile.
    long listenerId = 0;
    mListenerThread = CCrashHandler::StartThread([this] { PlayerListenerThreadMain(this); }, &listenerId);
    VBX_LOG(3, "PlayerListenerThread started at: " << static_cast<const void*>(&mListenerThread)
                                                   << " ID: " << listenerId << "\n");

    // Point C (main window, radio link, update check) comes here.
    VBX_LOG(3, "InitInstance completed successfully\n");
    return true;
}

int CServiceApp::PlayerListenerThreadMain(CServiceApp* app) {
    try {
        app->mListener.Start();
    } catch (const CPlayerListener::CNetworkException& e) {
        // Widgets belong to the user-interface thread: the box is shown
        // there.
        const std::string text = e.what();
        QMetaObject::invokeMethod(
            app, [app, text] { app->ShowError(text); }, Qt::QueuedConnection);
    }
    VBX_LOG(3, "Listener thread finishing.\n");
    return 0;
}

void CServiceApp::PreExitInstance() {
    if (mbPreExitDone)
        return;
    mbPreExitDone = true;
    if (!mListenerThread.joinable())
        return;
    VBX_LOG(3, "Saving settings manager\n");
    try {
        CSettingsManager::Instance().Save();
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException on mgr.Save(): " << e.what() << "\n");
    }
    VBX_LOG(3, "Calling term on libvortler\n");
    CWebSubmitter::Instance().term();
    VBX_LOG(3, "Stopping player listener\n");
    mListener.Stop();
    mListenerThread.join();
}

void CServiceApp::ExitInstance() {
    if (!mbExitQuietly)
        VBX_LOG(3, "Exiting\n");
}

void CServiceApp::ShowError(const std::string& text) {
    if (IsOffscreen()) {
        std::cerr << text << std::endl;
        return;
    }
    QMessageBox::critical(nullptr, QStringLiteral("Vortlebox"), QString::fromStdString(text));
}

void CServiceApp::InstallSignalHandlers() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        VBX_LOG(1, "Couldn't create signal pipe. Error: " << errno << "\n");
        return;
    }
    mSignalRead.Reset(fds[0]);
    gSignalWrite.store(fds[1]);
    mSignalNotifier = new QSocketNotifier(mSignalRead.Get(), QSocketNotifier::Read, this);
    QObject::connect(mSignalNotifier, &QSocketNotifier::activated, this, [this] { OnSignal(); });

    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void CServiceApp::OnSignal() {
    char bytes[16];
    while (::read(mSignalRead.Get(), bytes, sizeof bytes) > 0) {
    }
    VBX_LOG(3, "Termination signal received, shutting down\n");
    PreExitInstance();
    QCoreApplication::exit(0);
}
