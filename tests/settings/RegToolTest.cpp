#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct CToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs bin/vortlebox-reg with the test's environment and collects its output.
CToolResult RunTool(const std::vector<std::string>& args) {
    CTempDir dir;
    const std::string outPath = dir.File("out"), errPath = dir.File("err");
    const std::string tool = BinDir() + "/vortlebox-reg";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(127);
        ::execv(tool.c_str(), argv.data());
        ::_exit(127);
    }
    CToolResult result;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

class RegToolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FileExists(BinDir() + "/vortlebox-reg")) << "tool not built"; }
    CTestEnvironment mEnv;
};

TEST_F(RegToolTest, ValuesRoundTrip) {
    const std::string key = "Software\\Fenwave\\Users\\alice";
    struct Case {
        const char* name;
        const char* type;
        std::string data;
    } cases[] = {{"Password", "sz", "5f4dcc3b5aa765d61d8327deb882cf99"},
                 {"ExclusionDirs", "sz", "\"/m\xc3\xbcsik/\xe2\x99\xab\" \"/b\" "},
                 {"Empty", "sz", ""},
                 {"Icon", "dword", "4"},
                 {"Big", "dword", "4294967295"},
                 {"Zero", "dword", "0"}};
    for (const Case& c : cases) {
        CToolResult set = RunTool({"set", key, c.name, c.type, c.data});
        EXPECT_EQ(set.exitCode, 0) << c.name << ": " << set.err;
        CToolResult get = RunTool({"get", key, c.name});
        EXPECT_EQ(get.exitCode, 0) << get.err;
        EXPECT_EQ(get.out, c.data + "\n");
    }
    // The library sees the same values with their types.
    CRegistryKey k = CRegistryUtils::OpenKey(key, false);
    EXPECT_EQ(CRegistryUtils::ReadNumber(k, "Big", 0), 4294967295u);
    EXPECT_EQ(CRegistryUtils::ReadString(k, "ExclusionDirs"), cases[1].data);
}

TEST_F(RegToolTest, MissingKeyOrValueExitsOneWithTheStoreMessage) {
    RunTool({"set", "Software\\Fenwave", "ProxyHost", "sz", "h"});
    CToolResult value = RunTool({"get", "Software\\Fenwave", "ProxyUser"});
    EXPECT_EQ(value.exitCode, 1);
    EXPECT_EQ(value.out, "");
    EXPECT_EQ(value.err, "Could not read registry value [ProxyUser]. System error: 2\n");
    CToolResult key = RunTool({"get", "Software\\Nowhere", "x"});
    EXPECT_EQ(key.exitCode, 1);
    EXPECT_EQ(key.err, "Could not retrieve registry key [Software\\Nowhere]. System error: 2\n");
}

TEST_F(RegToolTest, UsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"get", "Software"},
        {"set", "Software", "n", "qword", "1"},
        {"set", "Software", "n", "dword", "-1"},
        {"set", "Software", "n", "dword", "4294967296"},
        {"set", "Software", "n", "dword", "12ab"},
        {"list"},
        {"delete", "a", "b", "c"},
    };
    for (const std::vector<std::string>& args : cases) {
        CToolResult result = RunTool(args);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(args);
        EXPECT_NE(result.err.find("usage: vortlebox-reg"), std::string::npos);
    }
    EXPECT_FALSE(FileExists(mEnv.ConfigHome() + "/Fenwave/registry.db"))
        << "a refused command wrote the store";
}

TEST_F(RegToolTest, ListAndDelete) {
    RunTool({"set", "Software\\Fenwave\\Users\\bob", "Icon", "dword", "2"});
    RunTool({"set", "Software\\Fenwave\\Users\\alice\\deep", "x", "sz", "y"});
    RunTool({"set", "Software\\Fenwave\\Users", "CurrentUser", "sz", "bob"});
    CToolResult list = RunTool({"list", "Software\\Fenwave\\Users"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "alice\nbob\nCurrentUser (sz) bob\n");

    EXPECT_EQ(RunTool({"delete", "Software\\Fenwave\\Users", "CurrentUser"}).exitCode, 0);
    EXPECT_EQ(RunTool({"delete", "Software\\Fenwave\\Users\\alice"}).exitCode, 0);
    EXPECT_EQ(RunTool({"list", "Software\\Fenwave\\Users"}).out, "bob\n");
    EXPECT_EQ(RunTool({"get", "Software\\Fenwave\\Users\\alice\\deep", "x"}).exitCode, 1);
    CToolResult again = RunTool({"delete", "Software\\Fenwave\\Users\\alice"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err,
              "Could not delete registry key [Software\\Fenwave\\Users\\alice]. System error: 2\n");
}

TEST_F(RegToolTest, ReadsWhatTheSettingsManagerWrote) {
    CSettingsManager manager;
    manager.Restore();
    CUser user;
    user.name = "j\xc3\xbcrgen";
    user.passwordHash = "0123456789abcdef0123456789abcdef";
    user.exclusionDirs = {"/a", "/b c"};
    user.colour = 3;
    user.submitPlays = true;
    manager.AddUser(user);
    manager.SetCurrentUser(user.name);
    manager.Save();

    const std::string key = "Software\\Fenwave\\Users\\" + user.name;
    EXPECT_EQ(RunTool({"get", key, "Password"}).out, user.passwordHash + "\n");
    EXPECT_EQ(RunTool({"get", key, "ExclusionDirs"}).out, "\"/a\" \"/b c\" \n");
    EXPECT_EQ(RunTool({"get", key, "Icon"}).out, "3\n");
    EXPECT_EQ(RunTool({"get", key, "LogToProfile"}).out, "1\n");
    EXPECT_EQ(RunTool({"get", "Software\\Fenwave\\Users", "CurrentUser"}).out, user.name + "\n");
    EXPECT_EQ(RunTool({"get", "Software\\Fenwave\\Vortlebox", "FirstRun"}).out, "1\n");

    // And the manager reads what the tool changed.
    EXPECT_EQ(RunTool({"set", key, "Icon", "dword", "1"}).exitCode, 0);
    CSettingsManager fresh;
    fresh.Restore();
    EXPECT_EQ(fresh.GetUser(user.name).colour, 1);
}

} // namespace
