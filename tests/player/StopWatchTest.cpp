#include "player/StopWatch.h"

#include "app/Logger.h"
#include "app/Observer.h"
#include "player/StopWatchClient.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto kGenerous = 10s;

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Stands in for the quarter-second sleep: the timer thread passes one sleep
// per permit the test hands out, so every tick is under the test's control.
class CTickGate {
public:
    void Sleep() {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mSleeping;
        mMaxSleeping = std::max(mMaxSleeping, mSleeping);
        mSleeperId = LogDetail::ThreadId();
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return mPermits > 0 || mOpen; });
        if (mPermits > 0)
            --mPermits;
        --mSleeping;
        ++mPassed;
        mChanged.notify_all();
    }

    /// Lets n ticks through and waits until the thread has handled them and
    /// sleeps again.
    bool Tick(int n) {
        std::unique_lock<std::mutex> lock(mMutex);
        mPermits += n;
        const int target = mPassed + n;
        mChanged.notify_all();
        return mChanged.wait_for(lock, kGenerous, [&] { return mPassed >= target && mSleeping > 0; });
    }

    /// Lets n ticks through without waiting for the thread to come back.
    void Release(int n) {
        std::lock_guard<std::mutex> lock(mMutex);
        mPermits += n;
        mChanged.notify_all();
    }

    bool WaitSleeping() {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, kGenerous, [&] { return mSleeping > 0; });
    }

    /// From now on every sleep returns at once.
    void Open() {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mChanged.notify_all();
    }

    long SleeperId() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSleeperId;
    }
    int MaxSleeping() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mMaxSleeping;
    }

    CStopWatch::SleepFunction Function() {
        return [this] { Sleep(); };
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mPermits = 0;
    int mPassed = 0;
    int mSleeping = 0;
    int mMaxSleeping = 0;
    long mSleeperId = 0;
    bool mOpen = false;
};

// Counts the callbacks and the timer seen at each.
class CCountingClient : public CStopWatchClient {
public:
    explicit CCountingClient(const CStopWatch& watch) : mWatch(watch) {}

    void GoalReached() override {
        std::lock_guard<std::mutex> lock(mMutex);
        mTimers.push_back(mWatch.GetTimer());
        mChanged.notify_all();
    }

    int Calls() {
        std::lock_guard<std::mutex> lock(mMutex);
        return static_cast<int>(mTimers.size());
    }
    std::vector<int32_t> Timers() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTimers;
    }
    bool WaitForCalls(int n) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, kGenerous, [&] { return static_cast<int>(mTimers.size()) >= n; });
    }

private:
    const CStopWatch& mWatch;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<int32_t> mTimers;
};

// Records the timer at every notification.
class CTimerRecorder : public Observer {
public:
    explicit CTimerRecorder(CStopWatch& watch) : mWatch(watch) { watch.AddObserver(this); }
    ~CTimerRecorder() override { mWatch.RemoveObserver(this); }

    void Update() override {
        std::lock_guard<std::mutex> lock(mMutex);
        mTimers.push_back(mWatch.GetTimer());
    }
    void UpdateFrom(Observable* subject) override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (subject != &mWatch)
            mWrongSubject = true;
    }

    std::vector<int32_t> Timers() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTimers;
    }
    bool WrongSubject() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mWrongSubject;
    }

private:
    CStopWatch& mWatch;
    std::mutex mMutex;
    std::vector<int32_t> mTimers;
    bool mWrongSubject = false;
};

// A stopwatch whose thread cannot be created the first few times.
class CFailingStopWatch : public CStopWatch {
public:
    CFailingStopWatch(SleepFunction sleep, int failures)
        : CStopWatch(std::move(sleep)), mFailures(failures) {}

protected:
    std::thread LaunchThread(std::function<void()> body) override {
        if (mFailures-- > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return CStopWatch::LaunchThread(std::move(body));
    }

private:
    int mFailures;
};

// A stopwatch driven by a tick gate, with a counting client and a recorder.
struct CRig {
    explicit CRig(int32_t goal) { watch.SetGoal(goal); }
    // Ends the thread before anything it may call goes.
    ~CRig() {
        gate.Open();
        watch.Stop();
    }

