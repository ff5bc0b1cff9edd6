#include "settings/RegistryUtils.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using CRegistryException = CRegistryUtils::CRegistryException;

// The message of the exception the call throws, or "" if it throws none.
template <typename F> std::string MessageOf(F&& call) {
    try {
        call();
    } catch (const CRegistryException& e) {
        return e.what();
    }
    return std::string();
}

class RegistryUtilsTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
};

TEST_F(RegistryUtilsTest, StoreLivesUnderTheConfigHomeWithOwnerOnlyAccess) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave", true);
    const std::string file = mEnv.ConfigHome() + "/Fenwave/registry.db";
    EXPECT_EQ(CRegistryUtils::StorePath(), file);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryUtilsTest, StorePathFallsBackToHomeConfig) {
    mEnv.Env().Unset("XDG_CONFIG_HOME");
    EXPECT_EQ(CRegistryUtils::StorePath(), mEnv.Root() + "/home/.config/Fenwave/registry.db");
    CRegistryKey key = CRegistryUtils::OpenKey("Software", true);
    EXPECT_TRUE(FileExists(mEnv.Root() + "/home/.config/Fenwave/registry.db"));
}

TEST_F(RegistryUtilsTest, MissingNumberIsDefaultedAndWritten) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave", true);
    EXPECT_EQ(CRegistryUtils::ReadNumber(key, "ProxyPort", 0), 0u);
    std::vector<CRegistryValue> values = CRegistryUtils::ListValues(key);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "ProxyPort");
    EXPECT_EQ(values[0].type, CRegistryValue::EType::Number);
    EXPECT_EQ(values[0].number, 0u);
    // A stored value wins over the default from then on.
    EXPECT_TRUE(CRegistryUtils::ReadBool(key, "Flag", true));
    EXPECT_TRUE(CRegistryUtils::ReadBool(key, "Flag", false));
    EXPECT_EQ(CRegistryUtils::ReadNumber(key, "ProxyPort", 8080), 0u);
}

TEST_F(RegistryUtilsTest, MissingStringWithoutDefaultFails) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave", true);
    EXPECT_EQ(MessageOf([&] { CRegistryUtils::ReadString(key, "ProxyHost"); }),
              "Could not read registry value [ProxyHost]. System error: 2");
    EXPECT_TRUE(CRegistryUtils::ListValues(key).empty()) << "a failed read wrote something";
    EXPECT_EQ(CRegistryUtils::ReadString(key, "ProxyHost", true, "proxy.local"), "proxy.local");
    EXPECT_EQ(CRegistryUtils::ReadString(key, "ProxyHost"), "proxy.local");
}

TEST_F(RegistryUtilsTest, MissingKeyWithoutCreateFails) {
    EXPECT_EQ(MessageOf([] { CRegistryUtils::OpenKey("Software\\Fenwave\\Nowhere", false); }),
              "Could not retrieve registry key [Software\\Fenwave\\Nowhere]. System error: 2");
    CRegistryKey parent = CRegistryUtils::OpenKey("Software", true);
    EXPECT_EQ(MessageOf([&] { CRegistryUtils::OpenKey(parent, "Gone", false); }),
              "Could not retrieve registry key [Gone]. System error: 2");
}

TEST_F(RegistryUtilsTest, KeyWithoutSubkeysListsNothing) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Users", true);
    std::vector<std::string> names{"kept"};
    CRegistryUtils::ListSubkeys(key, names);
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
    EXPECT_EQ(CRegistryUtils::GetNumSubkeys(key), 0u);
}

