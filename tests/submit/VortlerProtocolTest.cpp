// The protocol client against scripted servers on 127.0.0.1: the exact
// request bytes, the reply words, the retry and time-limit behaviour and the
// user check.
#include "submit/Md5.h"
#include "tests/submit/RecordingVortler.h"
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <system_error>
#include <thread>

namespace {

using Step = CScriptedServer::Step;
using Script = CScriptedServer::Script;
using namespace std::chrono_literals;

constexpr std::time_t kProtocolPlayTime = 1146486896; // 2006-05-01 12:34:56 UTC
const std::string kHash = md5Hex("secret");

Script Reply(const std::string& body, const std::string& status = "HTTP/1.0 200 OK") {
    return {Step::ReadRequest(), Step::Send(status + "\r\nContent-Type: text/plain\r\n\r\n" + body)};
}

Script Stalled() {
    return {Step::ReadRequest(), Step::Pause(15s)};
}

class VortlerProtocolTest : public ::testing::Test {
protected:
    /// Starts the handshake server (also the web service) and points the
    /// client at it.
    void Start(std::vector<Script> scripts) {
        mServer = std::make_unique<CScriptedServer>(std::move(scripts));
        SetServerHosts(mServer->HostPort(), mServer->HostPort());
        mClient.setTimeLimits(1s, 3s);
    }

    /// A handshake reply whose submit URL points at the given server.
    static std::string HandshakeFor(const CScriptedServer& posts, const std::string& challenge = "chal123") {
        return "UPTODATE\n" + challenge + "\n" + posts.Url("/submit") + "\n";
    }

    void Login() { mClient.init("alice", kHash, "vbx", "0.1", true); }

    CTestEnvironment mEnv;
    std::unique_ptr<CScriptedServer> mServer;
    CRecordingVortler mClient;
};

TEST_F(VortlerProtocolTest, HandshakeRequestIsExact) {
    Start({Reply("UPTODATE\nchal123\nhttp://127.0.0.1:9/x\n")});
    mClient.init("al ice/x", kHash, "vbx", "0.1", true);
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_TRUE(mServer->WaitForFinished(1));
    EXPECT_EQ(mServer->Received(0), "GET /?hs=true&p=1.1&c=vbx&v=0.1&u=al+ice%2fx HTTP/1.0\r\n"
                                    "Host:127.0.0.1\r\n"
                                    "User-Agent: Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)\r\n"
                                    "Accept: */*\r\n"
                                    "Connection: Close\r\n"
                                    "\r\n");
    EXPECT_EQ(mClient.handshakeUrl(),
              "http://" + mServer->HostPort() + "/?hs=true&p=1.1&c=vbx&v=0.1&u=al+ice%2fx");
    EXPECT_EQ(mClient.challenge(), "chal123");
    EXPECT_EQ(mClient.submitUrl(), "http://127.0.0.1:9/x");
    EXPECT_EQ(mClient.response(), md5Hex(kHash + "chal123"));
    EXPECT_EQ(mClient.state(), Vortler::kReady);
    // The base loadCache reports 0 "load cache" first.
    const std::vector<int> expected{kVortleSubmitting, kVortleHandshaking, kVortleUpToDate,
                                    kVortleHandshakeOk};
    EXPECT_EQ(mClient.Codes(), expected);
}

struct HandshakeCase {
    const char* name;
    std::string body;
    int finalCode;
    std::string finalText;
    int state;
    friend void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }
};

