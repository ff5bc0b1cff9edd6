#include "tests/e2e/ProgramFixture.h"

#include <csignal>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

const char* const kLinkQuestion =
    "To be able to click on Fenwave radio links, you need the Fenwave Radio installed.\n"
    "Click OK if you want to install the Fenwave Radio component.";

TEST_F(CProgramTest, ASecondCopyEndsAtOnceAndHandsItsLinkToTheRunningOneOnce) {
    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
    StartProgram();
    const std::string banner = std::string(60, '*') + " STARTUP ";

    struct Case {
        std::vector<std::string> args;
        std::size_t links;
    };
    const Case cases[] = {
        {{}, 0},
        {{"fenwave:radio/artist/Some+Artist"}, 1},
        {{"--play", "fenwave:x"}, 1}, // only the first argument can be a link
        {{"open fenwave:radio/tag/rock"}, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{BinDir() + "/vortlebox"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const CTestProcess::CResult second = CTestProcess::Run(argv, 60s);
        EXPECT_EQ(second.exitCode, 0) << second.err;
        if (c.links > 0) {
            EXPECT_TRUE(CPlayerTestBase::WaitUntil([&] {
                return Occurrences(RunLog(), "Fenwave link message received from another copy") == c.links;
            }));
        }
    }
    std::this_thread::sleep_for(300ms);
    const std::string log = RunLog();
    EXPECT_EQ(Occurrences(log, "Fenwave link message received from another copy"), 2u);
    // Nobody can answer the question without a display: it is logged, and
    // the answer that changes nothing is taken.
    EXPECT_EQ(Occurrences(log, std::string("Message box not shown (no display): Vortlebox: ") + kLinkQuestion), 2u);
    EXPECT_EQ(Occurrences(log, "Plugin wizard"), 0u);
    // The later copies wrote nothing.
    EXPECT_EQ(Occurrences(log, banner), 1u);
    EXPECT_EQ(Play("STOP c=x"), "OK\n");

    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(CProgramTest, WithoutADisplayNeitherTheWizardNorTheLoginIsShown) {
    // A first run: the wizard is skipped and the program serves.
    StartProgram();
    EXPECT_NE(RunLog().find("- L2\n  First run without a display, the configuration wizard is not shown\n"),
              std::string::npos)
        << RunLog();
    EXPECT_EQ(RunLog().find("UpdateCheckThread started at"), std::string::npos);
    EXPECT_EQ(Play("STOP c=x"), "OK\n");
    ::kill(mProgram->Pid(), SIGTERM);
    ASSERT_EQ(WaitExit(), 0);

    // A later run for a user whose password is not remembered: no login,
    // the stored password is used, and updates are looked for.
    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
    Reg({"set", std::string("Software\\Fenwave\\Users\\") + kUser, "RememberPass", "dword", "0"});
    StartProgram();
    EXPECT_NE(RunLog().find("- L2\n  No display to ask for a login, going on with the stored settings\n"),
              std::string::npos)
        << RunLog();
    EXPECT_NE(RunLog().find("Starting app for user: alice\n"), std::string::npos);
    EXPECT_TRUE(CPlayerTestBase::WaitUntil([&] { return RunLog().find("UpdateCheckThread started at: 0x") != std::string::npos; }));
    ::kill(mProgram->Pid(), SIGINT);
    EXPECT_EQ(WaitExit(), 0);
}

// A copy started while the running one is ending (here, it waits for a
// plug-in that sends half a line) waits for it to go and then runs, instead
// of taking it for a copy that runs on.
TEST_F(CProgramTest, ACopyStartedWhileTheRunningOneEndsWaitsAndThenRuns) {
    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
    StartProgram();
    CTestClient held(mPort);
    ASSERT_TRUE(held.Send("STOP c=hold"));
    ::kill(mProgram->Pid(), SIGTERM);
    ASSERT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return RunLog().find("Main window closing, shutting down") != std::string::npos; }))
        << RunLog();
    const std::unique_ptr<CTestProcess> first = std::move(mProgram);
    StartProgram();
    EXPECT_EQ(first->Wait(60s), 0);
    EXPECT_EQ(Occurrences(Log(), "InitInstance completed successfully"), 2u);
    EXPECT_EQ(Play("STOP c=x"), "OK\n");
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

// However long the path of the running copy's folder, a later copy reaches
// it: a socket path that would not fit gives way to a name that does.
TEST_F(CProgramTest, ALinkReachesTheRunningCopyWhateverTheLengthOfItsFolder) {
    const std::string runtime = mEnv.Root() + "/" + std::string(80, 'r');
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    mEnv.Env().Set("XDG_RUNTIME_DIR", runtime);
    Reg({"set", "Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"});
    StartProgram();
    const CTestProcess::CResult second =
        CTestProcess::Run({BinDir() + "/vortlebox", "fenwave:radio/artist/Long"}, 60s);
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return RunLog().find("Fenwave link message received from another copy") != std::string::npos; }))
        << RunLog();
    EXPECT_EQ(RunLog().find("QLocalServer::listen"), std::string::npos);
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

// Folders of the program's own that an earlier version left open to others
// are made private at start.
TEST_F(CProgramTest, FoldersLeftOpenByAnEarlierVersionAreMadePrivate) {
    const std::vector<std::string> folders = {mEnv.ConfigHome() + "/Fenwave", mEnv.DataHome() + "/Fenwave",
                                              UserDir()};
    for (const std::string& folder : folders) {
        ::mkdir(folder.c_str(), 0755);
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    }
    StartProgram();
    for (const std::string& folder : folders) {
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
        EXPECT_NE(RunLog().find("Made " + folder + " private"), std::string::npos) << folder;
    }
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

} // namespace
