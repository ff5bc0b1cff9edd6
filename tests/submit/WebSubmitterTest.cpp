// The web submitter with a real settings manager (its store in a temporary
// folder), the simulator of the submission server and scripted servers.
#include "submit/WebSubmitter.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "tests/submit/StatusRecorder.h"
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;

constexpr std::int32_t kSubmitterPlayTime = 1146486896; // 2006-05-01 12:34:56 UTC

Track MakeTrack(const std::string& artist, const std::string& title, int length, std::int32_t start) {
    Track track;
    track.Set(artist, title, "Album", std::to_string(length), "/music/" + title + ".mp3", "id-" + title);
    track.SetStartTime(start);
    return track;
}

std::string Records(const std::vector<Track>& tracks) {
    std::ostringstream out;
    for (const Track& track : tracks)
        track.Write(out);
    return out.str();
}

class WebSubmitterTest : public ::testing::Test {
protected:
    void SetUp() override {
        mSettings.Restore();
        // Every connection is refused with a 503 unless a test points the
        // client elsewhere: the server is "down".
        SetServerHosts(mDown.HostPort(), mDown.HostPort());
    }

    void AddUser(const std::string& name, const std::string& password, bool makeCurrent) {
        CUser user;
        user.name = name;
        user.passwordHash = md5Hex(password);
        user.submitPlays = true;
        mSettings.AddUser(user);
        if (makeCurrent)
            mSettings.SetCurrentUser(name);
    }

    CWebSubmitter& Submitter() {
        if (!mSubmitter) {
            mSubmitter = std::make_unique<CWebSubmitter>(mSettings);
            mSubmitter->setTimeLimits(1s, 3s);
            mSubmitter->setRetryBaseDelay(10min);
            mRecorder = std::make_unique<CStatusRecorder>(*mSubmitter);
        }
        return *mSubmitter;
    }

    void Init(const std::string& name, const std::string& password) {
        Submitter().init(name, md5Hex(password), "vbx", "0.1", true);
    }

    std::string PendingFile(const std::string& user) {
        return CWebSubmitter::PendingFilePath(mSettings.GetUserDir(), user);
    }
    std::string TentativeFile(const std::string& user) {
        return CWebSubmitter::TentativeFilePath(mSettings.GetUserDir(), user);
    }

    void TearDown() override {
        mRecorder.reset();
        if (mSubmitter)
            mSubmitter->term();
        mSubmitter.reset();
    }

    CTestEnvironment mEnv;
    CScriptedServer mDown{{{Step::ReadRequest(), Step::Send("HTTP/1.0 503 Service Unavailable\r\n\r\n")}}};
    CSettingsManager mSettings;
    std::unique_ptr<CWebSubmitter> mSubmitter;
    std::unique_ptr<CStatusRecorder> mRecorder;
};

// A submitter that shows a test where its other threads meet, and where
// its term saves.
class CWatchedSubmitter : public CWebSubmitter {
public:
    using CWebSubmitter::CWebSubmitter;
    using Point = RacePoint;
    ~CWatchedSubmitter() override { stopThreads(); }

    /// Race points reached by threads other than the test's.
    std::function<void(Point)> onOtherThread;
    /// Called when term has taken its snapshot.
    std::function<void()> atTermSaving;

protected:
    void racePoint(Point point) override {
        if (point == Point::kTermSaving && atTermSaving)
            atTermSaving();
        else if (std::this_thread::get_id() != mTestThread && onOtherThread)
            onOtherThread(point);
    }

private:
    const std::thread::id mTestThread = std::this_thread::get_id();
};

struct SafeCase {
    std::string user, stem;
    friend void PrintTo(const SafeCase& c, std::ostream* os) { *os << c.stem; }
};

class MakeSafeTest : public ::testing::TestWithParam<SafeCase> {};

