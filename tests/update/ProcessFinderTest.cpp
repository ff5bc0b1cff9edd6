#include "update/ProcessFinder.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// A copy of sleep under a name no other process on the machine has, run as
/// a child of the test. Reaped (and killed first if need be) on destruction.
class CSleeper {
public:
    CSleeper(const std::string& folder, bool ignoreTerm) : CSleeper(NewCopy(folder), ignoreTerm, -1) {}

    /// The program at path, run by the given user (-1: this process's).
    CSleeper(const std::string& path, bool ignoreTerm, int user) : mPath(path) {
        mName = mPath.substr(mPath.rfind('/') + 1);

        // The pipe closes when exec succeeds, so the child runs the copy by
        // the time the constructor returns.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        mPid = ::fork();
        if (mPid == 0) {
            ::close(fds[0]);
            if (ignoreTerm)
                ::signal(SIGTERM, SIG_IGN);
            const auto id = static_cast<uid_t>(user);
            if (user < 0 || (::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
                             ::setresuid(id, id, id) == 0)) {
                char* const argv[] = {const_cast<char*>(mName.c_str()), const_cast<char*>("60"), nullptr};
                ::execv(mPath.c_str(), argv);
            }
            int error = errno;
            (void)!::write(fds[1], &error, sizeof error);
            ::_exit(127);
        }
        ::close(fds[1]);
        int error = 0;
        ssize_t n = ::read(fds[0], &error, sizeof error);
        ::close(fds[0]);
        if (mPid < 0 || n != 0)
            throw std::runtime_error("couldn't start " + mPath);
    }

    ~CSleeper() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            Reap();
        }
    }

    static std::string NewCopy(const std::string& folder) {
        std::random_device random;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::string path = folder + "/vbxsleeper-" + suffix;
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }

    const std::string& Name() const { return mName; }
    const std::string& Path() const { return mPath; }
    pid_t Pid() const { return mPid; }

    /// Waits for the child to end and gives its wait status.
    int Reap() {
        int status = 0;
        while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        mPid = 0;
        return status;
    }

    /// Waits until the child has ended but leaves it unreaped (a zombie).
    void WaitUntilZombie() const {
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(mPid), &info, WEXITED | WNOWAIT);
    }

private:
    std::string mName;
    std::string mPath;
    pid_t mPid = 0;
};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

class ProcessFinderTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
    CTempDir mBin;
};

TEST_F(ProcessFinderTest, FindsARunningProgramByItsFileName) {
    CSleeper sleeper(mBin.Path(), false);
    std::string mixed = sleeper.Name();
    mixed[0] = 'V';
    mixed[5] = 'E';
    const std::string names[] = {sleeper.Name(), Upper(sleeper.Name()), mixed,
                                 "/some/folder/" + sleeper.Name()};
    for (const std::string& name : names) {
        pid_t pid = -1;
        CProcessHandle handle = CProcessFinder().FindProcess(name, pid);
        EXPECT_TRUE(handle.IsValid()) << name;
        EXPECT_EQ(pid, sleeper.Pid()) << name;
        EXPECT_EQ(handle.Pid(), sleeper.Pid()) << name;
        EXPECT_FALSE(handle.HasEnded()) << name;
    }
}

TEST_F(ProcessFinderTest, NamesNoProcessHasAreNotFound) {
    CSleeper sleeper(mBin.Path(), false);
    const std::string names[] = {sleeper.Name() + "x", sleeper.Name().substr(0, sleeper.Name().size() - 1),
                                 "vbxsleeper", "", "/"};
    for (const std::string& name : names) {
        pid_t pid = -1;
        CProcessHandle handle = CProcessFinder().FindProcess(name, pid);
        EXPECT_FALSE(handle.IsValid()) << name;
        EXPECT_EQ(pid, 0) << name;
    }
}

