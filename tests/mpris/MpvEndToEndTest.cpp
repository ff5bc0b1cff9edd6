#include "tests/e2e/ProgramFixture.h"

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

TEST_F(CProgramTest, TheBridgeStaysOffWhenTheStoreSaysSo) {
    Reg({"set", "Software\\Fenwave\\Vortlebox", "MprisBridge", "dword", "0"});
    StartProgram();
    EXPECT_NE(Log().find("MPRIS bridge switched off (MprisBridge is 0)"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("MPRIS bridge started"), std::string::npos);
    EXPECT_FALSE(FileExists(UserDir() + "/vortlebox-mpris.log"));
    ::kill(mProgram->Pid(), SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
}

} // namespace
