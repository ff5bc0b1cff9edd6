#include "tests/e2e/ProgramFixture.h"

#include "app/ProgramVersion.h"
#include "app/StartupLog.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ERole = CFenwaveSimulator::ERole;

std::vector<CFenwaveSimulator::CRequest> Posts(CFenwaveSimulator& sim) {
    std::vector<CFenwaveSimulator::CRequest> posts;
    for (const auto& request : sim.Requests(ERole::Submit))
        if (request.method == "POST")
            posts.push_back(request);
    return posts;
}

TEST_F(CProgramTest, PlayedTrackIsSubmittedWithTheExactBodyAndRefusalsComeBack) {
    StartProgram();

    // Refusals of the real program, answered while tracks are timed.
    EXPECT_EQ(Play("FOO c=x"), "ERROR: Command 'FOO' isn't a valid command\n");
    EXPECT_EQ(Play("PAUSE a=x"), "ERROR: No plugin ID ('c=') present in message\n");
    EXPECT_EQ(Play("START c=x&z=1"), "ERROR: The following argument is not valid: z\n");
    EXPECT_EQ(Play("RESUME c=nobody"), "ERROR: RESUME received without a preceding START\n");

    // Too short to count, on another plug-in at the same time.
    EXPECT_EQ(Play("START c=other&a=Short&t=Brief&b=&m=&l=29&p=/music/short.mp3"), "OK\n");

    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(Play("START c=demo&a=Some Artist&t=Rock && Roll&b=The Album&m=id-42&l=30&p=/music/a.mp3"),
              "OK\n");
    const std::time_t after = std::time(nullptr);

    ASSERT_TRUE(mSim->WaitForSubmissions(1, 60s)) << Log();
    const auto entries = mSim->SubmittedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].user, kUser);
    EXPECT_EQ(entries[0].artist, "Some Artist");
    EXPECT_EQ(entries[0].title, "Rock & Roll");
    EXPECT_EQ(entries[0].album, "The Album");
    EXPECT_EQ(entries[0].length, "30");
    EXPECT_EQ(entries[0].trackId, "id-42");

    const auto posts = Posts(*mSim);
    ASSERT_FALSE(posts.empty());
    const std::string& body = posts.back().body;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(body, match, std::regex("u=alice&s=([0-9a-f]{32})&(.*)"))) << body;
    const std::string rest = match[2].str();
    bool timeMatches = false;
    for (std::time_t t = before; t <= after; ++t)
        timeMatches = timeMatches || rest == "a[0]=Some+Artist&b[0]=The+Album&t[0]=Rock+%26+Roll&i[0]=" +
                                                 EncodedTime(t) + "&l[0]=30&m[0]=id-42";
    EXPECT_TRUE(timeMatches) << body;
    // The response is the password hash salted with the last challenge:
    // the simulator accepted the entry only if it matched.
    const std::string log = Log();
    EXPECT_NE(log.find("Track length is: 29s which is too short, will not submit."), std::string::npos);
    EXPECT_NE(log.find("Starting new track 'Some Artist - Rock & Roll'. Goal: 15"), std::string::npos);
    EXPECT_NE(log.find(std::string(60, '*') + " STARTUP " + std::string(59, '*') + "\n"), std::string::npos);
    EXPECT_NE(log.find("Windows version: " + CStartupLog::SystemVersionText() +
                       "\n  VB version: " + kProgramFileVersion + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("Starting app for user: alice\n"), std::string::npos);
    EXPECT_NE(log.find("PlayerListenerThread started at: 0x"), std::string::npos);

    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(CProgramTest, PausedTimeDoesNotCountAndStopResets) {
    StartProgram();
    // p: paused for five seconds. q: stopped after ten seconds and resumed,
    // so counting from 0 again.
    const auto startP = Clock::now();
    ASSERT_EQ(Play("START c=p&a=Paused&t=One&b=&m=&l=30&p=/music/p.mp3"), "OK\n");
    ASSERT_EQ(Play("START c=q&a=Stopped&t=Two&b=&m=&l=30&p=/music/q.mp3"), "OK\n");
    SleepUntil(startP + 3s);
    ASSERT_EQ(Play("PAUSE c=p"), "OK\n");
    const auto pausedP = Clock::now();
    SleepUntil(startP + 8s);
    const auto resumeP = Clock::now();
    ASSERT_EQ(Play("RESUME c=p"), "OK\n");
    SleepUntil(startP + 10s);
    ASSERT_EQ(Play("STOP c=q"), "OK\n");
    const auto resumeQ = Clock::now();
    ASSERT_EQ(Play("RESUME c=q"), "OK\n");

    // The earliest moment each can have played 15 seconds.
    const auto earliestP = resumeP + 15s - (pausedP - startP);
    const auto earliestQ = resumeQ + 15s;
    SleepUntil(earliestP - 1s);
    EXPECT_TRUE(mSim->SubmittedEntries().empty());
    ASSERT_TRUE(mSim->WaitForSubmissions(1, 60s)) << Log();
    EXPECT_EQ(mSim->SubmittedEntries()[0].artist, "Paused");
    SleepUntil(earliestQ - 1s);
    EXPECT_EQ(mSim->SubmittedEntries().size(), 1u);
    ASSERT_TRUE(mSim->WaitForSubmissions(2, 60s)) << Log();
    EXPECT_EQ(mSim->SubmittedEntries()[1].artist, "Stopped");

    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

struct RestartCase {
    const char* name;
    int signal;
};

// The submission server stalls, so the track waits in the queue; the
// program is ended by the signal and started again with the server back.
TEST_F(CProgramTest, WaitingTrackSurvivesTheEndOfTheProgram) {
    const RestartCase cases[] = {{"SIGTERM", SIGTERM}, {"SIGKILL", SIGKILL}};
    for (const RestartCase& c : cases) {
        SCOPED_TRACE(c.name);
        mSim->Reset();
        mSim->AddUser(kUser, kPassword);
        CFenwaveSimulator::CBehaviour stall;
        stall.mode = CFenwaveSimulator::EMode::Stall;
        mSim->SetBehaviour(ERole::Submit, "/submit/", stall);

        StartProgram();
        const std::string artist = std::string("Queued ") + c.name;
        ASSERT_EQ(Play("START c=demo&a=" + artist + "&t=Waiting&b=&m=&l=30&p=/music/w.mp3"), "OK\n");
        // Handed over: the track is in the tentative cache file.
        ASSERT_TRUE(CPlayerTestBase::WaitUntil(
            [&] { return ReadFile(TentativeCache()).find(artist) != std::string::npos; }, 60s))
            << Log();
        ASSERT_TRUE(mSim->WaitForRequests(ERole::Submit, 2, 30s));
        // The end comes while one track is too short and the next plays.
        ASSERT_EQ(Play("START c=demo&a=" + artist + "&t=Short&b=&m=&l=20&p=/music/s.mp3"), "OK\n");
        ASSERT_EQ(Play("START c=demo&a=" + artist + "&t=Cut&b=&m=&l=200&p=/music/c.mp3"), "OK\n");

        // The history tells each play's end, the submitted one once.
        std::map<std::string, std::string> outcomes;
        const auto readHistory = [&] {
            outcomes.clear();
            const CTestProcess::CResult printed =
                CTestProcess::Run({BinDir() + "/vortlebox-history", "--json", "--search", artist});
            std::istringstream lines(printed.out);
            static const std::regex play("\"title\": \"([A-Za-z]+)\".*\"outcome\": \"([a-z-]+)\", "
                                         "\"submitted\": (null|\"[0-9TZ:-]+\")");
            for (std::string line; std::getline(lines, line);) {
                std::smatch match;
                if (std::regex_search(line, match, play))
                    outcomes[match[1].str()] += match[2].str() + (match[3] == "null" ? "" : " at");
            }
            return outcomes["Waiting"] == "submitted at";
        };
        // What the history had written before the end is all it keeps.
        ASSERT_TRUE(CPlayerTestBase::WaitUntil([&] { return readHistory(), outcomes.count("Cut") == 1; }));

        ::kill(mProgram->Pid(), c.signal);
        const std::optional<int> code = WaitExit();
        if (c.signal == SIGTERM) {
            EXPECT_EQ(code, 0);
            const std::string log = Log();
            for (const char* step : {"Saving settings manager", "Calling term on libvortler",
                                     "Stopping player listener", "Listener thread finishing.", "Exiting"})
                EXPECT_NE(log.find(step), std::string::npos) << step;
        } else {
            EXPECT_EQ(code, 128 + SIGKILL);
        }
        EXPECT_TRUE(FileExists(PendingCache()));
        EXPECT_NE(ReadFile(TentativeCache()).find(artist), std::string::npos);
        EXPECT_TRUE(mSim->SubmittedEntries().empty());

        mSim->ClearBehaviour(ERole::Submit, "/submit/");
        StartProgram();
        ASSERT_TRUE(mSim->WaitForSubmissions(1, 60s)) << Log();
        EXPECT_EQ(mSim->SubmittedEntries()[0].artist, artist);
        // Ended before it has read the server's OK, the program would rightly
        // keep the track for another try.
        ASSERT_TRUE(CPlayerTestBase::WaitUntil(
            [&] { return RunLog().find("VortleStatus: 11") != std::string::npos; }, 60s));
        EXPECT_TRUE(CPlayerTestBase::WaitUntil(readHistory, 30s));
        EXPECT_EQ(outcomes, (std::map<std::string, std::string>{
                                {"Waiting", "submitted at"}, {"Short", "too-short"}, {"Cut", "stopped-early"}}));
        ::kill(mProgram->Pid(), SIGTERM);
        EXPECT_EQ(WaitExit(), 0);
    }
}

TEST_F(CProgramTest, NoCurrentUserNorDisplayStillStarts) {
    Reg({"delete", "Software\\Fenwave\\Users", "CurrentUser"});
    // Without a display and without a chosen platform the program runs its
    // core alone.
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        mEnv.Env().Unset(name);
    StartProgram();
    EXPECT_NE(Log().find("No current user"), std::string::npos);
    EXPECT_EQ(Play("STOP c=x"), "OK\n");
    ::kill(mProgram->Pid(), SIGINT);
    EXPECT_EQ(WaitExit(), 0);
}

} // namespace

namespace {

TEST_F(CProgramTest, UnreadableSettingsStoreEndsStartWithCodeOne) {
    const std::string store = mEnv.ConfigHome() + "/Fenwave/registry.db";
    ASSERT_TRUE(FileExists(store));
    // The whole store is damaged: its file, and no write-ahead log left
    // beside it (this process keeps one while its connection is open).
    WriteFile(store, std::string(4096, 'x'));
    std::remove((store + "-wal").c_str());
    std::remove((store + "-shm").c_str());
    const CTestProcess::CResult result =
        CTestProcess::Run({BinDir() + "/vortlebox"}, std::chrono::seconds(60));
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_FALSE(result.err.empty());
    const std::string log = Log();
    const std::size_t at = log.find("CRegistryException on mgr.Restore(): ");
    ASSERT_NE(at, std::string::npos) << log;
    // The text the user was shown is the one logged.
    const std::size_t end = log.find('\n', at);
    const std::string text = log.substr(at + 38, end - at - 38);
    EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    EXPECT_EQ(log.find("Listener bound to port"), std::string::npos);
}

TEST_F(CProgramTest, ListenerThatCannotStartLeavesTheProgramRunning) {
    CHeldPorts taken(11);
    mEnv.Env().Set("VORTLEBOX_LISTENER_PORT", std::to_string(taken.Base()));
    mProgram = std::make_unique<CTestProcess>(std::vector<std::string>{BinDir() + "/vortlebox"},
                                              CTestProcess::COptions{});
    ASSERT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return Log().find("Listener thread finishing.") != std::string::npos; }, 60s))
        << Log();
    EXPECT_NE(Log().find("CNetworkException: Could not bind listening socket. Socket error: 98"),
              std::string::npos);
    EXPECT_FALSE(mProgram->Wait(0ms).has_value());
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_NE(Log().find("Exiting"), std::string::npos);
}

} // namespace