class HandshakeReplyTest : public VortlerProtocolTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(HandshakeReplyTest, ReplyWordGivesStatusAndState) {
    const HandshakeCase& c = GetParam();
    Start({Reply(c.body)});
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(c.finalCode)) << ::testing::PrintToString(mClient.Codes());
    ASSERT_TRUE(WaitUntil([&] { return mClient.state() == c.state; }));
    EXPECT_EQ(mClient.LastText(c.finalCode), c.finalText);
    if (c.state == Vortler::kIdle) {
        EXPECT_EQ(mClient.Count(kVortleHandshakeOk), 0);
        EXPECT_EQ(mClient.submitUrl(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Words, HandshakeReplyTest,
    ::testing::Values(
        HandshakeCase{"UpToDate", "UPTODATE\nc1\nhttp://h/s\n", kVortleHandshakeOk, "Handshake successful.",
                      2},
        HandshakeCase{"UpToDateLowerCase", "uptodate c1 http://h/s", kVortleUpToDate,
                      "Handshaking: Client up to date.", 2},
        HandshakeCase{"UpdateWithUrl", "UPDATE http://get/new\nc1\nhttp://h/s\n", kVortleUpdateAvailable,
                      "Handshaking: Please update your client at: http://get/new", 2},
        HandshakeCase{"UpdateWithoutUrl", "UPDATE\n", kVortleHandshakeFailed, "Handshake failed.\n", 0},
        HandshakeCase{"BadUser", "BADUSER\n", kVortleBadUser, "Handshake failed: Bad username", 0},
        HandshakeCase{"Garbage", "<html>oops</html>\n", kVortleHandshakeFailed, "Handshake failed.\n", 0},
        HandshakeCase{"Empty", "", kVortleHandshakeInvalid, "Handshake failed: Response invalid", 0},
        HandshakeCase{"OnlySeparators", " \r\n \n", kVortleHandshakeInvalid,
                      "Handshake failed: Response invalid", 0},
        HandshakeCase{"NoChallenge", "UPTODATE\n", kVortleHandshakeFailed, "Handshake failed.\n", 0},
        HandshakeCase{"NoSubmitUrl", "UPTODATE\nc1\n", kVortleHandshakeFailed, "Handshake failed.\n", 0},
        HandshakeCase{"UpdateNoSubmitUrl", "UPDATE http://get/new\nc1\n", kVortleHandshakeFailed,
                      "Handshake failed.\n", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VortlerProtocolTest, HttpFailureOfHandshakeIsStatus9WithTheErrorText) {
    Start({Reply("", "HTTP/1.0 404 Not Found")});
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeFailed));
    EXPECT_EQ(mClient.LastText(kVortleHandshakeFailed), "Handshake error: HTTP/1.0 404 Not Found");
    EXPECT_EQ(mClient.state(), Vortler::kIdle);
}

TEST_F(VortlerProtocolTest, SilentServerEndsTheHandshakeAfterTheTimeLimit) {
    Start({Stalled()});
    mClient.setTimeLimits(300ms, 800ms);
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeFailed));
    EXPECT_EQ(mClient.LastText(kVortleHandshakeFailed), "Handshake error: timed out waiting for the server");
    EXPECT_EQ(mClient.state(), Vortler::kIdle);
    EXPECT_TRUE(mClient.retryScheduled());
}

struct SubmitCase {
    const char* name;
    Script reply;
    int code;
    std::string text;
    bool pendingKept;
    friend void PrintTo(const SubmitCase& c, std::ostream* os) { *os << c.name; }
};

class SubmitReplyTest : public VortlerProtocolTest, public ::testing::WithParamInterface<SubmitCase> {};

TEST_P(SubmitReplyTest, ReplyWordGivesStatusAndKeepsOrEmptiesThePendingData) {
    const SubmitCase& c = GetParam();
    CScriptedServer posts({c.reply});
    Start({Reply(HandshakeFor(posts))});
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_EQ(mClient.addSong("AC/DC & Friends", "T", "Alb", "id9", 215, kProtocolPlayTime), 1);
    ASSERT_TRUE(mClient.WaitForStatus(c.code)) << ::testing::PrintToString(mClient.Codes());
    EXPECT_EQ(mClient.LastText(c.code), c.text);
    ASSERT_TRUE(WaitUntil([&] { return mClient.state() == Vortler::kReady; }));
    EXPECT_EQ(mClient.pendingCount(), c.pendingKept ? 1 : 0);
    EXPECT_EQ(mClient.pendingData().empty(), !c.pendingKept);

    const std::string body =
        "u=alice&s=" + md5Hex(kHash + "chal123") +
        "&a[0]=AC%2fDC+%26+Friends&b[0]=Alb&t[0]=T&i[0]=2006-05-01+12%3a34%3a56&l[0]=215&m[0]=id9";
    const std::string request = "POST /submit HTTP/1.0\r\n"
                                "Host:127.0.0.1\r\n"
                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length:" +
                                std::to_string(body.size()) +
                                "\r\n"
                                "User-Agent: Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)\r\n"
                                "Accept: */*\r\n"
                                "Connection: Close\r\n"
                                "\r\n" +
                                body + "\r\n";
    ASSERT_TRUE(WaitUntil([&] { return posts.Received(0).size() >= request.size(); }));
    EXPECT_EQ(posts.Received(0), request);
}

