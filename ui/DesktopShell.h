#pragma once

#include "app/CoreApp.h"

#include <QObject>

#include <memory>

class CMainFrame;

/// The desktop on top of the core: the first-run wizard and the login at
/// start-up, the main window with the tray icon, the About box, the radio
/// wizard of a link, and the windows' part of the exit. Only made when there
/// is a display.
///
/// Links handed over by later copies, and the link of a start with one, are
/// asked about only while no modal window is open (CModalTracker).
class CDesktopShell : public QObject, public CCoreApp::CShell {
    Q_OBJECT
public:
    CDesktopShell();
    ~CDesktopShell() override;

    /// The core the shell is attached to; set before the core starts.
    void SetCore(CCoreApp& core) noexcept { mpCore = &core; }

    bool RunFirstRunAndLogin(bool firstRun, bool link) override;
    bool Attach(bool firstRun, bool link) override;
    void CloseWindows() override;
    void Detach() override;
    void ShowError(const std::string& text) override;
    void OnLink() override;

    /// The main window; null before Attach and after Detach.
    CMainFrame* MainFrame() const noexcept { return mpFrame.get(); }

private:
    /// A start-up question with OK and Cancel; true for OK.
    bool AskOk(int textId);
    void ShowAbout();

    CCoreApp* mpCore = nullptr;
    std::unique_ptr<CMainFrame> mpFrame;
    bool mbLinkAsked = false;
};
