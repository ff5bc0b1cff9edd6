#pragma once

#include "app/UniqueFd.h"
#include "player/PlayerListener.h"

#include <QApplication>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class QSocketNotifier;

/// The application object: starts the log, the settings, the submission
/// layer and the player listener on its own thread, runs the message loop,
/// and shuts everything down in a fixed order when asked to exit (by the
/// tray's Exit, or by SIGTERM or SIGINT).
class CServiceApp : public QApplication {
public:
    /// The client identifier and version handed to the submission layer.
    static constexpr const char* kClientId = "vbx";
    static constexpr const char* kClientVersion = "0.1";
    /// Overrides the listener's first port (for running copies side by side).
    static constexpr const char* kPortVariable = "VORTLEBOX_LISTENER_PORT";

    CServiceApp(int& argc, char** argv);
    /// Shuts down what InitInstance started, if PreExitInstance did not.
    ~CServiceApp() override;

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

private:
    /// Shows an error text to the user: a message box, or standard error
    /// when there is no screen to show it on. User-interface thread only.
    void ShowError(const std::string& text);
    /// Routes SIGTERM and SIGINT to an orderly exit on this thread.
    void InstallSignalHandlers();
    void OnSignal();

    CPlayerListener mListener;
    std::thread mListenerThread;
    bool mbExitQuietly = false;
    bool mbPreExitDone = false;
    int mExitCode = 0;
    CUniqueFd mSignalRead;
    QSocketNotifier* mSignalNotifier = nullptr;
};
