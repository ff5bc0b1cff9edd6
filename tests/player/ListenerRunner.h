#pragma once

#include "player/PlayerListener.h"
#include "tests/player/PlayerTestBase.h"

#include <chrono>
#include <exception>
#include <future>
#include <string>
#include <thread>

/// Runs a listener's Start on a thread of its own; Stop and join on
/// destruction.
class CListenerRunner {
public:
    explicit CListenerRunner(CPlayerListener& listener) : mListener(listener) {
        mThread = std::thread([this] {
            try {
                mListener.Start();
            } catch (const std::exception& e) {
                mError = e.what();
            }
            mDone.set_value();
        });
        mDoneFuture = mDone.get_future().share();
    }
    ~CListenerRunner() {
        mListener.Stop();
        mThread.join();
    }
    CListenerRunner(const CListenerRunner&) = delete;
    CListenerRunner& operator=(const CListenerRunner&) = delete;

    /// Waits until the listener serves or Start has ended.
    bool WaitListening() {
        return CPlayerTestBase::WaitUntil([this] { return mListener.IsListening() || Finished(); }) &&
               mListener.IsListening();
    }
    bool Finished() const {
        return mDoneFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    /// Waits for Start to end; its exception text, if any.
    bool WaitFinished(std::chrono::seconds bound = std::chrono::seconds(30)) {
        return mDoneFuture.wait_for(bound) == std::future_status::ready;
    }
    const std::string& Error() const { return mError; }

private:
    CPlayerListener& mListener;
    std::string mError;
    std::promise<void> mDone;
    std::shared_future<void> mDoneFuture;
    std::thread mThread;
};