    CTickGate gate;
    CStopWatch watch{gate.Function()};
    CCountingClient client{watch};
    CTimerRecorder recorder{watch};
};

// Stops the watch: Stop waits for the tick in progress, which the gate lets
// through once the stop has been requested.
void StopWithTick(CStopWatch& watch, CTickGate& gate) {
    std::thread stopper([&] { watch.Stop(); });
    EXPECT_TRUE(WaitUntil([&] { return !watch.IsRunning(); }));
    gate.Release(1);
    stopper.join();
}

// Whether Stop returns without any tick being let through.
bool StopReturnsByItself(CStopWatch& watch) {
    auto done = std::async(std::launch::async, [&] { watch.Stop(); });
    return done.wait_for(kGenerous) == std::future_status::ready;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(StopWatchTest, NewStopWatchIsIdleAndZero) {
    CTickGate gate;
    CStopWatch watch(gate.Function());
    EXPECT_FALSE(watch.IsRunning());
    EXPECT_EQ(watch.GetTimer(), 0);
    EXPECT_EQ(watch.GetTicks(), 0);
    EXPECT_EQ(watch.GetGoal(), 0);
    watch.SetGoal(15);
    EXPECT_EQ(watch.GetGoal(), 15);
    gate.Open();
}

TEST(StopWatchTest, GoalIsReportedOnceWhenTheTimerTurnsToIt) {
    struct Case {
        int32_t goal;
        int32_t reportedAt; // goal 0 waits for the first whole second
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}};
    for (const auto& c : cases) {
        CRig rig(c.goal);
        rig.watch.Start(&rig.client);
        ASSERT_TRUE(rig.gate.Tick(4 * c.reportedAt - 1)) << c.goal;
        EXPECT_EQ(rig.client.Calls(), 0) << c.goal;
        EXPECT_EQ(rig.watch.GetTimer(), c.reportedAt - 1);
        EXPECT_EQ(rig.watch.GetTicks(), 3);

        rig.gate.Release(1);
        ASSERT_TRUE(rig.client.WaitForCalls(1)) << c.goal;
        // The thread ends by itself after the goal.
        ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
        EXPECT_TRUE(StopReturnsByItself(rig.watch));
        EXPECT_EQ(rig.client.Timers(), std::vector<int32_t>{c.reportedAt}) << c.goal;
        EXPECT_EQ(rig.watch.GetTimer(), c.reportedAt);
        EXPECT_EQ(rig.watch.GetTicks(), 0);

        std::vector<int32_t> seconds;
        for (int32_t s = 1; s <= c.reportedAt; ++s)
            seconds.push_back(s);
        EXPECT_EQ(rig.recorder.Timers(), seconds) << c.goal;
        EXPECT_FALSE(rig.recorder.WrongSubject());
    }
}

TEST(StopWatchTest, StartStopStartContinuesWithTheQuarterSeconds) {
    CRig rig(100);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.Tick(5));
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.watch.GetTicks(), 1);

    // The quarter second in progress when Stop is called still counts.
    StopWithTick(rig.watch, rig.gate);
    EXPECT_FALSE(rig.watch.IsRunning());
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.watch.GetTicks(), 2);

    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.Tick(1));
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.watch.GetTicks(), 3);
    ASSERT_TRUE(rig.gate.Tick(1));
    EXPECT_EQ(rig.watch.GetTimer(), 2);
    EXPECT_EQ(rig.watch.GetTicks(), 0);
    EXPECT_EQ(rig.recorder.Timers(), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(rig.client.Calls(), 0);
    StopWithTick(rig.watch, rig.gate);
}

TEST(StopWatchTest, StopOnTheTickThatReachesTheGoalStillReportsIt) {
    CRig rig(1);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.Tick(3));
    StopWithTick(rig.watch, rig.gate);
    EXPECT_EQ(rig.client.Timers(), std::vector<int32_t>{1});
    EXPECT_EQ(rig.watch.GetTimer(), 1);
}

