#pragma once

#include "ui/TrayState.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

class CSettingsManager;
class CTrayWatcher;
class CUserMenu;
class CWebSubmitter;
class QAction;
class QMenu;
class QWidget;

/// The program's icon in the system tray, owned by the main window: the
/// current user's coloured icon in one of three states (normal, caching,
/// disabled; see CTrayState) with a tip naming the user, a double click
/// that opens the main window, and the tray menu:
///   "Open" (bold), "History..."  |  "Enable vortling" (checked from the settings)  |
///   "Change User" > users..., "Add User..."  |  "Exit"
/// Its commands go to the main window through the signals below.
///
/// Without a tray host (a desktop without one, or no display) nothing is
/// shown. A CTrayWatcher tells when a tray appears or goes away (said on as
/// trayAvailabilityChanged), without polling. The icon itself is made only
/// once a tray is there: Qt decides once per process whether icons go to a
/// StatusNotifier host, so an icon made before the host had come would
/// never reach it. User-interface thread only.
class CSysTrayIcon : public QObject {
    Q_OBJECT
public:
    /// Command numbers of the tray menu.
    static constexpr int kOpenCommand = 32771;
    static constexpr int kEnableVortlingCommand = 32786;
    static constexpr int kExitCommand = 32772;
    static constexpr int kHistoryCommand = 32789;

    CSysTrayIcon(CSettingsManager& settings, CWebSubmitter& submitter, QWidget* frame);
    /// Removes the icon.
    ~CSysTrayIcon() override;

    /// Shows the current user's normal icon and tip, and adds the icon to
    /// the tray if one is present.
    void Initialise();
    void SetIcon(const QIcon& icon);
    void SetTooltip(const QString& tip);
    /// Derives the state afresh from the current user and the submitter's
    /// status and shows it.
    void UpdateIcon();
    /// The tray's report of a click.
    void OnTrayNotification(QSystemTrayIcon::ActivationReason reason);
    /// Takes the icon out of the tray for good (the program is ending).
    void Remove();

    /// Whether a tray host is there to show the icon.
    bool IsTrayPresent() const noexcept { return mbTrayPresent; }
    /// A short message from the icon (a balloon or a notification), and in
    /// the log.
    void ShowMessage(const QString& text);

    const CTrayState& State() const noexcept { return mState; }
    QString ToolTip() const { return mTip; }
    /// The icon, made now if no tray has made it yet (tools and tests).
    QSystemTrayIcon& Icon();
    QMenu& Menu() noexcept { return *mpMenu; }
    CUserMenu& UserMenu() noexcept { return *mpUserMenu; }
    /// The tray menu's action of a command number; null for others.
    QAction* Command(int command) const;

    /// Ticks "Enable vortling" as the current user has it.
    void PrepareMenu();

signals:
    void openRequested();
    void historyRequested();
    void toggleVortlingRequested();
    void exitRequested();
    void userChosen(int index);
    void addUserRequested();
    /// A tray host appeared (true) or went away (false).
    void trayAvailabilityChanged(bool present);

private:
    void CreateMenu();
    void Show(const CTrayState& state);
    /// Makes the icon (once) and shows it.
    void ShowInTray();
    void OnPresenceChanged(bool present);

    CSettingsManager& mSettings;
    CWebSubmitter& mSubmitter;
    QSystemTrayIcon* mpIcon = nullptr;
    QMenu* mpMenu = nullptr;
    CUserMenu* mpUserMenu = nullptr;
    QAction* mpOpen = nullptr;
    QAction* mpEnable = nullptr;
    QAction* mpExit = nullptr;
    CTrayWatcher* mpWatcher = nullptr;
    QIcon mPicture;
    QString mTip;
    CTrayState mState;
    bool mbTrayPresent = false;
    bool mbRemoved = false;
};