INSTANTIATE_TEST_SUITE_P(
    Words, SubmitReplyTest,
    ::testing::Values(
        SubmitCase{"Ok", Reply("OK\n"), kVortleSubmitOk, "Submission succeeded.", false},
        SubmitCase{"OkLowerCase", Reply("ok"), kVortleSubmitOk, "Submission succeeded.", false},
        SubmitCase{"FailedWithReason", Reply("FAILED Plugin bug: no time\nmore\n"), kVortleSubmitFailed,
                   "Submission failed: Plugin bug: no time", true},
        SubmitCase{"FailedWithCrLf", Reply("FAILED Busy\r\n"), kVortleSubmitFailed, "Submission failed: Busy",
                   true},
        SubmitCase{"OtherWord", Reply("WHAT is this\n"), kVortleSubmitFailed, "Submission failed: is this",
                   true},
        SubmitCase{"Empty", Reply(""), kVortleSubmitInvalid, "Submission failed: Response invalid", true},
        SubmitCase{"ServerError500", Reply("FAILED Internal\n", "HTTP/1.0 500 Internal Server Error"),
                   kVortleSubmitFailed, "Submission failed: Internal", true},
        SubmitCase{"NotFound", Reply("", "HTTP/1.0 404 Not Found"), kVortleSubmitFailed,
                   "Submission error: HTTP/1.0 404 Not Found", true},
        SubmitCase{"Silent", Stalled(), kVortleSubmitFailed,
                   "Submission error: timed out waiting for the server", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VortlerProtocolTest, EntriesAddedDuringASubmissionSurviveItsOkAndGoNext) {
    CScriptedServer posts(
        {{Step::ReadRequest(), Step::Pause(600ms), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")},
         Reply("OK\n")});
    Start({Reply(HandshakeFor(posts))});
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_EQ(mClient.addSong("First", "One", "", "", 200, kProtocolPlayTime), 1);
    // 0 is reported once by loading the cache, then for the post.
    ASSERT_TRUE(mClient.WaitForStatus(kVortleSubmitting, 2));
    ASSERT_EQ(mClient.addSong("Second", "Two", "", "", 200, kProtocolPlayTime + 300), 1);
    EXPECT_EQ(mClient.pendingCount(), 2);

    // The OK of the first post leaves the second entry, which goes at once.
    ASSERT_TRUE(mClient.WaitForStatus(kVortleSubmitOk, 2));
    ASSERT_TRUE(posts.WaitForFinished(2));
    const std::string first = posts.Received(0), second = posts.Received(1);
    EXPECT_NE(first.find("&a[0]=First"), std::string::npos);
    EXPECT_EQ(first.find("Second"), std::string::npos);
    EXPECT_NE(second.find("&a[0]=Second&b[0]=&t[0]=Two&i[0]=2006-05-01+12%3a39%3a56"), std::string::npos);
    EXPECT_EQ(second.find("First"), std::string::npos);
    EXPECT_EQ(second.find("[1]"), std::string::npos);
    EXPECT_EQ(mClient.pendingCount(), 0);
    EXPECT_EQ(mClient.pendingData(), "");
    // The confirmed play time is free again; the next entry counts from 0.
    EXPECT_EQ(mClient.addSong("First", "One", "", "", 200, kProtocolPlayTime), 1);
}

TEST_F(VortlerProtocolTest, PasswordChangeDuringASubmissionHandshakesWhenItEnds) {
    CScriptedServer posts(
        {{Step::ReadRequest(), Step::Pause(600ms), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")}});
    Start({Reply(HandshakeFor(posts, "chal1")), Reply(HandshakeFor(posts, "chal2"))});
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_EQ(mClient.addSong("A", "T", "", "", 200, kProtocolPlayTime), 1);
    ASSERT_TRUE(mClient.WaitForStatus(kVortleSubmitting, 2));
    mClient.setPassword("new secret", false);
    EXPECT_EQ(mClient.state(), Vortler::kSubmitting);

    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk, 2));
    const std::vector<int> codes = mClient.Codes();
    const std::vector<int> expected{kVortleSubmitting,  kVortleHandshaking, kVortleUpToDate,
                                    kVortleHandshakeOk, kVortleSubmitting,  kVortleSubmitOk,
                                    kVortleHandshaking, kVortleUpToDate,    kVortleHandshakeOk};
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(mServer->Connections(), 2u);
    EXPECT_EQ(mServer->Received(1).rfind("GET /?hs=true&p=1.1&c=vbx&v=0.1&u=alice HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(mClient.passwordHash(), md5Hex("new secret"));
    EXPECT_EQ(mClient.response(), md5Hex(md5Hex("new secret") + "chal2"));
}

TEST_F(VortlerProtocolTest, SecondBadAuthInARowGivesStatus16AndNoRetry) {
    CScriptedServer posts({Reply("BADAUTH\n"), Reply("BADAUTH\n")});
    Start({Reply(HandshakeFor(posts, "chal1")), Reply(HandshakeFor(posts, "chal2"))});
    mClient.setRetryBaseDelay(50ms);
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_EQ(mClient.addSong("A", "T", "", "", 200, kProtocolPlayTime), 1);
    ASSERT_TRUE(mClient.WaitForStatus(kVortleBadAuth));
    EXPECT_EQ(mClient.LastText(kVortleBadAuth), "Submission failed: bad authorization.");
    EXPECT_EQ(mClient.state(), Vortler::kIdle);
    EXPECT_EQ(mClient.Count(kVortleHandshaking), 2);
    EXPECT_EQ(mServer->Connections(), 2u);
    EXPECT_EQ(posts.Connections(), 2u);
    EXPECT_FALSE(mClient.retryScheduled());
    EXPECT_EQ(mClient.pendingCount(), 1);
}

TEST_F(VortlerProtocolTest, FailuresAreRetriedWithGrowingDelaysUntilTheTrackIsSent) {
    CLogCapture log;
    CScriptedServer posts({Reply("FAILED busy\n"), Reply("OK\n")});
    Start({Reply("", "HTTP/1.0 500 Internal Server Error"), Reply(""), Reply(HandshakeFor(posts))});
    mClient.setRetryBaseDelay(100ms);
    Login();
    ASSERT_EQ(mClient.addSong("A", "T", "", "", 200, kProtocolPlayTime), 1);
    // 9, then 7, then a handshake, then FAILED (15), then OK: no new play
    // and no change of credentials in between.
    ASSERT_TRUE(mClient.WaitForStatus(kVortleSubmitOk));
    EXPECT_EQ(mClient.Count(kVortleHandshakeFailed), 1);
    EXPECT_EQ(mClient.Count(kVortleHandshakeInvalid), 1);
    EXPECT_EQ(mClient.Count(kVortleSubmitFailed), 1);
    EXPECT_EQ(mClient.pendingCount(), 0);
    // Doubling after each failure; the handshake's success starts over.
    const std::string text = log.Text();
    const auto first = text.find("Will retry in 100 ms");
    const auto second = text.find("Will retry in 200 ms");
    const auto third = text.find("Will retry in 100 ms", second);
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
}

TEST_F(VortlerProtocolTest, RetryDelayDoublesUpToHalfAnHour) {
    CLogCapture log;
    Start({Reply("", "HTTP/1.0 503 Service Unavailable")});
    mClient.setRetryBaseDelay(std::chrono::minutes(20));
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeFailed, 1));
    // Each new play starts a handshake that fails again.
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(mClient.addSong("A", "T", "", "", 200, kProtocolPlayTime + 600 * i), 1);
        ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeFailed, i + 1));
    }
    const std::string text = log.Text();
    const auto first = text.find("Will retry in 1200000 ms\n");
    const auto second = text.find("Will retry in 1800000 ms\n", first);
    const auto third = text.find("Will retry in 1800000 ms\n", second + 1);
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_NE(third, std::string::npos);
    EXPECT_TRUE(mClient.retryScheduled());
}

TEST_F(VortlerProtocolTest, BadUserIsNotRetriedUntilTheUserChanges) {
    Start({Reply("BADUSER\n"), Reply("UPTODATE\nc\nhttp://127.0.0.1:9/s\n")});
    mClient.setRetryBaseDelay(50ms);
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleBadUser));
    EXPECT_FALSE(mClient.retryScheduled());
    mClient.setUsername("bob");
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_TRUE(mServer->WaitForFinished(2));
    EXPECT_NE(mServer->Received(1).find("&u=bob HTTP/1.0"), std::string::npos);
}

