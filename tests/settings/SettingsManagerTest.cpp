#include "settings/SettingsManager.h"

#include "app/Observer.h"
#include "app/ProgramVersion.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <future>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using CRegistryException = CRegistryUtils::CRegistryException;

CUser MakeUser(const std::string& name, int colour = 0) {
    CUser user;
    user.name = name;
    user.passwordHash = "5f4dcc3b5aa765d61d8327deb882cf99";
    user.colour = colour;
    return user;
}

std::string ReadText(const std::string& key, const std::string& name) {
    return CRegistryUtils::ReadString(CRegistryUtils::OpenKey(key, false), name);
}

std::uint32_t ReadNumberValue(const std::string& key, const std::string& name) {
    CRegistryKey k = CRegistryUtils::OpenKey(key, false);
    for (const CRegistryValue& value : CRegistryUtils::ListValues(k))
        if (value.name == name && value.type == CRegistryValue::EType::Number)
            return value.number;
    throw std::runtime_error("no number " + name + " in " + key);
}

bool KeyExists(const std::string& path) {
    try {
        CRegistryUtils::OpenKey(path, false);
        return true;
    } catch (const CRegistryException&) {
        return false;
    }
}

std::vector<std::string> Names(const CSettingsManager& manager) {
    std::vector<std::string> names;
    for (int i = 0; i < manager.GetNumUsers(); ++i)
        names.push_back(manager.GetUser(i).name);
    return names;
}

class SettingsManagerTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
    CSettingsManager mManager;
};

TEST_F(SettingsManagerTest, RestoreOfAnEmptyStoreCreatesTheDefaults) {
    mManager.Restore();
    EXPECT_EQ(mManager.GetNumUsers(), 0);
    EXPECT_TRUE(mManager.IsFirstRun());
    EXPECT_THROW(mManager.GetCurrentUser(), CSettingsManager::CUserNotFoundException);
    EXPECT_EQ(mManager.GetProxySettings(), CProxySettings{});

    EXPECT_EQ(ReadText("Software\\Fenwave\\Users", "CurrentUser"), "");
    EXPECT_EQ(ReadText("Software\\Fenwave\\Vortlebox", "FirstRun"), "1");
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self);
    ASSERT_GT(n, 0);
    EXPECT_EQ(ReadText("Software\\Fenwave\\Vortlebox", "Path"), std::string(self, static_cast<size_t>(n)));
    EXPECT_EQ(ReadText("Software\\Fenwave", "ProxyHost"), "");
    EXPECT_EQ(ReadText("Software\\Fenwave", "ProxyUser"), "");
    EXPECT_EQ(ReadText("Software\\Fenwave", "ProxyPass"), "");
    EXPECT_EQ(ReadNumberValue("Software\\Fenwave", "ProxyPort"), 0u);
    EXPECT_EQ(ReadNumberValue("Software\\Fenwave", "ProxyEnabled"), 0u);

    EXPECT_TRUE(mLog.Contains("First run value wasn't found in registry, it will be defaulted to 1.\n"));
    EXPECT_TRUE(mLog.Contains("mbFirstRun: 1\n"));
    EXPECT_TRUE(mLog.Contains("Current user: \n"));
}

TEST_F(SettingsManagerTest, CurrentUserWithoutItsSubkeyIsNobody) {
    {
        CRegistryKey users = CRegistryUtils::OpenKey("Software\\Fenwave\\Users", true);
        CRegistryUtils::WriteString(users, "CurrentUser", "ghost");
        CRegistryUtils::OpenKey(users, "alice", true);
    }
    mManager.Restore();
    EXPECT_EQ(mManager.GetNumUsers(), 1);
    EXPECT_THROW(mManager.GetCurrentUser(), CSettingsManager::CUserNotFoundException);
    EXPECT_TRUE(mLog.Contains("Current user: ghost\n"));
    EXPECT_TRUE(mLog.Contains(
        "Didn't find the current user as a subkey. No big deal, just overwrite it next time.\n"));
    // A user key with no values gets every default.
    CUser alice = mManager.GetUser("alice");
    CUser expected;
    expected.name = "alice";
    EXPECT_EQ(alice, expected);
    EXPECT_EQ(ReadNumberValue("Software\\Fenwave\\Users\\alice", "LogToProfile"), 0u);
    EXPECT_EQ(ReadText("Software\\Fenwave\\Users\\alice", "ExclusionDirs"), "");
}