TEST(StopWatchTest, StartingAgainAfterTheGoalReportsItAgain) {
    CRig rig(1);
    rig.watch.Start(&rig.client);
    rig.gate.Release(4);
    ASSERT_TRUE(rig.client.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    // The finished thread is joined before the new one starts.
    rig.watch.Start(&rig.client);
    EXPECT_TRUE(rig.watch.IsRunning());
    rig.gate.Release(4);
    ASSERT_TRUE(rig.client.WaitForCalls(2));
    EXPECT_EQ(rig.client.Timers(), (std::vector<int32_t>{1, 2}));
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
}

TEST(StopWatchTest, StartTwiceRunsOneThreadForTheLatestClient) {
    CLogCapture log;
    CRig rig(1);
    CCountingClient second(rig.watch);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.WaitSleeping());
    rig.watch.Start(&second);
    EXPECT_TRUE(log.Contains("\n  StopWatch already running, early out\n"));
    EXPECT_EQ(Occurrences(log.Text(), "StopWatchThread started at: "), 1u);

    rig.gate.Release(4);
    ASSERT_TRUE(second.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_EQ(rig.client.Calls(), 0);
    EXPECT_EQ(rig.gate.MaxSleeping(), 1);
    EXPECT_EQ(rig.watch.GetTimer(), 1);
}

TEST(StopWatchTest, StopWithoutAThreadReturnsAtOnce) {
    CLogCapture log;
    CRig rig(5);
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_EQ(rig.watch.GetTimer(), 0);
    EXPECT_TRUE(log.Contains("\n  Timer = 0\n"));
    EXPECT_TRUE(log.Contains("\n  Waiting for timer thread to stop...\n"));
    EXPECT_TRUE(log.Contains("\n  Timer thread done, Stop returning.\n"));
}

TEST(StopWatchTest, ResetWhileCountingRestartsFromZero) {
    CRig rig(100);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.Tick(6));
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.watch.GetTicks(), 2);

    rig.watch.Reset();
    EXPECT_EQ(rig.watch.GetTimer(), 0);
    EXPECT_EQ(rig.watch.GetTicks(), 0);
    EXPECT_TRUE(rig.watch.IsRunning());
    EXPECT_EQ(rig.recorder.Timers(), (std::vector<int32_t>{1, 0}));

    ASSERT_TRUE(rig.gate.Tick(3));
    EXPECT_EQ(rig.watch.GetTimer(), 0);
    ASSERT_TRUE(rig.gate.Tick(1));
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.recorder.Timers(), (std::vector<int32_t>{1, 0, 1}));
    StopWithTick(rig.watch, rig.gate);
}

TEST(StopWatchTest, LogRecordsOfOneRun) {
    CLogCapture log;
    CRig rig(1);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.WaitSleeping());
    const std::regex started(
        "\n  StopWatchThread started at: 0x[0-9a-f]+\\. ID: " + std::to_string(rig.gate.SleeperId()) + "\n");
    EXPECT_TRUE(std::regex_search(log.Text(), started)) << log.Text();
    EXPECT_NE(rig.gate.SleeperId(), LogDetail::ThreadId());

    rig.gate.Release(4);
    ASSERT_TRUE(rig.client.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    const std::string text = log.Text();
    EXPECT_TRUE(log.Contains("\n  Timer = 0\n"));
    EXPECT_TRUE(log.Contains("\n  StopWatch goal reached, timer = 1\n"));
    const size_t finishing = text.find("\n  StopWatch timer thread finishing\n");
    const size_t returning = text.find("\n  Timer thread done, Stop returning.\n");
    ASSERT_NE(finishing, std::string::npos);
    ASSERT_NE(returning, std::string::npos);
    EXPECT_LT(finishing, returning) << "Stop returned before the thread ended";
}

TEST(StopWatchTest, ThreadThatCannotBeCreatedLeavesTheStopWatchIdle) {
    CLogCapture log;
    CTickGate gate;
    CFailingStopWatch watch(gate.Function(), 1);
    CCountingClient client(watch);
    watch.SetGoal(1);

    watch.Start(&client);
    EXPECT_FALSE(watch.IsRunning());
    EXPECT_TRUE(log.Contains("Couldn't create StopWatch timer thread: "));
    EXPECT_TRUE(StopReturnsByItself(watch));

    // The next start works.
    watch.Start(&client);
    EXPECT_TRUE(watch.IsRunning());
    gate.Release(4);
    ASSERT_TRUE(client.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !watch.IsRunning(); }));
    EXPECT_TRUE(StopReturnsByItself(watch));
    gate.Open();
}

