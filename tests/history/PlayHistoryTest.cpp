// The history as the program records it: real connections and a real
// submitter report to it, and the SQLite file is read back.
#include "history/PlayHistory.h"

#include "history/PlayOutcome.h"
#include "settings/IgnoreList.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/player/PlayerTestBase.h"
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;
using CPlay = CHistoryStore::CPlay;

std::string StartLine(const std::string& artist, const std::string& title, const std::string& length,
                      const std::string& path = "/music/a.mp3") {
    return "START c=p&a=" + artist + "&t=" + title + "&b=Album&m=&l=" + length + "&p=" + path;
}

class PlayHistoryTest : public ::testing::Test, public CPlayerTestBase {
protected:
    PlayHistoryTest() { mHistory.Start(); }
    ~PlayHistoryTest() override { mHistory.Close(); }

    std::shared_ptr<CPlayerConnection> Connection(const std::string& id) {
        auto connection = MakeConnection(id);
        connection->SetRecorder(&mHistory);
        return connection;
    }

    /// alice's plays, oldest first, once everything recorded is written.
    std::vector<CPlay> Plays(const std::string& user = "alice") {
        mHistory.Flush();
        std::vector<CPlay> plays;
        if (auto store = CHistoryStore::OpenForReading(mHistory.FilePathOf(user)))
            store->ForEach({}, [&](const CPlay& play) { plays.push_back(play); });
        return plays;
    }

public:
    void ChangeAlice(const std::function<void(CUser&)>& change) {
        CUser user = mSettings.GetUser("alice");
        change(user);
        mSettings.UpdateUser(user);
    }
    void SetCurrentUser(const std::string& name) { mSettings.SetCurrentUser(name); }

protected:
    CPlayHistory mHistory{mSettings};
};

struct OutcomeCase {
    const char* name;
    std::string line;
    /// What happens after the START.
    std::function<void(CPlayerConnection&, PlayHistoryTest&)> then;
    const char* outcome;
};

void Nothing(CPlayerConnection&, PlayHistoryTest&) {}
void Stop(CPlayerConnection& c, PlayHistoryTest&) {
    c.OnStop(CPlayerCommand());
}
void Goal(CPlayerConnection& c, PlayHistoryTest&) {
    c.GoalReached();
}

