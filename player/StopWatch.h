#pragma once

#include "app/ManualResetEvent.h"
#include "app/Observable.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class CStopWatchClient;

/// Measures in whole seconds how long a track has really been playing. While
/// counting it runs a timer thread that wakes four times a second; every
/// fourth wake advances the count by one second, notifies the observers and,
/// once the count reaches the goal, calls the client back and ends.
///
/// Start, Stop and destruction belong to one controlling thread (the
/// listener's) and must never be called from the timer thread, that is from
/// GoalReached or from an observer's notification: Stop would wait for the
/// thread that is calling it. Reset and the accessors may be called from any
/// thread. The GoalReached callback and the notifications of the timer thread
/// run with the stopwatch's lock held; observers should only hand the news to
/// their own thread.
class CStopWatch : public Observable {
public:
    /// The wait between two ticks; a default-constructed one waits 250 ms,
    /// or until Stop.
    using SleepFunction = std::function<void()>;

    explicit CStopWatch(SleepFunction sleepQuarter = {});
    /// Stops and joins a timer thread that is still there.
    virtual ~CStopWatch();
    CStopWatch(const CStopWatch&) = delete;
    CStopWatch& operator=(const CStopWatch&) = delete;

    /// Starts or continues counting for the client; returns at once. While a
    /// thread is counting only the client is replaced.
    void Start(CStopWatchClient* client);
    /// Stops counting and waits until the timer thread has ended (it is
    /// woken at once). The quarter second in progress is still counted;
    /// ticks and timer are kept.
    void Stop();
    /// Sets ticks and timer to 0 and notifies the observers. A running thread
    /// goes on counting from 0.
    void Reset();

    /// Elapsed whole seconds since the last reset.
    int32_t GetTimer() const noexcept { return mTimer.load(); }
    /// Quarter seconds counted since the last whole second, 0 to 3.
    int32_t GetTicks() const noexcept { return mTicks.load(); }
    int32_t GetGoal() const noexcept { return mGoal.load(); }
    /// Seconds after which the client is called back; set before Start.
    void SetGoal(int32_t goal) noexcept { mGoal.store(goal); }
    /// Whether a timer thread is meant to be counting.
    bool IsRunning() const noexcept { return mRunning.load() != 0; }

protected:
    /// Creates the timer thread running body. A failure is reported as
    /// std::system_error, as std::thread does.
    virtual std::thread LaunchThread(std::function<void()> body);

private:
    /// The timer thread: publishes its kernel thread id, then counts.
    static void ThreadMain(CStopWatch* watch, std::shared_ptr<std::promise<long>> threadId);
    /// Joins a timer thread that has ended or is about to.
    void JoinThread();
    /// The default wait between ticks: a quarter second, or until Stop.
    void WaitQuarter();

    const SleepFunction mSleep;

    // Guards ticks, timer, running and the client. Held by the timer thread
    // across its callbacks; recursive so that they may read the stopwatch
    // and call Reset.
    mutable std::recursive_mutex mMutex;
    CStopWatchClient* mClient = nullptr;
    // Written under the lock; atomic so that other threads read them
    // without it.
    std::atomic<int32_t> mTicks{0};
    std::atomic<int32_t> mTimer{0};
    std::atomic<int32_t> mGoal{0};
    std::atomic<int32_t> mRunning{0};

    // Signalled while no timer thread is running.
    CManualResetEvent mFinished{true};
    // Wakes the default wait when counting stops.
    std::mutex mWakeMutex;
    std::condition_variable mWake;
    // Touched by the controlling thread only.
    std::thread mThread;
};
