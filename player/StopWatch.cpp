#include "player/StopWatch.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "player/StopWatchClient.h"

#include <chrono>
#include <exception>

namespace {

constexpr int32_t kTicksPerSecond = 4;

// The stopwatch whose timer thread this is, so that Start and Stop can tell
// when they are called from it.
thread_local const CStopWatch* tTimerOf = nullptr;

constexpr std::chrono::milliseconds kQuarterSecond{250};

} // namespace

CStopWatch::CStopWatch(SleepFunction sleepQuarter)
    : mSleep(sleepQuarter ? std::move(sleepQuarter) : SleepFunction([this] { WaitQuarter(); })) {}

void CStopWatch::WaitQuarter() {
    std::unique_lock<std::mutex> lock(mWakeMutex);
    mWake.wait_for(lock, kQuarterSecond, [this] { return mRunning.load() == 0; });
}

CStopWatch::~CStopWatch() {
    if (mThread.joinable())
        Stop();
}

std::thread CStopWatch::LaunchThread(std::function<void()> body) {
    return CCrashHandler::StartThread(std::move(body));
}

void CStopWatch::Start(CStopWatchClient* client) {
    VBX_LOG(4, "Timer = " << mTimer.load() << "\n");
    bool wasRunning = false;
    {
        // Testing and setting the flag in one step: of two starts, one wins.
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mClient = client;
        wasRunning = mRunning.load() != 0;
        if (!wasRunning)
            mRunning.store(1);
    }
    if (wasRunning) {
        VBX_LOG(3, "StopWatch already running, early out\n");
        return;
    }
    if (tTimerOf == this) {
        // The thread would have to wait for itself to end.
        {
            std::lock_guard<std::recursive_mutex> guard(mMutex);
            mRunning.store(0);
        }
        VBX_LOG(1, "StopWatch can't be restarted from its own timer thread\n");
        return;
    }

    // A previous thread that reached its goal may still be finishing; it must
    // have signalled the event before it is reset for the new one.
    JoinThread();
    mFinished.Reset();

    std::future<long> publishedId;
    try {
        auto threadId = std::make_shared<std::promise<long>>();
        publishedId = threadId->get_future();
        mThread = LaunchThread([this, threadId] { ThreadMain(this, threadId); });
    } catch (const std::exception& e) {
        // No thread: not left marked running, so Stop returns and the next
        // Start tries again.
        {
            std::lock_guard<std::recursive_mutex> guard(mMutex);
            mRunning.store(0);
        }
        mFinished.Set();
        VBX_LOG(1, "Couldn't create StopWatch timer thread: " << e.what() << "\n");
        return;
    }
    const long id = publishedId.get();
    VBX_LOG(3,
            "StopWatchThread started at: " << static_cast<const void*>(&mThread) << ". ID: " << id << "\n");
}

void CStopWatch::Stop() {
    VBX_LOG(4, "Timer = " << mTimer.load() << "\n");
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mRunning.store(0);
    }
    // Wakes the timer thread out of its quarter second: the quarter counts
    // as before, but the caller (the listener, serving every plug-in) does
    // not wait it out. Taking the mutex orders the flag before the wait.
    {
        std::lock_guard<std::mutex> guard(mWakeMutex);
    }
    mWake.notify_all();
    if (tTimerOf == this) {
        // The stop takes effect at the next tick; waiting here would hang.
        VBX_LOG(1, "StopWatch Stop called on its own timer thread, not waiting\n");
        return;
    }
    VBX_LOG(4, "Waiting for timer thread to stop...\n");
    mFinished.Wait();
    JoinThread();
    VBX_LOG(4, "Timer thread done, Stop returning.\n");
}

void CStopWatch::Reset() {
    VBX_TRACE();
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mTicks.store(0);
        mTimer.store(0);
    }
    NotifyObservers();
}

void CStopWatch::JoinThread() {
    if (mThread.joinable())
        mThread.join();
}

void CStopWatch::ThreadMain(CStopWatch* watch, std::shared_ptr<std::promise<long>> threadId) {
    tTimerOf = watch;
    threadId->set_value(LogDetail::ThreadId());
    threadId.reset();

    bool goalReached = false;
    for (;;) {
        watch->mSleep();
        bool stopRequested = false;
        {
            std::lock_guard<std::recursive_mutex> guard(watch->mMutex);
            const int32_t ticks = watch->mTicks.load() + 1;
            watch->mTicks.store(ticks);
            stopRequested = watch->mRunning.load() == 0;
            if (ticks >= kTicksPerSecond) {
                const int32_t timer = watch->mTimer.load() + 1;
                watch->mTimer.store(timer);
                if (!goalReached && timer >= watch->mGoal.load()) {
                    VBX_LOG(4, "StopWatch goal reached, timer = " << timer << "\n");
                    // A failing callback must not end the process; the goal
                    // still counts as reached.
                    try {
                        if (watch->mClient != nullptr)
                            watch->mClient->GoalReached();
                    } catch (const std::exception& e) {
                        VBX_LOG(1, "StopWatch goal callback failed: " << e.what() << "\n");
                    } catch (...) {
                        VBX_LOG(1, "StopWatch goal callback failed\n");
                    }
                    watch->mRunning.store(0);
                    goalReached = true;
                }
                watch->mTicks.store(0);
                try {
                    watch->NotifyObservers();
                } catch (const std::exception& e) {
                    VBX_LOG(1, "StopWatch observer failed: " << e.what() << "\n");
                } catch (...) {
                    VBX_LOG(1, "StopWatch observer failed\n");
                }
            }
        }
        if (stopRequested || goalReached)
            break;
    }
    watch->mFinished.Set();
    VBX_LOG(3, "StopWatch timer thread finishing\n");
    tTimerOf = nullptr;
}
