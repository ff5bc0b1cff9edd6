#include "tests/e2e/ProgramFixture.h"
#include "tests/ui/desktop/Desktop.h"

#include <QCoreApplication>

#include <csignal>
#include <fstream>

namespace {

using namespace std::chrono_literals;

/// The real program on the shared X display, as a person starts it: alice
/// (green, password remembered) is the current user and the first run is
/// over.
class DesktopTest : public CProgramTest {
protected:
    void SetUp() override {
        CProgramTest::SetUp();
        if (CDesktop::Display().empty())
            GTEST_SKIP() << CDesktop::Problem();
        for (const char* tool : {"trayer", "xdotool"}) {
            if (CDesktop::Which(tool).empty())
                GTEST_SKIP() << tool << " is not installed";
        }
        mEnv.Env().Set("QT_QPA_PLATFORM", "xcb");
        mEnv.Env().Set("DISPLAY", CDesktop::Display());
        const std::string user = std::string("Software\\Fenwave\\Users\\") + kUser;
        Reg({"set", user, "Icon", "dword", "2"});
        Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
        Reg({"set", "Software\\Fenwave\\Vortlebox", "StaticHost", "sz", mSim->StaticHost()});
    }


    /// The program's windows that show, apart from its tray icon.
    static std::vector<CDesktop::CWindow> ShownWindows() {
        std::vector<CDesktop::CWindow> shown;
        for (const auto& window : CDesktop::VisibleWindows("vortlebox")) {
            if (window.geometry.height() > 40)
                shown.push_back(window);
        }
        return shown;
    }

    /// The program's icon in the tray host (at the screen's bottom edge).
    static std::optional<CDesktop::CWindow> TrayIcon() {
        for (const auto& window : CDesktop::VisibleWindows("vortlebox")) {
            if (window.geometry.height() <= 40 && window.geometry.width() <= 40 && window.geometry.bottom() > 700)
                return window;
        }
        return std::nullopt;
    }

    static bool WaitFor(const std::function<bool()>& condition) {
        return CPlayerTestBase::WaitUntil(condition, 60s);
    }

    /// Presses Escape in a window until it has gone (the key reaches a
    /// window only once it has the focus).
    static bool EscapeFrom(const std::string& window) {
        return WaitFor([&window] {
            CDesktop::XDoTool({"windowfocus", window});
            CDesktop::XDoTool({"key", "Escape"});
            std::this_thread::sleep_for(200ms);
            for (const auto& shown : ShownWindows()) {
                if (shown.id == window)
                    return false;
            }
            return true;
        });
    }

    std::string StoredValue(const std::string& key, const std::string& name) {
        const CTestProcess::CResult result = CTestProcess::Run({BinDir() + "/vortlebox-reg", "get", key, name});
        std::string value = result.out;
        while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        return value;
    }

