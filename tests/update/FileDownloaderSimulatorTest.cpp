#include "update/FileDownloader.h"

#include "app/ManualResetEvent.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/update/ProgressRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ERole = CFenwaveSimulator::ERole;

class FileDownloaderSimulatorTest : public ::testing::Test {
protected:
    std::string StaticUrl(const std::string& target) const { return "http://" + sim.StaticHost() + target; }

    CTestEnvironment env;
    CLogCapture log;
    CTempDir dir;
    CFenwaveSimulator sim;
    CFileDownloader downloader;
};

TEST_F(FileDownloaderSimulatorTest, DownloadsAnInstallerFromTheStaticHost) {
    const std::string installer = CFenwaveSimulator::RecordingInstaller(dir.File("installs.log"));
    sim.SetFile("/download/PluginSetup.sh", installer);
    CProgressRecorder recorder(downloader);
    const std::string target = dir.File("PluginSetup.sh");

    ASSERT_EQ(downloader.Download(StaticUrl("/download/PluginSetup.sh"), target, true), DOWNLOAD_OK);

    EXPECT_EQ(ReadFile(target), installer);
    EXPECT_TRUE(recorder.Saw("Connecting to 127.0.0.1...")) << ::testing::PrintToString(recorder.Texts());
    EXPECT_TRUE(recorder.Saw("Downloading PluginSetup.sh..."));
    EXPECT_EQ(downloader.GetProgress(), 100);
    ASSERT_EQ(sim.Requests(ERole::Static).size(), 1u);
    EXPECT_EQ(sim.Requests(ERole::Static)[0].target, "/download/PluginSetup.sh");
}

TEST_F(FileDownloaderSimulatorTest, CancelInTheMiddleOfASlowLargeFile) {
    sim.SetGeneratedFile("/download/Large.bin", 4 * 1024 * 1024, 64 * 1024);
    CProgressRecorder recorder(downloader);
    CManualResetEvent halfwayStarted;
    recorder.OnText([&](const std::string& text) {
        if (text == "Downloading Large.bin..." && downloader.GetProgress() > 0)
            halfwayStarted.Set();
    });
    const std::string target = dir.File("Large.bin");
    std::uint8_t result = 0xff;

    std::thread worker([&] { result = downloader.Download(StaticUrl("/download/Large.bin"), target, true); });
    const bool started = halfwayStarted.WaitFor(20s);
    downloader.Cancel();
    worker.join();

    ASSERT_TRUE(started);
    EXPECT_EQ(result, DOWNLOAD_CANCELLED);
    EXPECT_FALSE(FileExists(target));
    EXPECT_GT(downloader.GetProgress(), 0);
    EXPECT_LT(downloader.GetProgress(), 100);
}

TEST_F(FileDownloaderSimulatorTest, MissingFileFails) {
    const std::string target = dir.File("Nothing.bin");
    EXPECT_EQ(downloader.Download(StaticUrl("/download/no-such-file.bin"), target, false), DOWNLOAD_FAILED);
    EXPECT_FALSE(FileExists(target));
    EXPECT_TRUE(log.Contains("URLDownloadToFile returned: E_FAIL\n"));
}

} // namespace
