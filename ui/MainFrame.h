#pragma once

#include "app/Observer.h"
#include "update/AutoUpdater.h"

#include <QMainWindow>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class CPlayerListener;
class CSettingsManager;
class CStatusPage;
class CSysTrayIcon;
class CUserMenu;
class CWebSubmitter;
class QAction;

/// The program's one top-level window: a fixed-size window holding the
/// status window under a menu bar, created hidden at start-up. It owns the
/// tray icon, through which the user reaches it and everything else, and the
/// auto-updater, with which it checks for updates in the background at
/// start-up and on demand.
///
/// Closing the window (its close button, or "File > Exit") only hides it to
/// the tray; without a tray host it is minimised instead, so the program
/// never becomes unreachable. Only the tray's "Exit" (or a termination
/// signal) ends the program: Close() runs the shutdown handler (the
/// application's orderly shutdown of the core) and ends the event loop.
///
/// The frame observes the settings and the web submitter. Their
/// notifications, from any thread, are posted to the window's thread, where
/// the tray icon is re-derived; the update-check thread likewise posts its
/// result. Nothing touches a widget from another thread.
class CMainFrame : public QMainWindow, public Observer {
    Q_OBJECT
public:
    /// Command numbers of the menus (each command is a QAction whose data is
    /// the number and whose objectName is its role).
    enum ECommand : int {
        ID_APP_EXIT = 57665,
        ID_GET_PLUGIN = 32781,
        ID_GET_RADIO = 32784,
        ID_CHECK_UPDATES = 32788,
        ID_OPTIONS = 32782,
        ID_ADD_USER = 32777,
        ID_APP_ABOUT = 57664,
    };

    CMainFrame(CPlayerListener& listener, CWebSubmitter& submitter, CSettingsManager& settings,
               QWidget* parent = nullptr);
    /// Stops observing, cancels and joins the update check, removes the tray
    /// icon.
    ~CMainFrame() override;

    /// The orderly shutdown of the core that Close() runs first.
    void SetShutdownHandler(std::function<void()> handler);

    /// Observer callback, from any thread: posts the tray refresh.
    void Update() override;

    /// The background update check at start-up: a worker asks the
    /// auto-updater; updates found open the update wizard, a failure is
    /// only logged.
    void CheckForUpdates();
    /// "Check for Updates...": the same check under the wait cursor; the
    /// answer is always shown (the update wizard, "Up to date", or why the
    /// check failed).
    void CheckForUpdatesManually();
    bool IsUpdateCheckRunning() const noexcept { return mbChecking.load(); }

    /// A later copy was started with a "fenwave:" link: asks whether to
    /// install the radio and runs the plug-in wizard in radio mode on OK.
    /// True if the wizard ran.
    bool OnFenwaveLink();

    /// "Open": shows the window in front, with the focus.
    void Open();
    /// The close button and "File > Exit": hides the window to the tray (or
    /// minimises it when there is no tray).
    void HideToTray();
    /// The tray's "Exit": asks for Close() once the current event is done.
    void PostClose();
    /// Ends the program: the shutdown handler, the tray icon removed, the
    /// event loop ended. Runs once.
    void Close();
    bool IsClosing() const noexcept { return mbClosing; }

    /// Runs the plug-in wizard modally in a mode; true if it finished.
    bool RunPluginWizard(int mode);
    /// Runs the update wizard over the result of the last check.
    void RunUpdateWizard();
    /// "Options...": the options dialog on its first page.
    void RunOptions();
    /// "Add User...": the login dialog adding a user.
    void AddUser();
    /// A user chosen in a user menu: switched to at once with a remembered
    /// password, else after the login dialog.
    void ChooseUser(int index);
    /// "Enable vortling".
    void ToggleVortling();

    CSysTrayIcon& Tray() noexcept { return *mpTray; }
    CStatusPage& StatusPage() noexcept { return *mpStatusPage; }
    CUserMenu& UserMenu() noexcept { return *mpUserMenu; }
    CAutoUpdater& Updater() noexcept { return mUpdater; }
    /// The main menu's action of a command number; null for others.
    QAction* Command(int command) const;

signals:
    /// "Help > About Vortlebox...": the application shows its About box.
    void aboutRequested();
    /// An update check ended and its result was acted on.
    void updateCheckFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct CCheckResult {
        bool found = false;
        bool failed = false;
        std::string error;
    };

    void CreateMenus();
    void StartCheck(bool manual);
    void CheckForUpdatesThread();
    void OnCheckFinished(const CCheckResult& result);
    void OnTrayAvailabilityChanged(bool present);
    void RunLoginDialog(int mode, const std::string& userName);

    CPlayerListener& mListener;
    CWebSubmitter& mSubmitter;
    CSettingsManager& mSettings;

    CStatusPage* mpStatusPage = nullptr;
    CSysTrayIcon* mpTray = nullptr;
    CUserMenu* mpUserMenu = nullptr;
    CAutoUpdater mUpdater;
    std::function<void()> mShutdown;

    std::thread mCheckThread;
    std::atomic<bool> mbChecking{false};
    // Touched on the window's thread only.
    bool mbManualCheck = false;
    bool mbWaitCursor = false;
    bool mbUpdateWizardOpen = false;
    bool mbClosing = false;
    bool mbObserving = false;
    std::atomic<bool> mbRefreshPosted{false};
};
