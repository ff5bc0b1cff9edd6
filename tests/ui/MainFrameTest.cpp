#include "app/ProgramVersion.h"
#include "player/PlayerListener.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/player/ListenerRunner.h"
#include "tests/player/TestClient.h"
#include "tests/support/FenwaveSimulator.h"
#include "ui/ModalTracker.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "ui/AboutDialog.h"
#include "ui/controls/IconShack.h"
#include "ui/MainFrame.h"
#include "ui/MessageBox.h"
#include "ui/SysTrayIcon.h"
#include "ui/UserMenu.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMenu>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace {

using ERole = CFenwaveSimulator::ERole;

std::string InfoPath() {
    return "/plugins/vbx/upg.win." + std::to_string(kProgramVersionFields[0]) + "." +
           std::to_string(kProgramVersionFields[1]);
}

/// The main window over the real core: a private settings store, the web
/// submitter talking to the simulator, the listener on a loopback port.
/// The tests run offscreen: there is no tray, and no display to show a
/// wizard on.
class MainFrameTest : public ::testing::Test {
protected:
    MainFrameTest() {
        env.Env().Set("VORTLEBOX_PROGRAM_FILES", programFiles.Path());
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, CServerHosts::kSubmitHost, sim.SubmitHost());
        CRegistryUtils::WriteString(key, CServerHosts::kWebServiceHost, sim.WebHost());
        CRegistryUtils::WriteString(key, CServerHosts::kStaticHost, sim.StaticHost());
        settings.Restore();
        AddUser("alice", 2, true);
        AddUser("mallory", 0, true); // unknown to the simulator
        AddUser("trent", 1, true, false);
        settings.SetCurrentUser("alice");
        submitter.init("alice", md5Hex("secret"), "vbx", "0.1", true);
        EXPECT_TRUE(runner.WaitListening());
        CMessageBox::Reset();
    }

    ~MainFrameTest() override {
        frame.reset();
        submitter.term();
        CMessageBox::Reset();
    }

    void AddUser(const std::string& name, int colour, bool submits, bool remember = true) {
        CUser user;
        user.name = name;
        user.passwordHash = md5Hex("secret");
        user.colour = colour;
        user.submitPlays = submits;
        user.rememberPassword = remember;
        settings.AddUser(user);
    }

    CMainFrame& MakeFrame() {
        frame = std::make_unique<CMainFrame>(listener, submitter, settings, updateCheck);
        frame->SetExitHandler([this] { ++shutdowns; });
        return *frame;
    }

    bool WaitForTip(const std::string& tip) {
        return WaitForUi([&] { return frame->Tray().ToolTip() == QString::fromStdString(tip); });
    }

    /// Runs a check and waits until the frame has acted on its result.
    void Check(bool manual) {
        int finished = 0;
        const QMetaObject::Connection counting =
            QObject::connect(frame.get(), &CMainFrame::updateCheckFinished, [&finished] { ++finished; });
        if (manual)
            frame->CheckForUpdatesManually();
        else
            frame->CheckForUpdates();
        const bool ended = WaitForUi([&] { return finished == 1; });
        QObject::disconnect(counting);
        ASSERT_TRUE(ended);
        EXPECT_FALSE(frame->IsUpdateCheckRunning());
    }

    CTestEnvironment env;
    CLogCapture log;
    CTempDir programFiles;
    CFenwaveSimulator sim{{{"alice", "secret"}, {"trent", "secret"}}};
    CSettingsManager settings;
    CWebSubmitter submitter{settings};
    CPlayerListener listener{0, [this](const std::string& id) {
                                 return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
                             }};
    CListenerRunner runner{listener};
    CUpdateCheck updateCheck;
    std::unique_ptr<CMainFrame> frame;
    int shutdowns = 0;
};

