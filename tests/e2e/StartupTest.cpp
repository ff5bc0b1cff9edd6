#include "tests/e2e/ProgramFixture.h"

#include <csignal>

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

} // namespace
