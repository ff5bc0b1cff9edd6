// The update wizard offscreen against the simulator, driving the real
// auto-updater: real downloads, real installers, and, at the end of a
// program update, the real external updater.
#include "update/wizards/UpdateWizard.h"

#include "res/StringTable.h"
#include "tests/support/TestProcess.h"
#include "tests/update/WizardTestSupport.h"
#include "update/AutoUpdater.h"
#include "update/PluginInfo.h"
#include "update/UpdateLock.h"
#include "update/wizards/WizardCheckListPage.h"
#include "update/wizards/WizardInfoPage.h"
#include "update/wizards/WizardProgressPage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace WizardTest;
using namespace UpdateTest;

namespace {

using UW = CUpdateWizard;

class UpdateWizardTest : public CWizardFixture {
protected:
    /// Checks for updates, then shows the wizard over what was found.
    UW& Make() {
        mUpdater.CheckForUpdates();
        mWizard = std::make_unique<UW>();
        mWizard->SetUpdater(&mUpdater);
        mWizard->show();
        return *mWizard;
    }

    std::vector<std::string> Entries(UW& wizard) const {
        std::vector<std::string> entries;
        CWizardCheckListPage& page = wizard.UpdatesPage();
        for (int row = 0; row < page.Count(); ++row)
            entries.push_back(page.EntryText(row).toStdString() + (page.IsChecked(row) ? " [x]" : " [ ]"));
        return entries;
    }

    /// The update information: these records under [App], [Radio], [Plugins].
    void Serve(const std::string& app, const std::string& radio, const std::string& plugins) {
        mSim.SetFile(InfoPath(), "[App]\n" + app + "[Radio]\n" + radio + "[Plugins]\n" + plugins);
    }
    std::string App(const std::string& version) const {
        return Record({"Vortlebox", "Vortlebox/vortlebox", Url("/download/vortlebox-setup.exe"), version, ""});
    }
    std::string Radio(const std::string& version) const {
        return Record({"Fenwave Radio", "Fenwave Radio/radio", Url("/download/radio-setup.exe"), version, "/S"});
    }
    /// A plug-in of a player present in the Program Files folder.
    std::string Present(const std::string& player, const std::string& exe = "") {
        const std::string path = player + "/" + (exe.empty() ? player : exe);
        if (!FileExists(Pf(path)))
            WriteExecutable(Pf(path), "#!/bin/sh\n");
        return Plugin(player, path, player + "-plugin");
    }
    static void Installed(const std::string& plugin, const std::string& version) {
        WriteRegString(CPluginInfo::kRegistryKeyPrefix + plugin, "Version", version);
    }

