#include "player/PlayerListener.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/player/ListenerRunner.h"
#include "tests/player/TestClient.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "ui/controls/ElidedLabel.h"
#include "ui/controls/Hyperlink.h"
#include "ui/controls/JpgStatic.h"
#include "ui/MessageBox.h"
#include "ui/StatusPage.h"
#include "ui/controls/StopWatchProgress.h"
#include "ui/controls/TransparentBitmap.h"
#include "ui/controls/UserNameLabel.h"

#include <QLabel>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <memory>
#include <optional>
#include <string>

namespace {

using ERole = CFenwaveSimulator::ERole;

/// The status window over the real core: settings in a private store, the
/// web submitter talking to the simulator, the listener on a loopback port.
class StatusPageTest : public ::testing::Test {
protected:
    StatusPageTest() {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "SubmitHost", sim.SubmitHost());
        CRegistryUtils::WriteString(key, "WebServiceHost", sim.WebHost());
        CRegistryUtils::WriteString(key, "WebSiteHost", "site.test");
        settings.Restore();
        CUser alice;
        alice.name = "alice";
        alice.passwordHash = md5Hex("secret");
        alice.colour = 2;
        alice.rememberPassword = true;
        alice.submitPlays = true;
        settings.AddUser(alice);
        settings.SetCurrentUser("alice");
        submitter.init("alice", alice.passwordHash, "vbx", "0.1", true);
        EXPECT_TRUE(runner.WaitListening());
        // The handshake is over before a test sets a status of its own.
        EXPECT_TRUE(CPlayerTestBase::WaitUntil([this] { return submitter.GetStatusCode() == kVortleHandshakeOk; }));
    }

    ~StatusPageTest() override {
        page.reset();
        submitter.term();
    }

    /// Makes the page; shown unless asked otherwise.
    CStatusPage& MakePage(bool shown = true) {
        page = std::make_unique<CStatusPage>(listener, submitter, settings);
        if (shown) {
            page->show();
            PumpUi(50);
        }
        return *page;
    }

    std::string Play(const std::string& line) { return Exchange(listener.GetPort(), line + "\n"); }

    template <typename T> T* Control(const char* name) {
        T* control = page->findChild<T*>(QLatin1String(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QString Text(const char* name) { return Control<QLabel>(name)->text(); }
    bool Shown(const char* name) { return Control<QWidget>(name)->isVisibleTo(page.get()); }

    bool WaitForStatus(const QString& text) {
        return WaitForUi([&] { return Text("statusText") == text; });
    }

    std::size_t MetadataRequests() {
        const auto requests = sim.Requests(ERole::Web);
        return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& r) {
            return r.target.rfind("/vbx/metadata.php", 0) == 0;
        }));
    }

    CTestEnvironment env;
    CLogCapture log;
    CFenwaveSimulator sim{{{"alice", "secret"}}};
    CSettingsManager settings;
    CWebSubmitter submitter{settings};
    CPlayerListener listener{0, [this](const std::string& id) {
                                 return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
                             }};
    CListenerRunner runner{listener};
    std::unique_ptr<CStatusPage> page;
};

const char* const kTrack = "START c=test&a=Sim Artist&t=Song One&b=First Album&l=30&p=/music/one.ogg";