TEST_F(SettingsManagerTest, FirstRunFlagFollowsTheStoredText) {
    for (const char* stored : {"0", "1", "yes", ""}) {
        CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true), "FirstRun",
                                    stored);
        CSettingsManager manager;
        manager.Restore();
        EXPECT_EQ(manager.IsFirstRun(), std::string(stored) == "1") << stored;
    }
}

TEST_F(SettingsManagerTest, UserLimitAndDuplicateNames) {
    mManager.Restore();
    for (int i = 0; i < 100; ++i)
        mManager.AddUser(MakeUser("user" + std::to_string(1000 + i)));
    try {
        mManager.AddUser(MakeUser("one-too-many"));
        ADD_FAILURE() << "101st user accepted";
    } catch (const CRegistryException& e) {
        EXPECT_STREQ(e.what(), "Maximum number of users exceeded.");
    }
    EXPECT_EQ(mManager.GetNumUsers(), 100);
    EXPECT_FALSE(KeyExists("Software\\Fenwave\\Users\\one-too-many"));

    mManager.DeleteUser("user1000");
    CUser changed = MakeUser("user1001", 3);
    for (const char* name : {"user1001", "USER1001"}) {
        changed.name = name;
        EXPECT_THROW(mManager.AddUser(changed), CSettingsManager::CUserExistsException) << name;
    }
    EXPECT_EQ(mManager.GetUser("user1001").colour, 0);
    EXPECT_EQ(ReadNumberValue("Software\\Fenwave\\Users\\user1001", "Icon"), 0u);
    EXPECT_EQ(mManager.GetNumUsers(), 99);
    EXPECT_TRUE(mLog.Contains("Adding user: one-too-many\n"));
}

TEST_F(SettingsManagerTest, FreeColour) {
    struct Case {
        std::vector<int> used;
        int expected;
    } cases[] = {{{}, 0}, {{0, 2}, 1}, {{1, 0, 3, 2}, 4}, {{4, 4, 0}, 1}, {{7}, 0}};
    for (const Case& c : cases) {
        CTestEnvironment env;
        CSettingsManager manager;
        for (size_t i = 0; i < c.used.size(); ++i)
            manager.AddUser(MakeUser("u" + std::to_string(i), c.used[i]));
        EXPECT_EQ(manager.GetFreeColour(), c.expected) << ::testing::PrintToString(c.used);
    }
}

TEST_F(SettingsManagerTest, FreeColourWhenAllAreUsedIsAnyColour) {
    for (int colour = 0; colour < 5; ++colour)
        mManager.AddUser(MakeUser("u" + std::to_string(colour), colour));
    for (int i = 0; i < 50; ++i) {
        int colour = mManager.GetFreeColour();
        EXPECT_GE(colour, 0);
        EXPECT_LE(colour, 4);
    }
    EXPECT_TRUE(mLog.Contains("We ran out of colours, returning random\n"));
}

TEST_F(SettingsManagerTest, ExclusionDirsAreStoredQuotedAndReadBack) {
    struct Case {
        std::vector<std::string> dirs;
        std::string stored;
    } cases[] = {
        {{"C:\\A", "D:\\B"}, "\"C:\\A\" \"D:\\B\" "},
        {{}, ""},
        {{"/music/say \"hi\"", "/x\""}, "\"/music/say \"\"hi\"\"\" \"/x\"\"\" "},
        {{"", "/with space"}, "\"\" \"/with space\" "},
    };
    int n = 0;
    for (const Case& c : cases) {
        CUser user = MakeUser("user" + std::to_string(n++));
        user.exclusionDirs = c.dirs;
        mManager.AddUser(user);
        EXPECT_EQ(ReadText("Software\\Fenwave\\Users\\" + user.name, "ExclusionDirs"), c.stored);
        CSettingsManager fresh;
        fresh.Restore();
        EXPECT_EQ(fresh.GetUser(user.name).exclusionDirs, c.dirs);
    }
}

