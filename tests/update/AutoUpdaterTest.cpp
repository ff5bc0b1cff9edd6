#include "update/AutoUpdater.h"

#include "app/ManualResetEvent.h"
#include "app/Observer.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"
#include "tests/update/ProgressRecorder.h"
#include "tests/update/UpdateTestUtil.h"
#include "update/ConnectionException.h"
#include "update/UpdateLock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace UpdateTest;

namespace {

using ERole = CFenwaveSimulator::ERole;

const std::string kPluginKey = "Software\\Fenwave\\Vortlebox\\Plugins\\";

/// An installer script that writes each of its arguments on a line of its own.
std::string ArgumentRecorder(const std::string& recordFile) {
    return "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + ShellQuote(recordFile) + "\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> Names(const std::vector<CComponentInfo*>& components) {
    std::vector<std::string> names;
    for (const CComponentInfo* component : components)
        names.push_back(component->GetName());
    return names;
}

class AutoUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        mEnv.Env().Set("VORTLEBOX_PROGRAM_FILES", mProgramFiles.Path());
        WriteRegString("Software\\Fenwave\\Vortlebox", "StaticHost", mSim.StaticHost());
    }
    std::string Pf(const std::string& relative) const { return mProgramFiles.Path() + "/" + relative; }
    std::string Url(const std::string& path) const { return "http://" + mSim.StaticHost() + path; }
    std::size_t RequestsFor(const std::string& target) {
        std::size_t n = 0;
        for (const auto& request : mSim.Requests(ERole::Static))
            n += request.target == target;
        return n;
    }
    /// A plug-in record for a player present in the program folder (owned by
    /// no package, so with empty bounds), installed from url.
    std::string PresentPlugin(const std::string& name, const std::string& url, const std::string& args = "") {
        WriteExecutable(Pf(name + "/" + name), "#!/bin/sh\n");
        return Record({name, name + "/" + name, url, "1.0", "Plugins", args, "", ""});
    }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    CFakePackages mPackages{mEnv};
    CTempDir mProgramFiles;
    CTempDir mFiles;
    CFenwaveSimulator mSim;
};

struct CheckCase {
    const char* name;
    std::string file;
    std::function<void(const std::string& pf)> setup;
    bool found;
    std::vector<std::string> listed;
    std::string logged;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kOwnVersion = kProgramFileVersion;

class CheckForUpdatesTest : public AutoUpdaterTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckForUpdatesTest, ListsWhatCanBeUpdated) {
    const CheckCase& c = GetParam();
    c.setup(mProgramFiles.Path());
    mSim.SetFile(InfoPath(), c.file);
    CAutoUpdater updater;
    EXPECT_EQ(updater.CheckForUpdates(), c.found) << mLog.Text();
    EXPECT_EQ(Names(updater.GetUpdates()), c.listed);
    if (!c.logged.empty()) {
        EXPECT_TRUE(mLog.Contains(c.logged)) << mLog.Text();
    }
    // One forced download answers all three questions when the file has all three kinds.
    EXPECT_GE(mSim.Requests(ERole::Static).size(), 1u);
}