TEST_P(MakeSafeTest, ReplacesTheNineUnsafeCharacters) {
    CLogCapture log;
    EXPECT_EQ(CWebSubmitter::MakeSafe(GetParam().user), GetParam().stem);
    EXPECT_EQ(CWebSubmitter::PendingFilePath("/d", GetParam().user),
              "/d/" + GetParam().stem + ".vortler.cache");
    EXPECT_EQ(CWebSubmitter::TentativeFilePath("", GetParam().user), GetParam().stem + ".tent.cache");
    EXPECT_EQ(log.Contains("Unsafe char"), GetParam().user != GetParam().stem);
}

INSTANTIATE_TEST_SUITE_P(Names, MakeSafeTest,
                         ::testing::Values(SafeCase{"a/b:c", "aabcc"}, SafeCase{"a:b", "acb"},
                                           SafeCase{"/\\:*?\"<>|", "abcdefghi"}, SafeCase{"alice", "alice"},
                                           SafeCase{"J\xC3\xA9r\xC3\xB4me x", "J\xC3\xA9r\xC3\xB4me x"}));

TEST(MakeSafeLogTest, LogsEachReplacement) {
    CLogCapture log;
    CWebSubmitter::MakeSafe("a/b:c");
    EXPECT_TRUE(log.Contains("Unsafe char '/' found in username: a/b:c. Replacing with 'a'\n"));
    EXPECT_TRUE(log.Contains("Unsafe char ':' found in username: a/b:c. Replacing with 'c'\n"));
}

TEST_F(WebSubmitterTest, StartsWithStatus17AndUpdateBeforeInitDoesNothing) {
    AddUser("alice", "secret", true);
    CWebSubmitter& submitter = Submitter();
    EXPECT_EQ(submitter.GetStatusCode(), kVortleNotStarted);
    submitter.Update();
    EXPECT_EQ(submitter.userName(), "");
    EXPECT_EQ(submitter.passwordHash(), "");
    EXPECT_EQ(mRecorder->Notifications(), 0);
    EXPECT_EQ(submitter.GetStatusCode(), kVortleNotStarted);
}

struct ProxyCase {
    const char* name;
    CProxySettings proxy;
    std::string expectedLog;
    std::string expectedString;
    friend void PrintTo(const ProxyCase& c, std::ostream* os) { *os << c.name; }
};

