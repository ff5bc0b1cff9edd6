#include "update/ComponentInfo.h"
#include "update/AppInfo.h"
#include "update/PluginInfo.h"
#include "update/RadioInfo.h"

#include "app/ProgramVersion.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"
#include "tests/update/UpdateTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <random>
#include <string>

using namespace UpdateTest;

namespace {

const std::string kPluginsKey = "Software\\Fenwave\\Vortlebox\\Plugins\\";

class ComponentInfoTest : public ::testing::Test {
protected:
    static void DeleteTree() {
        try {
            CRegistryUtils::DeleteKey("Software\\Fenwave");
        } catch (const CRegistryUtils::CRegistryException&) {
            // not there yet
        }
    }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    CTempDir mFiles;
};

struct NameCase {
    const char* path;
    const char* url;
    const char* exeFileName;
    const char* downloadFileName;
    const char* downloadExt;
    const char* installDir;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.path << " | " << c.url;
}

class ComponentNamesTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ComponentNamesTest, DerivedFromPathAndUrl) {
    const NameCase& c = GetParam();
    CComponentInfo info;
    info.Set("Thing", c.path, c.url, "1.0", "");
    EXPECT_EQ(info.GetExeFileName(), c.exeFileName);
    EXPECT_EQ(info.GetDownloadFileName(), c.downloadFileName);
    EXPECT_EQ(info.GetDownloadExt(), c.downloadExt);
    EXPECT_EQ(info.GetInstallDir(), c.installDir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentNamesTest,
    ::testing::Values(NameCase{"/pf/Radio/radio", "http://h:1/d/radio-setup.exe", "radio", "radio-setup.exe",
                               "exe", "/pf/Radio/"},
                      NameCase{"/pf/A.B/prog", "http://h/x/Lib.Plugin.DLL", "prog", "Lib.Plugin.DLL", "dll",
                               "/pf/A.B/"},
                      // The extension comes from the file name, not from the host.
                      NameCase{"prog", "http://host.example/setup", "prog", "setup", "", ""},
                      NameCase{"/p/", "http://h/d/", "", "", "", "/p/"},
                      NameCase{"/p/q", "http://h/d/inst.msi", "q", "inst.msi", "msi", "/p/"},
                      NameCase{"/p/q", "http://h/d/a.exe?x=1", "q", "a.exe?x=1", "exe?x=1", "/p/"}));

struct PluginDirCase {
    const char* playerPath;
    const char* pluginFolder;
    const char* installDir;
};

class PluginInstallDirTest : public ::testing::TestWithParam<PluginDirCase> {};

TEST_P(PluginInstallDirTest, PlayerFolderAndPluginFolder) {
    const PluginDirCase& c = GetParam();
    CPluginInfo plugin;
    plugin.Set("Player", c.playerPath, "http://h/p.dll", "1", c.pluginFolder, "", "", "");
    EXPECT_EQ(plugin.GetInstallDir(), c.installDir);
    EXPECT_EQ(plugin.GetPath(), ""); // the base path stays empty
    EXPECT_EQ(plugin.GetName(), "Player");
    EXPECT_EQ(plugin.GetPlayerName(), "Player");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PluginInstallDirTest,
    ::testing::Values(PluginDirCase{"/pf/Player/player", "Plugins", "/pf/Player/Plugins/"},
                      PluginDirCase{"/pf/Player/player", "a/b", "/pf/Player/a/b/"},
                      PluginDirCase{"/pf/Player/player", "", "/pf/Player/"},
                      PluginDirCase{"/pf/Player/player", "plugins/", "/pf/Player/plugins/"}));

TEST_F(ComponentInfoTest, RegVersionReadsOnlyAWellFormedValue) {
    const std::string key = "Software\\Fenwave\\Test";
    const std::string longest(CComponentInfo::kMaxRegVersionLength, '9');
    struct Case {
        const char* what;
        std::function<void()> setup;
        std::string expected;
    };
    const Case cases[] = {
        {"missing key", [] {}, ""},
        {"missing value", [&] { CreateRegKey(key); }, ""},
        {"plain", [&] { WriteRegString(key, "Version", "2.1.0.7"); }, "2.1.0.7"},
        {"longest", [&] { WriteRegString(key, "Version", longest); }, longest},
        {"too long", [&] { WriteRegString(key, "Version", longest + "9"); }, ""},
        {"a number", [&] { CRegistryUtils::WriteNumber(CRegistryUtils::OpenKey(key, true), "Version", 3); },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree();
        c.setup();
        const std::size_t before = mLog.Text().size();
        EXPECT_EQ(CComponentInfo::GetRegVersion(key), c.expected);
        const bool logged =
            mLog.Text().find("Couldn't read version string for " + key + "\n", before) != std::string::npos;
        EXPECT_EQ(logged, c.expected.empty());
    }
    // Reading never creates the key.
    DeleteTree();
    CComponentInfo::GetRegVersion(key);
    EXPECT_THROW(CRegistryUtils::OpenKey(key, false), CRegistryUtils::CRegistryException);
}

struct NewerCase {
    const char* installed; // nullptr: the key is missing
    const char* offered;
    bool newer;
};

void PrintTo(const NewerCase& c, std::ostream* os) {
    *os << (c.installed ? c.installed : "(none)") << " vs " << c.offered;
}

class InstalledVersionTest : public ::testing::TestWithParam<NewerCase> {
protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
};

TEST_P(InstalledVersionTest, RadioComparesWithTheStore) {
    const NewerCase& c = GetParam();
    if (c.installed != nullptr)
        WriteRegString(CRadioInfo::kRegistryKey, "Version", c.installed);
    CRadioInfo radio;
    radio.Set("Fenwave Radio", "/pf/Radio/radio", "http://h/r.exe", c.offered, "");
    EXPECT_EQ(radio.IsInstalled(), c.installed != nullptr);
    EXPECT_EQ(radio.IsVersionNewer(), c.newer);
    EXPECT_TRUE(mLog.Contains(std::string("Fenwave Radio installed ver: ") +
                              (c.installed ? c.installed : "") + ", server ver: " + c.offered + "\n"))
        << mLog.Text();
}

TEST_P(InstalledVersionTest, PluginComparesWithTheStore) {
    const NewerCase& c = GetParam();
    if (c.installed != nullptr)
        WriteRegString(kPluginsKey + "Demo Player", "Version", c.installed);
    CPluginInfo plugin;
    plugin.Set("Demo Player", "/pf/Demo/demo", "http://h/p.exe", c.offered, "Plugins", "", "", "");
    EXPECT_EQ(plugin.IsInstalled(), c.installed != nullptr);
    EXPECT_TRUE(mLog.Contains(
        kPluginsKey + "Demo Player" +
        (c.installed ? " was found. Plugin present.\n" : " wasn't found. Plugin not present.\n")));
    EXPECT_EQ(plugin.IsVersionNewer(), c.newer);
    EXPECT_TRUE(mLog.Contains(std::string("Demo Player plugin installed ver: ") +
                              (c.installed ? c.installed : "") + ", server ver: " + c.offered + "\n"))
        << mLog.Text();
}

INSTANTIATE_TEST_SUITE_P(Versions, InstalledVersionTest,
                         ::testing::Values(NewerCase{"1.2", "1.2.0.0", false},
                                           NewerCase{"1.2.0.0", "1.2", false}, NewerCase{"1.9", "1.10", true},
                                           NewerCase{"1.10", "1.9", false}, NewerCase{"1.3", "1,3", false},
                                           NewerCase{"1,3", "1.3.0.1", true},
                                           NewerCase{"2.0", "1.99.99.99", false},
                                           // Not installed: anything but 0.0.0.0 is newer.
                                           NewerCase{nullptr, "0.0.0.1", true},
                                           NewerCase{nullptr, "0.0.0.0", false},
                                           NewerCase{nullptr, "", false}));

TEST_F(ComponentInfoTest, AnswersAreKeptUntilCleared) {
    CPluginInfo plugin;
    plugin.Set("Demo Player", "/pf/Demo/demo", "http://h/p.exe", "2.0", "Plugins", "", "", "");
    EXPECT_FALSE(plugin.IsInstalled());
    EXPECT_TRUE(plugin.IsVersionNewer());

    WriteRegString(kPluginsKey + "Demo Player", "Version", "3.0");
    CPluginInfo copy = plugin;
    EXPECT_FALSE(plugin.IsInstalled());
    EXPECT_TRUE(plugin.IsVersionNewer());
    EXPECT_FALSE(copy.IsInstalled()) << "copies keep the answers";
    EXPECT_TRUE(copy.IsVersionNewer());

    plugin.Clear();
    EXPECT_EQ(plugin.GetName(), "");
    EXPECT_EQ(plugin.GetPlayerPath(), "");
    EXPECT_EQ(plugin.GetDownloadURL(), "");
    plugin.Set("Demo Player", "/pf/Demo/demo", "http://h/p.exe", "2.0", "Plugins", "", "", "");
    EXPECT_TRUE(plugin.IsInstalled());
    EXPECT_FALSE(plugin.IsVersionNewer());
}

TEST_F(ComponentInfoTest, BaseRecordIsTheExecutableFile) {
    const std::string exe = mFiles.File("Tool/tool");
    CComponentInfo info;
    info.Set("Tool", exe, "http://h/tool.exe", "0.0.0.1", "");
    EXPECT_FALSE(info.IsInstalled());

    WriteExecutable(exe, "#!/bin/sh\n");
    CComponentInfo fresh;
    fresh.Set("Tool", exe, "http://h/tool.exe", "0.0.0.1", "");
    EXPECT_TRUE(fresh.IsInstalled());
    // A file no package owns has no version: 0.0.0.0.
    EXPECT_TRUE(fresh.IsVersionNewer());
    fresh.Set("Tool", exe, "http://h/tool.exe", "0.0.0.0", "");
    EXPECT_FALSE(fresh.IsVersionNewer());

    // A folder at the path is not the program.
    CComponentInfo folder;
    folder.Set("Tool", mFiles.Path(), "http://h/tool.exe", "1", "");
    EXPECT_FALSE(folder.IsInstalled());
}

TEST_F(ComponentInfoTest, ProgramComparesWithItsOwnVersion) {
    const std::string own = kProgramFileVersion;
    const std::string next =
        std::to_string(kProgramVersionFields[0]) + "." + std::to_string(kProgramVersionFields[1]) + "." +
        std::to_string(kProgramVersionFields[2]) + "." + std::to_string(kProgramVersionFields[3] + 1);
    struct Case {
        std::string offered;
        bool newer;
    } const cases[] = {{own, false}, {next, true}, {"0.9", false}, {"", false}};
    for (const Case& c : cases) {
        CAppInfo app;
        app.Set(CAppInfo::kName, "/nowhere/vortlebox", "http://h/setup.exe", c.offered, "");
        EXPECT_TRUE(app.IsInstalled());
        EXPECT_TRUE(app.IsRunning());
        EXPECT_EQ(app.IsVersionNewer(), c.newer) << c.offered;
    }
}

struct MatchCase {
    const char* playerVersion; // "" = no version information
    const char* minimum;
    const char* maximum;
    bool match;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << '"' << c.playerVersion << "\" in [\"" << c.minimum << "\", \"" << c.maximum << "\"]";
}

class VersionMatchTest : public ::testing::TestWithParam<MatchCase> {
protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
    CFakePackages mPackages{mEnv};
    CTempDir mFiles;
};

TEST_P(VersionMatchTest, PlayerVersionWithinBounds) {
    const MatchCase& c = GetParam();
    const std::string player = mFiles.File("Player/player");
    CFakePackages::WritePlayer(player, c.playerVersion);
    CPluginInfo plugin;
    plugin.Set("Demo Player", player, "http://h/p.exe", "1.0", "Plugins", "", c.minimum, c.maximum);
    EXPECT_EQ(plugin.VersionMatch(), c.match) << mLog.Text();
    EXPECT_EQ(plugin.IsPlayerPresent(), c.match);
    if (*c.playerVersion == '\0') {
        const bool restricted = *c.minimum != '\0' || *c.maximum != '\0';
        EXPECT_TRUE(mLog.Contains("Couldn't read version number for Demo Player\n"));
        EXPECT_TRUE(mLog.Contains(std::string("Version restricted: ") + (restricted ? "yes" : "no") +
                                  ", assuming match: " + (restricted ? "no" : "yes") + "\n"))
            << mLog.Text();
    } else {
        EXPECT_TRUE(
            mLog.Contains(std::string("Player version to test: ") + c.minimum + " - " + c.maximum + "\n"));
        EXPECT_TRUE(mLog.Contains(std::string("Version of Demo Player: ") + c.playerVersion + "\n"))
            << mLog.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, VersionMatchTest,
    ::testing::Values(MatchCase{"", "", "", true}, MatchCase{"", "", "5.0", false},
                      MatchCase{"", "1.0", "", false}, MatchCase{"5.2", "", "", true},
                      MatchCase{"5.2", "5.2", "5.2", true}, MatchCase{"5.2", "5.2.0.1", "", false},
                      MatchCase{"5.2", "", "5.1.99", false}, MatchCase{"1.10", "1.9", "1.10.0.0", true},
                      MatchCase{"1,3", "1.3", "1.3", true},
                      // The open upper bound is the largest version there is, and no larger.
                      MatchCase{"2147483647.2147483647.2147483647.2147483647", "", "", true},
                      MatchCase{"99999999999.1", "3", "", true},
                      MatchCase{"2147483647.2147483647.2147483647.2147483647", "",
                                "2147483647.2147483647.2147483647.2147483646", false}));

TEST_F(ComponentInfoTest, PlayerPresenceFollowsThePlayerPath) {
    CPluginInfo plugin;
    plugin.Set("Demo Player", mFiles.File("Nowhere/player"), "http://h/p.exe", "1.0", "Plugins", "", "", "");
    EXPECT_FALSE(plugin.IsPlayerPresent());

    const std::string found = mFiles.File("Elsewhere/player");
    WriteExecutable(found, "#!/bin/sh\n");
    EXPECT_FALSE(plugin.IsPlayerPresent()) << "the answer is kept";
    plugin.SetPlayerPath(found);
    EXPECT_EQ(plugin.GetPlayerPath(), found);
    EXPECT_TRUE(plugin.IsPlayerPresent());
    EXPECT_EQ(plugin.GetPlayerExeFileName(), "player");
}

/// A copy of sleep under a name no other process has, run for the test.
class CRunningPlayer {
public:
    explicit CRunningPlayer(const std::string& folder) {
        std::random_device random;
        mPath = folder + "/vbxplayer-" + std::to_string(random() % 1000000000u);
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), mPath);
        ::chmod(mPath.c_str(), 0755);
        mProcess =
            std::make_unique<CTestProcess>(std::vector<std::string>{mPath, "60"}, CTestProcess::COptions{});
    }
    const std::string& Path() const { return mPath; }
    CTestProcess& Process() { return *mProcess; }

private:
    std::string mPath;
    std::unique_ptr<CTestProcess> mProcess;
};

TEST_F(ComponentInfoTest, RunningPlayerIsFoundAndClosed) {
    CRunningPlayer player(mFiles.Path());
    CPluginInfo plugin;
    plugin.Set("Demo Player", player.Path(), "http://h/p.exe", "1.0", "Plugins", "", "", "");
    EXPECT_TRUE(plugin.IsRunning());
    EXPECT_TRUE(plugin.Kill());
    EXPECT_TRUE(player.Process().Wait(std::chrono::seconds(20)).has_value());
    EXPECT_FALSE(plugin.IsRunning());
    // Nothing left to close counts as closed.
    EXPECT_TRUE(plugin.Kill());

    CComponentInfo base;
    base.Set("Tool", mFiles.File("not-running-anywhere-xyz"), "http://h/t.exe", "1", "");
    EXPECT_FALSE(base.IsRunning());
    EXPECT_TRUE(base.Kill());
}

} // namespace