TEST_F(VortlerProtocolTest, TermStopsAStalledSubmissionWithoutReportingIt) {
    CScriptedServer posts({Stalled()});
    Start({Reply(HandshakeFor(posts))});
    mClient.setTimeLimits(10s, 30s);
    Login();
    ASSERT_TRUE(mClient.WaitForStatus(kVortleHandshakeOk));
    ASSERT_EQ(mClient.addSong("A", "T", "", "", 200, kProtocolPlayTime), 1);
    ASSERT_TRUE(mClient.WaitForStatus(kVortleSubmitting, 2));
    mClient.term();
    EXPECT_EQ(mClient.state(), Vortler::kStopping);
    EXPECT_EQ(mClient.Count(kVortleSubmitFailed), 0);
    // Stopped: nothing starts any more.
    EXPECT_EQ(mClient.addSong("B", "T", "", "", 200, kProtocolPlayTime + 500), 1);
    EXPECT_EQ(mClient.state(), Vortler::kStopping);
}

// Holds the retry timer where it is about to give an exchange its thread
// until term is about to join the threads.
class CTermRaceClient : public CRecordingVortler {
public:
    ~CTermRaceClient() override { stopThreads(); }

    bool WaitForTimerAtExchange() {
        std::unique_lock<std::mutex> lock(mRaceMutex);
        return mRaceChanged.wait_for(lock, 20s, [&] { return mTimerAtExchange; });
    }

protected:
    void racePoint(RacePoint point) override {
        std::unique_lock<std::mutex> lock(mRaceMutex);
        if (point == RacePoint::kExchangeStarting && std::this_thread::get_id() != mTestThread) {
            mTimerAtExchange = true;
            mRaceChanged.notify_all();
            mRaceChanged.wait_for(lock, 20s, [&] { return mJoining; });
        } else if (point == RacePoint::kJoiningThreads) {
            mJoining = true;
            mRaceChanged.notify_all();
        }
    }

private:
    const std::thread::id mTestThread = std::this_thread::get_id();
    std::mutex mRaceMutex;
    std::condition_variable mRaceChanged;
    bool mTimerAtExchange = false;
    bool mJoining = false;
};

