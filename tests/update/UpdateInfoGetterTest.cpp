#include "update/UpdateInfoGetter.h"

#include "app/ManualResetEvent.h"
#include "app/Observer.h"
#include "app/ProgramVersion.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/update/ProgressRecorder.h"
#include "tests/update/UpdateTestUtil.h"
#include "update/ConnectionException.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace UpdateTest;

namespace {

using ERole = CFenwaveSimulator::ERole;

/// Where the program looks for its update information.
std::string InfoPath() {
    return "/plugins/vbx/upg.win." + std::to_string(kProgramVersionFields[0]) + "." +
           std::to_string(kProgramVersionFields[1]);
}

const std::string kFull =
    "[App]\n\"Vortlebox\",\"V/vortlebox\",\"http://h/setup.exe\",\"9.0\",\"\"\n"
    "[Radio]\n\"Fenwave Radio\",\"R/radio\",\"http://h/radio.exe\",\"2.0\",\"/S\"\n"
    "[Plugins]\n\"Demo Player\",\"D/demo\",\"http://h/d.exe\",\"1.1\",\"P\",\"\",\"\",\"\"\n";
const std::string kAppOnly = "[App]\n\"Vortlebox\",\"V/vortlebox\",\"http://h/setup.exe\",\"9.0\",\"\"\n";

/// A port of 127.0.0.1 that nothing listens on.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class UpdateInfoGetterTest : public ::testing::Test {
protected:
    void SetUp() override {
        mEnv.Env().Set("VORTLEBOX_PROGRAM_FILES", "/pf");
        WriteRegString("Software\\Fenwave\\Vortlebox", "StaticHost", mSim.StaticHost());
    }
    std::size_t InfoRequests() {
        std::size_t n = 0;
        for (const auto& request : mSim.Requests(ERole::Static))
            n += request.target == InfoPath();
        return n;
    }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    CFenwaveSimulator mSim;
};

TEST_F(UpdateInfoGetterTest, FetchesTheFileOfTheProgramsVersion) {
    mSim.SetFile(InfoPath(), kFull);
    EXPECT_EQ(CUpdateInfoGetter::UpdateInfoUrl(), "http://" + mSim.StaticHost() + InfoPath());
    CUpdateInfoGetter getter;
    CComponentInfo app;
    ASSERT_TRUE(getter.GetAppInfo(app, true));
    EXPECT_EQ(app.GetVersion(), "9.0");
    EXPECT_EQ(app.GetPath(), "/pf/V/vortlebox");
    const auto requests = mSim.Requests(ERole::Static);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, InfoPath());
    EXPECT_EQ(requests[0].version, "HTTP/1.0");
    EXPECT_EQ(requests[0].Header("User-Agent"), "Vortlebox (Mozilla)");
    EXPECT_EQ(getter.GetProgress(), 100);
    EXPECT_TRUE(mLog.Contains("Got info for 1 plugins\n"));
}

TEST_F(UpdateInfoGetterTest, KeptRecordsSpareDownloads) {
    struct Step {
        const char* what;
        int call; // 0 program, 1 radio, 2 plug-ins
        bool force;
        std::size_t requestsAfter;
    };
    struct Case {
        const char* file;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {kFull.c_str(),
         {{"forced first", 0, true, 1},
          {"radio kept", 1, false, 1},
          {"plug-ins kept", 2, false, 1},
          {"program kept", 0, false, 1},
          {"forced radio", 1, true, 2},
          {"forced plug-ins", 2, true, 3}}},
        // Nothing kept of a kind the file lacks: each asks again.
        {kAppOnly.c_str(),
         {{"forced first", 0, true, 1},
          {"no radio kept", 1, false, 2},
          {"no plug-ins kept", 2, false, 3},
          {"still no radio", 1, false, 4},
          {"program kept", 0, false, 4}}},
    };
    for (const Case& c : cases) {
        mSim.Reset();
        mSim.SetFile(InfoPath(), c.file);
        CUpdateInfoGetter getter;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.what);
            CComponentInfo info;
            std::vector<CPluginInfo> plugins;
            if (step.call == 0)
                EXPECT_TRUE(getter.GetAppInfo(info, step.force));
            else if (step.call == 1)
                EXPECT_TRUE(getter.GetRadioInfo(info, step.force));
            else
                EXPECT_TRUE(getter.GetPluginInfo(plugins, step.force));
            EXPECT_EQ(InfoRequests(), step.requestsAfter);
        }
    }
}

