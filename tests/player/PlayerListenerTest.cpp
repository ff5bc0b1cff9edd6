#include "player/PlayerListener.h"

#include "app/Observer.h"
#include "tests/player/ListenerRunner.h"
#include "tests/player/TestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

class PlayerListenerTest : public ::testing::Test, public CPlayerTestBase {
protected:
    CPlayerListener::ConnectionFactory Factory() {
        return [this](const std::string& id) { return MakeConnection(id); };
    }
    std::unique_ptr<CPlayerListener> MakeListener(uint16_t base) {
        return std::make_unique<CPlayerListener>(base, Factory());
    }
};

class CCountingObserver : public Observer {
public:
    void Update() override { ++mCount; }
    std::atomic<int> mCount{0};
};

// Holds the listener thread inside a notification until released.
class CBlockingObserver : public Observer {
public:
    void Update() override {
        std::unique_lock<std::mutex> lock(mMutex);
        mEntered = true;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return mReleased; });
    }
    void WaitEntered() {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, 30s, [this] { return mEntered; });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(mMutex);
        mReleased = true;
        mChanged.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mEntered = false;
    bool mReleased = false;
};

TEST_F(PlayerListenerTest, TakenPortMovesToTheNextFreeOne) {
    CHeldPorts taken(1);
    const uint16_t base = taken.Base();
    auto listener = MakeListener(base);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    EXPECT_GT(port, base);
    EXPECT_LE(port, base + 10);
    EXPECT_TRUE(mLog.Contains("Listener bound to port " + std::to_string(port) + "\n"));
    EXPECT_EQ(Exchange(port, "STOP c=x\n"), "OK\n");
}

TEST_F(PlayerListenerTest, AllElevenPortsTakenFailsWithTheUserText) {
    CHeldPorts taken(11);
    const uint16_t base = taken.Base();
    auto listener = MakeListener(base);
    try {
        listener->Start();
        FAIL() << "Start returned";
    } catch (const CPlayerListener::CNetworkException& e) {
        EXPECT_EQ(std::string(e.what()), "Something is seriously wrong with the network subsystem.\n"
                                         "The application could not open a socket and start listening "
                                         "for submissions from player plugins.\n\nDetails:\n"
                                         "Could not bind listening socket. Socket error: " +
                                             std::to_string(EADDRINUSE));
    }
    EXPECT_FALSE(listener->IsListening());
    EXPECT_EQ(listener->GetPort(), base + 10);
    EXPECT_TRUE(mLog.Contains("Ran 10 iterations without finding a good port\n"));
    // Nothing to stop: returns at once.
    listener->Stop();
}

struct RefusalCase {
    const char* line;
    const char* reply;
};

TEST_F(PlayerListenerTest, EveryRefusalTextComesBackAndServingGoesOn) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const RefusalCase cases[] = {
        {"FOO c=x\n", "ERROR: Command 'FOO' isn't a valid command\n"},
        {"foo c=x\n", "ERROR: Command 'FOO' isn't a valid command\n"},
        {"\n", "ERROR: Command string seems to be empty\n"},
        {" \t \n", "ERROR: Command string seems to be empty\n"},
        {"START\tc=x\n", "ERROR: Command doesn't seem to be followed by a space followed by arguments\n"},
        {"STOP \n", "ERROR: No arguments found in command. All commands need at least the plugin ID.\n"},
        {"STOP c\n", "ERROR: Missing equals (=) after field identifier 'c'\n"},
        {"STOP c=1&c=2\n", "ERROR: Field identifier 'c' occurred twice in request\n"},
        {"PAUSE a=x\n", "ERROR: No plugin ID ('c=') present in message\n"},
        {"START c=x&z=1\n", "ERROR: The following argument is not valid: z\n"},
        {"RESUME c=never\n", "ERROR: RESUME received without a preceding START\n"},
        {"STOP c=x\n", "OK\n"},
        {"START c=x&a=A&t=T&l=100&p=/a.mp3\n", "OK\n"},
        {"PAUSE c=x\n", "OK\n"},
        {"RESUME c=x\n", "OK\n"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Exchange(listener->GetPort(), c.line), c.reply);
    }
    EXPECT_TRUE(mLog.Contains("ParseException: Command 'FOO' isn't a valid command"));
    EXPECT_TRUE(mLog.Contains("BadCommandException: No plugin ID ('c=') present in message"));
}