TEST_F(SettingsManagerTest, UsersAreSortedByteWise) {
    mManager.AddUser(MakeUser("bob"));
    mManager.AddUser(MakeUser("Alice"));
    mManager.SetCurrentUser("bob");
    mManager.AddUser(MakeUser("carol"));
    EXPECT_EQ(Names(mManager), (std::vector<std::string>{"Alice", "bob", "carol"}));
    EXPECT_EQ(mManager.GetCurrentUser().name, "bob");
    CSettingsManager fresh;
    fresh.Restore();
    EXPECT_EQ(Names(fresh), (std::vector<std::string>{"Alice", "bob", "carol"}));
    EXPECT_THROW(mManager.GetUser(3), CSettingsManager::CUserNotFoundException);
    EXPECT_THROW(mManager.GetUser(-1), CSettingsManager::CUserNotFoundException);
    EXPECT_THROW(mManager.GetUser("alice"), CSettingsManager::CUserNotFoundException);
}

TEST_F(SettingsManagerTest, SettingsSurviveSaveAndRestore) {
    mManager.Restore();
    CUser alice = MakeUser("alice", 2);
    alice.exclusionDirs = {"/home/alice/Podcasts", "/srv/Books"};
    alice.rememberPassword = true;
    alice.submitPlays = true;
    CUser bob = MakeUser("bj\xc3\xb6rn", 4);
    bob.displayRecent = true;
    mManager.AddUser(alice);
    mManager.AddUser(bob);
    mManager.SetCurrentUser("bj\xc3\xb6rn");
    CProxySettings proxy{"proxy.lan", 3128, "me", "secret", true};
    mManager.SetProxySettings(proxy);
    mManager.FirstRunDone();
    mManager.Save();
    EXPECT_EQ(ReadText("Software\\Fenwave\\Vortlebox", "Version"), kProgramFileVersion);
    EXPECT_TRUE(mLog.Contains("Just wrote first run to registry, mbFirstRun: 0\n"));

    CSettingsManager restored;
    restored.Restore();
    ASSERT_EQ(restored.GetNumUsers(), 2);
    EXPECT_EQ(restored.GetUser("alice"), alice);
    EXPECT_EQ(restored.GetUser("bj\xc3\xb6rn"), bob);
    EXPECT_EQ(restored.GetCurrentUser(), bob);
    EXPECT_EQ(restored.GetProxySettings(), proxy);
    EXPECT_FALSE(restored.IsFirstRun());
}

TEST_F(SettingsManagerTest, SaveWithoutCurrentUserKeepsTheStoredOne) {
    mManager.AddUser(MakeUser("alice"));
    mManager.SetCurrentUser("alice");
    mManager.Save();
    mManager.SetCurrentUser("nobody");
    EXPECT_THROW(mManager.GetCurrentUser(), CSettingsManager::CUserNotFoundException);
    mManager.Save();
    EXPECT_EQ(ReadText("Software\\Fenwave\\Users", "CurrentUser"), "alice");
}

