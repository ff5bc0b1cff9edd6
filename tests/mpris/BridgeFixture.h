#pragma once

#include "mpris/ListenerOutbox.h"
#include "mpris/MprisBridge.h"
#include "tests/mpris/FakePlayer.h"
#include "tests/mpris/RecordingListener.h"
#include "tests/player/TestClient.h"
#include "tests/support/TestEnv.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

const QString kStatus = QStringLiteral("PlaybackStatus");
const QString kMetadata = QStringLiteral("Metadata");
const QString kPosition = QStringLiteral("Position");
const QString kPlaying = QStringLiteral("Playing");
const QString kPaused = QStringLiteral("Paused");
const QString kStopped = QStringLiteral("Stopped");

inline QVariantMap TrackA() {
    return CFakePlayer::Metadata("/track/1", {"Artist One", "Artist Two"}, "Title & More", "Album", 215000000,
                                 "file:///music/A%20b.mp3");
}
inline QVariantMap TrackB() {
    return CFakePlayer::Metadata("/track/2", {"Other"}, "Second", "Album", 60000000, "https://example.org/s");
}

inline std::string StartA(const std::string& id) {
    return "START c=" + id + "&a=Artist One, Artist Two&t=Title && More&b=Album&m=&l=215&p=/music/A b.mp3";
}
inline std::string StartB(const std::string& id) {
    return "START c=" + id + "&a=Other&t=Second&b=Album&m=&l=60&p=https://example.org/s";
}
inline std::string Line(const char* word, const std::string& id) {
    return std::string(word) + " c=" + id;
}

/// The lines from the first-th on.
inline std::vector<std::string> From(const std::vector<std::string>& lines, std::size_t first) {
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines.size())),
                                    lines.end());
}

/// The one application object of a test process; the bridge, the fake
/// players and the outbox all run on its event loop.
inline void EnsureApplication() {
    static int argc = 1;
    static char name[] = "test_mpris";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

/// Runs the event loop until the condition holds or a generous bound
/// passes; whether it holds.
inline bool PumpUntil(const std::function<bool()>& condition, int boundMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(10);
    QEventLoop loop;
    while (!condition()) {
        if (clock.elapsed() > boundMs)
            return false;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

/// Runs the event loop for a while (the bridge is part of it).
inline void PumpFor(std::chrono::milliseconds time) {
    QElapsedTimer clock;
    clock.start();
    PumpUntil([&] { return clock.elapsed() >= time.count(); }, static_cast<int>(time.count()) + 1000);
}

/// A bridge on a connection of its own to the test's session bus, with a
/// recording listener at the first port it tries (the test holds every port
/// the bridge may try) and a clock the test can move forward.
class CBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        mPorts = std::make_unique<CHeldPorts>(CPlayerListener::kPortRetries + 1, true);
        mBase = mPorts->Base();
        mListener = std::make_unique<CRecordingListener>(mBase);
        ASSERT_TRUE(mListener->Listening());
    }

    void TearDown() override {
        mPlayers.clear();
        mBridge.reset();
        mOutbox.reset();
        if (!mBusName.isEmpty())
            QDBusConnection::disconnectFromBus(mBusName);
    }

    /// Starts the bridge; false if it refused to start.
    bool StartBridge() {
        static int count = 0;
        mBusName = QStringLiteral("bridge-%1").arg(++count);
        mOutbox = std::make_unique<CListenerOutbox>(mBase);
        mBridge = std::make_unique<CMprisBridge>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, mBusName), *mOutbox);
        mBridge->SetClock([this] { return SteadyMs() + mClockOffsetMs; });
        return mBridge->Start();
    }

    static std::int64_t SteadyMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    /// A fake player on the bus, playing the track from the start.
    CFakePlayer& Playing(const QString& suffix, const QVariantMap& track) {
        mPlayers.push_back(std::make_unique<CFakePlayer>(suffix));
        CFakePlayer& player = *mPlayers.back();
        player.Set(QStringLiteral("Metadata"), track);
        player.Set(QStringLiteral("PlaybackStatus"), QStringLiteral("Playing"));
        EXPECT_TRUE(player.Appear());
        return player;
    }

    /// Lets the bridge's clock run ahead, as if the player had played on.
    void Advance(std::chrono::seconds seconds) { mClockOffsetMs += seconds.count() * 1000; }

    /// Waits until the listener has at least count lines; they all.
    std::vector<std::string> WaitLines(std::size_t count) {
        PumpUntil([&] { return mListener->Count() >= count; });
        return mListener->Lines();
    }

    /// Waits until the bridge follows the player (it read the state).
    bool WaitFollowed(const CFakePlayer& player, int reads = 1) {
        return PumpUntil([&] { return player.StateReads() >= reads; });
    }

    /// The count of log records holding the text.
    static std::size_t Occurrences(const std::string& text, const std::string& what) {
        std::size_t count = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++count;
        return count;
    }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    std::unique_ptr<CHeldPorts> mPorts;
    std::uint16_t mBase = 0;
    std::unique_ptr<CRecordingListener> mListener;
    std::unique_ptr<CListenerOutbox> mOutbox;
    std::unique_ptr<CMprisBridge> mBridge;
    std::vector<std::unique_ptr<CFakePlayer>> mPlayers;
    QString mBusName;
    std::int64_t mClockOffsetMs = 0;
};