TEST_F(MainFrameTest, TheTrayIconFollowsSettingsAndSubmitterChangesFromOtherThreads) {
    MakeFrame();
    CSysTrayIcon& tray = frame->Tray();
    ASSERT_TRUE(WaitForTip("alice is vortling"));
    EXPECT_EQ(tray.State().kind, CTrayState::kNormal);
    EXPECT_EQ(tray.Icon().icon().cacheKey(), CIconShack::NormalIcon(2).cacheKey());

    // Switched off on another thread: the refresh is posted to the window.
    std::thread([this] {
        CUser alice = settings.GetUser("alice");
        alice.submitPlays = false;
        settings.UpdateUser(alice);
    }).join();
    ASSERT_TRUE(WaitForTip("alice has disabled vortling"));
    EXPECT_EQ(tray.Icon().icon().cacheKey(), CIconShack::DisabledIcon(2).cacheKey());
    tray.PrepareMenu();
    EXPECT_FALSE(tray.Command(CSysTrayIcon::kEnableVortlingCommand)->isChecked());

    // The tray's "Enable vortling" switches it back and ticks itself.
    tray.Command(CSysTrayIcon::kEnableVortlingCommand)->trigger();
    ASSERT_TRUE(WaitForTip("alice is vortling"));
    EXPECT_TRUE(settings.GetUser("alice").submitPlays);
    EXPECT_TRUE(tray.Command(CSysTrayIcon::kEnableVortlingCommand)->isChecked());

    // A user the server does not know: tracks are cached.
    tray.UserMenu().Prepare();
    QAction* mallory = tray.UserMenu().findChild<QAction*>(QStringLiteral("user1"));
    ASSERT_NE(mallory, nullptr);
    EXPECT_EQ(mallory->text(), QStringLiteral("mallory"));
    mallory->trigger();
    EXPECT_EQ(settings.GetCurrentUser().name, "mallory");
    ASSERT_TRUE(WaitForTip("mallory's tracks are being cached for later submission"));
    EXPECT_EQ(tray.Icon().icon().cacheKey(), CIconShack::CachingIcon(0).cacheKey());

    // Disabled outranks caching, also once the server has refused again.
    tray.Command(CSysTrayIcon::kEnableVortlingCommand)->trigger();
    ASSERT_TRUE(WaitForTip("mallory has disabled vortling"));
    ASSERT_TRUE(WaitForUi([&] { return submitter.GetStatusCode() == kVortleBadUser; }));
    PumpUi(100);
    EXPECT_EQ(tray.ToolTip(), QStringLiteral("mallory has disabled vortling"));
    EXPECT_EQ(tray.State().kind, CTrayState::kDisabled);
}

TEST_F(MainFrameTest, AUserWithoutARememberedPasswordIsNotSwitchedToWithoutTheLogin) {
    MakeFrame();
    CUserMenu& menu = frame->UserMenu();
    menu.Prepare();
    menu.Prepare();
    QStringList names;
    for (QAction* action : menu.actions())
        names << action->text();
    EXPECT_EQ(names, QStringList({"alice", "mallory", "trent", "", "Add User..."}));
    menu.findChild<QAction*>(QStringLiteral("user2"))->trigger();
    PumpUi(100);
    EXPECT_EQ(settings.GetCurrentUser().name, "alice");
    // The login dialog would ask for trent's password (not offscreen).
    EXPECT_TRUE(log.Contains("Login dialog not shown: no display"));
}

TEST_F(MainFrameTest, TheCloseButtonAndFileExitNeverEndTheProgramOnlyTheTraysExitDoes) {
    MakeFrame();
    // Offscreen there is no tray: the window stays reachable, minimised.
    ASSERT_FALSE(frame->Tray().IsTrayPresent());
    frame->show();
    for (int round = 0; round < 2; ++round) {
        if (round == 0)
            frame->close();
        else
            frame->Command(CMainFrame::ID_APP_EXIT)->trigger();
        PumpUi(50);
        EXPECT_TRUE(frame->isVisible());
        EXPECT_TRUE(frame->isMinimized());
        EXPECT_FALSE(frame->IsClosing());
        frame->Open();
        EXPECT_FALSE(frame->isMinimized());
    }
    EXPECT_EQ(shutdowns, 0);

    frame->Tray().Command(CSysTrayIcon::kExitCommand)->trigger();
    EXPECT_EQ(shutdowns, 0); // posted, not run inside the menu
    ASSERT_TRUE(WaitForUi([&] { return shutdowns == 1; }));
    EXPECT_TRUE(frame->IsClosing());
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(frame->Tray().Icon().isVisible());
    frame->Close();
    EXPECT_EQ(shutdowns, 1);
}