TEST_F(SettingsManagerTest, DeletingUsers) {
    mManager.AddUser(MakeUser("alice"));
    mManager.AddUser(MakeUser("bob"));
    mManager.AddUser(MakeUser("carol"));
    CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\bob\\Sub", true);
    mManager.SetCurrentUser("carol");

    mManager.DeleteUser("bob");
    EXPECT_EQ(Names(mManager), (std::vector<std::string>{"alice", "carol"}));
    EXPECT_EQ(mManager.GetCurrentUser().name, "carol");
    EXPECT_FALSE(KeyExists("Software\\Fenwave\\Users\\bob"));

    mManager.DeleteUser("carol");
    EXPECT_THROW(mManager.GetCurrentUser(), CSettingsManager::CUserNotFoundException);
    EXPECT_EQ(Names(mManager), std::vector<std::string>{"alice"});

    try {
        mManager.DeleteUser("nobody");
        ADD_FAILURE() << "deleting a missing user succeeded";
    } catch (const CRegistryException& e) {
        EXPECT_STREQ(e.what(), "Could not update user [nobody] in registry. System error: 2");
    }
    EXPECT_TRUE(
        mLog.Contains("CRegistryException when trying to delete user: Could not update user [nobody] in "
                      "registry. System error: 2"));
    EXPECT_EQ(Names(mManager), std::vector<std::string>{"alice"});
}

TEST_F(SettingsManagerTest, NamesThatAreNotOneKeyNameCannotReachOtherKeys) {
    mManager.AddUser(MakeUser("victim"));
    CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\victim\\inner", true);
    for (const char* name : {"victim\\inner", "", "\\", "a\\", "\\victim"}) {
        try {
            mManager.AddUser(MakeUser(name));
            ADD_FAILURE() << "accepted '" << name << "'";
        } catch (const CRegistryException& e) {
            EXPECT_NE(std::string(e.what()).find("Invalid user name [" + std::string(name) + "]"),
                      std::string::npos)
                << e.what();
        }
        try {
            mManager.DeleteUser(name);
            ADD_FAILURE() << "deleted '" << name << "'";
        } catch (const CRegistryException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Could not update user [" + std::string(name) + "] in registry. System error: 22");
        }
        EXPECT_THROW(mManager.UpdateUser(MakeUser(name)), CSettingsManager::CUserNotFoundException);
    }
    EXPECT_TRUE(KeyExists("Software\\Fenwave\\Users\\victim\\inner"));
    EXPECT_TRUE(KeyExists("Software\\Fenwave\\Users"));
    EXPECT_EQ(Names(mManager), std::vector<std::string>{"victim"});
}

TEST_F(SettingsManagerTest, UpdatingUsers) {
    EXPECT_THROW(mManager.UpdateUser(MakeUser("alice")), CSettingsManager::CUserNotFoundException);
    mManager.AddUser(MakeUser("alice"));
    CUser changed = MakeUser("alice", 3);
    changed.submitPlays = true;
    changed.exclusionDirs = {"/tmp"};
    mManager.UpdateUser(changed);
    EXPECT_EQ(mManager.GetUser("alice"), changed);
    CSettingsManager fresh;
    fresh.Restore();
    EXPECT_EQ(fresh.GetUser("alice"), changed);
    EXPECT_TRUE(mLog.Contains("Updating user: alice\n"));
}

// Counts notifications and checks, from another thread, that the manager's
// lock is free while observers run.
class CLockProbe : public Observer {
public:
    explicit CLockProbe(CSettingsManager& manager) : mManager(manager) {}
    void Update() override {
        ++updates;
        auto other = std::async(std::launch::async, [this] { return mManager.GetNumUsers(); });
        lockFree = lockFree && other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (lockFree)
            users.push_back(other.get());
    }
    void UpdateFrom(Observable* subject) override { subjectOk = subjectOk && subject == &mManager; }
    int updates = 0;
    bool lockFree = true;
    bool subjectOk = true;
    std::vector<int> users;

private:
    CSettingsManager& mManager;
};