TEST_F(PlayerListenerTest, PeerOtherThanLocalhostIsRefused) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    EXPECT_EQ(Exchange(listener->GetPort(), "START c=far&a=A&t=T&l=100&p=/a.mp3\n", "127.0.0.2"),
              "ERROR: Only connections from localhost are accepted.\n");
    EXPECT_TRUE(mLog.Contains("BadClientException: Only connections from localhost are accepted."));
    EXPECT_EQ(listener->GetCurrentConnection(), nullptr);
}

struct FramingCase {
    const char* name;
    std::vector<std::string> pieces;
    const char* pluginId;
    const char* path;
};

TEST_F(PlayerListenerTest, LineFraming) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const FramingCase cases[] = {
        {"line feed", {"START c=lf&a=A&t=T1&l=100&p=/a.mp3\n"}, "lf", "/a.mp3"},
        {"carriage return", {"START c=cr&a=A&t=T2&l=100&p=/b.mp3\r\n"}, "cr", "/b.mp3"},
        {"two pieces", {"START c=pie", "ces&a=A&t=T3&l=100&p=/c.mp3\n"}, "pieces", "/c.mp3"},
        {"return in the first piece", {"START c=split&a=A&t=T4&l=100&p=/d.mp3\r", "\n"}, "split", "/d.mp3"},
        {"inner line feed", {"START c=in&a=A&t=T5&l=100&p=/e\nf.mp3\n"}, "in", "/e\nf.mp3"},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTestClient client(listener->GetPort());
        for (const std::string& piece : c.pieces) {
            ASSERT_TRUE(client.Send(piece));
            // Gives the listener the chance to read each piece on its own.
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_EQ(client.ReadToEnd(), "OK\n");
        auto current = listener->GetCurrentConnection();
        ASSERT_NE(current, nullptr);
        EXPECT_EQ(current->GetPluginId(), c.pluginId);
        EXPECT_EQ(current->GetTrack().GetRawPath(), c.path);
    }
    EXPECT_TRUE(mLog.Contains("Line received: START c=cr&a=A&t=T2&l=100&p=/b.mp3\n"));
}

TEST_F(PlayerListenerTest, LineWithoutLineFeedIsDroppedWithoutReply) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    {
        CTestClient client(listener->GetPort());
        client.Send("START c=nolf&a=A&t=T&l=100&p=/a.mp3");
        client.CloseWrite();
        EXPECT_EQ(client.ReadToEnd(), "");
    }
    EXPECT_TRUE(mLog.Contains("CNetworkException: Receiving data through socket failed. Socket error: 0"));
    EXPECT_EQ(listener->GetCurrentConnection(), nullptr);
    EXPECT_EQ(Exchange(listener->GetPort(), "STOP c=x\n"), "OK\n");
}

TEST_F(PlayerListenerTest, SilentPeerIsDroppedAfterFiveSeconds) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    {
        CTestClient silent(listener->GetPort());
        EXPECT_EQ(silent.ReadToEnd(), "");
    }
    EXPECT_TRUE(mLog.Contains("CNetworkException: Receiving data through socket failed. Socket error: " +
                              std::to_string(EAGAIN)));
    EXPECT_EQ(Exchange(listener->GetPort(), "STOP c=x\n"), "OK\n");
}

TEST_F(PlayerListenerTest, OverlongLineIsDropped) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    {
        CTestClient client(listener->GetPort());
        std::string line = "START c=big&a=" + std::string(CPlayerListener::kMaxLineLength, 'x') + "\n";
        client.Send(line);
        EXPECT_EQ(client.ReadToEnd(), "");
    }
    EXPECT_TRUE(mLog.Contains("Command line too long, dropping connection\n"));
    EXPECT_EQ(listener->GetCurrentConnection(), nullptr);
    // A line just at the limit is still served.
    const std::string head = "STOP c=";
    EXPECT_EQ(Exchange(listener->GetPort(),
                       head + std::string(CPlayerListener::kMaxLineLength - head.size(), 'y') + "\n"),
              "OK\n");
}

