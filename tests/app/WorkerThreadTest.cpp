#include "app/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

/// A job that, like a downloader starting its next download, forgets the
/// first cancel it sees; stopping it must still end it, and soon.
TEST(CWorkerThreadTest, StoppingAJobCancelsUntilItHasEnded) {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> running{false};
    std::atomic<bool> endedAlone{false};
    std::atomic<int> cancels{0};
    CWorkerThread worker;
    worker.Start([&] {
        running.store(true);
        bool forgotten = false;
        // Gives up by itself only after a generous bound.
        for (int slice = 0; slice < 2000; ++slice) {
            if (cancelled.load()) {
                if (forgotten)
                    return;
                forgotten = true;
                cancelled.store(false);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        endedAlone.store(true);
    });
    while (!running.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(worker.IsIdle());
    worker.Stop([&] {
        ++cancels;
        cancelled.store(true);
    });
    EXPECT_FALSE(worker.IsStarted());
    EXPECT_TRUE(worker.IsIdle());
    EXPECT_FALSE(endedAlone.load());
    EXPECT_GE(cancels.load(), 2);
}

} // namespace