TEST_F(PlayHistoryTest, EachPlayIsRecordedWithWhatBecameOfIt) {
    ChangeAlice([](CUser& user) { user.exclusionDirs = {"/podcasts"}; });
    const OutcomeCase cases[] = {
        {"playing", StartLine("A", "Playing", "200"), Nothing, "playing"},
        {"goal reached", StartLine("A", "Goal", "200"), Goal, "waiting"},
        {"stopped", StartLine("A", "Stopped", "200"), Stop, "stopped-early"},
        {"stopped after its goal", StartLine("A", "Kept", "200"),
         [](CPlayerConnection& c, PlayHistoryTest& t) { Goal(c, t), Stop(c, t); }, "waiting"},
        {"too short", StartLine("A", "Short", "29"), Stop, "too-short"},
        {"no length", StartLine("A", "Endless", ""), Stop, "no-length"},
        {"excluded folder", StartLine("A", "Talk", "200", "/podcasts/t.mp3"), Nothing, "excluded-folder"},
        {"no artist", StartLine("", "Nameless", "200"), Nothing, "incomplete"},
        {"vortling off", StartLine("A", "Private", "200"),
         [](CPlayerConnection& c, PlayHistoryTest& t) {
             t.ChangeAlice([](CUser& user) { user.submitPlays = false; });
             c.GoalReached();
             t.ChangeAlice([](CUser& user) { user.submitPlays = true; });
         },
         "vortling-off"},
        // Filed under the user of its start, with why it went nowhere.
        {"logged out before the goal", StartLine("A", "Alone", "200"),
         [](CPlayerConnection& c, PlayHistoryTest& t) {
             t.SetCurrentUser("");
             c.GoalReached();
             t.SetCurrentUser("alice");
         },
         "no-user"},
        // The next START ends the play before it.
        {"skipped", StartLine("A", "Skipped", "200"),
         [](CPlayerConnection& c, PlayHistoryTest&) { c.OnStart(Command(StartLine("A", "Next", "200"))); },
         "stopped-early"},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = Plays().size();
        auto connection = Connection("p");
        connection->OnStart(Command(c.line));
        c.then(*connection, *this);
        const std::vector<CPlay> plays = Plays();
        ASSERT_GT(plays.size(), before);
        EXPECT_EQ(CPlayOutcome::Key(plays[before].outcome), std::string(c.outcome));
        // Ends whatever the case left playing.
        connection->OnStop(CPlayerCommand());
    }
    // A play of the same track on another player at once is its mirror.
    auto first = Connection("org.mpris.MediaPlayer2.one");
    auto second = Connection("org.mpris.MediaPlayer2.two");
    CMprisPlayers::Record({"one", "Player One", 1});
    first->OnStart(Command(StartLine("M", "Twice", "200")));
    second->OnStart(Command(StartLine("M", "Twice", "200")), "org.mpris.MediaPlayer2.one");
    std::vector<CPlay> plays = Plays();
    ASSERT_EQ(plays.size(), std::size(cases) + 3); // "skipped" started one more
    EXPECT_EQ(plays.end()[-2].outcome, EPlayOutcome::kCounting);
    EXPECT_EQ(plays.end()[-2].player, "Player One");
    EXPECT_EQ(plays.end()[-2].plugin, "org.mpris.MediaPlayer2.one");
    EXPECT_EQ(plays.end()[-1].outcome, EPlayOutcome::kMirror);
    EXPECT_EQ(plays.end()[-1].player, "two"); // not recorded by the bridge yet

    // Unticked while it plays: the bridge stops the player's play.
    CRegistryKey key = CRegistryUtils::OpenKey(CIgnoreList::kKey, true);
    CRegistryUtils::WriteString(key, CIgnoreList::kValue, "one");
    CRegistryUtils::CloseKey(key);
    first->OnStop(CPlayerCommand());
    second->OnStop(CPlayerCommand());
    plays = Plays();
    EXPECT_EQ(plays.end()[-2].outcome, EPlayOutcome::kIgnoredPlayer);
    EXPECT_EQ(plays.end()[-1].outcome, EPlayOutcome::kMirror);

    struct stat info {};
    ASSERT_EQ(::stat(mHistory.FilePathOf("alice").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(PlayHistoryTest, APlayIsFiledUnderTheUserOfItsStart) {
    CUser bob;
    bob.name = "bob";
    bob.submitPlays = true;
    mSettings.AddUser(bob);
    auto connection = Connection("p");
    connection->OnStart(Command(StartLine("A", "Alice's", "200")));
    mSettings.SetCurrentUser("bob");
    connection->OnStop(CPlayerCommand());
    connection->OnStart(Command(StartLine("B", "Bob's", "200")));
    connection->GoalReached();

    const std::vector<CPlay> alices = Plays("alice"), bobs = Plays("bob");
    ASSERT_EQ(alices.size(), 1u);
    EXPECT_EQ(alices[0].title, "Alice's");
    EXPECT_EQ(alices[0].outcome, EPlayOutcome::kStoppedEarly);
    ASSERT_EQ(bobs.size(), 1u);
    EXPECT_EQ(bobs[0].title, "Bob's");
    EXPECT_EQ(bobs[0].outcome, EPlayOutcome::kWaiting);
    EXPECT_EQ(mHistory.CurrentUser(), "bob");
}

struct ReconcileCase {
    const char* name;
    EPlayOutcome before;
    bool inQueue;
    bool queueReadable;
    EPlayOutcome after;
};

TEST(HistoryStoreTest, PlaysLeftOpenBySuddenEndAreSettledAgainstTheQueue) {
    const ReconcileCase cases[] = {
        {"counting, queued", EPlayOutcome::kCounting, true, true, EPlayOutcome::kWaiting},
        {"counting, not queued", EPlayOutcome::kCounting, false, true, EPlayOutcome::kStoppedEarly},
        {"counting, queue unreadable", EPlayOutcome::kCounting, false, false, EPlayOutcome::kStoppedEarly},
        {"waiting, queued", EPlayOutcome::kWaiting, true, true, EPlayOutcome::kWaiting},
        {"waiting, sent", EPlayOutcome::kWaiting, false, true, EPlayOutcome::kSubmitted},
        {"waiting, queue unreadable", EPlayOutcome::kWaiting, false, false, EPlayOutcome::kWaiting},
        {"too short stays", EPlayOutcome::kTooShort, true, true, EPlayOutcome::kTooShort},
        {"held back stays", EPlayOutcome::kHeldBack, false, true, EPlayOutcome::kHeldBack},
    };
    CTestEnvironment env;
    for (const ReconcileCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = env.DataHome() + "/reconcile.db";
        std::remove(path.c_str());
        auto store = CHistoryStore::OpenForWriting(path);
        CPlay play;
        play.start = 1700000000;
        play.artist = "A";
        play.title = "T";
        play.outcome = c.before;
        store->Begin();
        const std::int64_t id = store->Insert(play);
        store->Commit();
        std::optional<std::vector<std::time_t>> queue;
        if (c.queueReadable)
            queue = c.inQueue ? std::vector<std::time_t>{1699999999, play.start} : std::vector<std::time_t>{};
        EXPECT_EQ(store->Reconcile(queue), c.before == c.after ? 0 : 1);
        const std::vector<CPlay> page = store->Page({}, 0, 10);
        ASSERT_EQ(page.size(), 1u);
        EXPECT_EQ(page[0].id, id);
        EXPECT_EQ(page[0].outcome, c.after);
        // The moment of a sending nobody recorded is unknown.
        EXPECT_FALSE(page[0].acked.has_value());
    }
}

// The submitter's queue and the history, with the post of one play held by
// the server while the person holds back that play and a later one.
TEST_F(PlayHistoryTest, HoldingBackRacesAPostInFlight) {
    CScriptedServer posts({{Step::ReadRequest(), Step::Hold(), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")},
                           {Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")}});
    CScriptedServer handshakes(
        {{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nUPTODATE\nc\n" + posts.Url("/s") + "\n")}});
    SetServerHosts(handshakes.HostPort(), handshakes.HostPort());
    CPlayRecorder::Install(&mHistory);
    CWebSubmitter submitter(mSettings);
    submitter.setTimeLimits(5s, 60s);
    submitter.init("alice", "5f4dcc3b5aa765d61d8327deb882cf99", "vbx", "0.1", true);

    const auto play = [&](const std::string& title, std::time_t start) {
        Track track;
        track.Set("Artist", title, "Album", "200", "/music/" + title + ".mp3", "");
        track.SetStartTime(static_cast<std::int32_t>(start));
        mHistory.Started("p", track, EPlayOutcome::kCounting);
        mHistory.Reached("p", EPlayOutcome::kWaiting);
        submitter.Submit(track);
    };
    const std::time_t a = 1700000000, b = a + 300, c = a + 600;
    play("Sent", a);
    ASSERT_TRUE(WaitUntil([&] { return posts.Received(0).find("&t[0]=Sent") != std::string::npos; }));
    play("Kept", b);
    // Waiting for its answer, the play on its way cannot be held back; the
    // one behind it can, and its rewritten queue is on disk at once.
    EXPECT_EQ(submitter.HoldBack(a), CWebSubmitter::EHoldBack::kBeingSent);
    EXPECT_EQ(submitter.HoldBack(b), CWebSubmitter::EHoldBack::kHeldBack);
    EXPECT_EQ(submitter.HoldBack(b), CWebSubmitter::EHoldBack::kNotWaiting);
    EXPECT_EQ(CWebSubmitter::PendingStartTimes(mSettings.GetUserDir(), "alice"), std::vector<std::time_t>{a});
    EXPECT_TRUE(mLog.Contains("at the person's request: it will not be submitted\n"));

    posts.Release();
    ASSERT_TRUE(WaitUntil([&] { return submitter.pendingCount() == 0; }));
    play("Later", c);
    ASSERT_TRUE(WaitUntil([&] { return submitter.pendingCount() == 0 && posts.Connections() == 2; }));
    submitter.term();
    CPlayRecorder::Install(nullptr);

    EXPECT_EQ(posts.Received(1).find("Kept"), std::string::npos) << posts.Received(1);
    EXPECT_NE(posts.Received(1).find("&t[0]=Later"), std::string::npos);
    const std::vector<CPlay> plays = Plays();
    ASSERT_EQ(plays.size(), 3u);
    const std::map<std::string, EPlayOutcome> expected = {
        {"Sent", EPlayOutcome::kSubmitted}, {"Kept", EPlayOutcome::kHeldBack}, {"Later", EPlayOutcome::kSubmitted}};
    for (const CPlay& p : plays) {
        SCOPED_TRACE(p.title);
        EXPECT_EQ(p.outcome, expected.at(p.title));
        EXPECT_EQ(p.acked.has_value(), p.outcome == EPlayOutcome::kSubmitted);
    }
}

} // namespace
