#include "app/CoreApp.h"

#include "app/BridgeSupervisor.h"
#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "app/StartupLog.h"
#include "app/UpdateCheck.h"
#include "app/UserFolders.h"
#include "history/PlayHistory.h"
#include "player/PlayRecorder.h"
#include "res/StringTable.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "update/VersionResource.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read on the program's thread.
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

CCoreApp::CCoreApp(CShell* shell, QObject* parent)
    : QObject(parent), mpShell(shell), mListener(CPlayerListener::BasePortFromEnvironment()),
      mpUpdateCheck(std::make_unique<CUpdateCheck>()) {
    connect(&mGuard, &CInstanceGuard::linkOpened, this, &CCoreApp::OnLinkOpened);
    connect(mpUpdateCheck.get(), &CUpdateCheck::finished, this,
            [this](const CUpdateCheck::CResult& result) { OnUpdateCheck(result.found, result.failed); });
}

CCoreApp::~CCoreApp() {
    Shutdown();
    mGuard.StopListening();
    delete mSignalNotifier;
    const int write = gSignalWrite.exchange(-1);
    if (write >= 0)
        ::close(write);
}

void CCoreApp::InitLogger() {
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

void CCoreApp::MakeFoldersPrivate() {
    const std::string config = CUserFolders::ConfigHome();
    const std::string data = CUserFolders::DataHome();
    std::vector<std::string> folders;
    if (!config.empty())
        folders.push_back(config + "/Fenwave");
    if (!data.empty()) {
        for (const char* folder : {"/Fenwave", "/Fenwave/Vortlebox", "/Fenwave/Cache"})
            folders.push_back(data + folder);
    }
    for (const std::string& folder : folders) {
        bool changed = false;
        const int error = CUserFolders::MakePrivate(folder, changed);
        if (changed)
            VBX_LOG(1, "Made " << folder << " private to its owner, as the program's own folders are\n");
        else if (error != 0 && error != ENOENT)
            VBX_LOG(1, "Couldn't make " << folder << " private. Error: " << error << "\n");
    }
}

void CCoreApp::SetCurrentDir() {
    const std::string dir = CUserFolders::ProgramFolder();
    if (dir.empty()) {
        VBX_LOG(1, "Couldn't get current dir. This is bad!\n");
        return;
    }
    if (::chdir(dir.c_str()) != 0)
        VBX_LOG(1, "Couldn't set current dir. This is bad!\n");
}

bool CCoreApp::IsSecondCopy() {
    const QStringList args = QCoreApplication::arguments();
    mbLink = args.size() > 1 && args[1].contains(QLatin1String(kLinkPrefix));
    return mGuard.IsAnotherRunning(mbLink);
}

bool CCoreApp::Start() {
    // The crash handler is installed by main() before this object exists.
    // Point A: a second copy ends here, silently (the log is not open yet).
    if (IsSecondCopy()) {
        mExitCode = 0;
        mbQuiet = true;
        return false;
    }
    InitLogger();
    MakeFoldersPrivate();
    if (!mGuard.ErrorText().empty())
        VBX_LOG(1, mGuard.ErrorText() << "\n");
    // Later copies are answered from now on; a link they hand over waits
    // until the windows are there.
    if (mGuard.IsHeld() && !mGuard.Listen())
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
    // A login at start-up is verified before the submission layer starts:
    // through the stored proxy too.
    CWebSubmitter::Instance().ApplyProxy();

    // Point B.
    if (!RunFirstRunAndLogin() || mbClosing)
        return mbClosing ? true : Quit();

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
    // What becomes of each play is recorded from the first one on.
    mpHistory = std::make_unique<CPlayHistory>(settings);
    mpHistory->Start();
    CPlayRecorder::Install(mpHistory.get());
    CWebSubmitter::Instance().init(userName, passwordHash, kClientId, kClientVersion, true);

    // The bridge is told the port the listener really bound, so that it
    // reaches this program and no other copy's listener.
    mpBridge = std::make_unique<CBridgeSupervisor>(settings);
    mListener.SetListeningHandler([this](uint16_t port) {
        QMetaObject::invokeMethod(
            this,
            [this, port] {
                if (mpBridge && !mbClosing)
                    mpBridge->Start(port);
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
    if (mpShell != nullptr) {
        if (!mpShell->Attach(mbFirstRun, mbLink))
            return mbClosing ? true : Quit();
        mbAttached = true;
    }
    if (!mbLink && !mbFirstRun && !mbClosing)
        mpUpdateCheck->Start();
    if (mbLinkWaiting && !mbClosing)
        OnLinkOpened();
    VBX_LOG(3, "InitInstance completed successfully\n");
    return true;
}

int CCoreApp::Run() {
    if (!Start()) {
        Shutdown();
        return mExitCode;
    }
    // Closing may have begun inside a window of the start-up: the main loop
    // would then wait for an end that was asked for already.
    const int code = mbClosing ? mExitCode : QCoreApplication::exec();
    Shutdown();
    if (mbListenerStuck) {
        // The stuck thread still uses this object: nothing may be destroyed
        // under it.
        CLogger::Instance().Close();
        std::_Exit(code);
    }
    return code;
}

bool CCoreApp::Quit() {
    mExitCode = 1;
    return false;
}

bool CCoreApp::RunFirstRunAndLogin() {
    CSettingsManager& settings = CSettingsManager::Instance();
    mbFirstRun = settings.IsFirstRun();
    if (mpShell != nullptr)
        return mpShell->RunFirstRunAndLogin(mbFirstRun, mbLink);
    // Nobody to answer the link's question: logged, and answered Cancel.
    if (mbFirstRun) {
        if (mbLink)
            return LogUnshownBox(IDS_RADIO_LINK_FIRST_RUN);
        VBX_LOG(2, "First run without a display, the configuration wizard is not shown\n");
    }
    bool login = false;
    try {
        const CUser user = settings.GetCurrentUser();
        login = !user.rememberPassword && !mbFirstRun;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(3, "No current user found, ask for login\n");
        login = true;
    }
    if (login) {
        if (mbLink)
            return LogUnshownBox(IDS_RADIO_LINK_LOGIN);
        VBX_LOG(2, "No display to ask for a login, going on with the stored settings\n");
    }
    if (mbLink && !mbFirstRun)
        return LogUnshownBox(IDS_RADIO_LINK_INSTALL);
    return true;
}

bool CCoreApp::LogUnshownBox(int textId) {
    VBX_LOG(1, "Message box not shown (no display): " << CStringTable::Get(IDS_MAIN_TITLE) << ": "
                                                      << CStringTable::Get(textId) << "\n");
    return false;
}

void CCoreApp::RequestExit() {
    if (mbClosing)
        return;
    mbClosing = true;
    VBX_LOG(3, "Main window closing, shutting down\n");
    // A copy started from now on waits for the guard instead of taking
    // this one for the running copy.
    mGuard.StopListening();
    if (mpShell != nullptr)
        mpShell->CloseWindows();
    QCoreApplication::exit(0);
}

pid_t CCoreApp::BridgePid() const {
    return mpBridge ? mpBridge->Pid() : 0;
}

int CCoreApp::PlayerListenerThreadMain(CCoreApp* core) {
    try {
        core->mListener.Start();
    } catch (const CPlayerListener::CNetworkException& e) {
        // Windows belong to the program's thread: the error is shown there.
        const std::string text = e.what();
        QMetaObject::invokeMethod(
            core, [core, text] { core->ShowError(text); }, Qt::QueuedConnection);
    }
    VBX_LOG(3, "Listener thread finishing.\n");
    return 0;
}

void CCoreApp::Shutdown() {
    if (mbShutDown)
        return;
    mbShutDown = true;
    mbClosing = true;
    mGuard.StopListening();
    mpUpdateCheck->Stop();
    if (mListenerThread.joinable()) {
        VBX_LOG(3, "Saving settings manager\n");
        try {
            CSettingsManager::Instance().Save();
        } catch (const CRegistryUtils::CRegistryException& e) {
            VBX_LOG(1, "CRegistryException on mgr.Save(): " << e.what() << "\n");
        }
        VBX_LOG(3, "Calling term on libvortler\n");
        CWebSubmitter::Instance().term();
        if (mpBridge)
            mpBridge->Stop();
        VBX_LOG(3, "Stopping player listener\n");
        if (mListener.Stop()) {
            mListenerThread.join();
        } else {
            // Its loop did not end within the limit: the process ends
            // without waiting longer for a thread that hangs (Run).
            VBX_LOG(1, "The listener's thread did not end; the program ends without it\n");
            mListenerThread.detach();
            mbListenerStuck = true;
        }
    }
    mpBridge.reset();
    if (mpHistory) {
        // After the listener ended every play: those cut short are written.
        if (CPlayRecorder::Installed() == mpHistory.get())
            CPlayRecorder::Install(nullptr);
        mpHistory->Close();
    }
    if (mpShell != nullptr)
        mpShell->Detach();
    if (!mbQuiet)
        VBX_LOG(3, "Exiting\n");
}

void CCoreApp::ShowError(const std::string& text) {
    if (mpShell != nullptr) {
        mpShell->ShowError(text);
        return;
    }
    // Without a display the error goes to the log and to the error output
    // a service manager keeps.
    std::cerr << text << std::endl;
    VBX_LOG(1, "Message box not shown (no display): " << CStringTable::Get(IDS_MAIN_TITLE) << ": " << text << "\n");
}

void CCoreApp::OnUpdateCheck(bool found, bool failed) {
    // The desktop's main window acts on the check itself.
    if (mpShell != nullptr)
        return;
    if (found)
        VBX_LOG(2, "Updates available; the update wizard is not shown: no display\n");
    else if (!failed)
        VBX_LOG(3, "No updates available\n");
}

void CCoreApp::OnLinkOpened() {
    if (mbClosing)
        return;
    if (!mbAttached && mpShell != nullptr) {
        // The start-up's windows are still open: the link waits for them.
        VBX_LOG(3, "Link kept until start-up has finished\n");
        mbLinkWaiting = true;
        return;
    }
    mbLinkWaiting = false;
    if (mpShell == nullptr) {
        LogUnshownBox(IDS_RADIO_LINK_INSTALL);
        return;
    }
    mpShell->OnLink();
}

void CCoreApp::InstallSignalHandlers() {
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

void CCoreApp::OnSignal() {
    char bytes[16];
    while (::read(mSignalRead.Get(), bytes, sizeof bytes) > 0) {
    }
    VBX_LOG(3, "Termination signal received, shutting down\n");
    RequestExit();
}
