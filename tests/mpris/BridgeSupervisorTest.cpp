#include "app/BridgeSupervisor.h"

#include "settings/SettingsManager.h"
#include "tests/mpris/BridgeFixture.h"
#include "tests/mpris/FakePlayerProcess.h"

#include <csignal>

namespace {

using namespace std::chrono_literals;

/// The real bridge program run by the supervisor, reporting to the
/// recording listener.
class CBridgeSupervisorTest : public CBridgeTest {
protected:
    void SetUp() override {
        CBridgeTest::SetUp();
        mSettings.Restore();
        mSupervisor = std::make_unique<CBridgeSupervisor>(mSettings);
    }
    void TearDown() override {
        mSupervisor.reset();
        CBridgeTest::TearDown();
    }

    std::string BridgeLog() const { return ReadFile(mEnv.DataHome() + "/Fenwave/Vortlebox/vortlebox-mpris.log"); }
    /// Waits for a bridge other than `other` to run and listen to the bus.
    pid_t WaitNewBridge(pid_t other, std::size_t watching) {
        PumpUntil([&] {
            return mSupervisor->Pid() != 0 && mSupervisor->Pid() != other &&
                   Occurrences(BridgeLog(), "Watching the session bus for players") >= watching;
        });
        return mSupervisor->Pid();
    }

    CSettingsManager mSettings;
    std::unique_ptr<CBridgeSupervisor> mSupervisor;
};

// Killed in the middle of a track, the bridge is started again at once (one
// second later) and the track goes on: one START for one listening. Switched
// off it ends and stays ended; a changed choice of players reaches it at
// once.
TEST_F(CBridgeSupervisorTest, AKilledBridgeComesBackAndTheSwitchAndChoiceAreFollowedAtOnce) {
    CFakePlayerProcess player;
    ASSERT_TRUE(player.Do("track Band|Song|200"));
    ASSERT_TRUE(player.Do("status Playing"));
    ASSERT_TRUE(player.Do("own 1 kept"));
    mSupervisor->Start(mBase);
    const pid_t first = WaitNewBridge(0, 1);
    ASSERT_NE(first, 0) << mLog.Text();
    ASSERT_EQ(WaitLines(1).size(), 1u);

    ::kill(first, SIGKILL);
    const pid_t second = WaitNewBridge(first, 2);
    ASSERT_NE(second, 0) << mLog.Text();
    EXPECT_TRUE(mLog.Contains("The MPRIS bridge ended by signal 9; starting it again in 1000 ms\n"));
    ASSERT_TRUE(player.Do("status Paused"));
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{mListener->Lines()[0], "PAUSE c=org.mpris.MediaPlayer2.kept"}));

    // Not heard any more: a bridge that knows the track stops it and ends.
    mSettings.SetMprisChoices(false, CIgnoreList(""));
    EXPECT_EQ(mSupervisor->Pid(), 0);
    EXPECT_EQ(WaitLines(3).back(), "STOP c=org.mpris.MediaPlayer2.kept");
    PumpFor(1500ms);
    EXPECT_EQ(mSupervisor->Pid(), 0);

    mSettings.SetMprisChoices(true, CIgnoreList(""));
    const pid_t third = WaitNewBridge(0, 3);
    ASSERT_NE(third, 0);
    mSettings.SetMprisChoices(true, CIgnoreList("kept"));
    EXPECT_TRUE(PumpUntil([&] { return BridgeLog().find("Reading MprisIgnore again: 'kept'") != std::string::npos; }))
        << BridgeLog();
    EXPECT_EQ(mSupervisor->Pid(), third);
    EXPECT_EQ(Occurrences(mLog.Text(), "ended by signal"), 1u);
}

// A session bus of the test's own goes away in the middle of a track: the
// bridge stops the play and ends, and is not started again (there is no bus
// to hear).
TEST_F(CBridgeSupervisorTest, WhenTheSessionBusGoesThePlayStopsAndTheBridgeStaysEnded) {
    CTestProcess bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
                     CTestProcess::COptions{.pipeStdout = true});
    std::string address;
    ASSERT_TRUE(bus.ReadLine(address, 20s));
    mEnv.Env().Set("DBUS_SESSION_BUS_ADDRESS", address);
    CFakePlayerProcess player;
    ASSERT_TRUE(player.Do("track Band|Song|200"));
    ASSERT_TRUE(player.Do("status Playing"));
    ASSERT_TRUE(player.Do("own 1 gone"));
    mSupervisor->Start(mBase);
    ASSERT_NE(WaitNewBridge(0, 1), 0) << mLog.Text();
    ASSERT_EQ(WaitLines(1).size(), 1u);

    ::kill(bus.Pid(), SIGTERM);
    EXPECT_EQ(WaitLines(2).back(), "STOP c=org.mpris.MediaPlayer2.gone");
    EXPECT_TRUE(PumpUntil([&] { return mSupervisor->Pid() == 0; }));
    EXPECT_TRUE(mLog.Contains("The MPRIS bridge ended: no session bus; it is not started again\n")) << mLog.Text();
    EXPECT_NE(BridgeLog().find("The session bus went away: stopping every player and ending\n"), std::string::npos);
    PumpFor(1500ms);
    EXPECT_EQ(mSupervisor->Pid(), 0);
    EXPECT_EQ(mListener->Count(), 2u);
}

} // namespace