TEST_F(PlayerListenerTest, TricklingPeerCannotHoldTheListener) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();

    // One byte a second, each well within the receive time-out of a single
    // receive: first without ever ending the line, then after a complete
    // line instead of closing. Either way the listener closes the
    // connection on its own (a send then fails).
    for (const char* first : {"", "STOP c=x\n"}) {
        SCOPED_TRACE(first);
        CTestClient client(listener->GetPort());
        std::string reply;
        if (*first) {
            client.Send(first);
            reply = client.ReadToEnd().value_or("<no end>");
        }
        bool dropped = false;
        for (int i = 0; i < 60 && !dropped; ++i) {
            dropped = !client.Send("S");
            std::this_thread::sleep_for(1s);
        }
        if (!*first)
            reply = client.ReadToEnd().value_or("<no end>");
        EXPECT_TRUE(dropped);
        EXPECT_EQ(reply, *first ? "OK\n" : "");
        EXPECT_EQ(Exchange(listener->GetPort(), "STOP c=x\n"), "OK\n");
    }
    EXPECT_TRUE(mLog.Contains("Received 1 unexpected bytes during shutdown: S\n"));
    EXPECT_TRUE(
        mLog.Contains("Waiting for shutdown confirmation failed. Socket error: " + std::to_string(EAGAIN)));
}

TEST_F(PlayerListenerTest, ResetByPeerCostsOnlyThatConnection) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    for (int i = 0; i < 5; ++i) {
        CTestClient client(listener->GetPort());
        client.Send("START c=r");
        linger hard{1, 0};
        ::setsockopt(client.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    EXPECT_EQ(Exchange(listener->GetPort(), "STOP c=x\n"), "OK\n");
    EXPECT_FALSE(runner.Finished());
}

TEST_F(PlayerListenerTest, ExitFromPluginEndsTheServiceWithOk) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    EXPECT_EQ(Exchange(port, "EXIT c=plug\n"), "OK\n");
    ASSERT_TRUE(runner.WaitFinished());
    EXPECT_EQ(runner.Error(), "");
    EXPECT_TRUE(mLog.Contains("CPlayerListener shutting down thread\n"));
    EXPECT_THROW(CTestClient{port}, std::runtime_error);
}

TEST_F(PlayerListenerTest, StopBeforeListeningReturnsAtOnceAndStartThenEnds) {
    auto listener = MakeListener(0);
    listener->Stop();
    EXPECT_FALSE(listener->IsListening());
    auto started = std::async(std::launch::async, [&] { listener->Start(); });
    ASSERT_EQ(started.wait_for(30s), std::future_status::ready);
    started.get();
    EXPECT_TRUE(mLog.Contains("CPlayerListener shutting down thread\n"));
}

TEST_F(PlayerListenerTest, StopEndsTheLoopAndEveryStopwatch) {
    auto listener = MakeListener(0);
    auto runner = std::make_unique<CListenerRunner>(*listener);
    ASSERT_TRUE(runner->WaitListening()) << runner->Error();
    EXPECT_EQ(Exchange(listener->GetPort(), "START c=one&a=A&t=T&l=300&p=/a.mp3\n"), "OK\n");
    EXPECT_EQ(Exchange(listener->GetPort(), "START c=two&a=B&t=T&l=300&p=/b.mp3\n"), "OK\n");
    auto one = listener->GetConnection("one");
    auto two = listener->GetConnection("two");
    EXPECT_TRUE(one->GetStopWatch().IsRunning());
    EXPECT_TRUE(two->GetStopWatch().IsRunning());
    listener->Stop();
    EXPECT_TRUE(runner->WaitFinished());
    EXPECT_FALSE(one->GetStopWatch().IsRunning());
    EXPECT_FALSE(two->GetStopWatch().IsRunning());
    EXPECT_EQ(one->GetState(), CPlayerConnection::STOPPED);
    EXPECT_TRUE(mLog.Contains("Line received: EXIT c=tst\n"));
    EXPECT_FALSE(mLog.Contains("Exception when seding Stop"));
    runner.reset();
}