const auto kNothing = [](const std::string&) {};
const std::string kAppCurrent =
    "[App]\n" + Record({"Vortlebox", "V/vortlebox", "http://h/s.exe", kOwnVersion, ""});

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckForUpdatesTest,
    ::testing::Values(
        CheckCase{"NewerPlugin",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "", ""}),
                  [](const std::string&) { WriteRegString(kPluginKey + "Demo Player", "Version", "1.0"); },
                  true,
                  {"Demo Player"},
                  "Newer plugin version found for Demo Player.\n"},
        CheckCase{"CurrentPlugin",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "", ""}),
                  [](const std::string&) { WriteRegString(kPluginKey + "Demo Player", "Version", "1.1"); },
                  false,
                  {},
                  ""},
        CheckCase{"NewPluginForPresentPlayer",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "", ""}),
                  [](const std::string& pf) { WriteExecutable(pf + "/D/demo", "#!/bin/sh\n"); },
                  false,
                  {"Demo Player"},
                  "New plugin for installed player Demo Player found.\n"},
        CheckCase{"PlayerTooOld",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "2.0", "3.0"}),
                  [](const std::string& pf) { CFakePackages::WritePlayer(pf + "/D/demo", "1.5"); },
                  false,
                  {},
                  "Version of Demo Player: 1.5\n"},
        CheckCase{"PlayerInRange",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "2.0", "3.0"}),
                  [](const std::string& pf) { CFakePackages::WritePlayer(pf + "/D/demo", "2.5"); },
                  false,
                  {"Demo Player"},
                  ""},
        CheckCase{"NoPlayer",
                  kAppCurrent + "[Plugins]\n" +
                      Record({"Demo Player", "D/demo", "http://h/d.exe", "1.1", "P", "", "", ""}),
                  kNothing,
                  false,
                  {},
                  ""},
        CheckCase{"NewerApp",
                  "[App]\n" + Record({"Vortlebox", "V/vortlebox", "http://h/s.exe", "999.0", ""}),
                  kNothing,
                  true,
                  {"Vortlebox"},
                  "Newer app version found.\n"},
        CheckCase{"NewerRadio",
                  kAppCurrent + "[Radio]\n" +
                      Record({"Fenwave Radio", "R/radio", "http://h/r.exe", "2.0", ""}),
                  [](const std::string&) { WriteRegString("Software\\Fenwave\\Radio", "Version", "1.0"); },
                  true,
                  {"Fenwave Radio"},
                  "Newer radio version found.\n"},
        CheckCase{"RadioNotInstalled",
                  kAppCurrent + "[Radio]\n" +
                      Record({"Fenwave Radio", "R/radio", "http://h/r.exe", "2.0", ""}),
                  kNothing,
                  false,
                  {},
                  ""},
        CheckCase{"EverythingInOrder",
                  "[Plugins]\n" + Record({"B Player", "B/b", "http://h/b.exe", "2", "P", "", "", ""}) +
                      Record({"A Player", "A/a", "http://h/a.exe", "2", "P", "", "", ""}) + "[Radio]\n" +
                      Record({"Fenwave Radio", "R/radio", "http://h/r.exe", "2.0", ""}) + "[App]\n" +
                      Record({"Vortlebox", "V/vortlebox", "http://h/s.exe", "999", ""}),
                  [](const std::string& pf) {
                      WriteRegString("Software\\Fenwave\\Radio", "Version", "1.0");
                      WriteRegString(kPluginKey + "A Player", "Version", "1");
                      WriteExecutable(pf + "/B/b", "#!/bin/sh\n");
                  },
                  true,
                  {"Vortlebox", "Fenwave Radio", "B Player", "A Player"},
                  ""}));