TEST(StopWatchTest, FailingCallbackEndsTheThreadCleanly) {
    struct CThrowingClient : CStopWatchClient {
        void GoalReached() override { throw std::runtime_error("no user"); }
    } client;
    CLogCapture log;
    CRig rig(1);
    rig.watch.Start(&client);
    rig.gate.Release(4);
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_TRUE(log.Contains("StopWatch goal callback failed: no user"));
    EXPECT_EQ(rig.recorder.Timers(), std::vector<int32_t>{1});
}

TEST(StopWatchTest, StopFromAnObserverDoesNotHang) {
    struct CStopper : Observer {
        CStopWatch* watch = nullptr;
        void Update() override { watch->Stop(); }
    } stopper;
    CLogCapture log;
    CRig rig(100);
    stopper.watch = &rig.watch;
    rig.watch.AddObserver(&stopper);
    rig.watch.Start(&rig.client);
    ASSERT_TRUE(rig.gate.Tick(4));
    EXPECT_FALSE(rig.watch.IsRunning());
    EXPECT_TRUE(log.Contains("StopWatch Stop called on its own timer thread, not waiting\n"));
    rig.watch.RemoveObserver(&stopper);
    // The thread ends at its next tick.
    rig.gate.Release(1);
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_EQ(rig.watch.GetTimer(), 1);
    EXPECT_EQ(rig.watch.GetTicks(), 1);
}

// With the real quarter-second sleep.
TEST(StopWatchRealTimeTest, GoalTwoIsReportedOnce) {
    CStopWatch watch;
    CCountingClient client(watch);
    CTimerRecorder recorder(watch);
    watch.SetGoal(2);
    watch.Start(&client);
    ASSERT_TRUE(client.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !watch.IsRunning(); }));
    watch.Stop();
    EXPECT_EQ(client.Timers(), std::vector<int32_t>{2});
    EXPECT_EQ(recorder.Timers(), (std::vector<int32_t>{1, 2}));
}

TEST(StopWatchRealTimeTest, ReadersAndResetsFromOtherThreads) {
    CStopWatch watch;
    CCountingClient client(watch);
    watch.SetGoal(1000);
    std::atomic<bool> done{false};
    std::atomic<bool> outOfRange{false};

    std::thread reader([&] {
        while (!done) {
            const int32_t ticks = watch.GetTicks();
            if (ticks < 0 || ticks > 3 || watch.GetTimer() < 0 || watch.GetGoal() != 1000)
                outOfRange = true;
            (void)watch.IsRunning();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread resetter([&] {
        while (!done) {
            CTimerRecorder recorder(watch);
            watch.Reset();
            std::this_thread::sleep_for(20ms);
        }
    });
    for (int i = 0; i < 3; ++i) {
        watch.Start(&client);
        std::this_thread::sleep_for(300ms);
        watch.Stop();
        EXPECT_FALSE(watch.IsRunning());
    }
    done = true;
    reader.join();
    resetter.join();
    EXPECT_FALSE(outOfRange);
    EXPECT_EQ(client.Calls(), 0);
}

TEST(StopWatchTest, RestartFromAnObserverAfterTheGoalIsRefused) {
    struct CStarter : Observer {
        CStopWatch* watch = nullptr;
        CStopWatchClient* client = nullptr;
        void Update() override { watch->Start(client); }
    } starter;
    CLogCapture log;
    CRig rig(1);
    starter.watch = &rig.watch;
    starter.client = &rig.client;
    rig.watch.AddObserver(&starter);
    rig.watch.Start(&rig.client);
    rig.gate.Release(4);
    ASSERT_TRUE(rig.client.WaitForCalls(1));
    ASSERT_TRUE(WaitUntil([&] { return !rig.watch.IsRunning(); }));
    rig.watch.RemoveObserver(&starter);
    EXPECT_TRUE(StopReturnsByItself(rig.watch));
    EXPECT_TRUE(log.Contains("StopWatch can't be restarted from its own timer thread\n"));
    EXPECT_EQ(rig.client.Calls(), 1);
}
