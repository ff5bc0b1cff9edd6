#include "tests/e2e/ProgramFixture.h"
#include "tests/mpris/FakePlayerProcess.h"

#include <cstdint>
#include <cstdio>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

void Put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void Chunk(std::string& out, const char* id, const std::string& body) {
    out.append(id, 4);
    Put32(out, static_cast<std::uint32_t>(body.size()));
    out += body;
    if (body.size() % 2 != 0)
        out += '\0';
}

/// A WAV file of the given seconds of quiet 8 kHz tone whose INFO list
/// names artist, title and album, as a tagging program writes it.
std::string TaggedWave(int seconds, const std::string& artist, const std::string& title, const std::string& album) {
    const std::uint32_t rate = 8000;
    std::string info = "INFO";
    Chunk(info, "IART", artist + '\0');
    Chunk(info, "INAM", title + '\0');
    Chunk(info, "IPRD", album + '\0');
    std::string format;
    Put16(format, 1); // PCM
    Put16(format, 1); // mono
    Put32(format, rate);
    Put32(format, rate); // bytes per second
    Put16(format, 1);    // block size
    Put16(format, 8);    // bits
    std::string samples(rate * static_cast<std::uint32_t>(seconds), '\0');
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<char>((i / 10) % 2 != 0 ? 140 : 116);
    std::string body = "WAVE";
    Chunk(body, "fmt ", format);
    Chunk(body, "LIST", info);
    Chunk(body, "data", samples);
    std::string file = "RIFF";
    Put32(file, static_cast<std::uint32_t>(body.size()));
    return file + body;
}

std::string MprisScript() {
    for (const char* path : {"/usr/lib/mpv-mpris/mpris.so", "/etc/mpv/scripts/mpris.so"})
        if (::access(path, R_OK) == 0)
            return path;
    return {};
}