TEST_F(AutoUpdaterTest, TheProgramsOwnUpdateIsLeftToThePackageManager) {
    mSim.SetFile(InfoPath(), "[App]\n" + Record({"Vortlebox", "V/vortlebox", "http://h/s.exe", "999.0", ""}) +
                                 "[Radio]\n" + Record({"Fenwave Radio", "R/radio", "http://h/r.exe", "2.0", ""}));
    WriteRegString("Software\\Fenwave\\Radio", "Version", "1.0");
    struct Case {
        const char* name;
        std::function<void(const std::string&)> setup;
        bool program;
    };
    const std::vector<Case> cases{
        {"a folder of its own", [](const std::string&) {}, true},
        {"installed by the package",
         [](const std::string& folder) { WriteFile(folder + "/" + CAutoUpdater::kPackageManagedName, "x\n"); },
         false},
        // Only the super-user writes into a folder without write permission.
        {"a folder it cannot write", [](const std::string& folder) { ::chmod(folder.c_str(), 0555); },
         ::geteuid() == 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir folder;
        c.setup(folder.Path());
        CAutoUpdater updater;
        updater.SetProgramFolder(folder.Path());
        EXPECT_TRUE(updater.CheckForUpdates());
        const std::vector<std::string> expected =
            c.program ? std::vector<std::string>{"Vortlebox", "Fenwave Radio"} : std::vector<std::string>{"Fenwave Radio"};
        EXPECT_EQ(Names(updater.GetUpdates()), expected);
        ::chmod(folder.Path().c_str(), 0700);
    }
}

TEST_F(AutoUpdaterTest, OneDownloadForACompleteFile) {
    mSim.SetFile(InfoPath(), "[App]\n" + Record({"Vortlebox", "V/v", "http://h/s.exe", "1", ""}) +
                                 "[Radio]\n" + Record({"Fenwave Radio", "R/r", "http://h/r.exe", "1", ""}) +
                                 "[Plugins]\n" +
                                 Record({"P", "P/p", "http://h/p.exe", "1", "x", "", "", ""}));
    CAutoUpdater updater;
    updater.CheckForUpdates();
    EXPECT_EQ(RequestsFor(InfoPath()), 1u);
    updater.CheckForUpdates();
    EXPECT_EQ(RequestsFor(InfoPath()), 2u) << "every check downloads afresh";
}

TEST_F(AutoUpdaterTest, FailedCheckIsThrown) {
    mSim.SetFile(InfoPath(), "\"no header\"\n");
    CAutoUpdater updater;
    CProgressRecorder recorder(updater);
    EXPECT_THROW(updater.CheckForUpdates(), CConnectionException);
    // The updater no longer relays from the getter after the failure.
    const std::size_t reports = recorder.Progress().size();
    mSim.SetFile(InfoPath(), kAppCurrent);
    EXPECT_FALSE(updater.CheckForUpdates());
    EXPECT_GT(recorder.Progress().size(), reports);
}

struct ProgressCase {
    int taskIndex;
    int taskCount;
    int downloaderProgress;
    int expected;
};

class CombinedProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(CombinedProgressTest, TasksDoneAndShareOfTheCurrentOne) {
    const ProgressCase& c = GetParam();
    EXPECT_EQ(CAutoUpdater::CombinedProgress(c.taskIndex, c.taskCount, c.downloaderProgress), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CombinedProgressTest,
                         ::testing::Values(ProgressCase{1, 3, 50, 49}, ProgressCase{0, 3, 100, 33},
                                           ProgressCase{2, 3, 100, 99}, ProgressCase{2, 3, 0, 66},
                                           ProgressCase{1, 1, 0, 100}, ProgressCase{1, 1, 37, 137},
                                           ProgressCase{0, 1, 100, 100}, ProgressCase{3, 7, 99, 56},
                                           ProgressCase{0, 0, 40, 40}));

TEST_F(AutoUpdaterTest, CheckReportsAHundredPlusTheGettersProgress) {
    mSim.SetFile(InfoPath(), kAppCurrent);
    CAutoUpdater updater;
    CProgressRecorder recorder(updater);
    updater.CheckForUpdates();
    const auto progress = recorder.Progress();
    ASSERT_FALSE(progress.empty());
    // The getter's own progress stays 0 while it downloads.
    for (int p : progress)
        EXPECT_EQ(p, 100);
    EXPECT_EQ(recorder.Texts().front(), "Retrieving information from Fenwave...");
}

TEST_F(AutoUpdaterTest, KillRunningWithNothingRunning) {
    CAutoUpdater updater;
    EXPECT_TRUE(updater.KillRunning());
    std::vector<std::string> names;
    EXPECT_FALSE(updater.CheckIfRunning({}, names));
    EXPECT_TRUE(updater.KillRunning());
    EXPECT_TRUE(names.empty());
}

TEST_F(AutoUpdaterTest, RunningPlayerIsFoundAndClosedButNeverTheProgram) {
    // The player is a copy of sleep under a name nothing else has.
    std::random_device random;
    const std::string exe = "vbxplayer-" + std::to_string(random() % 1000000000u);
    std::filesystem::create_directories(Pf("D"));
    std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), Pf("D/" + exe));
    CTestProcess player({Pf("D/" + exe), "60"}, {});

    mSim.SetFile(InfoPath(), "[App]\n" + Record({"Vortlebox", "V/vortlebox", "http://h/s.exe", "999", ""}) +
                                 "[Plugins]\n" +
                                 Record({"Demo Player", "D/" + exe, "http://h/d.exe", "1", "P", "", "", ""}));
    CAutoUpdater updater;
    ASSERT_TRUE(updater.CheckForUpdates());
    ASSERT_EQ(Names(updater.GetUpdates()), (std::vector<std::string>{"Vortlebox", "Demo Player"}));

    std::vector<std::string> names;
    EXPECT_TRUE(updater.CheckIfRunning(updater.GetUpdates(), names));
    EXPECT_EQ(names, std::vector<std::string>{"Demo Player"});
    EXPECT_TRUE(mLog.Contains("Found running process: Demo Player\n"));
    EXPECT_TRUE(updater.KillRunning());
    EXPECT_TRUE(player.Wait(std::chrono::seconds(20)).has_value());
    EXPECT_FALSE(mLog.Contains("Couldn't kill process: "));
}