TEST_F(RegistryUtilsTest, ValuesOfTheWrongTypeAreReadFailures) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave", true);
    CRegistryUtils::WriteString(key, "ProxyPort", "8080");
    CRegistryUtils::WriteNumber(key, "Count", 7);
    struct Case {
        const char* name;
        std::function<void()> read;
    } cases[] = {
        {"ProxyPort", [&] { CRegistryUtils::ReadNumber(key, "ProxyPort", 0); }},
        {"ProxyPort", [&] { CRegistryUtils::ReadBool(key, "ProxyPort", false); }},
        {"Count", [&] { CRegistryUtils::ReadString(key, "Count"); }},
        {"Count", [&] { CRegistryUtils::ReadString(key, "Count", true, "x"); }},
    };
    for (const Case& c : cases) {
        std::string message = MessageOf(c.read);
        EXPECT_EQ(
            message.rfind(std::string("Could not read registry value [") + c.name + "]. System error: 22", 0),
            0u)
            << message;
    }
    // Nothing was overwritten by the failed reads.
    EXPECT_EQ(CRegistryUtils::ReadString(key, "ProxyPort"), "8080");
    EXPECT_EQ(CRegistryUtils::ReadNumber(key, "Count", 0), 7u);
}

TEST_F(RegistryUtilsTest, ValuesRoundTripAndKeyInfoMeasuresThem) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice", true);
    const std::string utf8 = "Bj\xc3\xb6rk \xe2\x99\xab";
    CRegistryUtils::WriteString(key, "Password", utf8);
    CRegistryUtils::WriteNumber(key, "Icon", 4294967295u);
    CRegistryUtils::WriteBool(key, "RememberPass", true);
    CRegistryUtils::WriteString(key, "Empty", "");
    EXPECT_EQ(CRegistryUtils::ReadString(key, "Password"), utf8);
    EXPECT_EQ(CRegistryUtils::ReadNumber(key, "Icon", 0), 4294967295u);
    EXPECT_TRUE(CRegistryUtils::ReadBool(key, "RememberPass", false));
    EXPECT_EQ(CRegistryUtils::ReadString(key, "Empty"), "");

    CRegistryUtils::CKeyInfo info = CRegistryUtils::QueryInfoKey(key);
    EXPECT_EQ(info.key, "Software\\Fenwave\\Users\\alice");
    EXPECT_EQ(info.numValues, 4u);
    EXPECT_EQ(info.maxValueNameLen, std::string("RememberPass").size());
    EXPECT_EQ(info.maxValueLen, utf8.size() + 1);
    EXPECT_EQ(CRegistryUtils::LastKeyInfo().numValues, 4u);
    EXPECT_EQ(CRegistryUtils::GetLongestDataLength(key), utf8.size() + 1);
}

TEST_F(RegistryUtilsTest, NamesAreCaseBlindAndKeepTheirSpelling) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\Alice", true);
        CRegistryUtils::WriteString(key, "Password", "x");
    }
    CRegistryKey same = CRegistryUtils::OpenKey("software\\FENWAVE\\users\\alice", false);
    EXPECT_EQ(CRegistryUtils::ReadString(same, "PASSWORD"), "x");
    CRegistryUtils::WriteString(same, "password", "y");
    std::vector<CRegistryValue> values = CRegistryUtils::ListValues(same);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Password");
    EXPECT_EQ(values[0].text, "y");

    CRegistryKey users = CRegistryUtils::OpenKey("Software\\Fenwave\\Users", false);
    CRegistryUtils::OpenKey(users, "bob", true);
    CRegistryUtils::OpenKey(users, "Carol", true);
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(users, names);
    EXPECT_EQ(names, (std::vector<std::string>{"Alice", "bob", "Carol"}));
    EXPECT_EQ(CRegistryUtils::GetLongestSubkey(users), 5u);
}

TEST_F(RegistryUtilsTest, KeyPathsWithEmptyNamesAreRefused) {
    for (const char* path : {"\\Software", "Software\\", "Software\\\\Fenwave", "\\"}) {
        std::string message = MessageOf([&] { CRegistryUtils::OpenKey(path, true); });
        EXPECT_EQ(
            message.rfind("Could not retrieve registry key [" + std::string(path) + "]. System error: 22", 0),
            0u)
            << message;
    }
    CRegistryKey root = CRegistryUtils::OpenKey("", true);
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(root, names);
    EXPECT_TRUE(names.empty()) << "a refused path created keys";
}