class WebSubmitterProxyTest : public WebSubmitterTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(WebSubmitterProxyTest, UpdateHandsTheProxyAddressToTheClient) {
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    CLogCapture log;
    mSettings.SetProxySettings(GetParam().proxy);
    EXPECT_TRUE(log.Contains(GetParam().expectedLog)) << log.Text();
    EXPECT_EQ(Submitter().proxyString(), GetParam().expectedString);
    EXPECT_FALSE(log.Contains("pw12"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WebSubmitterProxyTest,
    ::testing::Values(ProxyCase{"HostAndPort",
                                {"proxy", 8080, "", "", true},
                                "host=proxy:8080 user= pass=\n",
                                "@proxy:8080"},
                      ProxyCase{"PortZero",
                                {"proxy", 0, "bob", "pw12", true},
                                "host=proxy user=bob pass=****\n",
                                "bob:pw12@proxy"},
                      ProxyCase{"Disabled", {"proxy", 8080, "bob", "pw12", false}, "host= user= pass=\n", ""},
                      ProxyCase{"EmptyHost", {"", 8080, "bob", "pw12", true}, "host= user= pass=\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WebSubmitterTest, StoredProxyCarriesTheFirstHandshake) {
    CScriptedServer proxy({{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nBADUSER\n")}});
    const std::string port = std::to_string(proxy.Port());
    mSettings.SetProxySettings({"127.0.0.1", proxy.Port(), "", "", true});
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    ASSERT_TRUE(mRecorder->WaitFor(kVortleBadUser));
    ASSERT_TRUE(WaitUntil([&] { return proxy.Received(0).find("\r\n\r\n") != std::string::npos; }));
    EXPECT_EQ(proxy.Received(0).rfind("GET http://" + mDown.HostPort() +
                                          "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice "
                                          "HTTP/1.0\r\n",
                                      0),
              0u)
        << proxy.Received(0);
}

TEST_F(WebSubmitterTest, TentativeListKeepsTheLastFiveAcceptedTracks) {
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    CLogCapture log;
    Submitter().Submit(MakeTrack("Short", "S", 29, kSubmitterPlayTime));
    EXPECT_TRUE(log.Contains("libvortler addSong returned error code 0 for song 'Short - S'.\n"));
    for (int i = 0; i < 6; ++i)
        Submitter().Submit(MakeTrack("A", "T" + std::to_string(i), 200, kSubmitterPlayTime + 600 * i));
    Submitter().Submit(MakeTrack("Again", "T9", 200, kSubmitterPlayTime));
    EXPECT_TRUE(log.Contains("libvortler addSong returned error code 3 for song 'Again - T9'.\n"));
    EXPECT_TRUE(log.Contains("Putting 'A - T5' in tentative\n"));

    const std::vector<Track> tentative = Submitter().GetTentative();
    ASSERT_EQ(tentative.size(), 5u);
    EXPECT_EQ(tentative.front().GetRawTitle(), "T1");
    EXPECT_EQ(tentative.back().GetRawTitle(), "T5");
    EXPECT_EQ(Submitter().pendingCount(), 6);
    // The writer thread puts every accepted track on disk.
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(PendingFile("alice")) == "6 " + Submitter().pendingData(); }));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(TentativeFile("alice")) == Records(tentative); }));
}

TEST_F(WebSubmitterTest, SubmitsToTheSimulatorAndEmptiesListAndFiles) {
    CFenwaveSimulator sim(std::vector<std::pair<std::string, std::string>>{{"alice", "secret"}});
    SetServerHosts(sim.SubmitHost(), sim.WebHost());
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    ASSERT_TRUE(mRecorder->WaitFor(kVortleHandshakeOk));
    Submitter().Submit(MakeTrack("AC/DC & Friends", "Caf\xC3\xA9", 215, kSubmitterPlayTime));
    ASSERT_TRUE(sim.WaitForSubmissions(1));
    ASSERT_TRUE(mRecorder->WaitFor(kVortleSubmitOk));
    const auto entries = sim.SubmittedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].user, "alice");
    EXPECT_EQ(entries[0].artist, "AC/DC & Friends");
    EXPECT_EQ(entries[0].title, "Caf\xC3\xA9");
    EXPECT_EQ(entries[0].playTime, "2006-05-01 12:34:56");
    EXPECT_EQ(entries[0].length, "215");
    EXPECT_EQ(entries[0].trackId, "id-Caf\xC3\xA9");
    EXPECT_TRUE(Submitter().GetTentative().empty());
    EXPECT_EQ(Submitter().GetStatusText(), "Submission succeeded.");
    EXPECT_EQ(ReadFile(PendingFile("alice")), "0 ");
    EXPECT_EQ(ReadFile(TentativeFile("alice")), "");
    EXPECT_EQ(sim.Requests(CFenwaveSimulator::ERole::Submit).back().Header("User-Agent"),
              "Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)");
}

TEST_F(WebSubmitterTest, VerifyUserAgainstTheSimulator) {
    CFenwaveSimulator sim(std::vector<std::pair<std::string, std::string>>{{"alice", "secret"}});
    SetServerHosts(sim.SubmitHost(), sim.WebHost());
    EXPECT_EQ(Submitter().verifyUser("alice", "secret", false), 0);
    EXPECT_EQ(Submitter().verifyUser("nobody", "secret", false), 1);
    EXPECT_EQ(Submitter().verifyUser("alice", md5Hex("wrong"), true), 2);
}

