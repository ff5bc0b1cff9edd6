#pragma once

#include "submit/Vortler.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

/// A protocol client that records every status it reports and lets a test
/// wait for one, with a generous bound.
class CRecordingVortler : public Vortler {
public:
    ~CRecordingVortler() override { stopThreads(); }

    void statusUpdate(int code, const std::string& text) override {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mStatuses.emplace_back(code, text);
        }
        mCondition.notify_all();
        Vortler::statusUpdate(code, text);
    }

    /// Waits until the status has been reported count times in all.
    bool WaitForStatus(int code, int count = 1, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCondition.wait_for(lock, bound, [&] { return CountLocked(code) >= count; });
    }

    int Count(int code) const {
        std::lock_guard<std::mutex> guard(mMutex);
        return CountLocked(code);
    }

    /// The text of the last report of this code, or "" if none.
    std::string LastText(int code) const {
        std::lock_guard<std::mutex> guard(mMutex);
        for (auto it = mStatuses.rbegin(); it != mStatuses.rend(); ++it) {
            if (it->first == code)
                return it->second;
        }
        return "";
    }

    std::vector<int> Codes() const {
        std::lock_guard<std::mutex> guard(mMutex);
        std::vector<int> codes;
        for (const auto& status : mStatuses)
            codes.push_back(status.first);
        return codes;
    }

    using Vortler::handleHandshake;
    using Vortler::handleSubmit;

private:
    int CountLocked(int code) const {
        int n = 0;
        for (const auto& status : mStatuses)
            n += status.first == code;
        return n;
    }

    mutable std::mutex mMutex;
    std::condition_variable mCondition;
    std::vector<std::pair<int, std::string>> mStatuses;
};