    /// Opens the tray menu with a right click and picks an entry by keys.
    void PickFromTrayMenu(const CDesktop::CWindow& icon, const std::vector<std::string>& keys) {
        const QPoint centre = icon.geometry.center();
        CDesktop::XDoTool({"mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "3"});
        ASSERT_TRUE(WaitFor([] { return !ShownWindows().empty(); })) << "the tray menu did not open";
        std::vector<std::string> args{"key", "--delay", "150"};
        args.insert(args.end(), keys.begin(), keys.end());
        CDesktop::XDoTool(args);
    }
};

TEST_F(DesktopTest, TheTrayIconShowsTheUsersColourAndItsMenuWorks) {
    CTrayHost tray;
    ASSERT_TRUE(tray.WaitReady());
    StartProgram();

    std::optional<CDesktop::CWindow> icon;
    ASSERT_TRUE(WaitFor([&] { return (icon = TrayIcon()).has_value(); })) << RunLog();
    // Green, without the prohibition badge.
    CIconColours colours;
    ASSERT_TRUE(WaitFor([&] {
        colours = CIconColours::Of(CDesktop::Grab(icon->geometry));
        return colours.green >= 20;
    }));
    EXPECT_EQ(colours.red, 0);
    EXPECT_TRUE(ShownWindows().empty()); // the main window starts hidden
    EXPECT_NE(RunLog().find("Tray tip: alice is vortling\n"), std::string::npos);

    // Hovering shows the tip.
    const QPoint centre = icon->geometry.center();
    CDesktop::XDoTool({"mousemove", std::to_string(centre.x()), std::to_string(centre.y())});
    CDesktop::XDoTool({"mousemove", std::to_string(centre.x() + 1), std::to_string(centre.y())});
    // The tip is a small window of its own beside the icon.
    EXPECT_TRUE(WaitFor([] { return CDesktop::VisibleWindows("vortlebox").size() == 2; }));
    CDesktop::XDoTool({"mousemove", "10", "10"});
    ASSERT_TRUE(WaitFor([] { return CDesktop::VisibleWindows("vortlebox").size() == 1; }));

    // "Open", "History...", "Enable vortling": switched off, the badge shows.
    const std::string user = std::string("Software\\Fenwave\\Users\\") + kUser;
    PickFromTrayMenu(*icon, {"Down", "Down", "Down", "Return"});
    ASSERT_TRUE(WaitFor([&] { return StoredValue(user, "LogToProfile") == "0"; })) << RunLog();
    ASSERT_TRUE(WaitFor([&] { return CIconColours::Of(CDesktop::Grab(icon->geometry)).red >= 4; }));
    EXPECT_NE(RunLog().find("Tray tip: alice has disabled vortling\n"), std::string::npos);

    // A track waits in the queue while the server stalls, then "Exit".
    CFenwaveSimulator::CBehaviour stall;
    stall.mode = CFenwaveSimulator::EMode::Stall;
    mSim->SetBehaviour(CFenwaveSimulator::ERole::Submit, "/submit/", stall);
    PickFromTrayMenu(*icon, {"Down", "Down", "Down", "Return"});
    ASSERT_TRUE(WaitFor([&] { return StoredValue(user, "LogToProfile") == "1"; }));
    ASSERT_EQ(Play("START c=desk&a=Tray Artist&t=Queued&b=&m=&l=30&p=/music/t.mp3"), "OK\n");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(TentativeCache()).find("Tray Artist") != std::string::npos; }));
    PickFromTrayMenu(*icon, {"Up", "Return"});
    EXPECT_EQ(WaitExit(), 0);
    const std::string log = RunLog();
    for (const char* step : {"Main window closing, shutting down", "Saving settings manager",
                             "Calling term on libvortler", "Listener thread finishing.", "Exiting"})
        EXPECT_NE(log.find(step), std::string::npos) << step;
    EXPECT_TRUE(FileExists(PendingCache()));
    EXPECT_NE(ReadFile(TentativeCache()).find("Tray Artist"), std::string::npos);
    EXPECT_EQ(StoredValue(user, "LogToProfile"), "1");
}

TEST_F(DesktopTest, WithoutATrayTheWindowShowsAndATrayThatComesLaterGetsTheIcon) {
    StartProgram();
    ASSERT_TRUE(WaitFor([] { return !ShownWindows().empty(); })) << RunLog();
    EXPECT_NE(RunLog().find("No system tray, showing the main window"), std::string::npos);
    EXPECT_FALSE(TrayIcon().has_value());

    CTrayHost tray;
    ASSERT_TRUE(tray.WaitReady());
    ASSERT_TRUE(WaitFor([] { return TrayIcon().has_value(); })) << RunLog();
    EXPECT_NE(RunLog().find("A system tray appeared, tray icon added"), std::string::npos);
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(DesktopTest, AFirstRunShowsTheWizardAndALaterStartShowsNothing) {
    CTrayHost tray;
    ASSERT_TRUE(tray.WaitReady());
    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "1"});
    mProgram = std::make_unique<CTestProcess>(std::vector<std::string>{BinDir() + "/vortlebox"},
                                              CTestProcess::COptions{});
    std::vector<CDesktop::CWindow> shown;
    ASSERT_TRUE(WaitFor([&] { return !(shown = ShownWindows()).empty(); })) << Log();
    EXPECT_EQ(CDesktop::XDoTool({"getwindowname", shown[0].id}), "Vortlebox Wizard\n");
    EXPECT_NE(Log().find("First run, launching wizard"), std::string::npos);
    // Cancelled: the program ends with quit code 1, and the next start is a
    // first run again.
    ASSERT_TRUE(EscapeFrom(shown[0].id));
    EXPECT_EQ(WaitExit(), 1);
    EXPECT_EQ(StoredValue("Software\\Fenwave\\Vortlebox", "FirstRun"), "1");

    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
    StartProgram();
    ASSERT_TRUE(WaitFor([] { return TrayIcon().has_value(); }));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(ShownWindows().empty());
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(DesktopTest, ALinkOpenedWithTheDesktopReachesTheRunningCopy) {
    const std::string xdgOpen = CDesktop::Which("xdg-open");
    if (xdgOpen.empty() || CDesktop::Which("xdg-mime").empty())
        GTEST_SKIP() << "xdg-utils is not installed";
    CTrayHost tray;
    ASSERT_TRUE(tray.WaitReady());
    // The program's own desktop entry, pointing at this build.
    const std::string applications = mEnv.DataHome() + "/applications";
    ASSERT_EQ(CTestProcess::Run({"/bin/mkdir", "-p", applications}).exitCode, 0);
    std::string entry = ReadFile(SourceDir() + "/res/app/vortlebox.desktop");
    const std::size_t exec = entry.find("Exec=vortlebox");
    ASSERT_NE(exec, std::string::npos);
    entry.replace(exec, 14, "Exec=" + BinDir() + "/vortlebox");
    WriteFile(applications + "/vortlebox.desktop", entry);
    mEnv.Env().Set("XDG_DATA_DIRS", "/usr/share");
    ASSERT_EQ(CTestProcess::Run({CDesktop::Which("xdg-mime"), "default", "vortlebox.desktop",
                                 "x-scheme-handler/fenwave"}).exitCode, 0);

    StartProgram();
    ASSERT_TRUE(WaitFor([] { return TrayIcon().has_value(); }));
    const CTestProcess::CResult opened = CTestProcess::Run({xdgOpen, "fenwave:radio/artist/Some+Artist"}, 60s);
    EXPECT_EQ(opened.exitCode, 0) << opened.err;
    // The running copy asks about the radio.
    std::vector<CDesktop::CWindow> shown;
    ASSERT_TRUE(WaitFor([&] { return !(shown = ShownWindows()).empty(); })) << RunLog();
    EXPECT_EQ(CDesktop::XDoTool({"getwindowname", shown[0].id}), "Vortlebox\n");
    ASSERT_TRUE(EscapeFrom(shown[0].id));
    const std::string log = RunLog();
    const std::string received = "Fenwave link message received from another copy";
    const std::size_t first = log.find(received);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(received, first + 1), std::string::npos);
    // Cancelled: no wizard, and the program goes on.
    EXPECT_EQ(Play("STOP c=x"), "OK\n");
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

