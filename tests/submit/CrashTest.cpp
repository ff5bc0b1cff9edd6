// Tracks accepted by a submitter process survive its SIGKILL at chosen
// moments: a fresh process for the same user sends every one of them to the
// simulator, each exactly once and intact. The promise kept: a track accepted
// more than a second before the kill is on disk (the cache files are written
// by a thread of their own, at once).
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Role = CFenwaveSimulator::ERole;
using Mode = CFenwaveSimulator::EMode;

constexpr long kCrashPlayTime = 1146486896; // 2006-05-01 12:34:56 UTC
constexpr auto kAcceptedToDisk = 1s;

/// One run of the submitter program for alice with the given steps.
class CSubmitterRun {
public:
    explicit CSubmitterRun(const std::vector<std::string>& steps)
        : mProcess(Arguments(steps), CTestProcess::COptions{true, true, false}) {}

    /// Reads lines until one equals the text; false at the end or after the bound.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds bound = 30s) {
        const auto end = std::chrono::steady_clock::now() + bound;
        std::string line;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left <= 0ms || !mProcess.ReadLine(line, left))
                return false;
            if (line.rfind("accepted ", 0) == 0)
                mLastAccepted = std::chrono::steady_clock::now();
            if (line == text)
                return true;
        }
    }

    /// SIGKILL, no sooner than kAcceptedToDisk after the last acceptance.
    void Kill() {
        std::this_thread::sleep_until(mLastAccepted + kAcceptedToDisk);
        KillAtOnce();
    }

    void KillAtOnce() {
        ::kill(mProcess.Pid(), SIGKILL);
        EXPECT_EQ(mProcess.Wait(10s), std::optional<int>(128 + SIGKILL));
    }

    std::optional<int> Finish() {
        mProcess.CloseStdin();
        return mProcess.Wait(30s);
    }

private:
    static std::vector<std::string> Arguments(const std::vector<std::string>& steps) {
        std::vector<std::string> argv{BinDir() + "/vortlebox-submit", "alice"};
        argv.insert(argv.end(), steps.begin(), steps.end());
        return argv;
    }

    CTestProcess mProcess;
    std::chrono::steady_clock::time_point mLastAccepted;
};

std::string TrackLine(long n) {
    return "track:" + std::to_string(kCrashPlayTime + 600 * n);
}
std::string Accepted(long n) {
    return "accepted " + std::to_string(kCrashPlayTime + 600 * n);
}

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetServerHosts(mSim.SubmitHost(), mSim.WebHost());
        mEnv.Env().Set("VORTLEBOX_PASSWORD", "secret");
    }

    /// A fresh process loads alice's queue and sends it.
    void Drain() {
        CSubmitterRun run({"drain"});
        EXPECT_TRUE(run.WaitForLine("drained"));
        EXPECT_EQ(run.Finish(), std::optional<int>(0));
    }

    /// Every one of the tracks reached the simulator exactly once, intact.
    void ExpectSubmittedOnce(const std::vector<long>& tracks) {
        ASSERT_TRUE(mSim.WaitForSubmissions(tracks.size()));
        std::map<std::string, int> seen;
        for (const auto& entry : mSim.SubmittedEntries()) {
            ++seen[entry.playTime];
            EXPECT_EQ(entry.user, "alice");
            EXPECT_EQ(entry.length, "200");
            EXPECT_EQ(entry.artist.rfind("Artist ", 0), 0u);
            EXPECT_EQ(entry.title, "Title & more " + entry.artist.substr(7));
        }
        EXPECT_EQ(seen.size(), tracks.size());
        for (long n : tracks) {
            std::time_t start = kCrashPlayTime + 600 * n;
            std::tm tm{};
            gmtime_r(&start, &tm);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
            EXPECT_EQ(seen[text], 1) << text;
        }
    }

    CTestEnvironment mEnv;
    CFenwaveSimulator mSim{std::vector<std::pair<std::string, std::string>>{{"alice", "secret"}}};
};

TEST_F(CrashTest, KilledRightAfterSubmitReturned) {
    // The submission server takes the posts and never answers.
    mSim.SetBehaviour(Role::Submit, "/submit", {Mode::Stall});
    {
        CSubmitterRun run({TrackLine(0), TrackLine(1), TrackLine(2), "hold"});
        ASSERT_TRUE(run.WaitForLine(Accepted(2)));
        run.Kill();
    }
    ASSERT_TRUE(mSim.SubmittedEntries().empty());
    mSim.ClearBehaviour(Role::Submit, "/submit");
    Drain();
    ExpectSubmittedOnce({0, 1, 2});
}

TEST_F(CrashTest, KilledDuringAnInFlightSubmission) {
    mSim.SetBehaviour(Role::Submit, "/submit", {Mode::Stall});
    {
        CSubmitterRun run({TrackLine(0), TrackLine(1), "await:0", TrackLine(2), "hold"});
        ASSERT_TRUE(run.WaitForLine(Accepted(2)));
        // The handshake and the post of the first track(s) have arrived.
        ASSERT_TRUE(mSim.WaitForRequests(Role::Submit, 2));
        run.Kill();
    }
    ASSERT_TRUE(mSim.SubmittedEntries().empty());
    mSim.ClearBehaviour(Role::Submit, "/submit");
    Drain();
    ExpectSubmittedOnce({0, 1, 2});
}

TEST_F(CrashTest, KilledRightAfterAnOk) {
    // Posts are answered after a while, so that the second track is added
    // while the first is in flight.
    mSim.SetBehaviour(Role::Submit, "/submit", {Mode::Delay, 0.5});
    {
        CSubmitterRun run({TrackLine(0), "await:0", TrackLine(1), "hold"});
        ASSERT_TRUE(run.WaitForLine("status 11"));
        // The OK wrote the files before it was reported.
        run.KillAtOnce();
    }
    // Only the first post was answered before the kill.
    ASSERT_EQ(mSim.SubmittedEntries().size(), 1u);
    mSim.ClearBehaviour(Role::Submit, "/submit");
    Drain();
    ExpectSubmittedOnce({0, 1});
}

TEST_F(CrashTest, OrderlyExitKeepsTheQueueToo) {
    mSim.SetBehaviour(Role::Submit, "/submit", {Mode::Status, 0, 503});
    {
        CSubmitterRun run({TrackLine(0), TrackLine(1)});
        EXPECT_TRUE(run.WaitForLine(Accepted(1)));
        EXPECT_EQ(run.Finish(), std::optional<int>(0));
    }
    ASSERT_TRUE(mSim.SubmittedEntries().empty());
    mSim.ClearBehaviour(Role::Submit, "/submit");
    Drain();
    ExpectSubmittedOnce({0, 1});
}

} // namespace