TEST_F(ProcessFinderTest, AnotherUsersProgramNeitherMatchesNorHidesOurs) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "starting a program as another user needs root";
    // The same program, started first by another user (nobody), then by us.
    const std::string path = CSleeper::NewCopy(mBin.Path());
    for (const std::string& folder : {mEnv.Root(), mEnv.TempDir(), mBin.Path()})
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    CSleeper theirs(path, false, 65534);
    const std::string name = theirs.Name();
    pid_t pid = -1;
    EXPECT_FALSE(CProcessFinder().FindProcess(name, pid).IsValid());
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(CProcessFinder().KillProcess(name));

    CSleeper ours(path, false, -1);
    EXPECT_TRUE(CProcessFinder().FindProcess(name, pid).IsValid());
    EXPECT_EQ(pid, ours.Pid());
    EXPECT_TRUE(CProcessFinder().KillProcess(name));
    EXPECT_TRUE(WIFSIGNALED(ours.Reap()));
    EXPECT_EQ(::kill(theirs.Pid(), 0), 0) << "their program runs on";
}

TEST_F(ProcessFinderTest, ProgramWhoseFileWasReplacedIsStillFound) {
    CSleeper sleeper(mBin.Path(), false);
    std::filesystem::remove(sleeper.Path());
    pid_t pid = 0;
    EXPECT_TRUE(CProcessFinder().FindProcess(sleeper.Name(), pid).IsValid());
    EXPECT_EQ(pid, sleeper.Pid());
}

TEST_F(ProcessFinderTest, EndedButUnreapedChildIsNotFound) {
    CSleeper sleeper(mBin.Path(), false);
    ASSERT_EQ(::kill(sleeper.Pid(), SIGKILL), 0);
    sleeper.WaitUntilZombie();
    pid_t pid = -1;
    EXPECT_FALSE(CProcessFinder().FindProcess(sleeper.Name(), pid).IsValid());
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(CProcessFinder().KillProcess(sleeper.Name()));
}

TEST_F(ProcessFinderTest, NeverFindsTheCallingProcess) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    pid_t pid = 0;
    CProcessHandle handle = CProcessFinder().FindProcess(self, pid);
    // Another copy of the test program may run beside this one; this one
    // must never be the answer.
    EXPECT_NE(pid, ::getpid());
    EXPECT_NE(handle.Pid(), ::getpid());
}

TEST_F(ProcessFinderTest, KillClosesAProgramThatEndsWhenAsked) {
    CSleeper sleeper(mBin.Path(), false);
    EXPECT_TRUE(CProcessFinder().KillProcess(Upper(sleeper.Name())));
    const int status = sleeper.Reap();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(mLog.Contains("terminating it")) << mLog.Text();
}

TEST_F(ProcessFinderTest, KillForcesAProgramThatIgnoresTheRequest) {
    CSleeper sleeper(mBin.Path(), true);
    EXPECT_TRUE(CProcessFinder().KillProcess(sleeper.Name()));
    const int status = sleeper.Reap();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_TRUE(mLog.Contains("didn't close within 5000 ms, terminating it")) << mLog.Text();
}

TEST_F(ProcessFinderTest, KillOfAProgramThatIsNotRunningFails) {
    EXPECT_FALSE(CProcessFinder().KillProcess("vbx-no-such-program-e7c1"));
    EXPECT_FALSE(CProcessFinder().KillProcess(""));
}

TEST_F(ProcessFinderTest, HandleFollowsTheProcessItWasOpenedFor) {
    CSleeper sleeper(mBin.Path(), false);
    CProcessHandle handle = CProcessHandle::Open(sleeper.Pid());
    ASSERT_TRUE(handle.IsValid());
    EXPECT_FALSE(handle.WaitForEnd(0));

    CProcessHandle moved(std::move(handle));
    EXPECT_FALSE(handle.IsValid());
    EXPECT_TRUE(moved.IsValid());
    EXPECT_EQ(moved.Pid(), sleeper.Pid());

    ASSERT_TRUE(moved.Signal(SIGKILL));
    EXPECT_TRUE(moved.WaitForEnd(60000));
    EXPECT_TRUE(moved.HasEnded()); // ended, though not yet reaped
    sleeper.Reap();

    EXPECT_FALSE(CProcessHandle::Open(0).IsValid());
    EXPECT_FALSE(CProcessHandle().Signal(SIGTERM));
}

} // namespace
