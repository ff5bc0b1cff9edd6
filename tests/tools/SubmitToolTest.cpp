// The shell front end of the submission layer: the password never comes
// from the command line, and every bad input ends in one line on standard
// error and exit status 2.
#include "settings/RegistryUtils.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

struct BadInputCase {
    const char* name;
    std::vector<std::string> args;
    const char* password; // VORTLEBOX_PASSWORD, or null for none
    std::string input;
    const char* complaint;
};

TEST(SubmitToolTest, BadInputIsOneLineAndStatusTwo) {
    const BadInputCase cases[] = {
        {"no user", {}, "secret", "", "usage: vortlebox-submit USER STEP..."},
        {"not a time", {"alice", "track:soon"}, "secret", "", "bad step 'track:soon'"},
        {"time too large", {"alice", "track:99999999999"}, "secret", "", "bad step 'track:99999999999'"},
        {"no such status", {"alice", "await:18"}, "secret", "", "bad step 'await:18'"},
        {"unknown step", {"alice", "drain", "sleep"}, "secret", "", "bad step 'sleep'"},
        {"no password at all", {"alice", "drain"}, nullptr, "", "no password"},
        {"empty password line", {"alice"}, nullptr, "\n", "no password"},
        {"user name the store cannot hold", {"a\\b"}, "secret", "", "Invalid user name [a\\b]"},
        {"unusable store", {"alice"}, "secret", "", "Could not retrieve registry key ["},
    };
    for (const BadInputCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTestEnvironment env;
        if (c.password != nullptr)
            env.Env().Set("VORTLEBOX_PASSWORD", c.password);
        else
            env.Env().Unset("VORTLEBOX_PASSWORD");
        if (std::string(c.name) == "unusable store") {
            // The store's folder is a plain file.
            WriteFile(env.ConfigHome() + "/Fenwave", "not a folder");
        }
        std::vector<std::string> argv{BinDir() + "/vortlebox-submit"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const CTestProcess::CResult result = CTestProcess::Run(argv, std::chrono::seconds(30), c.input);
        EXPECT_EQ(result.exitCode, std::optional<int>(2));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("vortlebox-submit: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.complaint), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(SubmitToolTest, PasswordComesFromStandardInput) {
    CTestEnvironment env;
    env.Env().Unset("VORTLEBOX_PASSWORD");
    // Nothing listens there: the handshake fails at once, which is fine.
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
    CRegistryUtils::WriteString(key, "SubmitHost", "127.0.0.1:9");
    const CTestProcess::CResult result =
        CTestProcess::Run({BinDir() + "/vortlebox-submit", "alice"}, std::chrono::seconds(30), "secret\n");
    EXPECT_EQ(result.exitCode, std::optional<int>(0)) << result.err;
    CRegistryKey alice = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice", false);
    EXPECT_EQ(CRegistryUtils::ReadString(alice, "Password"), "5ebe2294ecd0e0f08eab7690d2a6ee69"); // MD5 of "secret"
}

} // namespace
