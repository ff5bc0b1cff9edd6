#include "ui/MainFrame.h"

#include "app/Logger.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/HistoryWindow.h"
#include "ui/LoginDialog.h"
#include "ui/MenuCommand.h"
#include "ui/MessageBox.h"
#include "ui/ModalTracker.h"
#include "ui/OptionsDialog.h"
#include "ui/PostOnce.h"
#include "ui/controls/Pictures.h"
#include "ui/StatusPage.h"
#include "ui/SysTrayIcon.h"
#include "ui/UiText.h"
#include "ui/UserCommands.h"
#include "ui/UserMenu.h"
#include "update/wizards/PluginWizard.h"
#include "update/wizards/UpdateWizard.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLayout>
#include <QMenuBar>
#include <QMetaObject>

CMainFrame::CMainFrame(CPlayerListener& listener, CWebSubmitter& submitter, CSettingsManager& settings,
                       CUpdateCheck& updateCheck, QWidget* parent)
    : QMainWindow(parent), mListener(listener), mSubmitter(submitter), mSettings(settings),
      mUpdateCheck(updateCheck) {
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(UiText(IDS_MAIN_TITLE));
    setWindowIcon(CPictures::Icon(CPictures::IconPath(128)));
    // A fixed-size window: no maximise button, no resizing frame.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    mpStatusPage = new CStatusPage(mListener, mSubmitter, mSettings, this);
    setCentralWidget(mpStatusPage);
    setFocusProxy(mpStatusPage);
    CreateMenus();
    mpStatusPage->SetUserMenu(mpUserMenu);
    // The window is exactly the status window under the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // The window exists from now on, hidden, so the status window can tell
    // that it is not seen.
    winId();

    mpTray = new CSysTrayIcon(mSettings, mSubmitter, this);
    connect(mpTray, &CSysTrayIcon::openRequested, this, &CMainFrame::Open);
    connect(mpTray, &CSysTrayIcon::toggleVortlingRequested, this, [this] {
        if (MayRunCommand("Enable vortling"))
            ToggleVortling();
    });
    connect(mpTray, &CSysTrayIcon::exitRequested, this, &CMainFrame::PostClose);
    connect(mpTray, &CSysTrayIcon::historyRequested, this, [this] {
        if (MayRunCommand("History..."))
            ShowHistory();
    });
    connect(mpTray, &CSysTrayIcon::userChosen, this, [this](int index) {
        if (MayRunCommand("Change User"))
            ChooseUser(index);
    });
    connect(mpTray, &CSysTrayIcon::addUserRequested, this, [this] {
        if (MayRunCommand("Add User..."))
            AddUser();
    });
    connect(mpTray, &CSysTrayIcon::trayAvailabilityChanged, this, &CMainFrame::OnTrayAvailabilityChanged);
    connect(&mUpdateCheck, &CUpdateCheck::finished, this, &CMainFrame::OnCheckFinished);
    mpTray->Initialise();

    mSettings.AddObserver(this);
    mSubmitter.AddObserver(this);
    mbObserving = true;
    // A status may have come before the frame observed.
    mpTray->UpdateIcon();
}

CMainFrame::~CMainFrame() {
    if (mbObserving) {
        mSettings.RemoveObserver(this);
        mSubmitter.RemoveObserver(this);
    }
    if (mbWaitCursor)
        QApplication::restoreOverrideCursor();
    // A window of its own (no parent, so it has its own place on the
    // desktop): it goes with the frame.
    delete mpHistoryWindow.data();
    mpTray->Remove();
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    connect(AddMenuCommand(file, QStringLiteral("E&xit"), "appExit", ID_APP_EXIT), &QAction::triggered, this,
            &CMainFrame::HideToTray);

    QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("toolsMenu"));
    QAction* history = AddMenuCommand(tools, QStringLiteral("&History..."), "history", ID_HISTORY);
    history->setVisible(false);
    connect(history, &QAction::triggered, this, &CMainFrame::ShowHistory);
    tools->addSeparator()->setObjectName(QStringLiteral("historySeparator"));
    connect(AddMenuCommand(tools, QStringLiteral("Get Plugin..."), "getPlugin", ID_GET_PLUGIN), &QAction::triggered,
            this, [this] { RunPluginWizard(CPluginWizard::MODE_PLUGIN); });
    connect(AddMenuCommand(tools, QStringLiteral("Get Radio..."), "getRadio", ID_GET_RADIO), &QAction::triggered, this,
            [this] { RunPluginWizard(CPluginWizard::MODE_RADIO); });
    connect(AddMenuCommand(tools, QStringLiteral("Check for Updates..."), "checkForUpdates", ID_CHECK_UPDATES),
            &QAction::triggered, this, &CMainFrame::CheckForUpdatesManually);
    tools->addSeparator();
    connect(AddMenuCommand(tools, QStringLiteral("Options..."), "options", ID_OPTIONS), &QAction::triggered, this,
            &CMainFrame::RunOptions);

    mpUserMenu = new CUserMenu(mSettings, this);
    mpUserMenu->setTitle(QStringLiteral("User"));
    menuBar()->addMenu(mpUserMenu);
    connect(mpUserMenu, &CUserMenu::userChosen, this, &CMainFrame::ChooseUser);
    connect(mpUserMenu, &CUserMenu::addUserChosen, this, &CMainFrame::AddUser);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    connect(AddMenuCommand(help, QStringLiteral("&About Vortlebox..."), "appAbout", ID_APP_ABOUT), &QAction::triggered,
            this, &CMainFrame::aboutRequested);
}