TEST_F(StatusPageTest, APlayedTrackIsShownWithItsMetadataAndTheCountdown) {
    MakePage();
    EXPECT_EQ(Control<CUserNameLabel>("userName")->Text(), QStringLiteral("alice"));
    EXPECT_TRUE(Control<CTransparentBitmap>("userIcon")->HasBitmap());
    EXPECT_FALSE(Shown("artistLabel"));

    ASSERT_EQ(Play(kTrack), "OK\n");
    // The player's own texts at once, and the shipped pictures.
    ASSERT_TRUE(WaitForUi([&] { return Text("artistText") == QStringLiteral("Sim Artist"); }));
    EXPECT_EQ(Text("trackText"), QStringLiteral("Song One"));
    EXPECT_EQ(Text("albumText"), QStringLiteral("First Album"));
    EXPECT_TRUE(Shown("artistLabel") && Shown("trackLabel") && Shown("albumLabel"));

    // A 30-second track counts after 15 seconds: one tick in, 14 are left.
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Submitting in 00:14")));
    auto* bar = Control<CStopWatchProgress>("progressBar");
    EXPECT_EQ(bar->Maximum(), 15);
    EXPECT_GE(bar->Position(), 1);
    EXPECT_TRUE(bar->IsActive());

    // The simulator's metadata: tags, similar artists, description, link
    // and both pictures, downloaded into the cache.
    ASSERT_TRUE(WaitForUi([&] { return !Text("similarText").isEmpty(); }));
    EXPECT_EQ(Text("tagsText"), QStringLiteral("rock, simulated tags"));
    EXPECT_EQ(Text("similarText"), QStringLiteral("Similar One, Similar Two"));
    EXPECT_EQ(Text("descriptionText"), QStringLiteral("Sim Artist is a simulated artist link."));
    EXPECT_TRUE(Shown("tagsLabel") && Shown("similarLabel") && Shown("aboutLabel"));
    auto* link = Control<CHyperlink>("wikiLink");
    EXPECT_TRUE(link->isVisibleTo(page.get()));
    EXPECT_EQ(link->text(), QStringLiteral("Read more..."));
    EXPECT_EQ(link->Url(), QStringLiteral("http://site.test/music/Sim+Artist/+wiki"));
    for (const char* name : {"albumPicture", "artistPicture"}) {
        auto* picture = Control<CJpgStatic>(name);
        EXPECT_TRUE(picture->HasPicture()) << name;
        EXPECT_TRUE(picture->ImagePath().startsWith(QString::fromStdString(env.DataHome() + "/Fenwave/Cache/")))
            << picture->ImagePath().toStdString();
    }
    EXPECT_TRUE(log.Contains("GetMetaDataThread started at: 0x"));

    // The same track reported again changes nothing and fetches nothing.
    const std::size_t requests = MetadataRequests();
    ASSERT_EQ(Play(kTrack), "OK\n");
    PumpUi(300);
    EXPECT_EQ(Text("similarText"), QStringLiteral("Similar One, Similar Two"));
    EXPECT_TRUE(page->IsWorkerIdle());
    EXPECT_EQ(MetadataRequests(), requests);

    // Stopped: the display is cleared.
    ASSERT_EQ(Play("STOP c=test"), "OK\n");
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Stopped")));
    EXPECT_TRUE(Text("artistText").isEmpty());
    EXPECT_FALSE(Control<CJpgStatic>("albumPicture")->HasPicture());
    EXPECT_FALSE(link->isVisibleTo(page.get()));
}

TEST_F(StatusPageTest, EachSubmissionStatusShowsItsTextAndBadge) {
    MakePage();
    struct Case {
        int code;
        const char* text;
        bool badge;
    };
    const Case cases[] = {
        {0, "Submitting...", false},
        {3, "Connecting...", false},
        {4, "Waiting", false},
        {7, "Connection problem, caching tracks", false},
        {8, "The username is unknown", true},
        {12, "Submission failed, caching tracks", false},
        {14, "The password is incorrect", true},
        {17, "Waiting", false},
        {1, "Waiting", false}, // should not occur: the text stays
        {11, "Submitted", false},
    };
    auto* info = Control<CTransparentBitmap>("infoButton");
    auto* status = Control<CElidedLabel>("statusText");
    const int plainLeft = page->DluX(98);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        submitter.statusUpdate(c.code, "server says " + std::to_string(c.code));
        if (c.code == kVortleNotHandshaken) {
            ASSERT_TRUE(WaitForUi([&] { return log.Contains("Vortle status 1 shouldn't exist.\n"); }));
        }
        ASSERT_TRUE(WaitForStatus(QString::fromLatin1(c.text)));
        EXPECT_EQ(Shown("warningBadge"), c.badge);
        EXPECT_EQ(info->BitmapId(), c.badge ? 210 : 209);
        if (c.badge) {
            EXPECT_GT(status->x(), Control<QWidget>("warningBadge")->geometry().right());
        } else {
            EXPECT_EQ(status->x(), plainLeft);
        }
    }
    EXPECT_TRUE(Control<CStopWatchProgress>("progressBar")->IsShowingSubmitted());

    // The "More info" box explains the current status.
    CMessageBox::Reset();
    CMessageBox::SetNextAnswer(QMessageBox::Ok);
    submitter.statusUpdate(9, "Handshake failed: no route");
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Connection problem, caching tracks")));
    page->ShowMoreInfo();
    const std::optional<CMessageBox::CShown> box = CMessageBox::LastShown();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->caption, QStringLiteral("More info"));
    EXPECT_EQ(box->icon, QMessageBox::Information);
    EXPECT_TRUE(box->text.startsWith(
        QStringLiteral("The last status message returned by the server was: \n\nHandshake failed: no route\n\n"
                       "Vortlebox failed to contact the Fenwave web server.")));
    EXPECT_TRUE(box->text.contains(QStringLiteral("by going to http://%1/. If").arg(
        QString::fromStdString(sim.SubmitHost()))));
    CMessageBox::Reset();
}