TEST_F(RegistryUtilsTest, DeletingAKeyRemovesItsSubkeysAndValues) {
    {
        CRegistryKey deep = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice\\deeper\\deepest", true);
        CRegistryUtils::WriteString(deep, "x", "1");
        CRegistryKey other = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\bob", true);
        CRegistryUtils::WriteString(other, "x", "2");
    }
    CRegistryKey users = CRegistryUtils::OpenKey("Software\\Fenwave\\Users", false);
    CRegistryKey alice = CRegistryUtils::OpenKey(users, "alice", false);
    CRegistryUtils::DeleteKey(users, "alice");

    EXPECT_EQ(MessageOf([] { CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice\\deeper", false); }),
              "Could not retrieve registry key [Software\\Fenwave\\Users\\alice\\deeper]. System error: 2");
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(users, names);
    EXPECT_EQ(names, std::vector<std::string>{"bob"});
    // A handle to the deleted key can no longer write.
    EXPECT_NE(MessageOf([&] { CRegistryUtils::WriteString(alice, "x", "3"); }), "");
    // Recreated, the key starts empty.
    CRegistryKey again = CRegistryUtils::OpenKey(users, "alice", true);
    EXPECT_TRUE(CRegistryUtils::ListValues(again).empty());

    EXPECT_EQ(MessageOf([] { CRegistryUtils::DeleteKey("Software\\Fenwave\\Users\\nobody"); }),
              "Could not delete registry key [Software\\Fenwave\\Users\\nobody]. System error: 2");
}

TEST_F(RegistryUtilsTest, DeletingAValue) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software", true);
    CRegistryUtils::WriteString(key, "a", "1");
    CRegistryUtils::DeleteValue(key, "A");
    EXPECT_TRUE(CRegistryUtils::ListValues(key).empty());
    EXPECT_EQ(MessageOf([&] { CRegistryUtils::DeleteValue(key, "a"); }),
              "Could not delete registry value [a]. System error: 2");
}

TEST_F(RegistryUtilsTest, ClosedKeysAreRefused) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software", true);
    CRegistryUtils::CloseKey(key);
    EXPECT_FALSE(key.IsOpen());
    std::string message = MessageOf([&] { CRegistryUtils::WriteNumber(key, "n", 1); });
    EXPECT_EQ(message.rfind("Could not write registry value [n]. System error: 9", 0), 0u) << message;
}

TEST_F(RegistryUtilsTest, DamagedStoreFileGivesAnException) {
    const std::string folder = mEnv.ConfigHome() + "/Fenwave";
    ::mkdir(folder.c_str(), 0700);
    WriteFile(folder + "/registry.db", std::string(8192, 'g') + "not a database at all");
    std::string message = MessageOf([] { CRegistryUtils::OpenKey("Software\\Fenwave", true); });
    EXPECT_EQ(message.rfind("Could not retrieve registry key [Software\\Fenwave]. System error: ", 0), 0u)
        << message;
    EXPECT_NE(message.find("registry.db"), std::string::npos) << message;
}

TEST_F(RegistryUtilsTest, StoreThatIsAFolderGivesAnException) {
    ::mkdir((mEnv.ConfigHome() + "/Fenwave").c_str(), 0700);
    ::mkdir((mEnv.ConfigHome() + "/Fenwave/registry.db").c_str(), 0700);
    std::string message = MessageOf([] { CRegistryUtils::OpenKey("Software", true); });
    EXPECT_EQ(message.rfind("Could not retrieve registry key [Software]. System error: 21 (cannot open ", 0),
              0u)
        << message;
}

TEST_F(RegistryUtilsTest, UnreadableStoreFileGivesAnException) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string folder = mEnv.ConfigHome() + "/Fenwave";
    ::mkdir(folder.c_str(), 0700);
    ::chmod(folder.c_str(), 0500);
    std::string message = MessageOf([] { CRegistryUtils::OpenKey("Software", true); });
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(message.rfind("Could not retrieve registry key [Software]. System error: 13", 0), 0u)
        << message;
}