QAction* CMainFrame::Command(int command) const {
    for (QMenu* menu : menuBar()->findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator() && action->data().toInt() == command)
                return action;
        }
    }
    return nullptr;
}

void CMainFrame::SetExitHandler(std::function<void()> handler) {
    mExitHandler = std::move(handler);
}

QString CMainFrame::RefusalText() {
    return QStringLiteral("A Vortlebox window is open. Finish it or close it first.");
}

bool CMainFrame::MayRunCommand(const char* command) {
    if (!CModalTracker::IsModalOpen())
        return true;
    VBX_LOG(2, "'" << command << "' refused while a window is open\n");
    mpTray->ShowMessage(RefusalText());
    CModalTracker::RaiseTop();
    return false;
}

void CMainFrame::FollowUserChange() {
    if (!mpOptions)
        return;
    std::string current;
    try {
        current = mSettings.GetCurrentUser().name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
    }
    if (current == mOptionsUser)
        return;
    // Its pages hold the other user's values: storing them would write
    // them to the wrong account.
    VBX_LOG(2, "The current user changed while Options was open: Options closes without storing\n");
    mpOptions->reject();
}

void CMainFrame::SetHistory(CPlayHistory* history) {
    mpHistory = history;
    const bool offered = history != nullptr;
    Command(ID_HISTORY)->setVisible(offered);
    if (QAction* separator = findChild<QAction*>(QStringLiteral("historySeparator")))
        separator->setVisible(offered);
    if (QAction* tray = mpTray->Command(CSysTrayIcon::kHistoryCommand))
        tray->setVisible(offered);
}