TEST_F(SettingsManagerTest, ObserversAreToldAfterEachChangeWithoutTheLock) {
    mManager.Restore();
    CLockProbe probe(mManager);
    mManager.AddObserver(&probe);
    mManager.AddUser(MakeUser("alice"));
    mManager.AddUser(MakeUser("bob"));
    mManager.UpdateUser(MakeUser("bob", 1));
    mManager.SetCurrentUser("bob");
    mManager.SetProxySettings(CProxySettings{"h", 1, "", "", true});
    mManager.DeleteUser("alice");
    mManager.Save();
    mManager.Restore();
    mManager.FirstRunDone();
    EXPECT_THROW(mManager.AddUser(MakeUser("bob")), CSettingsManager::CUserExistsException);
    mManager.RemoveObserver(&probe);
    EXPECT_EQ(probe.updates, 6);
    EXPECT_TRUE(probe.lockFree);
    EXPECT_TRUE(probe.subjectOk);
    // Each observer saw the change already made.
    EXPECT_EQ(probe.users, (std::vector<int>{1, 2, 2, 2, 2, 1}));
}

TEST_F(SettingsManagerTest, ThreadsChangingUsersAtOnceLoseNothing) {
    mManager.Restore();
    constexpr int kThreads = 4, kEach = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "t" + std::to_string(t) + "u" + std::to_string(i);
                mManager.AddUser(MakeUser(name, i % 5));
                mManager.SetCurrentUser(name);
                CUser user = mManager.GetUser(name);
                user.submitPlays = true;
                mManager.UpdateUser(user);
                (void)mManager.GetFreeColour();
                (void)mManager.GetProxySettings();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::vector<std::string> names = Names(mManager);
    ASSERT_EQ(names.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    CSettingsManager fresh;
    fresh.Restore();
    ASSERT_EQ(fresh.GetNumUsers(), kThreads * kEach);
    for (int i = 0; i < fresh.GetNumUsers(); ++i)
        EXPECT_TRUE(fresh.GetUser(i).submitPlays) << fresh.GetUser(i).name;
}

TEST_F(SettingsManagerTest, UserDirIsCreatedUnderTheDataHome) {
    std::string dir = mManager.GetUserDir();
    EXPECT_EQ(dir, mEnv.DataHome() + "/Fenwave/Vortlebox");
    struct stat st;
    EXPECT_TRUE(::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));

    mEnv.Env().Unset("XDG_DATA_HOME");
    EXPECT_EQ(mManager.GetUserDir(), mEnv.Root() + "/home/.local/share/Fenwave/Vortlebox");
}

TEST_F(SettingsManagerTest, UserDirThatCannotBeHadIsEmpty) {
    std::string deep = mEnv.Root();
    while (deep.size() < PATH_MAX)
        deep += "/" + std::string(200, 'd');
    mEnv.Env().Set("XDG_DATA_HOME", deep);
    EXPECT_EQ(mManager.GetUserDir(), "");
    EXPECT_TRUE(mLog.Contains("Couldn't get user dir, is this possibly Win 9x?\n") ||
                mLog.Contains("User dir path too long, exceeds MAX_PATH\n"));

    WriteFile(mEnv.Root() + "/file", "x");
    mEnv.Env().Set("XDG_DATA_HOME", mEnv.Root() + "/file");
    EXPECT_EQ(mManager.GetUserDir(), "");
    EXPECT_TRUE(mLog.Contains("Couldn't get user dir, is this possibly Win 9x?\n"));
}

TEST(ServerHostsTest, DefaultsAreWrittenAndStoredValuesWin) {
    CTestEnvironment env;
    struct Case {
        const char* name;
        const char* fallback;
    } cases[] = {{"SubmitHost", "127.0.0.1:33380"},
                 {"WebServiceHost", "127.0.0.1:33381"},
                 {"WebSiteHost", "127.0.0.1:33382"},
                 {"StaticHost", "127.0.0.1:33383"}};
    for (const Case& c : cases) {
        EXPECT_EQ(CServerHosts::Get(c.name), c.fallback);
        EXPECT_EQ(ReadText("Software\\Fenwave\\Vortlebox", c.name), c.fallback);
        CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", false), c.name,
                                    "127.0.0.1:4000");
        EXPECT_EQ(CServerHosts::Get(c.name), "127.0.0.1:4000");
    }
    EXPECT_THROW(CServerHosts::Get("ProxyHost"), std::invalid_argument);
}

} // namespace
