#pragma once

#include "player/Track.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

/// What became of one play. The numbers are stored in the history: never
/// renumber them.
enum class EPlayOutcome : int {
    kCounting = 0,       ///< playing now, its goal not reached yet
    kWaiting = 1,        ///< reached its goal, waiting in the queue
    kSubmitted = 2,      ///< the server acknowledged it
    kTooShort = 3,       ///< shorter than the minimum length
    kStoppedEarly = 4,   ///< stopped before its goal
    kExcluded = 5,       ///< in an excluded folder
    kNotSubmitting = 6,  ///< the user's vortling is off
    kIgnoredPlayer = 7,  ///< a player the person chose not to hear
    kNoLength = 8,       ///< the player told no length
    kIncomplete = 9,     ///< no artist, title or path, or an artist that names none
    kMirror = 10,        ///< counted from another player already
    kHeldBack = 11,      ///< taken out of the queue by the person
    kNoUser = 12,        ///< reached its goal while nobody was logged in
    kDuplicate = 13,     ///< a play of the same moment was queued already
};

/// Receives what happens to each play, for the history. The connections
/// call it on the listener thread and their stopwatch threads, the
/// submitter on its threads and the window's: an implementation only takes
/// note and returns at once, and never calls back.
class CPlayRecorder {
public:
    virtual ~CPlayRecorder() = default;

    /// A plug-in started a track (which ends the plug-in's play before it).
    virtual void Started(const std::string& pluginId, const Track& track, EPlayOutcome outcome) = 0;
    /// The plug-in's play ended (stopped); one still short of its goal ends
    /// stopped early.
    virtual void Ended(const std::string& pluginId) = 0;
    /// The plug-in's play reached its goal: kWaiting when it was handed to
    /// the queue, else why it was not.
    virtual void Reached(const std::string& pluginId, EPlayOutcome outcome) = 0;
    /// The queue refused the play that started at that moment (one of the
    /// same moment waits already).
    virtual void NotQueued(const std::string& user, std::time_t startTime) = 0;
    /// The server acknowledged the plays of the user that started at these
    /// moments.
    virtual void Submitted(const std::string& user, const std::vector<std::time_t>& startTimes,
                           std::time_t acknowledged) = 0;
    /// The person took the play that started then out of the user's queue.
    virtual void HeldBack(const std::string& user, std::time_t startTime) = 0;

    /// The process's recorder, or null (nothing is recorded). Installed by
    /// the program before the listener starts; uninstalled after it ended.
    static CPlayRecorder* Installed() noexcept;
    static void Install(CPlayRecorder* recorder) noexcept;
};
