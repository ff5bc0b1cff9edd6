#include "update/UpdateLock.h"

#include "tests/support/TestEnv.h"
#include "update/ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

class UpdateLockTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
};

TEST_F(UpdateLockTest, LivesInTheRuntimeFolderOrElseTheDataFolder) {
    EXPECT_EQ(CUpdateLock::PathFor("L"), mEnv.RuntimeDir() + "/L");
    mEnv.Env().Unset("XDG_RUNTIME_DIR");
    EXPECT_EQ(CUpdateLock::PathFor("L"), mEnv.DataHome() + "/Fenwave/Vortlebox/L");
    CUpdateLock lock;
    ASSERT_EQ(lock.Acquire("L", 0), 0);
    EXPECT_TRUE(FileExists(mEnv.DataHome() + "/Fenwave/Vortlebox/L"));
}

TEST_F(UpdateLockTest, OneHolderAtATime) {
    CUpdateLock first;
    CUpdateLock second;
    ASSERT_EQ(first.Acquire("L", 0), 0);
    EXPECT_TRUE(first.IsHeld());
    EXPECT_EQ(second.Acquire("L", 0), EWOULDBLOCK);
    EXPECT_EQ(second.Acquire("L", 200), EWOULDBLOCK);
    EXPECT_FALSE(second.IsHeld());
    // Another name is another lock.
    CUpdateLock other;
    EXPECT_EQ(other.Acquire("M", 0), 0);
    first.Release();
    EXPECT_EQ(second.Acquire("L", 0), 0);
}

TEST_F(UpdateLockTest, BadNamesAreRefused) {
    for (const char* name : {"", ".", "..", "a/b", "/abs"}) {
        CUpdateLock lock;
        EXPECT_EQ(lock.Acquire(name, 0), EINVAL) << name;
        EXPECT_FALSE(CUpdateLock::IsValidName(name));
    }
    EXPECT_TRUE(CUpdateLock::IsValidName("VortleboxUpdate-BBFA5A2D-4B6F-4d2c-8B2F-02F733C5B02C"));
}

TEST_F(UpdateLockTest, StartedProgramsDoNotHoldIt) {
    CUpdateLock lock;
    ASSERT_EQ(lock.Acquire("L", 0), 0);
    CChildProcess child;
    ASSERT_EQ(child.Spawn("/bin/sleep", {"sleep", "30"}), 0);
    lock.Release();
    // Were the descriptor inherited, the sleeping child would still hold it.
    CUpdateLock again;
    EXPECT_EQ(again.Acquire("L", 0), 0);
    ::kill(child.Pid(), SIGKILL);
    child.WaitForExit(20000);
}

} // namespace