TEST_F(WebSubmitterTest, UserSwitchSavesAndLoadsTheCacheFiles) {
    AddUser("alice", "secret", true);
    AddUser("bob", "pw", false);
    Init("alice", "secret");
    Submitter().Submit(MakeTrack("A", "One", 200, kSubmitterPlayTime));
    Submitter().Submit(MakeTrack("A", "Two", 200, kSubmitterPlayTime + 600));
    const std::string data = Submitter().pendingData();
    const std::vector<Track> tentative = Submitter().GetTentative();
    ASSERT_EQ(tentative.size(), 2u);
    // Nothing is left for the writer thread to write after the switch.
    Submitter().FlushCache();

    CLogCapture log;
    mSettings.SetCurrentUser("bob");
    EXPECT_EQ(Submitter().userName(), "bob");
    EXPECT_TRUE(log.Contains("Saving cache for: alice. Entries: 2\n"));
    EXPECT_EQ(ReadFile(PendingFile("alice")), "2 " + data);
    EXPECT_EQ(ReadFile(TentativeFile("alice")).size(), 1614u);
    EXPECT_EQ(Submitter().pendingCount(), 0);
    EXPECT_TRUE(Submitter().GetTentative().empty());
    EXPECT_FALSE(FileExists(PendingFile("bob")));

    mSettings.SetCurrentUser("alice");
    EXPECT_EQ(Submitter().pendingCount(), 2);
    EXPECT_EQ(Submitter().pendingData(), data);
    const std::vector<Track> back = Submitter().GetTentative();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(Records(back), Records(tentative));
    // Read, not emptied: the files still hold the queue.
    EXPECT_EQ(ReadFile(PendingFile("alice")), "2 " + data);
    EXPECT_EQ(ReadFile(TentativeFile("alice")), Records(tentative));
}

TEST_F(WebSubmitterTest, InitLoadsTheUsersFilesBeforeAnythingWritesThem) {
    AddUser("alice", "secret", true);
    const std::string data = "&a[0]=X&b[0]=&t[0]=Y&i[0]=2006-05-01+12%3a34%3a56&l[0]=200&m[0]=";
    WriteFile(PendingFile("alice"), "1 " + data);
    std::vector<Track> tracks{MakeTrack("X", "Y", 200, kSubmitterPlayTime), MakeTrack("X", "Z", 200, kSubmitterPlayTime + 1)};
    // Two records and 86 bytes of a third: the short one is dropped.
    WriteFile(TentativeFile("alice"), Records(tracks) + std::string(86, 'q'));
    CLogCapture log;
    Init("alice", "secret");
    // No previous user: nothing is saved, so nothing overwrites alice's files.
    EXPECT_FALSE(log.Contains("Saving cache for"));
    EXPECT_TRUE(log.Contains("Loading cache for: alice\n"));
    EXPECT_EQ(Submitter().pendingCount(), 1);
    EXPECT_EQ(Submitter().pendingData(), data);
    EXPECT_EQ(Submitter().GetTentative().size(), 2u);
    Submitter().Submit(MakeTrack("New", "N", 100, kSubmitterPlayTime + 900));
    EXPECT_EQ(Submitter().pendingCount(), 2);
    Submitter().FlushCache();
    const std::string file = ReadFile(PendingFile("alice"));
    EXPECT_EQ(file.rfind("2 " + data + "&a[1]=New", 0), 0u) << file;
}

struct BadFileCase {
    const char* name;
    std::string content; // empty: the file is a link to itself, which cannot be opened
    std::string log;
    bool keptAside;
    friend void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }
};

class CacheFileContentTest : public WebSubmitterTest, public ::testing::WithParamInterface<BadFileCase> {
protected:
    /// What stands at the path: the file's bytes, or where a link points.
    static std::string Content(const std::string& path) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        return n >= 0 ? "link to " + std::string(target, static_cast<std::size_t>(n)) : ReadFile(path);
    }
};

