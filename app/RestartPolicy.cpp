#include "app/RestartPolicy.h"

#include <algorithm>

std::optional<std::chrono::milliseconds> CRestartPolicy::OnEnded(Clock::time_point now, std::chrono::milliseconds ran) {
    while (!mRestarts.empty() && now - mRestarts.front() >= kWindow)
        mRestarts.pop_front();
    if (static_cast<int>(mRestarts.size()) >= kMaxRestarts)
        return std::nullopt;
    if (ran >= kSteadyRun)
        mNextDelay = kFirstDelay;
    const std::chrono::milliseconds delay = mNextDelay;
    mNextDelay = std::min(mNextDelay * 2, kMaxDelay);
    mRestarts.push_back(now);
    return delay;
}