TEST_F(AutoUpdaterTest, InstallsInstallersAndLibraries) {
    const std::string record = mFiles.File("installer-args");
    const std::string where = mFiles.File("installer-where");
    mSim.SetFile("/download/a-plugin.exe", ArgumentRecorder(record) + "stat -c '%a %n' \"$0\" \"$(dirname \"$0\")\" > " +
                                               ShellQuote(where) + "\n");
    // Another local user took the installer's name in the shared temporary
    // folder first.
    ASSERT_EQ(::mkdir((mEnv.TempDir() + "/a-plugin.exe").c_str(), 0755), 0);
    mSim.SetFile("/download/b-plugin.DLL", "library bytes\n");
    mSim.SetFile(InfoPath(),
                 kAppCurrent + "[Plugins]\n" +
                     PresentPlugin("A", Url("/download/a-plugin.exe"), "/S \"two words\" /T='x y'") +
                     PresentPlugin("B", Url("/download/b-plugin.DLL")));
    CAutoUpdater updater;
    std::vector<std::string> failures;
    updater.SetInstallFailedHandler([&](const std::string& message) { failures.push_back(message); });
    ASSERT_FALSE(updater.CheckForUpdates());
    ASSERT_EQ(Names(updater.GetUpdates()), (std::vector<std::string>{"A", "B"}));

    EXPECT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
    EXPECT_TRUE(failures.empty());
    ASSERT_TRUE(WaitForFile(record));
    EXPECT_EQ(Lines(ReadFile(record)),
              (std::vector<std::string>{"/S", "two words", "/T=x y", "/DIR=" + Pf("A/Plugins/")}));
    // The installer ran from a folder of the run's own, owner only, which is
    // gone once the installer has ended.
    ASSERT_TRUE(WaitForFile(where));
    const std::vector<std::string> modes = Lines(ReadFile(where));
    ASSERT_EQ(modes.size(), 2u);
    const std::string folder = modes[1].substr(4);
    const std::string installer = folder + "/a-plugin.exe";
    EXPECT_EQ(modes[0], "700 " + installer);
    EXPECT_EQ(modes[1], "700 " + folder);
    EXPECT_EQ(folder.rfind(mEnv.TempDir() + "/" + CAutoUpdater::kDownloadFolderPrefix, 0), 0u) << folder;
    EXPECT_FALSE(FileExists(folder));
    // The library lands in the plug-in folder, which is made if missing.
    EXPECT_EQ(ReadFile(Pf("B/Plugins/b-plugin.DLL")), "library bytes\n");
    EXPECT_FALSE(updater.IsAppUpdatePending());

    EXPECT_TRUE(mLog.Contains("We have 2 download tasks\n"));
    EXPECT_TRUE(
        mLog.Contains("Will download " + Url("/download/a-plugin.exe") + " to '" + installer + "'\n"));
    EXPECT_TRUE(mLog.Contains("Running '" + installer + " /S \"two words\" /T='x y' /DIR=\"" +
                              Pf("A/Plugins/") + "\"'\n"))
        << mLog.Text();
}

