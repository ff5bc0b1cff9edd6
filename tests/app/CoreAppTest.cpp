#include "app/CoreApp.h"

#include "settings/RegistryUtils.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

namespace {

using namespace std::chrono_literals;

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);
}

/// A desktop as the core sees it: each start-up window is a nested event
/// loop, which the core's exit closes as it closes modal windows.
class CStubShell : public CCoreApp::CShell {
public:
    std::function<bool()> login = [] { return true; };
    std::function<bool()> attach = [] { return true; };
    int closes = 0;
    int detaches = 0;
    int links = 0;

    bool RunFirstRunAndLogin(bool, bool) override { return login(); }
    bool Attach(bool, bool) override { return attach(); }
    void CloseWindows() override {
        ++closes;
        if (mpWindow != nullptr)
            mpWindow->quit();
    }
    void Detach() override { ++detaches; }
    void ShowError(const std::string&) override {}
    void OnLink() override { ++links; }

    /// A window open until closed, with something going on meanwhile.
    void RunWindow(const std::function<void()>& meanwhile) {
        QEventLoop window;
        mpWindow = &window;
        QTimer::singleShot(0, &window, meanwhile);
        window.exec();
        mpWindow = nullptr;
    }
    void CloseWindow() {
        if (mpWindow != nullptr)
            mpWindow->quit();
    }

private:
    QEventLoop* mpWindow = nullptr;
};

/// The core of a program whose user alice (password remembered) is current
/// and whose first run is over.
class CCoreAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        mEnv.Env().Set("VORTLEBOX_LISTENER_PORT", "0");
        mEnv.Env().Set("QT_QPA_PLATFORM", "offscreen");
        CRegistryKey alice = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice", true);
        CRegistryUtils::WriteString(alice, "Password", md5Hex("secret"));
        CRegistryUtils::WriteNumber(alice, "RememberPass", 1);
        CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Users", true), "CurrentUser", "alice");
        CRegistryKey program = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(program, "FirstRun", "0");
        CRegistryUtils::WriteNumber(program, "MprisBridge", 0);
        // Nothing answers here: the update check fails at once.
        CRegistryUtils::WriteString(program, "StaticHost", "127.0.0.1:1");
    }

    std::string Log() const { return ReadFile(mEnv.DataHome() + "/Fenwave/Vortlebox/vortler.log"); }

    CTestEnvironment mEnv;
    CStubShell mShell;
};

// Exit asked for (here by SIGTERM) while a window of the start-up is open:
// the window closes, the shutdown runs once, and the main loop never starts
// (it would wait for an end that was asked for already). A process of its
// own for each window: once asked to end, Qt runs no further loop.
class CClosingTest : public CCoreAppTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CClosingTest, ClosingDuringAStartUpWindowEndsWithoutTheMainLoop) {
    const auto window = [this] {
        mShell.RunWindow([] { ::raise(SIGTERM); });
        return true;
    };
    (GetParam() ? mShell.login : mShell.attach) = window;
    int code = -1;
    {
        CCoreApp core(&mShell);
        // A main loop started by mistake would end only here.
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        code = core.Run();
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(mShell.closes, 1);
    EXPECT_EQ(mShell.detaches, 1);
    EXPECT_NE(Log().find("Termination signal received, shutting down"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Windows, CClosingTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Login" : "RadioWizardOfALink";
                         });

// A later copy started with a link while the start-up login is open hands
// the link over at once; it is asked about once the main window is there.
TEST_F(CCoreAppTest, ALinkHandedOverDuringStartUpWaitsForItsEnd) {
    int linksDuringLogin = -1;
    std::optional<int> secondExit;
    mShell.login = [&] {
        mShell.RunWindow([&] {
            auto second = std::make_shared<CTestProcess>(
                std::vector<std::string>{BinDir() + "/vortlebox", "fenwave:radio/artist/Someone"},
                CTestProcess::COptions{});
            auto* poll = new QTimer();
            QObject::connect(poll, &QTimer::timeout, [&, second, poll] {
                secondExit = second->Wait(0ms);
                if (!secondExit)
                    return;
                poll->deleteLater();
                linksDuringLogin = mShell.links;
                mShell.CloseWindow();
            });
            poll->start(20);
        });
        return true;
    };
    CCoreApp core(&mShell);
    ASSERT_TRUE(core.Start());
    EXPECT_EQ(secondExit, 0);
    EXPECT_EQ(linksDuringLogin, 0);
    EXPECT_EQ(mShell.links, 1);
    EXPECT_NE(Log().find("Link kept until start-up has finished"), std::string::npos);
    core.RequestExit();
    core.Shutdown();
}

// The login at start-up is verified before the submission layer starts:
// through the stored proxy already.
TEST_F(CCoreAppTest, TheStartUpLoginIsVerifiedThroughTheStoredProxy) {
    CScriptedServer proxy({{CScriptedServer::Step::ReadRequest(),
                            CScriptedServer::Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")}});
    CRegistryKey fenwave = CRegistryUtils::OpenKey("Software\\Fenwave", true);
    CRegistryUtils::WriteString(fenwave, "ProxyHost", "127.0.0.1");
    CRegistryUtils::WriteNumber(fenwave, "ProxyPort", proxy.Port());
    CRegistryUtils::WriteNumber(fenwave, "ProxyEnabled", 1);
    CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true), "WebServiceHost",
                                "web.fenwave.test");
    mShell.login = [] {
        CWebSubmitter::Instance().verifyUser("alice", md5Hex("secret"), true);
        return true;
    };
    CCoreApp core(&mShell);
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(proxy.WaitForFinished(1));
    EXPECT_EQ(proxy.Received(0).rfind("GET http://web.fenwave.test/", 0), 0u) << proxy.Received(0);
    core.RequestExit();
    core.Shutdown();
}

} // namespace
