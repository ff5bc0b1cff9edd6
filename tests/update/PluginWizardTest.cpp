// The plug-in wizard offscreen against the simulator, with real downloads
// and real installers (the simulator's shell scripts).
#include "update/wizards/PluginWizard.h"

#include "res/StringTable.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/support/TestProcess.h"
#include "tests/update/WizardTestSupport.h"
#include "update/wizards/AddPlayerDialog.h"
#include "update/wizards/WizardCheckListPage.h"
#include "update/wizards/WizardInfoPage.h"
#include "update/wizards/WizardLoginPage.h"
#include "update/wizards/WizardProgressPage.h"
#include "update/wizards/WizardRadioPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace WizardTest;
using namespace UpdateTest;

namespace {

using W = CPluginWizard;

class PluginWizardTest : public CWizardFixture {
protected:
    /// The wizard over a web submitter that has not been started, as at the
    /// first start of the program.
    W& Make(int modes) {
        mWizard = std::make_unique<W>(modes, mSettings, mClient);
        mWizard->show();
        return *mWizard;
    }

    /// From the welcome page through the login page as alice.
    void LogIn(W& wizard) {
        ASSERT_EQ(wizard.currentId(), W::PAGE_WELCOME);
        ASSERT_TRUE(Click(wizard, "nextButton"));
        ASSERT_EQ(wizard.currentId(), W::PAGE_LOGIN);
        wizard.LoginPage().findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QStringLiteral("alice"));
        wizard.LoginPage().findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
        ASSERT_TRUE(Click(wizard, "nextButton"));
        ASSERT_EQ(wizard.currentId(), W::PAGE_DETECTION) << LastBoxText();
    }

    /// From the detection page to the selection page.
    void Detect(W& wizard) {
        ASSERT_EQ(wizard.currentId(), W::PAGE_DETECTION);
        ASSERT_TRUE(Click(wizard, "nextButton"));
        ASSERT_TRUE(WaitForPage(wizard, W::PAGE_SELECTION)) << LastBoxText();
    }

    std::vector<std::string> Entries(W& wizard) const {
        std::vector<std::string> entries;
        CWizardCheckListPage& page = wizard.SelectionPage();
        for (int row = 0; row < page.Count(); ++row)
            entries.push_back(page.EntryText(row).toStdString() + (page.IsChecked(row) ? " [x]" : " [ ]"));
        return entries;
    }

    /// A copy of sleep under a name nothing else has, run as a player.
    std::unique_ptr<CTestProcess> RunPlayer(const std::string& relative) {
        std::filesystem::create_directories(std::filesystem::path(Pf(relative)).parent_path());
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), Pf(relative));
        return std::make_unique<CTestProcess>(std::vector<std::string>{Pf(relative), "60"},
                                              CTestProcess::COptions{});
    }

    bool FirstRunPending() const {
        CSettingsManager restarted;
        restarted.Restore();
        return restarted.IsFirstRun();
    }

    CWebSubmitter mClient{mSettings};
    std::unique_ptr<W> mWizard;
};

