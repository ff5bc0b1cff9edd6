#include "update/ChildProcess.h"

#include "tests/support/TestEnv.h"
#include "tests/update/UpdateTestUtil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <ostream>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace UpdateTest;

namespace {

struct SplitCase {
    const char* text;
    std::vector<std::string> words;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << '[' << c.text << ']';
}

class SplitArgumentsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitArgumentsTest, WordsAsAShellWouldSplitThem) {
    EXPECT_EQ(CChildProcess::SplitArguments(GetParam().text), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitArgumentsTest,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"  \t ", {}}, SplitCase{"/S", {"/S"}},
                      SplitCase{" /S   /NORESTART\t/Q ", {"/S", "/NORESTART", "/Q"}},
                      SplitCase{"\"two words\"", {"two words"}},
                      SplitCase{"/D=\"C:/a b\"/x", {"/D=C:/a b/x"}},
                      SplitCase{"'single \"kept\"'", {"single \"kept\""}},
                      SplitCase{"\"say \\\"hi\\\" \\\\ \\n\"", {"say \"hi\" \\ \\n"}},
                      SplitCase{"a\\ b c\\\"d", {"a b", "c\"d"}}, SplitCase{"\"\" ''", {"", ""}},
                      SplitCase{"$HOME `x` *", {"$HOME", "`x`", "*"}}, // nothing is expanded
                      SplitCase{"\"unclosed rest", {"unclosed rest"}}, SplitCase{"end\\", {"end"}}));

class ChildProcessTest : public ::testing::Test {
protected:
    CTempDir mDir;
};

TEST_F(ChildProcessTest, ReportsWhyAProgramCannotStart) {
    WriteFile(mDir.File("not-executable"), "#!/bin/sh\n");
    WriteExecutable(mDir.File("no-interpreter-line"), "echo hi\n");
    struct Case {
        std::string path;
        int error;
    } const cases[] = {{mDir.File("missing"), ENOENT},
                       {mDir.File("not-executable"), EACCES},
                       {mDir.File("no-interpreter-line"), ENOEXEC}};
    for (const Case& c : cases) {
        CChildProcess child;
        EXPECT_EQ(child.Spawn(c.path, {c.path}), c.error) << c.path;
        EXPECT_FALSE(child.IsRunning());
    }
}

TEST_F(ChildProcessTest, PassesArgumentsAndCollectsTheStatus) {
    const std::string script = mDir.File("script");
    WriteExecutable(script, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.out\"\nexit 7\n");
    CChildProcess child;
    ASSERT_EQ(child.Spawn(script, {script, "a b", "", "*"}), 0);
    EXPECT_TRUE(child.IsRunning());
    EXPECT_TRUE(child.WaitForExit(-1));
    EXPECT_FALSE(child.IsRunning());
    ASSERT_TRUE(WIFEXITED(child.Status()));
    EXPECT_EQ(WEXITSTATUS(child.Status()), 7);
    EXPECT_EQ(ReadFile(script + ".out"), "a b||*|");
}

TEST_F(ChildProcessTest, BoundedWaitLeavesALongChildRunning) {
    CChildProcess child;
    ASSERT_EQ(child.Spawn("/bin/sleep", {"sleep", "30"}), 0);
    EXPECT_FALSE(child.WaitForExit(50));
    EXPECT_FALSE(child.TryReap());
    EXPECT_TRUE(child.IsRunning());
    const pid_t pid = child.Pid();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_TRUE(child.WaitForExit(20000));
    ASSERT_TRUE(WIFSIGNALED(child.Status()));
    EXPECT_EQ(WTERMSIG(child.Status()), SIGKILL);
    // Reaped: the id is no child of ours any more.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST_F(ChildProcessTest, MovedChildIsOwnedOnce) {
    CChildProcess first;
    ASSERT_EQ(first.Spawn("/bin/true", {"true"}), 0);
    CChildProcess second = std::move(first);
    EXPECT_FALSE(first.IsRunning());
    EXPECT_TRUE(second.WaitForExit(20000));
    EXPECT_EQ(WEXITSTATUS(second.Status()), 0);
}

} // namespace
