#pragma once

#include "app/Observer.h"
#include "submit/WebSubmitter.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

/// Watches a web submitter and records the status code of every
/// notification, so that a test can wait for one with a generous bound.
class CStatusRecorder : public Observer {
public:
    explicit CStatusRecorder(CWebSubmitter& submitter) : mSubmitter(submitter) {
        mSubmitter.AddObserver(this);
    }
    ~CStatusRecorder() override { mSubmitter.RemoveObserver(this); }
    CStatusRecorder(const CStatusRecorder&) = delete;
    CStatusRecorder& operator=(const CStatusRecorder&) = delete;

    void Update() override {
        const int code = mSubmitter.GetStatusCode();
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mCodes.push_back(code);
        }
        mCondition.notify_all();
    }

    bool WaitFor(int code, int count = 1, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCondition.wait_for(lock, bound, [&] { return CountLocked(code) >= count; });
    }

    int Count(int code) const {
        std::lock_guard<std::mutex> guard(mMutex);
        return CountLocked(code);
    }

    int Notifications() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return static_cast<int>(mCodes.size());
    }

private:
    int CountLocked(int code) const {
        int n = 0;
        for (int c : mCodes)
            n += c == code;
        return n;
    }

    CWebSubmitter& mSubmitter;
    mutable std::mutex mMutex;
    std::condition_variable mCondition;
    std::vector<int> mCodes;
};