// A real player with its MPRIS plug-in, the real program with the bridge it
// starts beside itself, and the simulated servers: a tagged file played
// through reaches the submission server with no plug-in of ours inside
// the player.
TEST_F(CProgramTest, AFilePlayedInMpvIsSubmittedThroughTheBridge) {
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "needs a session bus (dbus-run-session)";
    ASSERT_EQ(::access("/usr/bin/mpv", X_OK), 0) << "mpv is missing (scripts/deps.sh installs it)";
    const std::string script = MprisScript();
    ASSERT_FALSE(script.empty()) << "mpv-mpris is missing (scripts/deps.sh installs it)";

    const std::string music = mEnv.Root() + "/My Music";
    ASSERT_EQ(::mkdir(music.c_str(), 0700), 0);
    const std::string file = music + "/Song & Dance.wav";
    WriteFile(file, TaggedWave(35, "Test Artist", "Test Title", "Test Album"));

    StartProgram();
    ASSERT_TRUE(CPlayerTestBase::WaitUntil([&] { return Log().find("MPRIS bridge started") != std::string::npos; }))
        << Log();
    const std::string bridgeLog = UserDir() + "/vortlebox-mpris.log";
    ASSERT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return ReadFile(bridgeLog).find("Watching the session bus for players") != std::string::npos; }))
        << ReadFile(bridgeLog);

    CTestProcess mpv({"/usr/bin/mpv", "--no-config", "--no-terminal", "--ao=null", "--vo=null", "--script=" + script,
                      file},
                     CTestProcess::COptions{});
    ASSERT_TRUE(mSim->WaitForSubmissions(1, 90s)) << Log() << ReadFile(bridgeLog);
    const auto entries = mSim->SubmittedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].user, kUser);
    EXPECT_EQ(entries[0].artist, "Test Artist");
    EXPECT_EQ(entries[0].title, "Test Title");
    EXPECT_EQ(entries[0].album, "Test Album");
    EXPECT_EQ(entries[0].length, "35");
    const std::string log = Log();
    EXPECT_NE(log.find("Starting new track 'Test Artist - Test Title'. Goal: 17"), std::string::npos) << log;
    EXPECT_NE(log.find("Line received: START c=org.mpris.MediaPlayer2.mpv"), std::string::npos) << log;
    // The file URL decoded to the path, its "&" doubled on the line.
    EXPECT_NE(log.find("&p=" + music + "/Song && Dance.wav\n"), std::string::npos) << log;

    // The program ends the bridge with itself.
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_NE(ReadFile(bridgeLog).find("Termination signal received, shutting down"), std::string::npos);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The bridge killed in the middle of a track: the program starts a new one a
// second later, which goes on with the track; it is submitted once.
TEST_F(CProgramTest, ABridgeKilledInTheMiddleOfATrackIsBackAndTheTrackCountsOnce) {
    StartProgram();
    const std::string started = "MPRIS bridge started, process ";
    ASSERT_TRUE(CPlayerTestBase::WaitUntil([&] { return Log().find(started) != std::string::npos; })) << Log();
    const pid_t first = std::stoi(Log().substr(Log().find(started) + started.size()));
    CFakePlayerProcess player;
    ASSERT_TRUE(player.Do("track Kill Band|Kill Song|30"));
    ASSERT_TRUE(player.Do("status Playing"));
    ASSERT_TRUE(player.Do("own 1 killtest"));
    const std::string counting = "Starting new track 'Kill Band - Kill Song'. Goal: 15";
    ASSERT_TRUE(CPlayerTestBase::WaitUntil([&] { return Log().find(counting) != std::string::npos; })) << Log();

    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(CPlayerTestBase::WaitUntil([&] { return Count(Log(), started) == 2; })) << Log();
    EXPECT_NE(Log().find("The MPRIS bridge ended by signal 9; starting it again in 1000 ms"), std::string::npos);
    ASSERT_TRUE(mSim->WaitForSubmissions(1, 60s)) << Log();
    // Played on to its end: still the one play.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(mSim->SubmittedEntries().size(), 1u);
    EXPECT_EQ(Count(Log(), counting), 1u) << Log();
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

// Two people logged in on one machine: two programs, two session buses, a
// player on each. Each program hears its own person's player only, though
// the second program's listener had to take the port after the first's.
TEST_F(CProgramTest, TwoProgramsOnOneMachineEachHearTheirOwnPlayer) {
    CHeldPorts ports(2, true);
    mEnv.Env().Set("VORTLEBOX_LISTENER_PORT", std::to_string(ports.Base()));
    StartProgram();
    ASSERT_EQ(mPort, ports.Base());

    // The second person: a home, a store and a session bus of their own.
    CTestProcess bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
                     CTestProcess::COptions{.pipeStdout = true});
    std::string address;
    ASSERT_TRUE(bus.ReadLine(address, 20s));
    std::unique_ptr<CTestProcess> second;
    std::unique_ptr<CFakePlayerProcess> theirs;
    CTempDir other;
    {
        CScopedEnv env;
        const std::pair<const char*, const char*> folders[] = {{"HOME", "/home"},
                                                               {"XDG_CONFIG_HOME", "/config"},
                                                               {"XDG_DATA_HOME", "/data"},
                                                               {"XDG_RUNTIME_DIR", "/run"},
                                                               {"TMPDIR", "/tmp"}};
        for (const auto& [name, folder] : folders) {
            ASSERT_EQ(::mkdir(other.File(folder + 1).c_str(), 0700), 0);
            env.Set(name, other.File(folder + 1));
        }
        env.Set("DBUS_SESSION_BUS_ADDRESS", address);
        second = std::make_unique<CTestProcess>(std::vector<std::string>{BinDir() + "/vortlebox"},
                                                CTestProcess::COptions{});
        theirs = std::make_unique<CFakePlayerProcess>();
        ASSERT_TRUE(theirs->Do("track Their Band|Their Song|200"));
        ASSERT_TRUE(theirs->Do("status Playing"));
        ASSERT_TRUE(theirs->Do("own 1 theirs"));
    }
    CFakePlayerProcess mine;
    ASSERT_TRUE(mine.Do("track My Band|My Song|200"));
    ASSERT_TRUE(mine.Do("status Playing"));
    ASSERT_TRUE(mine.Do("own 1 mine"));

    const std::string otherLog = other.File("data/Fenwave/Vortlebox/vortler.log");
    ASSERT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return ReadFile(otherLog).find("Starting new track 'Their Band - Their Song'") != std::string::npos; }))
        << ReadFile(otherLog);
    ASSERT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return Log().find("Starting new track 'My Band - My Song'") != std::string::npos; }))
        << Log();
    EXPECT_NE(ReadFile(otherLog).find("Listener bound to port " + std::to_string(ports.Port(1))), std::string::npos);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(Log().find("Their Band"), std::string::npos) << Log();
    EXPECT_EQ(ReadFile(otherLog).find("My Band"), std::string::npos) << ReadFile(otherLog);
    ::kill(second->Pid(), SIGTERM);
    EXPECT_EQ(second->Wait(60s), 0);
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(CProgramTest, TheBridgeStaysOffWhenTheStoreSaysSo) {
    Reg({"set", "Software\\Fenwave\\Vortlebox", "MprisBridge", "dword", "0"});
    StartProgram();
    EXPECT_TRUE(CPlayerTestBase::WaitUntil(
        [&] { return Log().find("MPRIS bridge switched off (MprisBridge is 0)") != std::string::npos; }))
        << Log();
    EXPECT_EQ(Log().find("MPRIS bridge started"), std::string::npos);
    EXPECT_FALSE(FileExists(UserDir() + "/vortlebox-mpris.log"));
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

} // namespace