TEST_F(PlayerListenerTest, StopEndsTheListenerWhenItsExitIsNotAnswered) {
    auto listener = MakeListener(0);
    CBlockingObserver blocker;
    listener->AddObserver(&blocker);
    auto runner = std::make_unique<CListenerRunner>(*listener);
    ASSERT_TRUE(runner->WaitListening()) << runner->Error();

    // This plug-in's command holds the listener thread in a notification.
    CTestClient held(listener->GetPort());
    held.Send("START c=held&a=A&t=T&l=300&p=/a.mp3\n");
    blocker.WaitEntered();
    auto stopped = std::async(std::launch::async, [&] { return listener->Stop(); });
    ASSERT_TRUE(WaitUntil([&] { return mLog.Contains("Exception when seding Stop: "); }, 60s));
    blocker.Release();
    ASSERT_EQ(stopped.wait_for(60s), std::future_status::ready);
    EXPECT_TRUE(stopped.get());
    EXPECT_TRUE(runner->WaitFinished());
    EXPECT_FALSE(listener->GetConnection("held")->GetStopWatch().IsRunning());
    listener->RemoveObserver(&blocker);
    runner.reset();
}

// A loop that does not end within the limit: Stop gives up and says so, so
// that the shutdown does not wait for that thread without limit either.
TEST_F(PlayerListenerTest, StopGivesUpOnALoopThatDoesNotEndWithinItsLimit) {
    auto listener = MakeListener(0);
    listener->SetLoopEndWait(500ms);
    CBlockingObserver blocker;
    listener->AddObserver(&blocker);
    auto runner = std::make_unique<CListenerRunner>(*listener);
    ASSERT_TRUE(runner->WaitListening()) << runner->Error();
    CTestClient held(listener->GetPort());
    held.Send("START c=held&a=A&t=T&l=300&p=/a.mp3\n");
    blocker.WaitEntered();
    EXPECT_FALSE(listener->Stop());
    EXPECT_TRUE(mLog.Contains("Listener loop did not end, stopwatches not stopped\n"));
    EXPECT_FALSE(runner->Finished());
    blocker.Release();
    EXPECT_TRUE(runner->WaitFinished());
    listener->RemoveObserver(&blocker);
    runner.reset();
}

TEST_F(PlayerListenerTest, ObserversHearOfEveryAppliedCommandOnly) {
    auto listener = MakeListener(0);
    CCountingObserver observer;
    listener->AddObserver(&observer);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    ASSERT_EQ(Exchange(port, "START c=a&a=A&t=T&l=300&p=/a.mp3\n"), "OK\n");
    EXPECT_EQ(observer.mCount, 1);
    ASSERT_EQ(Exchange(port, "RESUME c=b\n"), "ERROR: RESUME received without a preceding START\n");
    ASSERT_EQ(Exchange(port, "BOGUS c=b\n"), "ERROR: Command 'BOGUS' isn't a valid command\n");
    EXPECT_EQ(observer.mCount, 1);
    ASSERT_EQ(Exchange(port, "PAUSE c=a\n"), "OK\n");
    ASSERT_EQ(Exchange(port, "STOP c=a\n"), "OK\n");
    EXPECT_EQ(observer.mCount, 3);
    listener->RemoveObserver(&observer);
}

TEST_F(PlayerListenerTest, CurrentConnectionFollowsTheLastAcceptedStart) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    EXPECT_EQ(listener->GetCurrentConnection(), nullptr);
    ASSERT_EQ(Exchange(port, "START c=a&a=First&t=T&l=300&p=/a.mp3\n"), "OK\n");
    ASSERT_EQ(Exchange(port, "START c=b&a=Second&t=T&l=300&p=/b.mp3\n"), "OK\n");
    ASSERT_EQ(Exchange(port, "START c=a&z=1\n"), "ERROR: The following argument is not valid: z\n");
    ASSERT_EQ(Exchange(port, "STOP c=a\n"), "OK\n");
    auto current = listener->GetCurrentConnection();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->GetPluginId(), "b");
    EXPECT_EQ(listener->GetCurrentPluginId(), "b");
    EXPECT_EQ(current->GetTrack().GetRawArtist(), "Second");
    // An empty plug-in id is a plug-in of its own, but none to follow.
    ASSERT_EQ(Exchange(port, "START c=&a=Third&t=T&l=300&p=/c.mp3\n"), "OK\n");
    EXPECT_EQ(listener->GetCurrentPluginId(), "");
    EXPECT_EQ(listener->GetCurrentConnection(), nullptr);
    EXPECT_EQ(listener->GetConnection("")->GetTrack().GetRawArtist(), "Third");
}

