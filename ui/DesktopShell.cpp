#include "ui/DesktopShell.h"

#include "app/Logger.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/AboutDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainFrame.h"
#include "ui/MessageBox.h"
#include "ui/ModalTracker.h"
#include "ui/SysTrayIcon.h"
#include "ui/UiText.h"
#include "update/wizards/PluginWizard.h"

#include <optional>

CDesktopShell::CDesktopShell() {
    // Watching the windows from the start: the start-up's are modal too.
    CModalTracker::Instance();
}

CDesktopShell::~CDesktopShell() {
    Detach();
}

bool CDesktopShell::AskOk(int textId) {
    return CMessageBox::Show(nullptr, QMessageBox::Information, UiText(IDS_MAIN_TITLE), UiText(textId),
                             QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

bool CDesktopShell::RunFirstRunAndLogin(bool firstRun, bool link) {
    CSettingsManager& settings = CSettingsManager::Instance();
    mbLinkAsked = false;
    if (firstRun) {
        if (link) {
            mbLinkAsked = true;
            if (!AskOk(IDS_RADIO_LINK_FIRST_RUN))
                return false;
        }
        if (CMessageBox::IsHeadless()) {
            VBX_LOG(2, "First run without a display, the configuration wizard is not shown\n");
        } else {
            VBX_LOG(3, "First run, launching wizard\n");
            CPluginWizard wizard(CPluginWizard::MODE_FIRST_RUN, settings, CWebSubmitter::Instance());
            if (wizard.exec() != QDialog::Accepted)
                return false;
        }
    }

    std::optional<std::string> loginFor;
    try {
        const CUser user = settings.GetCurrentUser();
        if (!user.rememberPassword && !firstRun)
            loginFor = user.name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(3, "No current user found, ask for login\n");
        loginFor = std::string();
    }
    if (!loginFor)
        return true;
    if (link && !mbLinkAsked) {
        mbLinkAsked = true;
        if (!AskOk(IDS_RADIO_LINK_LOGIN))
            return false;
    }
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "No display to ask for a login, going on with the stored settings\n");
        return true;
    }
    CLoginDialog login(CLoginDialog::LOGIN_MODE_LOGIN, nullptr, *loginFor);
    return login.exec() == QDialog::Accepted;
}

bool CDesktopShell::Attach(bool firstRun, bool link) {
    mpFrame = std::make_unique<CMainFrame>(mpCore->Listener(), CWebSubmitter::Instance(),
                                           CSettingsManager::Instance(), mpCore->UpdateCheck());
    mpFrame->SetExitHandler([this] { mpCore->RequestExit(); });
    mpFrame->SetHistory(mpCore->History());
    QObject::connect(mpFrame.get(), &CMainFrame::aboutRequested, this, &CDesktopShell::ShowAbout);
    // Hidden; without a tray to reach it from, it is shown at once.
    if (!mpFrame->Tray().IsTrayPresent() && !CMessageBox::IsHeadless()) {
        VBX_LOG(1, "No system tray, showing the main window\n");
        mpFrame->show();
    }
    if (link && !firstRun) {
        if (!mbLinkAsked && !AskOk(IDS_RADIO_LINK_INSTALL))
            return false;
        mpFrame->RunPluginWizard(CPluginWizard::MODE_RADIO);
    }
    return true;
}

void CDesktopShell::CloseWindows() {
    CModalTracker::CloseAll();
}

void CDesktopShell::Detach() {
    // The windows go after the core has stopped, taking the tray icon.
    mpFrame.reset();
}

void CDesktopShell::ShowError(const std::string& text) {
    CMessageBox::Show(mpFrame.get(), QMessageBox::Critical, UiText(IDS_MAIN_TITLE), QString::fromStdString(text));
}

void CDesktopShell::OnLink() {
    if (!mpFrame)
        return;
    // Never nested in a window that is open: asked once it has closed.
    CModalTracker::Instance().WhenFree(mpFrame.get(), [this] { mpFrame->OnFenwaveLink(); });
}

void CDesktopShell::ShowAbout() {
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "About box not shown: no display\n");
        return;
    }
    CAboutDialog about(mpFrame.get());
    about.exec();
}