    CAutoUpdater mUpdater;
    std::unique_ptr<UW> mWizard;
};

TEST_F(UpdateWizardTest, EntriesShowWhatTheCheckFoundWithTheirSuffixes) {
    WriteRegString("Software\\Fenwave\\Radio", "Version", "0.5");
    Installed("A", "0.9");
    Serve(App("999"), Radio("1.0"), Present("A") + Present("B"));
    UW& wizard = Make();
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Automatic update wizard"));
    EXPECT_EQ(Entries(wizard), (std::vector<std::string>{"Vortlebox (new version) [x]",
                                                         "Fenwave Radio (new version) [x]",
                                                         "A plugin (new version) [x]", "B plugin (not installed) [ ]"}));
    EXPECT_TRUE(Offered(wizard, "nextButton"));
    EXPECT_FALSE(Offered(wizard, "backButton"));
}

TEST_F(UpdateWizardTest, NothingTickedRunsAnEmptyRunAndEndsDone) {
    Serve(App("1.0"), "", Present("B"));
    UW& wizard = Make();
    ASSERT_EQ(Entries(wizard), std::vector<std::string>{"B plugin (not installed) [ ]"});
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, UW::PAGE_DONE)) << LastBoxText();
    EXPECT_EQ(wizard.DonePage().Header(), QStringLiteral("Done"));
    EXPECT_EQ(wizard.DonePage().Info(), QStringLiteral("The updates were successfully installed."));
    EXPECT_TRUE(Offered(wizard, "finishButton"));
    EXPECT_FALSE(Offered(wizard, "nextButton"));
    EXPECT_TRUE(mLog.Contains("We have 0 download tasks\n"));
    ASSERT_TRUE(Click(wizard, "finishButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_TRUE(ReadFile(Installs()).empty());
}

TEST_F(UpdateWizardTest, DecliningToCloseARunningPlayerKeepsTheUpdatesPageAndItsTicks) {
    const std::string exe = UniqueName("vbxplayer");
    std::filesystem::create_directories(Pf("A"));
    std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), Pf("A/" + exe));
    CTestProcess player({Pf("A/" + exe), "60"}, {});
    Installed("A", "0.9");
    Serve(App("1.0"), "", Present("A", exe) + Present("B"));
    UW& wizard = Make();
    wizard.UpdatesPage().SetChecked(1, true);
    const std::vector<std::string> ticked = Entries(wizard);
    ASSERT_EQ(ticked, (std::vector<std::string>{"A plugin (new version) [x]", "B plugin (not installed) [x]"}));

    CMessageBox::SetNextAnswer(QMessageBox::No);
    ASSERT_TRUE(Click(wizard, "nextButton"));
    EXPECT_EQ(LastBoxCaption(), "Detected running player(s)");
    EXPECT_NE(LastBoxText().find("\n\nA\n"), std::string::npos) << LastBoxText();
    PumpUi(200);
    EXPECT_EQ(wizard.currentId(), UW::PAGE_UPDATES);
    EXPECT_EQ(Entries(wizard), ticked);
    EXPECT_TRUE(Offered(wizard, "nextButton"));
    EXPECT_FALSE(player.Wait(std::chrono::milliseconds(0)).has_value()) << "closed although declined";

    CMessageBox::SetNextAnswer(QMessageBox::Yes);
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, UW::PAGE_DONE)) << LastBoxText();
    EXPECT_TRUE(player.Wait(std::chrono::seconds(20)).has_value());
    const std::string installs = ReadFile(Installs());
    EXPECT_NE(installs.find("A-plugin.exe /S /DIR=" + Pf("A/Plugins/")), std::string::npos) << installs;
    EXPECT_NE(installs.find("B-plugin.exe /S /DIR=" + Pf("B/Plugins/")), std::string::npos) << installs;
}

TEST_F(UpdateWizardTest, FailedDownloadSaysSoAndGoesBackToTheUpdates) {
    Installed("A", "0.9");
    Serve(App("1.0"), "", Present("A"));
    mSim.SetBehaviour(ERole::Static, "/download/", {CFenwaveSimulator::EMode::Status, 0, 500});
    UW& wizard = Make();
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForUi([] { return CMessageBox::LastShown().has_value(); }));
    EXPECT_EQ(LastBoxText(), CWizardSheet::Text(IDS_DOWNLOAD_FAILED).toStdString());
    ASSERT_TRUE(WaitForPage(wizard, UW::PAGE_UPDATES));
    EXPECT_TRUE(Offered(wizard, "nextButton"));
    EXPECT_EQ(Entries(wizard), std::vector<std::string>{"A plugin (new version) [x]"});

    // Once the host answers again, the same entries go through.
    mSim.ClearBehaviour(ERole::Static, "/download/");
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, UW::PAGE_DONE)) << LastBoxText();
}

