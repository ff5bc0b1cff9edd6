#include "app/ServiceApp.h"

#include "app/BridgeSupervisor.h"
#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "app/UserFolders.h"
#include "app/StartupLog.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/AboutDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainFrame.h"
#include "ui/MessageBox.h"
#include "ui/SysTrayIcon.h"
#include "ui/UiText.h"
#include "update/PluginWizard.h"
#include "update/VersionResource.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <optional>
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

} // namespace

CServiceApp::CServiceApp(int& argc, char** argv)
    : QApplication(argc, argv), mListener(CPlayerListener::BasePortFromEnvironment()) {
    setQuitOnLastWindowClosed(false);
}

CServiceApp::~CServiceApp() {
    PreExitInstance();
    // The windows go after the core has stopped, taking the tray icon.
    mGuard.StopListening();
    mpFrame.reset();
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
    const std::string dir = CUserFolders::ProgramFolder();
    if (dir.empty()) {
        VBX_LOG(1, "Couldn't get current dir. This is bad!\n");
        return;
    }
    if (::chdir(dir.c_str()) != 0)
        VBX_LOG(1, "Couldn't set current dir. This is bad!\n");
}

bool CServiceApp::IsHeadless() {
    return CMessageBox::IsHeadless();
}

bool CServiceApp::IsSecondCopy() {
    const QStringList args = arguments();
    mbLink = args.size() > 1 && args[1].contains(QLatin1String(kLinkPrefix));
    return mGuard.IsAnotherRunning(mbLink);
}

bool CServiceApp::InitInstance() {
    // The crash handler is installed by main() before this object exists.
    // Point A: a second copy ends here, silently (the log is not open yet).
    if (IsSecondCopy()) {
        mbExitQuietly = true;
        mExitCode = 0;
        return false;
    }
    InitLogger();
    if (!mGuard.ErrorText().empty())
        VBX_LOG(1, mGuard.ErrorText() << "\n");
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

    // Point B.
    if (!RunFirstRunAndLogin())
        return false;

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

    // The bridge is told the port the listener really bound, so that it
    // reaches this program and no other copy's listener.
    mBridge = std::make_unique<CBridgeSupervisor>(CSettingsManager::Instance());
    mListener.SetListeningHandler([this](uint16_t port) {
        QMetaObject::invokeMethod(
            this, [this, port] {
                if (mBridge && !mbPreExitDone)
                    mBridge->Start(port);
            },
            Qt::QueuedConnection);
    });
    // The id is read before the record is written: waiting for another
    // thread inside a log statement would hold the log's lock meanwhile.
    long listenerId = 0;
    mListenerThread = CCrashHandler::StartThread([this] { PlayerListenerThreadMain(this); }, &listenerId);
    VBX_LOG(3, "PlayerListenerThread started at: " << static_cast<const void*>(&mListenerThread)
                                                   << " ID: " << listenerId << "\n");

    // Point C.
    if (!CreateMainWindow())
        return false;
    VBX_LOG(3, "InitInstance completed successfully\n");
    return true;
}

bool CServiceApp::Quit() {
    mExitCode = 1;
    return false;
}

bool CServiceApp::AskOk(int textId) {
    return CMessageBox::Show(nullptr, QMessageBox::Information, UiText(IDS_MAIN_TITLE), UiText(textId),
                             QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

bool CServiceApp::RunFirstRunAndLogin() {
    CSettingsManager& settings = CSettingsManager::Instance();
    mbFirstRun = settings.IsFirstRun();
    mbLinkMessageShown = false;
    if (mbFirstRun) {
        if (mbLink) {
            mbLinkMessageShown = true;
            if (!AskOk(IDS_RADIO_LINK_FIRST_RUN))
                return Quit();
        }
        if (IsHeadless()) {
            VBX_LOG(2, "First run without a display, the configuration wizard is not shown\n");
        } else {
            VBX_LOG(3, "First run, launching wizard\n");
            if (!RunStartupWizard())
                return Quit();
        }
    }

    std::optional<std::string> loginFor;
    try {
        const CUser user = settings.GetCurrentUser();
        if (!user.rememberPassword && !mbFirstRun)
            loginFor = user.name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(3, "No current user found, ask for login\n");
        loginFor = std::string();
    }
    if (!loginFor)
        return true;
    if (mbLink && !mbLinkMessageShown) {
        mbLinkMessageShown = true;
        if (!AskOk(IDS_RADIO_LINK_LOGIN))
            return Quit();
    }
    if (IsHeadless()) {
        VBX_LOG(2, "No display to ask for a login, going on with the stored settings\n");
        return true;
    }
    if (!RunStartupLogin(*loginFor))
        return Quit();
    return true;
}

bool CServiceApp::CreateMainWindow() {
    CSettingsManager& settings = CSettingsManager::Instance();
    mpFrame = std::make_unique<CMainFrame>(mListener, CWebSubmitter::Instance(), settings);
    mpFrame->SetShutdownHandler([this] { PreExitInstance(); });
    QObject::connect(mpFrame.get(), &CMainFrame::aboutRequested, this, &CServiceApp::OnAppAbout);
    // Hidden; without a tray to reach it from, it is shown at once.
    if (!mpFrame->Tray().IsTrayPresent() && !IsHeadless()) {
        VBX_LOG(1, "No system tray, showing the main window\n");
        mpFrame->show();
    }
    if (mGuard.IsHeld()) {
        if (mGuard.Listen())
            QObject::connect(&mGuard, &CInstanceGuard::linkOpened, mpFrame.get(), &CMainFrame::OnFenwaveLink);
        else
            VBX_LOG(1, mGuard.ErrorText() << "\n");
    }

    if (mbLink && !mbFirstRun) {
        if (!mbLinkMessageShown && !AskOk(IDS_RADIO_LINK_INSTALL))
            return Quit();
        mpFrame->RunPluginWizard(CPluginWizard::MODE_RADIO);
    }
    if (!mbLink && !mbFirstRun)
        mpFrame->CheckForUpdates();
    return true;
}

bool CServiceApp::RunStartupWizard() {
    CPluginWizard wizard(CPluginWizard::MODE_FIRST_RUN, CSettingsManager::Instance(), CWebSubmitter::Instance());
    return wizard.exec() == QDialog::Accepted;
}

bool CServiceApp::RunStartupLogin(const std::string& userName) {
    CLoginDialog login(CLoginDialog::LOGIN_MODE_LOGIN, nullptr, userName);
    return login.exec() == QDialog::Accepted;
}

void CServiceApp::OnAppAbout() {
    if (IsHeadless()) {
        VBX_LOG(2, "About box not shown: no display\n");
        return;
    }
    CAboutDialog about(mpFrame.get());
    about.exec();
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
    if (mBridge)
        mBridge->Stop();
    VBX_LOG(3, "Stopping player listener\n");
    mListener.Stop();
    mListenerThread.join();
}

void CServiceApp::ExitInstance() {
    if (!mbExitQuietly)
        VBX_LOG(3, "Exiting\n");
}

void CServiceApp::ShowError(const std::string& text) {
    // Without a display the box is only logged; a service's error output
    // still tells.
    if (IsHeadless())
        std::cerr << text << std::endl;
    CMessageBox::Show(mpFrame.get(), QMessageBox::Critical, UiText(IDS_MAIN_TITLE), QString::fromStdString(text));
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
    // The same way as the tray's Exit, once there is a main window.
    if (mpFrame) {
        mpFrame->Close();
        return;
    }
    PreExitInstance();
    QCoreApplication::exit(0);
}