TEST_F(PluginWizardTest, FirstRunLogsInInstallsThePluginAndTheRadioAndEndsTheFirstRun) {
    CFakePackages::WritePlayer(Pf("DemoPlayer/demoplayer"), "1.5");
    const std::string launched = mFiles.File("radio-launched");
    WriteExecutable(Pf("Fenwave Radio/radio"), "#!/bin/sh\necho launched > " + ShellQuote(launched) + "\n");
    ASSERT_TRUE(mSettings.IsFirstRun());

    W& wizard = Make(W::MODE_FIRST_RUN);
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Vortlebox Wizard"));
    EXPECT_EQ(wizard.WelcomePage().Header(), QStringLiteral("Vortlebox Configuration Wizard"));
    EXPECT_FALSE(Offered(wizard, "backButton"));
    LogIn(wizard);
    const CUser alice = mSettings.GetCurrentUser();
    EXPECT_EQ(alice.name, "alice");
    EXPECT_EQ(alice.passwordHash, md5Hex("secret"));
    EXPECT_TRUE(alice.rememberPassword);
    EXPECT_TRUE(alice.submitPlays);
    EXPECT_FALSE(wizard.DetectionPage().IsExterior());
    EXPECT_TRUE(Offered(wizard, "backButton"));

    Detect(wizard);
    // Only the player that is present; its plug-in is not installed.
    EXPECT_EQ(Entries(wizard), std::vector<std::string>{"Demo Player (plugin not installed) [x]"});
    EXPECT_FALSE(Offered(wizard, "backButton"));
    EXPECT_TRUE(mLog.Contains("DetectPlayerThread starting at: "));
    EXPECT_TRUE(mLog.Contains("DetectPlayerThread finishing.\n"));

    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_EQ(wizard.currentId(), W::PAGE_RADIO);
    EXPECT_EQ(wizard.RadioPage().Text(), CWizardSheet::Text(IDS_RADIO_INSTALL));
    wizard.RadioPage().SetChecked(true);
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();

    EXPECT_EQ(wizard.DonePage().Info(), CWizardSheet::Text(IDS_DONE_LOGIN));
    EXPECT_TRUE(wizard.DonePage().IsChecked());
    EXPECT_TRUE(Offered(wizard, "finishButton"));
    EXPECT_FALSE(Offered(wizard, "nextButton"));
    EXPECT_FALSE(Offered(wizard, "cancelButton"));
    EXPECT_FALSE(mSettings.IsFirstRun());
    // Both installers ran, each with its arguments and install folder.
    const std::string installs = ReadFile(Installs());
    EXPECT_NE(installs.find("demoplayer-plugin.exe /S /DIR=" + Pf("DemoPlayer/Plugins/") + "\n"), std::string::npos)
        << installs;
    EXPECT_NE(installs.find("radio-setup.exe /S /DIR=" + Pf("Fenwave Radio/") + "\n"), std::string::npos)
        << installs;

    ASSERT_TRUE(Click(wizard, "finishButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_TRUE(WaitForFile(launched)) << "the radio was not launched";
    EXPECT_FALSE(FirstRunPending());
    EXPECT_FALSE(wizard.HasWorkers());
}

/// Where a cancel comes, and what holds the wizard there meanwhile.
struct CancelCase {
    const char* name;
    int page;
    std::function<void(PluginWizardTest&, CFenwaveSimulator&)> hold;
    const char* logged;
    /// What the page shows of the work under way meanwhile.
    const char* status;
};

TEST_F(PluginWizardTest, CancelledFirstRunComesBackAtTheNextStart) {
    CFakePackages::WritePlayer(Pf("DemoPlayer/demoplayer"), "1.5");
    const std::vector<CancelCase> cases = {
        {"on the login page", W::PAGE_LOGIN, [](PluginWizardTest&, CFenwaveSimulator&) {}, nullptr, nullptr},
        {"while searching", W::PAGE_SEARCHING,
         [](PluginWizardTest&, CFenwaveSimulator& sim) {
             sim.SetBehaviour(ERole::Static, InfoPath(), {CFenwaveSimulator::EMode::Stall});
         },
         "mDetector thread finished\n", "Retrieving information from Fenwave..."},
        {"while downloading", W::PAGE_DOWNLOADING,
         [](PluginWizardTest&, CFenwaveSimulator& sim) {
             sim.SetGeneratedFile("/download/demoplayer-plugin.exe", 4 << 20, 16 << 10);
         },
         "mFileDowner thread finished\n", "Downloading demoplayer-plugin.exe..."},
    };
    for (const CancelCase& c : cases) {
        SCOPED_TRACE(c.name);
        mSim.Reset();
        mSim.SetInstallerLog(Installs());
        c.hold(*this, mSim);
        W& wizard = Make(W::MODE_FIRST_RUN);
        if (c.page == W::PAGE_LOGIN) {
            ASSERT_TRUE(Click(wizard, "nextButton"));
        } else {
            LogIn(wizard);
            ASSERT_TRUE(Click(wizard, "nextButton"));
            if (c.page == W::PAGE_DOWNLOADING) {
                ASSERT_TRUE(WaitForPage(wizard, W::PAGE_SELECTION));
                ASSERT_TRUE(Click(wizard, "nextButton")); // to the radio page
                ASSERT_TRUE(Click(wizard, "nextButton"));
            }
            ASSERT_EQ(wizard.currentId(), c.page);
            // The worker is under way, and the page follows it.
            CWizardProgressPage& page =
                c.page == W::PAGE_SEARCHING ? wizard.SearchingPage() : wizard.DownloadingPage();
            ASSERT_TRUE(WaitForUi([&] { return page.StatusText() == QLatin1String(c.status); }))
                << page.StatusText().toStdString();
            if (c.page == W::PAGE_DOWNLOADING) {
                EXPECT_TRUE(WaitForUi([&] { return page.Progress() > 0; }));
            }
            EXPECT_TRUE(wizard.HasWorkers());
        }
        ASSERT_EQ(wizard.currentId(), c.page);
        ASSERT_TRUE(Click(wizard, "cancelButton"));
        ASSERT_TRUE(WaitForClosed(wizard));
        EXPECT_EQ(wizard.result(), QDialog::Rejected);
        EXPECT_FALSE(wizard.HasWorkers());
        if (c.logged != nullptr) {
            EXPECT_TRUE(mLog.Contains(c.logged));
        }
        EXPECT_TRUE(FirstRunPending());
        EXPECT_TRUE(ReadFile(Installs()).empty());
    }
}

TEST_F(PluginWizardTest, DecliningToCloseARunningPlayerReturnsToThePageWhereNextWasPressed) {
    const std::string player = UniqueName("vbxplayer");
    const std::string radio = UniqueName("vbxradio");
    ServeInfo(Plugin("Demo Player", "Demo/" + player, "demoplayer-plugin"), "Radio/" + radio);

    struct Case {
        const char* name;
        int mode;
        int page; ///< where Next is pressed, and where declining leads back to
        std::string running;
        std::string installer;
    } const cases[] = {
        {"a player, on the selection page", W::MODE_PLUGIN, W::PAGE_SELECTION, "Demo/" + player,
         "demoplayer-plugin.exe"},
        {"the radio, on the radio page", W::MODE_RADIO, W::PAGE_RADIO, "Radio/" + radio, "radio-setup.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMessageBox::Reset();
        std::unique_ptr<CTestProcess> running = RunPlayer(c.running);
        W& wizard = Make(c.mode);
        if (c.page == W::PAGE_SELECTION)
            Detect(wizard);
        else
            wizard.RadioPage().SetChecked(true);
        ASSERT_EQ(wizard.currentId(), c.page);
        const int buttons = wizard.WizardButtons();

        CMessageBox::SetNextAnswer(QMessageBox::No);
        ASSERT_TRUE(Click(wizard, "nextButton"));
        ASSERT_TRUE(WaitForUi([&] { return CMessageBox::LastShown().has_value(); }));
        EXPECT_EQ(LastBoxCaption(), "Detected running player(s)");
        const std::string name = c.page == W::PAGE_SELECTION ? "Demo Player" : "Fenwave Radio";
        EXPECT_EQ(LastBoxText(), CWizardSheet::Text(IDS_RUNNING_PLAYERS).toStdString() + name + "\n" +
                                     CWizardSheet::Text(IDS_CLOSE_PLAYERS).toStdString());
        ASSERT_TRUE(WaitForPage(wizard, c.page));
        PumpUi(200);
        EXPECT_EQ(wizard.currentId(), c.page);
        EXPECT_EQ(wizard.WizardButtons(), buttons);
        if (c.page == W::PAGE_SELECTION) {
            EXPECT_EQ(Entries(wizard), std::vector<std::string>{"Demo Player (plugin not installed) [x]"});
        } else {
            EXPECT_TRUE(wizard.RadioPage().IsChecked());
        }
        EXPECT_FALSE(running->Wait(std::chrono::milliseconds(0)).has_value()) << "closed although declined";

        // Agreeing closes it and goes on.
        CMessageBox::SetNextAnswer(QMessageBox::Yes);
        ASSERT_TRUE(Click(wizard, "nextButton"));
        ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();
        EXPECT_TRUE(running->Wait(std::chrono::seconds(20)).has_value());
        EXPECT_NE(ReadFile(Installs()).find(c.installer), std::string::npos);
        // The "radio" is a copy of sleep: not to be launched.
        wizard.DonePage().findChild<QCheckBox*>(QStringLiteral("check"))->setChecked(false);
        ASSERT_TRUE(Click(wizard, "finishButton"));
        mWizard.reset();
        std::filesystem::remove(Installs());
    }
}

TEST_F(PluginWizardTest, RadioIsOfferedToInstallOrUpgradeAndSkippedWhenCurrent) {
    struct Case {
        const char* installed; ///< nullptr: not installed
        bool offered;
        int text;
    } const cases[] = {
        {nullptr, true, IDS_RADIO_INSTALL},
        {"0.9", true, IDS_RADIO_UPGRADE},
        {"1.0.0.0", false, 0}, // what the simulator offers
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installed != nullptr ? c.installed : "not installed");
        if (c.installed != nullptr)
            WriteRegString("Software\\Fenwave\\Radio", "Version", c.installed);
        W& wizard = Make(W::MODE_FIRST_RUN);
        LogIn(wizard);
        Detect(wizard);
        ASSERT_TRUE(Click(wizard, "nextButton"));
        if (c.offered) {
            ASSERT_EQ(wizard.currentId(), W::PAGE_RADIO);
            EXPECT_EQ(wizard.RadioPage().Text(), CWizardSheet::Text(c.text));
            EXPECT_TRUE(Offered(wizard, "backButton"));
            EXPECT_NE(wizard.Modes() & W::MODE_RADIO, 0);
        } else {
            ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();
            EXPECT_EQ(wizard.Modes() & W::MODE_RADIO, 0);
            EXPECT_FALSE(wizard.DonePage().IsChecked());
        }
        mWizard.reset();
    }
}

TEST_F(PluginWizardTest, DetectionThatCannotReachTheServerSaysSoAndCancels) {
    WriteRegString("Software\\Fenwave\\Vortlebox", "StaticHost", "127.0.0.1:" + std::to_string(ClosedPort()));
    W& wizard = Make(W::MODE_PLUGIN);
    EXPECT_TRUE(wizard.DetectionPage().IsExterior());
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    const std::string text = LastBoxText();
    EXPECT_EQ(text.rfind(CWizardSheet::Text(IDS_NO_CONNECTION).toStdString() + "\n\nConnection error: ", 0), 0u)
        << text;
    EXPECT_TRUE(mLog.Contains("CConnectionException: Connection error: "));
    EXPECT_FALSE(wizard.HasWorkers());
}

TEST_F(PluginWizardTest, SelectionListsThePresentPlayersWithTheStateOfTheirPlugins) {
    for (const char* player : {"A", "B", "C"})
        CFakePackages::WritePlayer(Pf(std::string(player) + "/" + player), "");
    WriteRegString(CPluginInfo::kRegistryKeyPrefix + std::string("B"), "Version", "0.9");
    WriteRegString(CPluginInfo::kRegistryKeyPrefix + std::string("C"), "Version", "1.0.0.0");
    ServeInfo(Plugin("A", "A/A", "a") + Plugin("B", "B/B", "b") + Plugin("C", "C/C", "c") +
              Plugin("D", "D/D", "d"));
    W& wizard = Make(W::MODE_PLUGIN);
    Detect(wizard);
    EXPECT_EQ(Entries(wizard), (std::vector<std::string>{"A (plugin not installed) [x]",
                                                         "B (new plugin version available) [x]",
                                                         "C (plugin installed) [ ]"}));
}

TEST_F(PluginWizardTest, NothingToInstallRunsAnEmptyDownloadToTheEnd) {
    W& wizard = Make(W::MODE_PLUGIN);
    Detect(wizard);
    EXPECT_TRUE(Entries(wizard).empty());
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();
    EXPECT_TRUE(mLog.Contains("We have 0 download tasks\n"));
    EXPECT_EQ(wizard.DonePage().Info(), CWizardSheet::Text(IDS_DONE_PLUGIN));
    EXPECT_FALSE(wizard.DonePage().IsChecked());
    ASSERT_TRUE(Click(wizard, "finishButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_TRUE(ReadFile(Installs()).empty());
}

TEST_F(PluginWizardTest, RadioModeOffersTheRadioEvenWhenCurrentAndLaunchesItAtFinish) {
    WriteRegString("Software\\Fenwave\\Radio", "Version", "1.0.0.0");
    const std::string launched = mFiles.File("radio-launched");
    WriteExecutable(Pf("Fenwave Radio/radio"), "#!/bin/sh\necho launched > " + ShellQuote(launched) + "\n");
    W& wizard = Make(W::MODE_RADIO);
    ASSERT_EQ(wizard.currentId(), W::PAGE_RADIO);
    EXPECT_EQ(wizard.RadioPage().Text(), CWizardSheet::Text(IDS_RADIO_INSTALL));
    wizard.RadioPage().SetChecked(true);
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();
    EXPECT_EQ(wizard.DonePage().Info(), CWizardSheet::Text(IDS_DONE_RADIO));
    EXPECT_TRUE(wizard.DonePage().IsChecked());
    EXPECT_NE(ReadFile(Installs()).find("radio-setup.exe /S /DIR=" + Pf("Fenwave Radio/")), std::string::npos);
    ASSERT_TRUE(Click(wizard, "finishButton"));
    EXPECT_TRUE(WaitForFile(launched));
    EXPECT_TRUE(mLog.Contains("Launching radio from OnWizFinish: " + Pf("Fenwave Radio/radio") + "\n"));
}

TEST_F(PluginWizardTest, AddedPlayerIsListedTickedAndItsPluginInstalledBesideIt) {
    // Demo Player's plug-in is installed, but the wizard did not find it.
    WriteRegString(CPluginInfo::kRegistryKeyPrefix + std::string("Demo Player"), "Version", "1.0.0.0");
    const std::string player = mFiles.File("elsewhere/demoplayer");
    WriteExecutable(player, "#!/bin/sh\n");
    W& wizard = Make(W::MODE_PLUGIN);
    Detect(wizard);
    ASSERT_TRUE(Entries(wizard).empty());

    ASSERT_TRUE(Click(wizard, "addButton"));
    CAddPlayerDialog* dialog = nullptr;
    ASSERT_TRUE(WaitForUi([&] {
        dialog = wizard.findChild<CAddPlayerDialog*>();
        return dialog != nullptr && dialog->isVisible();
    }));
    auto* players = dialog->findChild<QComboBox*>(QStringLiteral("player"));
    auto* location = dialog->findChild<QLineEdit*>(QStringLiteral("location"));
    ASSERT_EQ(players->count(), 2); // every player of the update information
    EXPECT_EQ(players->currentIndex(), -1);

    struct Case {
        int player;
        std::string location;
        const char* caption;
        const char* text;
    } const refused[] = {
        {-1, player, "Field Empty", "Please select a player and enter a path."},
        {0, "", "Field Empty", "Please select a player and enter a path."},
        {0, mFiles.File("missing"), "File Error", "That file doesn't exist."},
        {0, mFiles.Path(), "File Error", "That file doesn't exist."},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.location);
        CMessageBox::Reset();
        players->setCurrentIndex(c.player);
        location->setText(QString::fromStdString(c.location));
        ASSERT_TRUE(Click(*dialog, "okButton"));
        EXPECT_EQ(LastBoxCaption(), c.caption);
        EXPECT_EQ(LastBoxText(), c.text);
        EXPECT_TRUE(dialog->isVisible());
    }

    // Browse picks the location among the files.
    players->setCurrentIndex(0);
    ASSERT_TRUE(Click(*dialog, "browse"));
    QFileDialog* picker = dialog->FilePicker();
    ASSERT_NE(picker, nullptr);
    picker->selectFile(QString::fromStdString(player));
    static_cast<QDialog*>(picker)->accept();
    EXPECT_EQ(location->text().toStdString(), player);
    ASSERT_TRUE(Click(*dialog, "okButton"));
    ASSERT_TRUE(WaitForUi([&] { return !Entries(wizard).empty(); }));
    EXPECT_EQ(Entries(wizard), std::vector<std::string>{"Demo Player (plugin not installed) [x]"});

    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForPage(wizard, W::PAGE_DONE)) << LastBoxText();
    EXPECT_NE(ReadFile(Installs()).find("/DIR=" + mFiles.File("elsewhere/Plugins/")), std::string::npos)
        << ReadFile(Installs());
}

TEST_F(PluginWizardTest, FailedDownloadSaysSoAndCancels) {
    CFakePackages::WritePlayer(Pf("DemoPlayer/demoplayer"), "1.5");
    mSim.SetBehaviour(ERole::Static, "/download/", {CFenwaveSimulator::EMode::Status, 0, 404});
    W& wizard = Make(W::MODE_PLUGIN);
    Detect(wizard);
    ASSERT_TRUE(Click(wizard, "nextButton"));
    ASSERT_TRUE(WaitForClosed(wizard));
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_EQ(LastBoxText(), CWizardSheet::Text(IDS_DOWNLOAD_FAILED).toStdString());
    EXPECT_TRUE(mLog.Contains("Downloader returned error status, displaying error msg\n"));
    EXPECT_TRUE(ReadFile(Installs()).empty());
}

} // namespace