// On a StatusNotifier tray, Qt shows the tray menu over D-Bus and its
// entries can be clicked while a modal window is open. Then "Add User..."
// opens no second login dialog, "Enable vortling" changes nothing behind
// the window, "Open" does not bring the main window over it, and "Exit"
// closes it and ends the program in order.
TEST_F(DesktopTest, AStatusNotifierTrayMenuActsOncePerModalWindow) {
    if (CDesktop::Which("gdbus").empty())
        GTEST_SKIP() << "gdbus is not installed";
    CStatusNotifierTray tray;
    ASSERT_TRUE(tray.WaitReady());
    StartProgram();
    const std::string item = tray.WaitItem();
    ASSERT_FALSE(item.empty()) << RunLog();
    std::map<std::string, int> ids;
    ASSERT_TRUE(WaitFor([&] { return (ids = CStatusNotifierTray::MenuIds(item)).count("Exit") != 0; }));
    for (const char* label : {"Open", "Enable vortling", "Add User...", "Exit"})
        ASSERT_EQ(ids.count(label), 1u) << label;
    const std::string user = std::string("Software\\Fenwave\\Users\\") + kUser;

    ASSERT_TRUE(CStatusNotifierTray::Click(item, ids["Add User..."]));
    std::vector<CDesktop::CWindow> shown;
    ASSERT_TRUE(WaitFor([&] { return (shown = ShownWindows()).size() == 1; })) << RunLog();
    const std::string login = shown[0].id;
    for (const char* label : {"Add User...", "Enable vortling", "Open"})
        ASSERT_TRUE(CStatusNotifierTray::Click(item, ids[label])) << label;
    ASSERT_TRUE(WaitFor([&] { return RunLog().find("'Enable vortling' refused") != std::string::npos; }));
    EXPECT_NE(RunLog().find("'Add User...' refused while a window is open"), std::string::npos);
    shown = ShownWindows();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].id, login);
    EXPECT_EQ(StoredValue(user, "LogToProfile"), "1");

    ASSERT_TRUE(CStatusNotifierTray::Click(item, ids["Exit"]));
    EXPECT_EQ(WaitExit(), 0);
    const std::string log = RunLog();
    const std::size_t closing = log.find("Main window closing, shutting down");
    ASSERT_NE(closing, std::string::npos) << log;
    EXPECT_NE(log.find("Exiting", closing), std::string::npos);
}

} // namespace
