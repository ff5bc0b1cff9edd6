#pragma once

#include "app/UniqueFd.h"
#include "player/PlayerListener.h"
#include "ui/InstanceGuard.h"

#include <QApplication>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class CBridgeSupervisor;
class CMainFrame;
class QSocketNotifier;

/// The application object: makes sure only one copy runs (handing a
/// "fenwave:" link to the running one), starts the log and the settings,
/// walks a new user through the configuration wizard or asks for a login,
/// starts the submission layer and the player listener on its own thread,
/// creates the hidden main window with the tray icon and checks for updates;
/// then runs the message loop and shuts everything down in a fixed order
/// when asked to exit (by the tray's Exit, or by SIGTERM or SIGINT).
///
/// Without a display the program is headless: it shows no window, skips
/// the wizard and the login (logging that), logs each message box instead
/// of showing it, and serves with the stored settings.
class CServiceApp : public QApplication {
public:
    /// The client identifier and version handed to the submission layer.
    static constexpr const char* kClientId = "vbx";
    static constexpr const char* kClientVersion = "0.1";
    /// Overrides the listener's first port (for running copies side by side).
    static constexpr const char* kPortVariable = CPlayerListener::kPortVariable;

    CServiceApp(int& argc, char** argv);
    /// Shuts down what InitInstance started, if PreExitInstance did not.
    ~CServiceApp() override;

    /// The prefix that marks a command-line argument as a link.
    static constexpr const char* kLinkPrefix = "fenwave:";

    /// Start-up; false means the process ends at once with ExitCode().
    bool InitInstance();
    /// First step of shutdown, on the user-interface thread: saves the
    /// settings, terminates the submission layer, stops and joins the
    /// listener. Runs once; later calls do nothing.
    void PreExitInstance();
    /// Last step, once the message loop has ended.
    void ExitInstance();

    /// The listener thread's function.
    static int PlayerListenerThreadMain(CServiceApp* app);
    /// Makes the program's own folder the working directory.
    static void SetCurrentDir();
    /// Opens the log in the user data directory and writes the banner.
    static void InitLogger();

    /// The exit code of a start-up that returned false.
    int ExitCode() const noexcept { return mExitCode; }
    CPlayerListener& GetListener() noexcept { return mListener; }
    /// The main window; null before start-up created it.
    CMainFrame* GetMainFrame() noexcept { return mpFrame.get(); }

    /// Whether nobody can answer a window: no display, or the offscreen
    /// platform.
    static bool IsHeadless();
    /// The About box (Help > About Vortlebox...).
    void OnAppAbout();

private:
    /// Point A: another running copy, and a link on the command line.
    bool IsSecondCopy();
    /// Point B: the first-run wizard and the login; false ends start-up.
    bool RunFirstRunAndLogin();
    /// Point C: the main window, a radio link, the update check; false ends
    /// start-up.
    bool CreateMainWindow();
    /// The configuration wizard of a first run; false if it was cancelled.
    bool RunStartupWizard();
    /// The login dialog for a user (empty: any); false if it was cancelled.
    bool RunStartupLogin(const std::string& userName);
    /// A start-up question with OK and Cancel; true for OK.
    bool AskOk(int textId);
    /// Ends start-up with quit code 1.
    bool Quit();
    /// Shows an error text to the user: a message box, or standard error
    /// when there is no screen to show it on. User-interface thread only.
    void ShowError(const std::string& text);
    /// Routes SIGTERM and SIGINT to an orderly exit on this thread.
    void InstallSignalHandlers();
    void OnSignal();

    CPlayerListener mListener;
    std::thread mListenerThread;
    CInstanceGuard mGuard;
    std::unique_ptr<CMainFrame> mpFrame;
    bool mbLink = false;
    bool mbFirstRun = false;
    bool mbLinkMessageShown = false;
    bool mbExitQuietly = false;
    bool mbPreExitDone = false;
    int mExitCode = 0;
    CUniqueFd mSignalRead;
    QSocketNotifier* mSignalNotifier = nullptr;
    /// The MPRIS bridge, started once the listener serves.
    std::unique_ptr<CBridgeSupervisor> mBridge;
};
