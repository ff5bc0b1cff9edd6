#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

/// An event that stays signalled until it is reset, as threads of this
/// program use it to wait for each other.
class CManualResetEvent {
public:
    explicit CManualResetEvent(bool signalled = false) : mSignalled(signalled) {}

    void Set() {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mSignalled = true;
        }
        mCondition.notify_all();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(mMutex);
        mSignalled = false;
    }

    bool IsSet() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mSignalled;
    }

    /// Waits without a time limit.
    void Wait() {
        std::unique_lock<std::mutex> lock(mMutex);
        mCondition.wait(lock, [this] { return mSignalled; });
    }

    /// Waits at most the given time; returns whether the event was signalled.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCondition.wait_for(lock, timeout, [this] { return mSignalled; });
    }

private:
    mutable std::mutex mMutex;
    std::condition_variable mCondition;
    bool mSignalled;
};