TEST_F(MainFrameTest, UpdateChecksSpeakOnlyWhenAskedAndAFailureNeverEndsTheProgram) {
    MakeFrame();
    // Everything is up to date: the background check says nothing...
    Check(false);
    EXPECT_FALSE(CMessageBox::LastShown().has_value());
    EXPECT_TRUE(log.Contains("UpdateCheckThread started at: 0x"));
    // ...the menu command does.
    Check(true);
    ASSERT_TRUE(CMessageBox::LastShown().has_value());
    EXPECT_EQ(CMessageBox::LastShown()->caption, QStringLiteral("Up to date"));
    EXPECT_EQ(CMessageBox::LastShown()->text, QStringLiteral("No updates available. All your software is up to date!"));
    EXPECT_EQ(CMessageBox::LastShown()->icon, QMessageBox::Information);

    // The static host is gone: logged in the background, shown on demand.
    CMessageBox::Reset();
    CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true),
                                CServerHosts::kStaticHost, "127.0.0.1:1");
    Check(false);
    EXPECT_FALSE(CMessageBox::LastShown().has_value());
    EXPECT_TRUE(log.Contains("Update check failed. Exception: "));
    Check(true);
    ASSERT_TRUE(CMessageBox::LastShown().has_value());
    EXPECT_EQ(CMessageBox::LastShown()->icon, QMessageBox::Warning);
    EXPECT_TRUE(CMessageBox::LastShown()->text.startsWith(QStringLiteral("Vortlebox couldn't check for updates:")));
    EXPECT_FALSE(frame->IsClosing());
    EXPECT_EQ(shutdowns, 0);

    // A newer program: the update wizard would open; without a display it
    // is only logged.
    CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true),
                                CServerHosts::kStaticHost, sim.StaticHost());
    sim.SetFile(InfoPath(), "[App]\n\"Vortlebox\",\"Vortlebox/vortlebox\",\"http://" + sim.StaticHost() +
                                "/download/vortlebox-setup.exe\",\"99.0.0.0\",\"\"\n");
    Check(false);
    EXPECT_TRUE(log.Contains("Updates available; the update wizard is not shown: no display"));
    ASSERT_EQ(frame->Updater().GetUpdates().size(), 1u);
}

// While a modal window is open, the tray's commands that would change what
// it shows are refused, "Open" brings the window to the front, and the
// update wizard of a check that found something waits until it has closed.
TEST_F(MainFrameTest, WhileAModalWindowIsOpenTrayCommandsWaitOrAreRefused) {
    MakeFrame();
    QDialog modal;
    modal.setModal(true);
    modal.show();
    ASSERT_TRUE(WaitForUi([] { return CModalTracker::IsModalOpen(); }));
    CSysTrayIcon& tray = frame->Tray();
    tray.UserMenu().Prepare();
    struct CCase {
        const char* name;
        QAction* action;
    };
    for (const CCase& c : {CCase{"Add User...", tray.UserMenu().findChild<QAction*>(QStringLiteral("addUser"))},
                           CCase{"Change User", tray.UserMenu().findChild<QAction*>(QStringLiteral("user2"))},
                           CCase{"Enable vortling", tray.Command(CSysTrayIcon::kEnableVortlingCommand)}}) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.action, nullptr);
        c.action->trigger();
        EXPECT_TRUE(log.Contains(std::string("'") + c.name + "' refused while a window is open"));
    }
    EXPECT_FALSE(log.Contains("Login dialog not shown"));
    EXPECT_EQ(settings.GetCurrentUser().name, "alice");
    EXPECT_TRUE(settings.GetCurrentUser().submitPlays);
    tray.Command(CSysTrayIcon::kOpenCommand)->trigger();
    EXPECT_FALSE(frame->isVisible());

    sim.SetFile(InfoPath(), "[App]\n\"Vortlebox\",\"Vortlebox/vortlebox\",\"http://" + sim.StaticHost() +
                                "/download/vortlebox-setup.exe\",\"99.0.0.0\",\"\"\n");
    CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true),
                                CServerHosts::kStaticHost, sim.StaticHost());
    Check(false);
    PumpUi(200);
    EXPECT_FALSE(log.Contains("Updates available"));
    modal.reject();
    EXPECT_TRUE(WaitForUi([&] { return log.Contains("Updates available; the update wizard is not shown"); }));
    EXPECT_EQ(shutdowns, 0);
}

TEST_F(MainFrameTest, ALinkFromAnotherCopyAsksAboutTheRadio) {
    MakeFrame();
    CMessageBox::SetNextAnswer(QMessageBox::Cancel);
    EXPECT_FALSE(frame->OnFenwaveLink());
    ASSERT_TRUE(CMessageBox::LastShown().has_value());
    EXPECT_EQ(CMessageBox::LastShown()->text,
              QStringLiteral("To be able to click on Fenwave radio links, you need the Fenwave Radio installed.\n"
                             "Click OK if you want to install the Fenwave Radio component."));
    EXPECT_EQ(CMessageBox::LastShown()->buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(CMessageBox::LastShown()->icon, QMessageBox::Information);
    CMessageBox::SetNextAnswer(QMessageBox::Ok);
    EXPECT_TRUE(frame->OnFenwaveLink());
}

TEST(AboutDialogTest, ShowsTheVersionOnThePicture) {
    CAboutDialog about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Vortlebox"));
    auto* version = about.findChild<QLabel*>(QStringLiteral("versionText"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Version ") + QString::fromLatin1(kProgramFileVersion));
    EXPECT_EQ(version->palette().color(QPalette::WindowText), QColor(0x87, 0x87, 0x87));
    EXPECT_EQ(about.size(), QSize(360, 220));
}

} // namespace