void CMainFrame::ShowHistory() {
    if (mpHistory == nullptr)
        return;
    if (!mpHistoryWindow) {
        mpHistoryWindow = new CHistoryWindow(*mpHistory, mSubmitter, mSettings);
        mpHistoryWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    mpHistoryWindow->showNormal();
    mpHistoryWindow->raise();
    mpHistoryWindow->activateWindow();
}

CHistoryWindow* CMainFrame::HistoryWindow() const {
    return mpHistoryWindow.data();
}

void CMainFrame::Update() {
    PostOnce(this, mbRefreshPosted, [this] {
        mpTray->UpdateIcon();
        FollowUserChange();
    });
}

// --- windows and commands -----------------------------------------------------

void CMainFrame::Open() {
    if (CModalTracker::IsModalOpen()) {
        CModalTracker::RaiseTop();
        return;
    }
    showNormal();
    raise();
    activateWindow();
    setFocus();
}

void CMainFrame::HideToTray() {
    if (mpTray->IsTrayPresent()) {
        hide();
        return;
    }
    // Nothing would bring a hidden window back.
    if (!isVisible())
        show();
    showMinimized();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (mbClosing) {
        event->accept();
        return;
    }
    event->ignore();
    HideToTray();
}

void CMainFrame::OnTrayAvailabilityChanged(bool present) {
    // The tray went away while the window was hidden in it: show the window
    // (minimised), so the program stays within reach.
    if (!present && !isVisible() && !mbClosing) {
        VBX_LOG(1, "No system tray to return to, showing the main window\n");
        show();
        showMinimized();
    }
}

void CMainFrame::PostClose() {
    QMetaObject::invokeMethod(this, &CMainFrame::Close, Qt::QueuedConnection);
}

void CMainFrame::Close() {
    if (mbClosing)
        return;
    mbClosing = true;
    mpTray->Remove();
    hide();
    if (mExitHandler)
        mExitHandler();
}

void CMainFrame::ToggleVortling() {
    CUserCommands::ToggleVortling(mSettings);
}

void CMainFrame::ChooseUser(int index) {
    if (CUserCommands::ChooseUser(mSettings, index))
        return;
    std::string name;
    try {
        name = mSettings.GetUser(index).name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        return;
    }
    RunLoginDialog(CLoginDialog::LOGIN_MODE_LOGIN, name);
}

void CMainFrame::AddUser() {
    RunLoginDialog(CLoginDialog::LOGIN_MODE_ADD_USER, std::string());
}

bool CMainFrame::OnFenwaveLink() {
    if (mbClosing)
        return false;
    if (isVisible()) {
        raise();
        activateWindow();
    }
    if (CMessageBox::Show(this, QMessageBox::Information, UiText(IDS_MAIN_TITLE), UiText(IDS_RADIO_LINK_INSTALL),
                          QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok)
        return false;
    RunPluginWizard(CPluginWizard::MODE_RADIO);
    return true;
}

// --- update checks ------------------------------------------------------------

void CMainFrame::CheckForUpdates() {
    StartCheck(false);
}

void CMainFrame::CheckForUpdatesManually() {
    StartCheck(true);
}

void CMainFrame::StartCheck(bool manual) {
    // The update wizard drives the updater meanwhile.
    if (mbUpdateWizardOpen || mbClosing)
        return;
    if (manual) {
        mbManualCheck = true;
        if (!mbWaitCursor) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            mbWaitCursor = true;
        }
    }
    // A check already under way answers this one too.
    mUpdateCheck.Start();
}

void CMainFrame::OnCheckFinished(const CUpdateCheck::CResult& result) {
    const bool manual = mbManualCheck;
    mbManualCheck = false;
    if (mbWaitCursor) {
        QApplication::restoreOverrideCursor();
        mbWaitCursor = false;
    }
    if (!mbClosing) {
        if (result.found) {
            // Never over another modal window: two wizards could then close
            // players and run installers at once.
            CModalTracker::Instance().WhenFree(this, [this] {
                if (!mbClosing)
                    RunUpdateWizard();
            });
        } else if (manual && result.failed) {
            CMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Check for Updates"),
                              QStringLiteral("Vortlebox couldn't check for updates:\n\n") +
                                  QString::fromStdString(result.error),
                              QMessageBox::Ok);
        } else if (manual) {
            CMessageBox::Show(this, QMessageBox::Information, UiText(IDS_UP_TO_DATE_CAPTION), UiText(IDS_NO_UPDATES),
                              QMessageBox::Ok);
        }
    }
    emit updateCheckFinished();
}

// --- dialogs and wizards ------------------------------------------------------

bool CMainFrame::RunPluginWizard(int mode) {
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "Plugin wizard (mode " << mode << ") not shown: no display\n");
        return false;
    }
    CPluginWizard wizard(mode, mSettings, mSubmitter, this);
    return wizard.exec() == QDialog::Accepted;
}

void CMainFrame::RunUpdateWizard() {
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "Updates available; the update wizard is not shown: no display\n");
        return;
    }
    if (mbUpdateWizardOpen)
        return;
    mbUpdateWizardOpen = true;
    {
        CUpdateWizard wizard(this);
        wizard.SetUpdater(&mUpdateCheck.Updater());
        // Once the external updater runs, the program ends the way the
        // tray's Exit ends it.
        wizard.SetShutdownRequest([this] { PostClose(); });
        wizard.exec();
    }
    mbUpdateWizardOpen = false;
}

void CMainFrame::RunOptions() {
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "Options dialog not shown: no display\n");
        return;
    }
    COptionsDialog options(this, COptionsDialog::kUserPage, mSettings, mSubmitter);
    mpOptions = &options;
    try {
        mOptionsUser = mSettings.GetCurrentUser().name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        mOptionsUser.clear();
    }
    options.exec();
    mpOptions = nullptr;
}

void CMainFrame::RunLoginDialog(int mode, const std::string& userName) {
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "Login dialog not shown: no display\n");
        return;
    }
    CLoginDialog login(static_cast<CLoginDialog::EMode>(mode), this, userName, mSettings, mSubmitter);
    login.exec();
}
