#pragma once

#include <chrono>
#include <deque>
#include <optional>

/// When a helper program that ended unexpectedly is started again: after
/// kFirstDelay, then twice as long each time up to kMaxDelay; one that had
/// run for kSteadyRun or longer starts again after kFirstDelay; at most
/// kMaxRestarts within any kWindow, after which it is left ended.
class CRestartPolicy {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kFirstDelay{1000};
    static constexpr std::chrono::milliseconds kMaxDelay{60 * 1000};
    static constexpr std::chrono::milliseconds kSteadyRun{60 * 1000};
    static constexpr std::chrono::milliseconds kWindow{60 * 60 * 1000};
    static constexpr int kMaxRestarts = 10;

    /// The helper ended at `now` after running for `ran`: how long to wait
    /// before starting it again, or nothing when the restarts of the last
    /// hour are used up. Each answer with a delay counts as one restart.
    std::optional<std::chrono::milliseconds> OnEnded(Clock::time_point now, std::chrono::milliseconds ran);

private:
    std::deque<Clock::time_point> mRestarts;
    std::chrono::milliseconds mNextDelay = kFirstDelay;
};
