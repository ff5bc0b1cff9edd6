#include "ui/SysTrayIcon.h"

#include "app/Logger.h"
#include "res/StringTable.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/controls/IconShack.h"
#include "ui/MenuCommand.h"
#include "ui/TrayWatcher.h"
#include "ui/UiText.h"
#include "ui/UserMenu.h"

#include <QAction>
#include <QMenu>

namespace {

const QIcon& IconOf(const CTrayState& state) {
    switch (state.kind) {
    case CTrayState::kDisabled:
        return CIconShack::DisabledIcon(state.colour);
    case CTrayState::kCaching:
        return CIconShack::CachingIcon(state.colour);
    case CTrayState::kNormal:
        break;
    }
    return CIconShack::NormalIcon(state.colour);
}

} // namespace

CSysTrayIcon::CSysTrayIcon(CSettingsManager& settings, CWebSubmitter& submitter, QWidget* frame)
    : QObject(frame), mSettings(settings), mSubmitter(submitter) {
    setObjectName(QStringLiteral("sysTrayIcon"));
    CreateMenu();
}

CSysTrayIcon::~CSysTrayIcon() {
    Remove();
    // The menu belongs to no widget: it goes with the icon.
    delete mpMenu;
}

void CSysTrayIcon::CreateMenu() {
    mpMenu = new QMenu();
    mpMenu->setObjectName(QStringLiteral("trayMenu"));
    mpOpen = AddMenuCommand(mpMenu, QStringLiteral("Open"), "open", kOpenCommand);
    mpMenu->setDefaultAction(mpOpen);
    QAction* history = AddMenuCommand(mpMenu, QStringLiteral("History..."), "history", kHistoryCommand);
    // Offered once the frame has a history to show.
    history->setVisible(false);
    connect(history, &QAction::triggered, this, &CSysTrayIcon::historyRequested);
    mpMenu->addSeparator();
    mpEnable = AddMenuCommand(mpMenu, QStringLiteral("Enable vortling"), "enableVortling", kEnableVortlingCommand);
    mpEnable->setCheckable(true);
    mpUserMenu = new CUserMenu(mSettings, mpMenu);
    mpUserMenu->setTitle(QStringLiteral("Change User"));
    mpUserMenu->menuAction()->setObjectName(QStringLiteral("changeUser"));
    mpMenu->addMenu(mpUserMenu);
    mpMenu->addSeparator();
    mpExit = AddMenuCommand(mpMenu, QStringLiteral("Exit"), "exit", kExitCommand);

    connect(mpMenu, &QMenu::aboutToShow, this, &CSysTrayIcon::PrepareMenu);
    connect(mpOpen, &QAction::triggered, this, &CSysTrayIcon::openRequested);
    // The check mark follows the settings, not the click.
    connect(mpEnable, &QAction::triggered, this, [this] {
        emit toggleVortlingRequested();
        PrepareMenu();
    });
    connect(mpExit, &QAction::triggered, this, &CSysTrayIcon::exitRequested);
    connect(mpUserMenu, &CUserMenu::userChosen, this, &CSysTrayIcon::userChosen);
    connect(mpUserMenu, &CUserMenu::addUserChosen, this, &CSysTrayIcon::addUserRequested);
}

QSystemTrayIcon& CSysTrayIcon::Icon() {
    if (mpIcon == nullptr) {
        mpIcon = new QSystemTrayIcon(this);
        mpIcon->setObjectName(QStringLiteral("trayIcon"));
        mpIcon->setContextMenu(mpMenu);
        if (!mPicture.isNull())
            mpIcon->setIcon(mPicture);
        mpIcon->setToolTip(mTip);
        connect(mpIcon, &QSystemTrayIcon::activated, this, &CSysTrayIcon::OnTrayNotification);
    }
    return *mpIcon;
}