TEST_F(RegistryUtilsTest, StoreFollowsTheEnvironmentAtOpenTime) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey("Software", true);
        CRegistryUtils::WriteString(key, "where", "first");
    }
    CTempDir other;
    mEnv.Env().Set("XDG_CONFIG_HOME", other.Path());
    CRegistryKey key = CRegistryUtils::OpenKey("Software", true);
    EXPECT_EQ(CRegistryUtils::ReadString(key, "where", true, "second"), "second");
    EXPECT_TRUE(FileExists(other.Path() + "/Fenwave/registry.db"));
}

TEST_F(RegistryUtilsTest, ReadsGoOnWhileAnotherWriterHoldsTheStore) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\alice", true);
        CRegistryUtils::WriteString(key, "Password", "hash");
    }
    // Another writer (the settings tool, say) holds the store's write lock.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(CRegistryUtils::StorePath().c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    // Everything a start-up reads answers at once, without waiting for it.
    std::vector<std::string> names;
    std::string password;
    const std::string message = MessageOf([&] {
        CRegistryKey users = CRegistryUtils::OpenKey("Software\\Fenwave\\Users", true);
        CRegistryUtils::ListSubkeys(users, names);
        CRegistryKey alice = CRegistryUtils::OpenKey(users, "alice", false);
        password = CRegistryUtils::ReadString(alice, "Password", true, "");
        CRegistryUtils::QueryInfoKey(alice);
    });
    EXPECT_EQ(message, "");
    EXPECT_EQ(names, std::vector<std::string>{"alice"});
    EXPECT_EQ(password, "hash");

    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

class RegistryProcessesTest : public ::testing::TestWithParam<bool> {
protected:
    CTestEnvironment mEnv;
};

// With and without a store file made beforehand: two first starts at once
// must not trip over each other creating it.
INSTANTIATE_TEST_SUITE_P(StoreMadeBefore, RegistryProcessesTest, ::testing::Bool());

TEST_P(RegistryProcessesTest, TwoProcessesWritingAtOnceBothSucceed) {
    if (GetParam())
        CRegistryUtils::OpenKey("Software\\Fenwave", true);
    constexpr int kWrites = 200;
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int status = 0;
            try {
                CRegistryKey key =
                    CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\user" + std::to_string(child), true);
                for (int i = 0; i < kWrites; ++i)
                    CRegistryUtils::WriteNumber(key, "n" + std::to_string(i), static_cast<std::uint32_t>(i));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "writer %d: %s\n", child, e.what());
                status = 1;
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }
    for (int child = 0; child < 2; ++child) {
        CRegistryKey key =
            CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\user" + std::to_string(child), false);
        EXPECT_EQ(CRegistryUtils::QueryInfoKey(key).numValues, static_cast<std::uint32_t>(kWrites));
        EXPECT_EQ(CRegistryUtils::ReadNumber(key, "n199", 0), 199u);
    }
}

// A writer killed in the middle of its work loses nothing it had been told
// was written, and leaves a store that opens and reads.
TEST_F(RegistryUtilsTest, KilledWriterLosesNothingAcknowledged) {
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(acks[0]);
        try {
            CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Crash", true);
            for (std::uint32_t i = 0;; ++i) {
                CRegistryUtils::WriteNumber(key, "n" + std::to_string(i), i);
                if (::write(acks[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i))
                    break;
            }
        } catch (...) {
        }
        ::_exit(1);
    }
    ::close(acks[1]);
    std::uint32_t last = 0;
    for (int received = 0; received < 100; ++received)
        ASSERT_EQ(::read(acks[0], &last, sizeof last), static_cast<ssize_t>(sizeof last));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    // Acknowledgements written before the kill and not read yet.
    std::uint32_t more;
    while (::read(acks[0], &more, sizeof more) == static_cast<ssize_t>(sizeof more))
        last = more;
    ::close(acks[0]);

    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Crash", false);
    for (std::uint32_t i = 0; i <= last; ++i)
        ASSERT_EQ(CRegistryUtils::ReadNumber(key, "n" + std::to_string(i), 0xFFFFFFFFu), i) << "lost n" << i;
    CRegistryUtils::WriteString(key, "after", "ok");
    EXPECT_EQ(CRegistryUtils::ReadString(key, "after"), "ok");
}

} // namespace