TEST_F(StatusPageTest, APinnedStatusIsNotOverwritten) {
    MakePage();
    submitter.statusUpdate(14, "Password rejected");
    ASSERT_TRUE(WaitForStatus(QStringLiteral("The password is incorrect")));

    ASSERT_EQ(Play(kTrack), "OK\n");
    auto* bar = Control<CStopWatchProgress>("progressBar");
    ASSERT_TRUE(WaitForUi([&] { return bar->Position() >= 2; }));
    EXPECT_EQ(Text("statusText"), QStringLiteral("The password is incorrect"));

    // The switch turns vortling off, yet the text stays.
    auto* vortlingSwitch = Control<CTransparentBitmap>("vortlingSwitch");
    emit vortlingSwitch->clicked();
    ASSERT_TRUE(WaitForUi([&] { return vortlingSwitch->BitmapId() == 212; }));
    EXPECT_FALSE(settings.GetCurrentUser().submitPlays);
    EXPECT_FALSE(bar->IsActive());
    EXPECT_EQ(bar->Position(), 0);
    EXPECT_EQ(Text("statusText"), QStringLiteral("The password is incorrect"));

    // Once the status is no longer pinned the switch speaks.
    submitter.statusUpdate(4, "Handshake successful.");
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Waiting")));
    emit vortlingSwitch->clicked();
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Vortling enabled")));
    EXPECT_EQ(vortlingSwitch->BitmapId(), 211);
}

TEST_F(StatusPageTest, ATrackThatWillNotCountFetchesNoMetadata) {
    MakePage();
    ASSERT_EQ(Play("START c=test&a=Sim Artist&t=Short&b=Jingles&l=20&p=/music/short.ogg"), "OK\n");
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Track will not be submitted")));
    EXPECT_EQ(Text("trackText"), QStringLiteral("Short"));
    auto* bar = Control<CStopWatchProgress>("progressBar");
    EXPECT_FALSE(bar->IsActive());
    PumpUi(1500);
    EXPECT_EQ(bar->Position(), 0);
    EXPECT_TRUE(page->IsMetaDataRequested());

    // The next track that counts is the first whose metadata is asked for.
    ASSERT_EQ(Play(kTrack), "OK\n");
    ASSERT_TRUE(WaitForUi([&] { return !Text("similarText").isEmpty(); }));
    const auto requests = sim.Requests(ERole::Web);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(MetadataRequests(), 1u);
    EXPECT_NE(requests.front().target.find("track=Song+One"), std::string::npos) << requests.front().target;
}

TEST_F(StatusPageTest, AHiddenWindowFetchesTheMetadataWhenFirstShown) {
    sim.SetMetadata("/vbx/artistmetadata.php", CFenwaveSimulator::QuotedFields({"Sim Artist", "", "", ""}));
    MakePage(false);
    ASSERT_EQ(Play(kTrack), "OK\n");
    ASSERT_TRUE(WaitForUi([&] { return Text("artistText") == QStringLiteral("Sim Artist"); }));
    PumpUi(500);
    EXPECT_EQ(MetadataRequests(), 0u);
    EXPECT_FALSE(page->IsMetaDataRequested());

    page->show();
    auto* link = Control<CHyperlink>("wikiLink");
    ASSERT_TRUE(WaitForUi([&] { return link->isVisibleTo(page.get()); }));
    EXPECT_EQ(MetadataRequests(), 1u);
    // No description: the link asks for one, still pointing at the page.
    EXPECT_EQ(link->text(), QStringLiteral("Write a description..."));
    EXPECT_EQ(link->Url(), QStringLiteral("http://site.test/music/Sim+Artist/+wiki"));
    EXPECT_FALSE(Shown("aboutLabel"));
    EXPECT_FALSE(Shown("similarLabel"));
}

// Tracks skipped quickly while the web service trickles its answers, a
// byte a second: each new track stops the fetch of the one before, and a
// cancel that lands before the fetch has started is not lost (the window's
// thread would wait out the whole trickle, minutes, and freeze).
TEST_F(StatusPageTest, SkippingTracksWhileTheServiceTricklesNeverFreezesTheWindow) {
    CScriptedServer::Script trickle{CScriptedServer::Step::ReadRequest(),
                                    CScriptedServer::Step::Send("HTTP/1.0 200 OK\r\n\r\n")};
    for (const auto& step : CScriptedServer::SendInPieces(std::string(600, 'x'), 1, std::chrono::seconds(1)))
        trickle.push_back(step);
    CScriptedServer service({trickle});
    CRegistryUtils::WriteString(CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true), "WebServiceHost",
                                service.HostPort());
    MakePage();
    // Each fetch begins late: the next track's stop comes before it.
    page->SetFetchStartHook([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    // A frozen window would hold this thread: the watchdog tells.
    std::atomic<bool> done{false};
    std::thread watchdog([&done] {
        for (int i = 0; i < 600 && !done.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done.load()) {
            std::fprintf(stderr, "the status window froze while tracks were skipped\n");
            std::abort();
        }
    });
    for (int track = 1; track <= 4; ++track) {
        const std::string title = "Skipped " + std::to_string(track);
        ASSERT_EQ(Play("START c=test&a=Trickle Artist&t=" + title + "&b=&l=300&p=/music/s.ogg"), "OK\n");
        ASSERT_TRUE(WaitForUi([&] { return Text("trackText") == QString::fromStdString(title); }));
    }
    // The last track's fetch is trickling now; closing the window stops it.
    EXPECT_TRUE(WaitForUi([&] { return service.Connections() >= 1; }));
    page.reset();
    done.store(true);
    watchdog.join();
}

} // namespace