TEST_F(UpdateWizardTest, CancelWhileDownloadingStopsTheRunAndItsWorker) {
    Installed("A", "0.9");
    Serve(App("1.0"), "", Present("A"));
    mSim.SetGeneratedFile("/download/A-plugin.exe", 4 << 20, 16 << 10);
    UW& wizard = Make();
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_EQ(wizard.currentId(), UW::PAGE_PROGRESS);
    EXPECT_FALSE(Offered(wizard, "nextButton"));
    EXPECT_FALSE(Offered(wizard, "backButton"));
    // The download is under way, and the page follows it.
    ASSERT_TRUE(WaitForUi([&] { return !wizard.ProgressPage().StatusText().isEmpty(); }));
    EXPECT_TRUE(wizard.HasWorker());
    ASSERT_TRUE(Click(wizard, "cancelButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_FALSE(wizard.HasWorker());
    EXPECT_TRUE(mLog.Contains("mpUpdater.Cancel called, waiting for thread to finish\n"));
    EXPECT_TRUE(mLog.Contains("mDowner thread finished\n"));
    EXPECT_TRUE(ReadFile(Installs()).empty());
}

TEST_F(UpdateWizardTest, ProgramUpdateEndsOnTheApplicationUpdatePageWithNext) {
    Serve(App("999"), "", "");
    UW& wizard = Make();
    ASSERT_EQ(Entries(wizard), std::vector<std::string>{"Vortlebox (new version) [x]"});
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, UW::PAGE_DONE)) << LastBoxText();
    EXPECT_EQ(wizard.DonePage().Header(), QStringLiteral("Application update"));
    EXPECT_EQ(wizard.DonePage().Info(), CWizardSheet::Text(IDS_APP_UPDATE_INFO));
    EXPECT_TRUE(Offered(wizard, "nextButton"));
    EXPECT_FALSE(Offered(wizard, "finishButton"));
    // Cancelled here, the downloaded update waits for another time.
    ASSERT_TRUE(Click(wizard, "cancelButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_TRUE(mUpdater.IsAppUpdatePending());
    EXPECT_FALSE(mLog.Contains("Shutting down to update app.\n"));
}

/// The whole hand-over, with the program played by a process of its own
/// (update-wizard-run), since the external updater waits for the program to
/// exit: the wizard starts the updater and asks for the shutdown, the
/// program exits, the updater runs the new installer and starts the program
/// again.
TEST_F(UpdateWizardTest, ProgramUpdateHandsOverToTheUpdaterAndTheProgramStartsAgain) {
    const std::string out = mFiles.Path();
    mEnv.Env().Set("VBX_TEST_OUT", out);
    mEnv.Env().Set("VBX_TEST_LOCK", CUpdateLock::PathFor(CAutoUpdater::kUpdateLockName));
    mSim.SetFile("/download/vortlebox-setup.exe",
                 "#!/bin/sh\n"
                 "if flock -n \"$VBX_TEST_LOCK\" true; then s=free; else s=held; fi\n"
                 "echo \"$s\" > \"$VBX_TEST_OUT/installer-ran\"\n");
    Serve(App("999"), "", "");

    CTempDir program;
    std::filesystem::copy_file(BinDir() + "/Updater.exe", program.File("Updater.exe"));
    WriteExecutable(program.File("vortlebox"), "#!/bin/sh\necho started > \"$VBX_TEST_OUT/program-started\"\n");

    const CTestProcess::CResult run = CTestProcess::Run({BinDir() + "/update-wizard-run", program.Path()},
                                                        std::chrono::seconds(120));
    ASSERT_TRUE(run.exitCode.has_value());
    ASSERT_EQ(*run.exitCode, 0) << run.err << ReadFile(program.File("vortler.log"));

    ASSERT_TRUE(WaitForFile(mFiles.File("program-started"))) << "the program was not started again";
    EXPECT_EQ(ReadFile(mFiles.File("installer-ran")), "free\n");
    EXPECT_TRUE(FileExists(program.File("UpTemp.exe")));
    const std::string log = ReadFile(program.File("vortler.log"));
    EXPECT_NE(log.find("Shutting down to update app.\n"), std::string::npos);
    EXPECT_NE(log.find("Will execute: UpTemp.exe R VortleboxUpdate-BBFA5A2D-4B6F-4d2c-8B2F-02F733C5B02C \""),
              std::string::npos);
}

} // namespace
