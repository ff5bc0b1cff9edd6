#pragma once

#include "player/PlayRecorder.h"
#include "player/PlayerCommand.h"
#include "player/StopWatch.h"
#include "player/StopWatchClient.h"
#include "player/Track.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class CSettingsManager;

/// What the program knows about one music-player plug-in: its player's
/// state, the track it reported last and a stopwatch timing how long that
/// track has really played. Decides whether a track may count, computes its
/// goal (half its length, at most four minutes) and hands it on for
/// submission when the stopwatch reaches the goal.
///
/// The command handlers run on the listener thread, GoalReached on the
/// stopwatch's thread; the accessors may be used from any thread.
class CPlayerConnection : public CStopWatchClient {
public:
    /// A command the connection refuses; the text goes back to the plug-in.
    class CBadCommandException : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };

    enum EState : int32_t { STOPPED = 0, PLAYING = 1, PAUSED = 2 };

    /// Receives a track that reached its goal (the web submitter).
    using SubmitFunction = std::function<void(const Track&)>;

    /// Shortest length in seconds of a track that may count.
    static constexpr int32_t kMinLength = 30;
    /// The longest goal in seconds.
    static constexpr int32_t kMaxGoal = 240;

    /// Reads the current user from settings; hands tracks to submit, or to
    /// the process's web submitter when submit is empty.
    CPlayerConnection(std::string pluginId, CSettingsManager& settings, SubmitFunction submit = {});
    /// Stops the stopwatch before the track it reads goes.
    ~CPlayerConnection() override;
    CPlayerConnection(const CPlayerConnection&) = delete;
    CPlayerConnection& operator=(const CPlayerConnection&) = delete;

    /// A new track. mirrorOf names another plug-in that is counting the
    /// same track right now: this one then only follows it, and counts
    /// nothing (one listening, one play).
    void OnStart(const CPlayerCommand& command, const std::string& mirrorOf = std::string());
    void OnStop(const CPlayerCommand& command);
    void OnPause(const CPlayerCommand& command);
    void OnResume(const CPlayerCommand& command);

    /// The goal in whole seconds for the current track.
    int32_t CalcGoal() const;
    /// Whether the track may count; logs the reason when it may not. With no
    /// current user the excluded-directory test is skipped.
    bool OKToStart(const Track& track) const { return Eligibility(track) == EPlayOutcome::kCounting; }
    /// kCounting when the track may count, else why it may not (logged).
    EPlayOutcome Eligibility(const Track& track) const;
    /// Hands the track on if the current user submits plays.
    void GoalReached() override;
    /// Reports to recorder instead of the process's installed one (tests).
    void SetRecorder(CPlayRecorder* recorder) noexcept { mpRecorder = recorder; mbOwnRecorder = true; }

    const std::string& GetPluginId() const noexcept { return mPluginId; }
    EState GetState() const noexcept { return static_cast<EState>(mState.load()); }
    /// A copy of the track, taken under its lock.
    Track GetTrack() const { return mTrack; }
    bool IsNotEligible() const noexcept { return mbNotEligible.load(); }
    /// Whether a track of this plug-in is being counted: started (playing
    /// or paused), eligible and no mirror of another plug-in's.
    bool IsCounting() const noexcept { return GetState() != STOPPED && !mbNotEligible.load(); }
    /// Whether the track is the same listening as this one's: the same
    /// artist and title (as stored), ignoring case.
    bool IsSameTrack(const Track& other) const;
    bool IsSubmitted() const noexcept { return mbSubmitted.load(); }
    /// Elapsed whole seconds of the current track.
    int32_t GetTimer() const noexcept { return mStopWatch.GetTimer(); }
    int32_t GetGoal() const noexcept { return mStopWatch.GetGoal(); }
    /// The stopwatch, for observers that follow the count.
    CStopWatch& GetStopWatch() noexcept { return mStopWatch; }

private:
    CPlayRecorder* Recorder() const noexcept { return mbOwnRecorder ? mpRecorder : CPlayRecorder::Installed(); }

    const std::string mPluginId;
    CSettingsManager& mSettings;
    const SubmitFunction mSubmit;
    const std::vector<std::string> mInvalidArtistNames;

    std::atomic<int32_t> mState{STOPPED};
    std::atomic<bool> mbSubmitted{false};
    std::atomic<bool> mbNotEligible{false};
    CPlayRecorder* mpRecorder = nullptr;
    bool mbOwnRecorder = false;
    Track mTrack;
    // Last, so that it is destroyed (and its thread, which reads the track,
    // joined) first.
    CStopWatch mStopWatch;
};
