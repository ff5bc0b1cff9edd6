#pragma once

#include "app/InstanceGuard.h"
#include "app/UniqueFd.h"
#include "player/PlayerListener.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CBridgeSupervisor;
class CPlayHistory;
class CUpdateCheck;
class QSocketNotifier;

/// The program's core on Qt's event loop, with no window: makes sure only
/// one copy runs (handing a "fenwave:" link to the running one), starts the
/// log and the settings, starts the submission layer and the player listener
/// on its own thread, runs the MPRIS bridge, checks for updates; then, when
/// asked to exit (a termination signal, or the desktop's Exit), shuts
/// everything down in a fixed order.
///
/// Without a display it runs alone on a QCoreApplication (a service): the
/// first-run wizard and the login are skipped with a log record, each
/// message it would show is logged, and the outcome of the update check is
/// logged. With a display, the desktop shell (CShell) adds the windows at
/// the points of start-up that need a person.
class CCoreApp : public QObject {
    Q_OBJECT
public:
    /// The client identifier and version handed to the submission layer.
    static constexpr const char* kClientId = "vbx";
    static constexpr const char* kClientVersion = "0.1";
    /// The prefix that marks a command-line argument as a link.
    static constexpr const char* kLinkPrefix = "fenwave:";

    /// What a desktop adds to the core. All on the program's thread.
    class CShell {
    public:
        virtual ~CShell() = default;
        /// The first-run wizard, the question about a link and the login,
        /// before the submission layer starts. False ends start-up.
        virtual bool RunFirstRunAndLogin(bool firstRun, bool link) = 0;
        /// The main window with the tray icon, and the radio wizard of a
        /// link. False ends start-up.
        virtual bool Attach(bool firstRun, bool link) = 0;
        /// Closing has begun: every open modal window is closed, so that the
        /// shutdown runs in the main loop and not inside a window's.
        virtual void CloseWindows() = 0;
        /// The last step of shutdown: the windows go, with the tray icon.
        virtual void Detach() = 0;
        /// Shows an error text to the person.
        virtual void ShowError(const std::string& text) = 0;
        /// A later copy was started with a link.
        virtual void OnLink() = 0;
    };

    /// Without a shell the core runs headless.
    explicit CCoreApp(CShell* shell = nullptr, QObject* parent = nullptr);
    /// Shuts down what Start started, if Shutdown did not.
    ~CCoreApp() override;

    /// Start-up; false means the process ends at once with ExitCode().
    bool Start();
    /// The program's whole life: Start, the main loop (unless closing began
    /// during start-up), Shutdown. Returns the exit code.
    int Run();
    /// Begins closing (the tray's Exit, a termination signal, an update
    /// that needs the program gone): the guard stops answering, the shell
    /// closes its modal windows, and the main loop is asked to end. Runs
    /// once.
    void RequestExit();
    bool IsClosing() const noexcept { return mbClosing; }
    /// Saves the settings, terminates the submission layer, ends the
    /// bridge, stops the listener and waits (within CPlayerListener::kLoopEndWait) for
    /// its thread, then lets the shell go. Runs once; later calls do
    /// nothing.
    void Shutdown();

    int ExitCode() const noexcept { return mExitCode; }
    bool IsHeadless() const noexcept { return mpShell == nullptr; }
    CPlayerListener& Listener() noexcept { return mListener; }
    CUpdateCheck& UpdateCheck() noexcept { return *mpUpdateCheck; }
    /// The history of what was played; null before start-up reached the
    /// submission layer.
    CPlayHistory* History() noexcept { return mpHistory.get(); }
    /// The process id of the running MPRIS bridge, 0 for none.
    pid_t BridgePid() const;

    /// Makes the program's own folder the working directory.
    static void SetCurrentDir();
    /// Opens the log in the user data directory and writes the banner.
    static void InitLogger();
    /// Makes the program's own folders (settings, user data, picture cache)
    /// owner only, also ones an earlier version left open to others.
    static void MakeFoldersPrivate();

    /// The listener thread's function.
    static int PlayerListenerThreadMain(CCoreApp* core);

signals:
    /// A later copy was started with a link (before the shell is attached,
    /// the link is kept until then).
    void linkOpened();

private:
    /// Point A: another running copy, and a link on the command line.
    bool IsSecondCopy();
    bool RunFirstRunAndLogin();
    /// Logs the question a message box would ask (no display) and answers
    /// it Cancel: false.
    static bool LogUnshownBox(int textId);
    bool Quit();
    void ShowError(const std::string& text);
    void OnUpdateCheck(bool found, bool failed);
    void InstallSignalHandlers();
    void OnSignal();
    void OnLinkOpened();

    CShell* mpShell;
    CPlayerListener mListener;
    std::thread mListenerThread;
    CInstanceGuard mGuard;
    std::unique_ptr<CPlayHistory> mpHistory;
    std::unique_ptr<CBridgeSupervisor> mpBridge;
    std::unique_ptr<CUpdateCheck> mpUpdateCheck;
    bool mbLink = false;
    bool mbFirstRun = false;
    bool mbAttached = false;
    bool mbLinkWaiting = false;
    bool mbClosing = false;
    bool mbShutDown = false;
    // A second copy ends without a word in the running copy's log.
    bool mbQuiet = false;
    bool mbListenerStuck = false;
    int mExitCode = 0;
    CUniqueFd mSignalRead;
    QSocketNotifier* mSignalNotifier = nullptr;
};
