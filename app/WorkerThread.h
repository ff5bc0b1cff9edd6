#pragma once

#include "app/ManualResetEvent.h"

#include <chrono>
#include <functional>
#include <thread>

/// One job at a time on a thread of its own, for a window or a wizard that
/// must never wait on the network itself. The job runs through the crash
/// handler; an exception ends the job, not the process.
///
/// Stop cancels again and again until the job is idle: a job clears its
/// cancel flag when it starts (the downloaders do), so a single cancel that
/// lands just before would be lost and the caller would wait out a whole
/// download. Start, Stop and the destructor belong to the owner's thread.
class CWorkerThread {
public:
    /// How often Stop cancels while it waits.
    static constexpr std::chrono::milliseconds kCancelInterval{100};

    CWorkerThread() = default;
    /// Joins a job that has ended; one still running is waited for
    /// without cancelling (the owner stops it first).
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    /// Starts the job; a previous one must have ended or been stopped.
    /// Returns the job thread's kernel id, for the log.
    long Start(std::function<void()> body);
    /// Calls cancel until the job is idle, then joins it. Returns at once
    /// when no job was started.
    void Stop(const std::function<void()>& cancel);
    /// Whether no job is running (started and not yet ended).
    bool IsIdle() const { return mIdle.IsSet(); }
    /// Whether a job was started and not yet joined.
    bool IsStarted() const noexcept { return mThread.joinable(); }

private:
    std::thread mThread;
    CManualResetEvent mIdle{true};
};