TEST_F(UpdateInfoGetterTest, FailedDownloadIsThrownWithItsReason) {
    mSim.SetFile(InfoPath(), kFull);
    CUpdateInfoGetter getter;
    CComponentInfo app;
    ASSERT_TRUE(getter.GetAppInfo(app, true));

    // Nothing listens on the port any more.
    WriteRegString("Software\\Fenwave\\Vortlebox", "StaticHost", "127.0.0.1:" + std::to_string(FreePort()));
    try {
        getter.GetAppInfo(app, true);
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Connection error: ", 0), 0u) << e.what();
    }
    // What was kept before stays.
    CComponentInfo kept;
    ASSERT_TRUE(getter.GetAppInfo(kept, false));
    EXPECT_EQ(kept.GetVersion(), "9.0");
}

TEST_F(UpdateInfoGetterTest, UnusableSettingsStoreIsAConnectionFailure) {
    // The store cannot be opened below a file.
    WriteFile(mEnv.Root() + "/a-file", "x");
    mEnv.Env().Set("XDG_CONFIG_HOME", mEnv.Root() + "/a-file");
    CUpdateInfoGetter getter;
    CComponentInfo app;
    EXPECT_THROW(getter.GetAppInfo(app, true), CConnectionException);
    EXPECT_TRUE(mSim.Requests(ERole::Static).empty());
}

TEST_F(UpdateInfoGetterTest, CorruptFileIsThrown) {
    mSim.SetFile(InfoPath(), "\"a\",\"b\"\n");
    CUpdateInfoGetter getter;
    CComponentInfo app;
    try {
        getter.GetAppInfo(app, true);
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        EXPECT_STREQ(e.what(), "Downloaded update info corrupt.");
    }
}

TEST_F(UpdateInfoGetterTest, RelaysTheDownloadersStatus) {
    mSim.SetFile(InfoPath(), kFull);
    CUpdateInfoGetter getter;
    CProgressRecorder recorder(getter);
    CComponentInfo app;
    ASSERT_TRUE(getter.GetAppInfo(app, true));
    const auto status = recorder.Texts();
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "Retrieving information from Fenwave...");
    // The getter's own progress stays 0 while it downloads.
    for (int progress : recorder.Progress())
        EXPECT_EQ(progress, 0);
}

TEST_F(UpdateInfoGetterTest, CancelStopsAStalledDownload) {
    mSim.SetFile(InfoPath(), kFull);
    CUpdateInfoGetter getter;
    CComponentInfo app;
    ASSERT_TRUE(getter.GetAppInfo(app, true));

    CFenwaveSimulator::CBehaviour stall;
    stall.mode = CFenwaveSimulator::EMode::Stall;
    mSim.SetBehaviour(ERole::Static, InfoPath(), stall);
    CManualResetEvent first;
    CProgressRecorder recorder(getter);
    recorder.OnText([&](const std::string&) { first.Set(); });
    std::thread canceller([&] {
        if (first.WaitFor(std::chrono::seconds(20)))
            getter.Cancel();
    });
    CComponentInfo after;
    std::vector<CPluginInfo> plugins;
    const bool completed = getter.GetAppInfo(after, true);
    canceller.join();
    EXPECT_FALSE(completed);
    EXPECT_EQ(after.GetVersion(), "9.0") << "a cancelled download keeps the program record";
    EXPECT_TRUE(mLog.Contains("CUpdateInfoGetter::Cancel, setting mbCancelled to true\n"));

    // The next call starts afresh.
    mSim.ClearBehaviour(ERole::Static, InfoPath());
    EXPECT_TRUE(getter.GetPluginInfo(plugins, false));
    EXPECT_EQ(plugins.size(), 1u);
}

} // namespace