// One listening heard through two plug-ins (a player's own plug-in and a
// proxy of it) counts once: a START of the track another plug-in is
// counting makes a mirror, which counts nothing and is not what the window
// follows; once that play has ended, the track counts again.
TEST_F(PlayerListenerTest, ATrackAnotherPlugInIsCountingIsAMirrorUntilThatPlayEnds) {
    auto listener = MakeListener(0);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    const std::string song = "&a=Band&t=Song&l=300&p=/a.mp3\n";
    struct CStep {
        const char* line;
        const char* counting; // plug-ins counting afterwards
        const char* current;
    };
    const CStep steps[] = {
        {"START c=own", "own", "own"},
        {"START c=proxy", "own", "own"},
        {"PAUSE c=own", "own", "own"}, // paused, still being counted
        {"START c=third&a=BAND&t=SONG&l=300&p=/b.mp3", "own", "own"},
        {"STOP c=own", "", "own"},
        {"START c=proxy", "proxy", "proxy"}, // a new play after the first ended
        {"START c=own&a=Band&t=Song&l=10&p=/a.mp3", "proxy", "proxy"},
        {"STOP c=proxy", "", "proxy"},
        {"START c=short&a=Band&t=Song&l=10&p=/a.mp3", "", "short"}, // too short to count: no mirror
        {"START c=own", "own", "own"},
    };
    for (const CStep& step : steps) {
        SCOPED_TRACE(step.line);
        std::string line = step.line;
        line += line.find("&a=") == std::string::npos ? song : "\n";
        ASSERT_EQ(Exchange(port, line), "OK\n");
        std::string counting;
        for (const char* id : {"own", "proxy", "third", "short"})
            if (listener->GetConnection(id)->IsCounting())
                counting += (counting.empty() ? "" : ",") + std::string(id);
        EXPECT_EQ(counting, step.counting);
        EXPECT_EQ(listener->GetCurrentPluginId(), step.current);
    }
    EXPECT_TRUE(mLog.Contains("Track 'Band - Song' is counted for plug-in 'own' already, not again for 'proxy'\n"));
}

// A plug-in that stopped and stayed idle is forgotten; one that plays or is
// paused, and the one the window follows, are kept.
TEST_F(PlayerListenerTest, APlugInStoppedAndIdleIsForgotten) {
    auto listener = MakeListener(0);
    listener->SetIdleForget(2s);
    CListenerRunner runner(*listener);
    ASSERT_TRUE(runner.WaitListening()) << runner.Error();
    const uint16_t port = listener->GetPort();
    ASSERT_EQ(Exchange(port, "START c=paused&a=B&t=T&l=300&p=/b.mp3\n"), "OK\n");
    ASSERT_EQ(Exchange(port, "PAUSE c=paused\n"), "OK\n");
    for (int i = 0; i < 20; ++i) {
        const std::string id = "gone" + std::to_string(i);
        ASSERT_EQ(Exchange(port, "START c=" + id + "&a=A&t=T" + std::to_string(i) + "&l=300&p=/a.mp3\n"), "OK\n");
        ASSERT_EQ(Exchange(port, "STOP c=" + id + "\n"), "OK\n");
        ASSERT_EQ(Exchange(port, "START c=" + id + "&a=A&t=T" + std::to_string(i) + "&l=300&p=/a.mp3\n"), "OK\n");
        ASSERT_EQ(Exchange(port, "STOP c=" + id + "\n"), "OK\n");
    }
    ASSERT_EQ(Exchange(port, "RESUME c=never\n"), "ERROR: RESUME received without a preceding START\n");
    // Within its idle time a stopped track plays on.
    ASSERT_EQ(Exchange(port, "RESUME c=gone19\n"), "OK\n");
    ASSERT_EQ(Exchange(port, "STOP c=gone19\n"), "OK\n");

    // Left: the paused one, and the one the window follows (the last START).
    EXPECT_TRUE(WaitUntil([&] { return listener->ConnectionCount() == 2; }));
    EXPECT_EQ(Exchange(port, "RESUME c=gone18\n"), "ERROR: RESUME received without a preceding START\n");
    EXPECT_EQ(Exchange(port, "RESUME c=gone19\n"), "OK\n");
    EXPECT_EQ(Exchange(port, "RESUME c=paused\n"), "OK\n");
}

} // namespace
