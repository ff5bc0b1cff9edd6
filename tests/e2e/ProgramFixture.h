#pragma once

#include "tests/player/PlayerTestBase.h"
#include "tests/player/TestClient.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

/// The real program in a temporary environment, with the simulator as its
/// peers and one user "alice" (password "secret") who submits plays.
class CProgramTest : public ::testing::Test {
protected:
    static constexpr const char* kUser = "alice";
    static constexpr const char* kPassword = "secret";
    // md5hex("secret")
    static constexpr const char* kPasswordHash = "5ebe2294ecd0e0f08eab7690d2a6ee69";

    void SetUp() override {
        // What the program leaves behind when it ends comes to this process.
        CTestProcess::AdoptOrphans();
        mEnv.Env().Set("QT_QPA_PLATFORM", "offscreen");
        // Any free port: programs of tests running side by side never meet,
        // and the log names the port.
        mEnv.Env().Set("VORTLEBOX_LISTENER_PORT", "0");
        mSim = std::make_unique<CFenwaveSimulator>(
            std::vector<std::pair<std::string, std::string>>{{kUser, kPassword}});
        const std::string users = std::string("Software\\Fenwave\\Users\\") + kUser;
        Reg({"set", users, "Password", "sz", kPasswordHash});
        Reg({"set", users, "LogToProfile", "dword", "1"});
        Reg({"set", users, "RememberPass", "dword", "1"});
        Reg({"set", "Software\\Fenwave\\Users", "CurrentUser", "sz", kUser});
        Reg({"set", "Software\\Fenwave\\Vortlebox", "SubmitHost", "sz", mSim->SubmitHost()});
        Reg({"set", "Software\\Fenwave\\Vortlebox", "WebServiceHost", "sz", mSim->WebHost()});
    }

    /// Ends the program, if a test left it running; then nothing it
    /// started may still run.
    void TearDown() override {
        if (mProgram)
            mProgram->Stop();
        std::vector<std::string> strays;
        CPlayerTestBase::WaitUntil([&] { return (strays = CTestProcess::Strays()).empty(); },
                                   std::chrono::seconds(10));
        for (const std::string& stray : strays) {
            ADD_FAILURE() << "still running after the program ended: " << stray;
            ::kill(std::stoi(stray), SIGKILL);
        }
    }

    static void Reg(const std::vector<std::string>& args) {
        std::vector<std::string> argv{BinDir() + "/vortlebox-reg"};
        argv.insert(argv.end(), args.begin(), args.end());
        const CTestProcess::CResult result = CTestProcess::Run(argv);
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }

    std::string UserDir() const { return mEnv.DataHome() + "/Fenwave/Vortlebox"; }
    std::string LogPath() const { return UserDir() + "/vortler.log"; }
    std::string Log() const { return ReadFile(LogPath()); }
    /// The log of the last program started.
    std::string RunLog() const {
        const std::string text = Log();
        return text.size() > mLogStart ? text.substr(mLogStart) : std::string();
    }
    std::string PendingCache() const { return UserDir() + "/" + kUser + ".vortler.cache"; }
    std::string TentativeCache() const { return UserDir() + "/" + kUser + ".tent.cache"; }

    /// Starts the program and waits until its listener serves; the log
    /// names the port (the last "Listener bound to port" record is this
    /// run's).
    void StartProgram() {
        const std::size_t logBefore = Log().size();
        mLogStart = logBefore;
        mProgram = std::make_unique<CTestProcess>(std::vector<std::string>{BinDir() + "/vortlebox"},
                                                  CTestProcess::COptions{});
        std::smatch match;
        bool found = CPlayerTestBase::WaitUntil([&] {
            const std::string text = Log();
            const std::string fresh = text.size() > logBefore ? text.substr(logBefore) : "";
            static const std::regex bound("Listener bound to port ([0-9]+)\n");
            if (!std::regex_search(fresh, match, bound))
                return false;
            mPort = static_cast<uint16_t>(std::stoi(match[1].str()));
            return true;
        });
        ASSERT_TRUE(found) << Log();
        ASSERT_TRUE(CPlayerTestBase::WaitUntil(
            [&] { return Log().find("InitInstance completed successfully") != std::string::npos; }));
    }

    /// One command as a plug-in sends it; the reply without its line feed.
    std::string Play(const std::string& line) { return Exchange(mPort, line + "\n"); }

    /// Waits at most the bound for the program to exit; its exit code.
    std::optional<int> WaitExit(std::chrono::seconds bound = std::chrono::seconds(60)) {
        return mProgram->Wait(bound);
    }

    /// The play-time text of a start time, form encoded as in the body.
    static std::string EncodedTime(std::time_t t) {
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char buffer[32];
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d+%H%%3a%M%%3a%S", &tm);
        return buffer;
    }

    static void SleepUntil(std::chrono::steady_clock::time_point when) {
        std::this_thread::sleep_until(when);
    }

    CTestEnvironment mEnv;
    std::unique_ptr<CFenwaveSimulator> mSim;
    std::unique_ptr<CTestProcess> mProgram;
    uint16_t mPort = 0;
    std::size_t mLogStart = 0;
};
