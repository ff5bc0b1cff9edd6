#pragma once

#include "app/Observer.h"
#include "app/UpdateCheck.h"

#include <QMainWindow>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class CHistoryWindow;
class COptionsDialog;
class CPlayHistory;
class CPlayerListener;
class CSettingsManager;
class CStatusPage;
class CSysTrayIcon;
class CUserMenu;
class CWebSubmitter;
class QAction;

/// The program's one top-level window: a fixed-size window holding the
/// status window under a menu bar, created hidden at start-up. It owns the
/// tray icon, through which the user reaches it and everything else, and
/// acts on the core's update check, at start-up and on demand.
///
/// Closing the window (its close button, or "File > Exit") only hides it to
/// the tray; without a tray host it is minimised instead, so the program
/// never becomes unreachable. Only the tray's "Exit" (or a termination
/// signal) ends the program: Close() asks the core to exit.
///
/// One modal window at a time: while one is open (CModalTracker), the
/// tray's "Open" brings it to the front, its other commands are refused
/// with a short message, and the update wizard and the question about a
/// link wait until it has closed. Options follows no change of user: it
/// closes when the current user changes behind it.
///
/// The frame observes the settings and the web submitter. Their
/// notifications, from any thread, are posted to the window's thread, where
/// the tray icon is re-derived. Nothing touches a widget from another
/// thread.
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
        ID_HISTORY = 32789,
    };

    CMainFrame(CPlayerListener& listener, CWebSubmitter& submitter, CSettingsManager& settings,
               CUpdateCheck& updateCheck, QWidget* parent = nullptr);
    /// Stops observing, removes the tray icon.
    ~CMainFrame() override;

    /// What Close() asks for: the program's exit.
    void SetExitHandler(std::function<void()> handler);
    /// The text with which a tray command is refused while a modal window
    /// is open.
    static QString RefusalText();

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
    bool IsUpdateCheckRunning() const noexcept { return mUpdateCheck.IsRunning(); }

    /// A later copy was started with a "fenwave:" link: asks whether to
    /// install the radio and runs the plug-in wizard in radio mode on OK.
    /// True if the wizard ran.
    bool OnFenwaveLink();

    /// "Open": shows the window in front, with the focus; while a modal
    /// window is open, that one.
    void Open();
    /// The close button and "File > Exit": hides the window to the tray (or
    /// minimises it when there is no tray).
    void HideToTray();
    /// The tray's "Exit": asks for Close() once the current event is done.
    void PostClose();
    /// Ends the program: the exit handler, the tray icon removed, the
    /// window hidden. Runs once.
    void Close();
    bool IsClosing() const noexcept { return mbClosing; }

    /// Runs the plug-in wizard modally in a mode; true if it finished.
    bool RunPluginWizard(int mode);
    /// Runs the update wizard over the result of the last check.
    void RunUpdateWizard();
    /// "Options...": the options dialog on its first page.
    void RunOptions();
    /// The history "History..." shows; none: the command is not offered.
    void SetHistory(CPlayHistory* history);
    /// "History...": the history window, in front (made on first use).
    void ShowHistory();
    /// The history window while it is open; null otherwise.
    CHistoryWindow* HistoryWindow() const;
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
    CAutoUpdater& Updater() noexcept { return mUpdateCheck.Updater(); }
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
    void CreateMenus();
    void StartCheck(bool manual);
    void OnCheckFinished(const CUpdateCheck::CResult& result);
    void OnTrayAvailabilityChanged(bool present);
    void RunLoginDialog(int mode, const std::string& userName);
    /// False, with the refusal shown, while a modal window is open.
    bool MayRunCommand(const char* command);
    /// Closes Options when the user it edits is no longer the current one.
    void FollowUserChange();

    CPlayerListener& mListener;
    CWebSubmitter& mSubmitter;
    CSettingsManager& mSettings;
    CUpdateCheck& mUpdateCheck;

    CStatusPage* mpStatusPage = nullptr;
    CSysTrayIcon* mpTray = nullptr;
    CUserMenu* mpUserMenu = nullptr;
    std::function<void()> mExitHandler;
    QPointer<COptionsDialog> mpOptions;
    CPlayHistory* mpHistory = nullptr;
    QPointer<CHistoryWindow> mpHistoryWindow;
    std::string mOptionsUser;

    // Touched on the window's thread only.
    bool mbManualCheck = false;
    bool mbWaitCursor = false;
    bool mbUpdateWizardOpen = false;
    bool mbClosing = false;
    bool mbObserving = false;
    std::atomic<bool> mbRefreshPosted{false};
};
