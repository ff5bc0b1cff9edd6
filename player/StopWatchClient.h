#pragma once

/// Whom a stopwatch calls back when its count reaches the goal (the player
/// connection).
class CStopWatchClient {
public:
    virtual ~CStopWatchClient() = default;

    /// Called once per counting thread, on the stopwatch's timer thread with
    /// the stopwatch's lock held. Must not call Start or Stop of that
    /// stopwatch, and should return quickly.
    virtual void GoalReached() = 0;
};