TEST(VortlerShutdownTest, TermReturnsWhileTheTimerStartsARetry) {
    CTestEnvironment env;
    CScriptedServer server({{Step::ReadRequest(), Step::Send("HTTP/1.0 503 Service Unavailable\r\n\r\n")}});
    SetServerHosts(server.HostPort(), server.HostPort());
    CTermRaceClient client;
    client.setTimeLimits(1s, 3s);
    client.setRetryBaseDelay(50ms);
    client.init("alice", kHash, "vbx", "0.1", true);
    ASSERT_TRUE(client.WaitForTimerAtExchange());
    auto terminated = std::async(std::launch::async, [&] { client.term(); });
    if (terminated.wait_for(20s) != std::future_status::ready) {
        // The threads wait for each other; nothing can end them now.
        std::fprintf(stderr, "term() did not return while the timer started a retry\n");
        std::abort();
    }
    EXPECT_EQ(client.state(), Vortler::kStopping);
}

// A client whose threads cannot be created at the given calls.
class CFailingLaunchClient : public CRecordingVortler {
public:
    explicit CFailingLaunchClient(std::set<int> failing) : mFailing(std::move(failing)) {}
    ~CFailingLaunchClient() override { stopThreads(); }

protected:
    std::thread launchThread(std::function<void()> body) override {
        if (mFailing.count(++mCalls) != 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return CRecordingVortler::launchThread(std::move(body));
    }

private:
    const std::set<int> mFailing;
    std::atomic<int> mCalls{0};
};

TEST(VortlerThreadTest, ThreadsThatCannotBeCreatedAreReportedAndRetried) {
    CTestEnvironment env;
    CScriptedServer posts({{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nOK\n")}});
    CScriptedServer server(
        {{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nUPTODATE\nc\n" + posts.Url("/s") + "\n")}});
    SetServerHosts(server.HostPort(), server.HostPort());
    // 1: the retry timer at init; 2: the first handshake; 5: the first post.
    CFailingLaunchClient client({1, 2, 5});
    client.setTimeLimits(1s, 3s);
    client.setRetryBaseDelay(50ms);
    client.init("alice", kHash, "vbx", "0.1", true);
    ASSERT_TRUE(client.WaitForStatus(kVortleHandshakeOk));
    EXPECT_EQ(client.LastText(kVortleHandshakeFailed),
              "Handshake error: couldn't start thread (Resource temporarily unavailable)");
    // The post needs a thread of its own, not the handshake's.
    ASSERT_TRUE(WaitUntil([&] { return !client.exchangeActive(); }));
    ASSERT_EQ(client.addSong("A", "T", "", "", 200, kProtocolPlayTime), 1);
    ASSERT_TRUE(client.WaitForStatus(kVortleSubmitOk));
    EXPECT_EQ(client.LastText(kVortleSubmitFailed),
              "Submission error: couldn't start thread (Resource temporarily unavailable)");
    EXPECT_EQ(client.Count(kVortleHandshakeFailed), 1);
    EXPECT_EQ(client.Count(kVortleSubmitFailed), 1);
    EXPECT_EQ(client.pendingCount(), 0);
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(posts.Connections(), 1u);
}

struct VerifyCase {
    const char* name;
    Script reply;
    int result;
    friend void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }
};

class VerifyUserTest : public VortlerProtocolTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyUserTest, AnswerGivesResult) {
    Start({GetParam().reply});
    mClient.setTimeLimits(300ms, 800ms);
    EXPECT_EQ(mClient.verifyUser("al ice", "secret", false), GetParam().result);
    ASSERT_TRUE(WaitUntil([&] { return mServer->Received(0).find("\r\n\r\n") != std::string::npos; }));
    const std::string request = mServer->Received(0);
    const std::string prefix = "GET /vbx/pwcheck.php?time=";
    ASSERT_EQ(request.rfind(prefix, 0), 0u);
    const std::string time = request.substr(prefix.size(), request.find('&') - prefix.size());
    // Before init, as the login dialog asks: the same three header lines.
    EXPECT_EQ(request.substr(prefix.size() + time.size()),
              "&username=al+ice&auth=" + md5Hex(kHash + time) +
                  " HTTP/1.0\r\n"
                  "Host:127.0.0.1\r\n"
                  "User-Agent: Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)\r\n"
                  "Accept: */*\r\n"
                  "Connection: Close\r\n"
                  "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Answers, VerifyUserTest,
                         ::testing::Values(VerifyCase{"Ok", Reply("OK\n"), 0},
                                           VerifyCase{"InvalidUser", Reply("\r\n \tINVALIDUSER \t"), 1},
                                           VerifyCase{"BadPassword", Reply("BADPASSWORD\n"), 2},
                                           VerifyCase{"Empty", Reply(" \n\t"), 3},
                                           VerifyCase{"Unknown", Reply("MAYBE\n"), 3},
                                           VerifyCase{"NotFound", Reply("", "HTTP/1.0 404 Not Found"), 3},
                                           VerifyCase{"Silent", Stalled(), 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VortlerProtocolTest, VerifyUserTakesAHashAsItIs) {
    Start({Reply("OK\n")});
    EXPECT_EQ(mClient.verifyUser("bob", kHash, true), 0);
    ASSERT_TRUE(WaitUntil([&] { return mServer->Received(0).find("\r\n\r\n") != std::string::npos; }));
    const std::string request = mServer->Received(0);
    const std::string prefix = "GET /vbx/pwcheck.php?time=";
    const std::string time = request.substr(prefix.size(), request.find('&') - prefix.size());
    EXPECT_NE(request.find("&auth=" + md5Hex(kHash + time) + " "), std::string::npos);
}

} // namespace