/// The state letter of a process in /proc ('Z' for a zombie), or 0 when
/// there is no such process.
char ProcessState(const std::string& pid) {
    const std::string stat = ReadFile("/proc/" + pid + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

bool WaitForState(const std::string& pid, char state) {
    for (int i = 0; i < 1000; ++i) {
        if (ProcessState(pid) == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(AutoUpdaterTest, SlowInstallerGoesOnAloneAndIsReapedLater) {
    // The installer waits for a go-ahead, so the run waits for it the full
    // five seconds and then goes on.
    const std::string pidFile = mFiles.File("installer-pid");
    const std::string go = mFiles.File("go");
    mSim.SetFile("/download/slow.exe", "#!/bin/sh\necho $$ > " + ShellQuote(pidFile) +
                                           "\ni=0\nwhile [ ! -e " + ShellQuote(go) +
                                           " ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n");
    mSim.SetFile(InfoPath(), kAppCurrent + "[Plugins]\n" + PresentPlugin("A", Url("/download/slow.exe")));
    CAutoUpdater updater;
    updater.CheckForUpdates();
    EXPECT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
    ASSERT_TRUE(WaitForFile(pidFile));
    std::string pid = ReadFile(pidFile);
    pid.pop_back();
    EXPECT_NE(ProcessState(pid), 'Z');
    EXPECT_NE(ProcessState(pid), 0) << "the installer still runs";

    WriteFile(go, "");
    ASSERT_TRUE(WaitForState(pid, 'Z')) << "the ended installer waits to be reaped";
    // The next step reaps it.
    EXPECT_TRUE(updater.DownloadUpdates({}));
    EXPECT_EQ(ProcessState(pid), 0);
}

TEST_F(AutoUpdaterTest, RefusedDownloadEndsTheRun) {
    struct Case {
        const char* url;
        const char* logged;
    } const cases[] = {
        {"/download/setup.msi", "Download 'setup.msi' with ext: msi not allowed\n"},
        {"/download/", "Download '' with ext:  not allowed\n"},
        {"/download/..", "Download '..' with ext:  not allowed\n"},
        {"/download/.", "Download '.' with ext:  not allowed\n"},
        {"/download/noext", "Download 'noext' with ext:  not allowed\n"},
    };
    mSim.SetFile("/download/later.exe", ArgumentRecorder(mFiles.File("later")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        mSim.SetFile(InfoPath(), kAppCurrent + "[Plugins]\n" + PresentPlugin("A", Url(c.url)) +
                                     PresentPlugin("B", Url("/download/later.exe")));
        CAutoUpdater updater;
        updater.CheckForUpdates();
        ASSERT_EQ(updater.GetUpdates().size(), 2u);
        EXPECT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
        EXPECT_TRUE(mLog.Contains(c.logged)) << mLog.Text();
        EXPECT_EQ(RequestsFor(c.url), 0u);
        EXPECT_EQ(RequestsFor("/download/later.exe"), 0u) << "later entries are not downloaded";
    }
    EXPECT_FALSE(FileExists(mFiles.File("later")));
}

TEST_F(AutoUpdaterTest, FailedDownloadIsThrown) {
    mSim.SetFile(InfoPath(),
                 kAppCurrent + "[Plugins]\n" + PresentPlugin("A", Url("/nothing/here/missing.exe")));
    CAutoUpdater updater;
    CProgressRecorder recorder(updater);
    updater.CheckForUpdates();
    try {
        updater.DownloadUpdates(updater.GetUpdates());
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        EXPECT_STREQ(e.what(), "Download failed.");
    }
    EXPECT_TRUE(mLog.Contains("Downloader returned error status, displaying error msg\n"));
    EXPECT_FALSE(FileExists(mEnv.TempDir() + "/missing.exe"));
}

TEST_F(AutoUpdaterTest, InstallerThatCannotStartIsReportedAndTheRunGoesOn) {
    mSim.SetFile("/download/broken.exe", "this is not a program\n");
    mSim.SetFile("/download/b.dll", "lib\n");
    mSim.SetFile(InfoPath(), kAppCurrent + "[Plugins]\n" +
                                 PresentPlugin("A", Url("/download/broken.exe"), "/S") +
                                 PresentPlugin("B", Url("/download/b.dll")));
    CAutoUpdater updater;
    std::vector<std::string> failures;
    updater.SetInstallFailedHandler([&](const std::string& message) { failures.push_back(message); });
    updater.CheckForUpdates();
    EXPECT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
    EXPECT_EQ(failures, std::vector<std::string>{"Failed to install 'broken.exe'."});
    EXPECT_TRUE(mLog.Contains("Couldn't ShellExecute " + mEnv.TempDir() + "/" + CAutoUpdater::kDownloadFolderPrefix))
        << mLog.Text();
    EXPECT_TRUE(mLog.Contains("/broken.exe/S /DIR=\"" + Pf("A/Plugins/") + "\". GetLastError: ")) << mLog.Text();
    EXPECT_EQ(ReadFile(Pf("B/Plugins/b.dll")), "lib\n");
}

TEST_F(AutoUpdaterTest, ProgramInstallerIsKeptForLater) {
    const std::string ran = mFiles.File("program-installer-ran");
    mSim.SetFile("/download/vortlebox-setup.exe", "#!/bin/sh\necho ran > " + ShellQuote(ran) + "\n");
    mSim.SetFile(InfoPath(), "[App]\n" + Record({"Vortlebox", "V/vortlebox",
                                                 Url("/download/vortlebox-setup.exe"), "999", ""}));
    CAutoUpdater updater;
    ASSERT_TRUE(updater.CheckForUpdates());
    EXPECT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
    EXPECT_TRUE(updater.IsAppUpdatePending());
    const std::string installer = updater.GetAppInstallerPath();
    EXPECT_EQ(installer.rfind(mEnv.TempDir() + "/" + CAutoUpdater::kDownloadFolderPrefix, 0), 0u) << installer;
    EXPECT_EQ(installer.substr(installer.rfind('/')), "/vortlebox-setup.exe");
    EXPECT_TRUE(FileExists(installer));
    EXPECT_FALSE(FileExists(ran));

    // The next run starts without a pending update, and the old installer
    // goes with its folder.
    EXPECT_TRUE(updater.DownloadUpdates({}));
    EXPECT_FALSE(updater.IsAppUpdatePending());
    EXPECT_FALSE(FileExists(installer.substr(0, installer.rfind('/'))));
}

TEST_F(AutoUpdaterTest, CancelEndsADownloadRun) {
    mSim.SetGeneratedFile("/download/slow.exe", 200000, 4000);
    mSim.SetFile(InfoPath(), kAppCurrent + "[Plugins]\n" + PresentPlugin("A", Url("/download/slow.exe")));
    CAutoUpdater updater;
    updater.CheckForUpdates();
    CManualResetEvent first;
    CProgressRecorder recorder(updater);
    recorder.OnText([&](const std::string&) { first.Set(); });
    std::thread canceller([&] {
        if (first.WaitFor(std::chrono::seconds(30)))
            updater.Cancel();
    });
    const bool completed = updater.DownloadUpdates(updater.GetUpdates());
    canceller.join();
    EXPECT_FALSE(completed);
    EXPECT_FALSE(FileExists(mEnv.TempDir() + "/slow.exe"));
}

TEST_F(AutoUpdaterTest, NoProgramInstallerNothingToLaunch) {
    CAutoUpdater updater;
    EXPECT_FALSE(updater.LaunchAppInstaller());
    EXPECT_TRUE(mLog.Contains("Shutting down to update app.\n"));
}

/// The hand-over of the program's own update, end to end: a child process
/// plays the program (takes the lock, starts the copied updater, exits);
/// the updater waits for the lock, runs the installer and starts the program
/// again.
TEST_F(AutoUpdaterTest, ProgramUpdateHandsOverToTheUpdater) {
    const std::string out = mFiles.Path();
    const std::string lockPath = CUpdateLock::PathFor(CAutoUpdater::kUpdateLockName);
    mEnv.Env().Set("VBX_TEST_OUT", out);
    mEnv.Env().Set("VBX_TEST_LOCK", lockPath);
    mSim.SetFile("/download/vortlebox-setup.exe",
                 "#!/bin/sh\n"
                 "if flock -n \"$VBX_TEST_LOCK\" true; then s=free; else s=held; fi\n"
                 "[ -e \"$VBX_TEST_OUT/program-exited\" ] && s=\"$s after-exit\"\n"
                 "echo \"$s\" > \"$VBX_TEST_OUT/installer-ran\"\n");
    mSim.SetFile(InfoPath(), "[App]\n" + Record({"Vortlebox", "V/vortlebox",
                                                 Url("/download/vortlebox-setup.exe"), "999", ""}));
    CAutoUpdater updater;
    ASSERT_TRUE(updater.CheckForUpdates());
    ASSERT_TRUE(updater.DownloadUpdates(updater.GetUpdates()));
    ASSERT_TRUE(updater.IsAppUpdatePending());

    // The program's folder: the updater and the program to start again.
    CTempDir programFolder;
    std::filesystem::copy_file(BinDir() + "/Updater.exe", programFolder.File("Updater.exe"));
    WriteExecutable(programFolder.File("vortlebox"),
                    "#!/bin/sh\necho started > \"$VBX_TEST_OUT/program-started\"\n");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 1;
        if (::chdir(programFolder.Path().c_str()) == 0 && updater.LaunchAppInstaller()) {
            // Give an updater that does not wait the chance to run early.
            ::usleep(500 * 1000);
            code = 0;
        }
        WriteFile(out + "/program-exited", "yes\n");
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mLog.Text();

    ASSERT_TRUE(WaitForFile(mFiles.File("program-started"))) << "the program was not started again";
    EXPECT_EQ(ReadFile(mFiles.File("installer-ran")), "free after-exit\n");
    EXPECT_FALSE(FileExists(updater.GetAppInstallerPath().substr(0, updater.GetAppInstallerPath().rfind('/'))))
        << "the updater removes the installer it ran";
    EXPECT_TRUE(FileExists(programFolder.File("UpTemp.exe")));
    EXPECT_TRUE(
        mLog.Contains("Will execute: UpTemp.exe R VortleboxUpdate-BBFA5A2D-4B6F-4d2c-8B2F-02F733C5B02C \"" +
                      updater.GetAppInstallerPath() + "\"\n"))
        << mLog.Text();
    EXPECT_TRUE(mLog.Contains("Executed updater, instance: "));
}

} // namespace