void CSysTrayIcon::ShowInTray() {
    if (mbRemoved)
        return;
    // Shown again, so that a tray host that came anew takes it.
    Icon().hide();
    Icon().show();
}

void CSysTrayIcon::Initialise() {
    CTrayState state;
    try {
        state = CTrayState::Initial(mSettings.GetCurrentUser());
    } catch (const CSettingsManager::CUserNotFoundException&) {
        state.tip = std::string(CStringTable::Get(IDS_MAIN_TITLE));
    }
    Show(state);
    mpWatcher = new CTrayWatcher(this);
    connect(mpWatcher, &CTrayWatcher::presenceChanged, this, &CSysTrayIcon::OnPresenceChanged);
    mbTrayPresent = mpWatcher->IsPresent();
    if (mbTrayPresent)
        ShowInTray();
    else
        VBX_LOG(1, "No system tray available, the tray icon waits for one\n");
}

void CSysTrayIcon::SetIcon(const QIcon& icon) {
    if (icon.isNull()) {
        VBX_LOG(1, "Error: the tray icon has no picture\n");
        return;
    }
    mPicture = icon;
    if (mpIcon != nullptr)
        mpIcon->setIcon(icon);
}

void CSysTrayIcon::SetTooltip(const QString& tip) {
    mTip = tip;
    if (mpIcon != nullptr)
        mpIcon->setToolTip(tip);
    VBX_LOG(4, "Tray tip: " << tip.toStdString() << "\n");
}

void CSysTrayIcon::ShowMessage(const QString& text) {
    VBX_LOG(2, "Tray message: " << text.toStdString() << "\n");
    if (mpIcon != nullptr && mpIcon->isVisible())
        mpIcon->showMessage(UiText(IDS_MAIN_TITLE), text,
                            QSystemTrayIcon::Information, 5000);
}

void CSysTrayIcon::UpdateIcon() {
    if (mbRemoved)
        return;
    CTrayState state;
    try {
        state = CTrayState::Derive(mSettings.GetCurrentUser(), mSubmitter.GetStatusCode());
    } catch (const CSettingsManager::CUserNotFoundException&) {
        state.tip = std::string(CStringTable::Get(IDS_MAIN_TITLE));
    }
    Show(state);
}

void CSysTrayIcon::Show(const CTrayState& state) {
    const bool changed = !(state == mState) || mPicture.isNull();
    mState = state;
    if (!changed)
        return;
    SetTooltip(QString::fromStdString(state.tip));
    SetIcon(IconOf(state));
}

void CSysTrayIcon::OnTrayNotification(QSystemTrayIcon::ActivationReason reason) {
    // A double click opens the window, as does a plain click where the tray
    // reports only that (status-notifier trays activate on one click).
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        emit openRequested();
}

void CSysTrayIcon::PrepareMenu() {
    bool enabled = false;
    try {
        enabled = mSettings.GetCurrentUser().submitPlays;
    } catch (const CSettingsManager::CUserNotFoundException&) {
    }
    mpEnable->setChecked(enabled);
}

void CSysTrayIcon::Remove() {
    if (mbRemoved)
        return;
    mbRemoved = true;
    if (mpWatcher != nullptr)
        disconnect(mpWatcher, nullptr, this, nullptr);
    if (mpIcon != nullptr)
        mpIcon->hide();
}

void CSysTrayIcon::OnPresenceChanged(bool present) {
    if (mbRemoved || present == mbTrayPresent)
        return;
    mbTrayPresent = present;
    if (present) {
        VBX_LOG(1, "A system tray appeared, tray icon added\n");
        ShowInTray();
    } else {
        VBX_LOG(1, "The system tray went away\n");
    }
    emit trayAvailabilityChanged(present);
}

QAction* CSysTrayIcon::Command(int command) const {
    for (QAction* action : mpMenu->actions()) {
        if (!action->isSeparator() && action->data().toInt() == command)
            return action;
    }
    return nullptr;
}