TEST_P(CacheFileContentTest, NothingIsLoadedAndTheFileIsKept) {
    AddUser("alice", "secret", true);
    const std::string path = PendingFile("alice");
    if (GetParam().content.empty())
        ASSERT_EQ(::symlink(path.c_str(), path.c_str()), 0);
    else
        WriteFile(path, GetParam().content);
    const std::string before = Content(path);
    WriteFile(TentativeFile("alice"), Records({MakeTrack("X", "Y", 200, kSubmitterPlayTime)}));
    CLogCapture log;
    Init("alice", "secret");
    EXPECT_TRUE(log.Contains(GetParam().log)) << log.Text();
    EXPECT_EQ(Submitter().pendingCount(), 0);
    EXPECT_TRUE(Submitter().GetTentative().empty());
    EXPECT_EQ(Content(path), before);
    // A new track replaces the file, but what could not be read is kept.
    Submitter().Submit(MakeTrack("A", "B", 200, kSubmitterPlayTime + 5));
    Submitter().FlushCache();
    EXPECT_EQ(ReadFile(path), "1 " + Submitter().pendingData());
    if (GetParam().keptAside) {
        EXPECT_EQ(Content(path + ".unreadable"), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, CacheFileContentTest,
    ::testing::Values(BadFileCase{"ZeroEntries", "0 ", "No cache data in file '", false},
                      BadFileCase{"CountOnly", "3", "No cache data in file '", false},
                      BadFileCase{"NoNumber", "&a[0]=X", "doesn't seem to start with num entries", true},
                      BadFileCase{"CannotBeOpened", "", "(error " + std::to_string(ELOOP) + "), keeping it aside",
                                  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WebSubmitterTest, SaveCacheWithoutUserWritesNothing) {
    EXPECT_FALSE(Submitter().saveCache("", "&a[0]=x", 1));
    EXPECT_FALSE(FileExists(PendingFile("")));
    EXPECT_TRUE(Submitter().saveCache("a:b", "&a[0]=x", 1));
    EXPECT_EQ(ReadFile(mSettings.GetUserDir() + "/acb.vortler.cache"), "1 &a[0]=x");
    EXPECT_EQ(ReadFile(mSettings.GetUserDir() + "/acb.tent.cache"), "");
}

TEST_F(WebSubmitterTest, TermSavesTheQueue) {
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    Submitter().Submit(MakeTrack("A", "One", 200, kSubmitterPlayTime));
    const std::string data = Submitter().pendingData();
    CLogCapture log;
    Submitter().term();
    EXPECT_TRUE(log.Contains("Saving cache for: alice. Entries: 1\n"));
    EXPECT_EQ(ReadFile(PendingFile("alice")), "1 " + data);
    EXPECT_EQ(ReadFile(TentativeFile("alice")).size(), 807u);
}

TEST_F(WebSubmitterTest, SwitchDuringAPostConfirmsTheOldUsersTracksInTheirFiles) {
    // alice's post is answered only once bob has taken over; bob's own
    // handshake is refused, so his track stays waiting.
    CScriptedServer posts({{Step::ReadRequest(), Step::Hold(), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")}});
    CScriptedServer handshakes(
        {{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nUPTODATE\nc\n" + posts.Url("/s") + "\n")},
         {Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nBADUSER\n")}});
    SetServerHosts(handshakes.HostPort(), handshakes.HostPort());
    AddUser("alice", "secret", true);
    AddUser("bob", "pw", false);
    Submitter().setTimeLimits(5s, 60s);
    Init("alice", "secret");
    ASSERT_TRUE(mRecorder->WaitFor(kVortleHandshakeOk));
    Submitter().Submit(MakeTrack("A", "One", 200, kSubmitterPlayTime));
    ASSERT_TRUE(WaitUntil([&] { return posts.Received(0).find("&t[0]=One") != std::string::npos; }));

    mSettings.SetCurrentUser("bob");
    Submitter().Submit(MakeTrack("B", "Two", 200, kSubmitterPlayTime + 600));
    posts.Release();
    ASSERT_TRUE(WaitUntil([&] { return Submitter().GetStatusCode() == kVortleBadUser; }));

    // The OK took alice's track out of her files...
    EXPECT_EQ(ReadFile(PendingFile("alice")), "0 ");
    EXPECT_EQ(ReadFile(TentativeFile("alice")), "");
    // ...and left bob's alone.
    const std::vector<Track> tentative = Submitter().GetTentative();
    ASSERT_EQ(tentative.size(), 1u);
    EXPECT_EQ(tentative[0].GetRawTitle(), "Two");
    EXPECT_EQ(Submitter().pendingCount(), 1);
    // Nothing of alice's is left to be sent a second time.
    mSettings.SetCurrentUser("alice");
    EXPECT_EQ(Submitter().pendingCount(), 0);
    EXPECT_EQ(posts.Connections(), 1u);
}

TEST_F(WebSubmitterTest, TrackAcceptedWhileTermSavesReachesTheFilesLast) {
    AddUser("alice", "secret", true);
    // Before the submitter: its writer may still come by as it goes.
    std::mutex mutex;
    std::condition_variable changed;
    bool writerCame = false;
    CWatchedSubmitter submitter(mSettings);
    submitter.setTimeLimits(1s, 3s);
    submitter.setRetryBaseDelay(10min);
    submitter.init("alice", md5Hex("secret"), "vbx", "0.1", true);
    submitter.onOtherThread = [&](CWatchedSubmitter::Point point) {
        if (point == CWatchedSubmitter::Point::kCacheLockBusy || point == CWatchedSubmitter::Point::kCacheWritten) {
            std::lock_guard<std::mutex> lock(mutex);
            writerCame = true;
            changed.notify_all();
        }
    };
    // term has its snapshot: a track is accepted on another thread, and
    // term goes on once the writer of that track is waiting or done.
    submitter.atTermSaving = [&] {
        std::thread([&] { submitter.Submit(MakeTrack("Late", "L", 200, kSubmitterPlayTime)); }).join();
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, 20s, [&] { return writerCame; });
    };
    submitter.term();
    ASSERT_EQ(submitter.pendingCount(), 1);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(PendingFile("alice")) == "1 " + submitter.pendingData(); }))
        << ReadFile(PendingFile("alice"));
}

TEST_F(WebSubmitterTest, SubmitDoesNotWaitForTheDisk) {
    AddUser("alice", "secret", true);
    std::mutex mutex;
    std::condition_variable changed;
    bool stalled = false, released = false;
    CWatchedSubmitter submitter(mSettings);
    submitter.setTimeLimits(1s, 3s);
    submitter.setRetryBaseDelay(10min);
    submitter.init("alice", md5Hex("secret"), "vbx", "0.1", true);
    // The writer stalls after its first write, as on a slow disk, holding
    // the cache mutex.
    submitter.onOtherThread = [&](CWatchedSubmitter::Point point) {
        std::unique_lock<std::mutex> lock(mutex);
        if (point != CWatchedSubmitter::Point::kCacheWritten || released)
            return;
        stalled = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    };
    submitter.Submit(MakeTrack("A", "One", 200, kSubmitterPlayTime));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return stalled; }));
    }
    auto more = std::async(std::launch::async, [&] {
        submitter.Submit(MakeTrack("A", "Two", 200, kSubmitterPlayTime + 600));
        submitter.Submit(MakeTrack("A", "Three", 200, kSubmitterPlayTime + 1200));
    });
    const bool returned = more.wait_for(20s) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    more.get();
    EXPECT_TRUE(returned);
    EXPECT_EQ(submitter.pendingCount(), 3);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(PendingFile("alice")) == "3 " + submitter.pendingData(); }));
}

TEST_F(WebSubmitterTest, NoCurrentUserLeavesTheClientAlone) {
    AddUser("alice", "secret", true);
    Init("alice", "secret");
    mSettings.SetCurrentUser("nobody");
    EXPECT_EQ(Submitter().userName(), "alice");
}

} // namespace
