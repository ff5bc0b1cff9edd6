#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "app/InstanceGuard.h"

#include <QLocalSocket>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>

namespace {

/// The test of a later copy, on a thread of its own: the running copy (this
/// thread) answers only while its events are processed.
bool LaterCopyFindsARunningOne(bool postLink) {
    std::future<bool> answer = std::async(std::launch::async, [postLink] {
        CInstanceGuard later;
        const bool running = later.IsAnotherRunning(postLink);
        EXPECT_FALSE(later.IsHeld());
        return running;
    });
    EXPECT_TRUE(WaitForUi([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return answer.get();
}

TEST(InstanceGuardTest, ALaterCopyFindsTheRunningOneAndHandsOverEachLinkOnce) {
    CTestEnvironment env;
    CLogCapture log;
    auto running = std::make_unique<CInstanceGuard>();
    ASSERT_FALSE(running->IsAnotherRunning(false));
    ASSERT_TRUE(running->IsHeld());
    EXPECT_EQ(running->ErrorText(), "");
    // A socket left behind by a copy that died is taken over.
    std::ofstream(CInstanceGuard::SocketPath().toStdString()) << "stale";
    ASSERT_TRUE(running->Listen()) << running->ErrorText();
    int links = 0;
    QObject::connect(running.get(), &CInstanceGuard::linkOpened, [&links] { ++links; });

    EXPECT_TRUE(LaterCopyFindsARunningOne(false));
    PumpUi(200);
    EXPECT_EQ(links, 0);

    EXPECT_TRUE(LaterCopyFindsARunningOne(true));
    ASSERT_TRUE(WaitForUi([&] { return links == 1; }));
    EXPECT_TRUE(LaterCopyFindsARunningOne(true));
    ASSERT_TRUE(WaitForUi([&] { return links == 2; }));
    PumpUi(200);
    EXPECT_EQ(links, 2);
    EXPECT_TRUE(log.Contains("Fenwave link message received from another copy"));

    // Once the running copy has gone, the next one runs.
    running.reset();
    CInstanceGuard next;
    EXPECT_FALSE(next.IsAnotherRunning(true));
    EXPECT_TRUE(next.IsHeld());
}

TEST(InstanceGuardTest, ACopyThatDoesNotAnswerIsLeftAloneAndStrangersAreTurnedAway) {
    CTestEnvironment env;
    CLogCapture log;
    CInstanceGuard running;
    ASSERT_FALSE(running.IsAnotherRunning(false));
    // Still starting: the guard is held but nobody answers yet.
    EXPECT_TRUE(LaterCopyFindsARunningOne(true));

    ASSERT_TRUE(running.Listen());
    int links = 0;
    QObject::connect(&running, &CInstanceGuard::linkOpened, [&links] { ++links; });
    // A peer that speaks another language is cut off and changes nothing;
    // so is one that never ends its line.
    for (const QByteArray& bytes : {QByteArray("HELLO\n" + QByteArray(CInstanceGuard::kFenwaveLink) + "\n"),
                                    QByteArray(4096, 'x')}) {
        QLocalSocket stranger;
        stranger.connectToServer(CInstanceGuard::SocketPath());
        ASSERT_TRUE(stranger.waitForConnected(2000));
        stranger.write(bytes);
        stranger.flush();
        EXPECT_TRUE(WaitForUi([&] { return stranger.state() == QLocalSocket::UnconnectedState; }));
    }
    PumpUi(100);
    EXPECT_EQ(links, 0);
    EXPECT_TRUE(log.Contains("Unknown message on the single-instance socket ignored"));
    EXPECT_TRUE(log.Contains("Overlong message on the single-instance socket, connection closed"));
}

} // namespace
