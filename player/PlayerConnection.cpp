#include "player/PlayerConnection.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kValidStartFields = "catbmlp";

void SubmitToWebSubmitter(const Track& track) {
    CWebSubmitter::Instance().Submit(track);
}

} // namespace

CPlayerConnection::CPlayerConnection(std::string pluginId, CSettingsManager& settings, SubmitFunction submit)
    : mPluginId(std::move(pluginId)), mSettings(settings),
      mSubmit(submit ? std::move(submit) : SubmitFunction(SubmitToWebSubmitter)),
      mInvalidArtistNames{"unknown artist", "unknown", "[unknown]", "[unknown artist]"} {}

CPlayerConnection::~CPlayerConnection() {
    mStopWatch.Stop();
}

void CPlayerConnection::OnStart(const CPlayerCommand& command, const std::string& mirrorOf) {
    mStopWatch.Stop();

    for (const auto& [id, value] : command.fields) {
        if (std::strchr(kValidStartFields, id) == nullptr || id == '\0') {
            VBX_LOG(2, "Illegal parameter in player cmd: " << static_cast<char>(id) << " = " << value);
            throw CBadCommandException(std::string("The following argument is not valid: ") +
                                       static_cast<char>(id));
        }
    }

    mTrack.Set(command.Get('a'), command.Get('t'), command.Get('b'), command.Get('l'), command.Get('p'),
               command.Get('m'));
    mTrack.StampStartTime();

    // Cleared before the stopwatch starts, so that the new track's goal is
    // the one GoalReached sees.
    mbSubmitted = false;
    EPlayOutcome outcome = EPlayOutcome::kMirror;
    if (!mirrorOf.empty()) {
        VBX_LOG(3, "Track '" << command.Get('a') << " - " << command.Get('t') << "' is counted for plug-in '"
                             << mirrorOf << "' already, not again for '" << mPluginId << "'\n");
    } else {
        outcome = Eligibility(mTrack);
    }
    mbNotEligible = outcome != EPlayOutcome::kCounting;
    // Recorded before the stopwatch starts, so that the play is known when
    // its goal is reached.
    if (CPlayRecorder* recorder = Recorder())
        recorder->Started(mPluginId, mTrack, outcome);
    if (outcome == EPlayOutcome::kCounting) {
        const int32_t goal = CalcGoal();
        VBX_LOG(3, "Starting new track '" << command.Get('a') << " - " << command.Get('t') << "'. "
                                          << "Goal: " << goal << "\n");
        mStopWatch.Reset();
        mStopWatch.SetGoal(goal);
        mStopWatch.Start(this);
    }
    mState = PLAYING;
}

void CPlayerConnection::OnStop(const CPlayerCommand&) {
    VBX_LOG(4, "Stop\n");
    mStopWatch.Stop();
    mStopWatch.Reset();
    // After the stopwatch stopped: a goal reached meanwhile is recorded
    // first.
    if (GetState() != STOPPED)
        if (CPlayRecorder* recorder = Recorder())
            recorder->Ended(mPluginId);
    mState = STOPPED;
}

void CPlayerConnection::OnPause(const CPlayerCommand&) {
    VBX_LOG(4, "Pause\n");
    mStopWatch.Stop();
    mState = PAUSED;
}

void CPlayerConnection::OnResume(const CPlayerCommand&) {
    VBX_LOG(4, "Resume\n");
    if (!mTrack.IsValid(true)) {
        static const char* const kText = "RESUME received without a preceding START";
        VBX_LOG(2, kText << "\n");
        throw CBadCommandException(kText);
    }
    if (!mbSubmitted && !mbNotEligible)
        mStopWatch.Start(this);
    mState = PLAYING;
}

bool CPlayerConnection::IsSameTrack(const Track& other) const {
    const Track track = GetTrack();
    return CEncodingUtils::ToLowerAscii(track.GetRawArtist()) == CEncodingUtils::ToLowerAscii(other.GetRawArtist()) &&
           CEncodingUtils::ToLowerAscii(track.GetRawTitle()) == CEncodingUtils::ToLowerAscii(other.GetRawTitle());
}

int32_t CPlayerConnection::CalcGoal() const {
    const int32_t length = mTrack.GetLength();
    VBX_LOG(4, "Song length: " << length << "\n");
    if (length < kMinLength)
        return kMaxGoal;
    return std::min(length / 2, kMaxGoal);
}

EPlayOutcome CPlayerConnection::Eligibility(const Track& track) const {
    const int32_t length = track.GetLength();
    if (length < kMinLength) {
        VBX_LOG(3, "Track length is: " << length << "s which is too short, will not submit.\n");
        return length <= 0 ? EPlayOutcome::kNoLength : EPlayOutcome::kTooShort;
    }

    const std::string path = track.GetPath();
    try {
        const CUser user = mSettings.GetCurrentUser();
        for (const std::string& dir : user.exclusionDirs) {
            // An empty entry would be part of every path and exclude
            // everything.
            if (!dir.empty() && path.find(dir) != std::string::npos) {
                VBX_LOG(3, "Track is in excluded directory '" << path << "', "
                                                              << "will not submit.\n");
                return EPlayOutcome::kExcluded;
            }
        }
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(1, "No current user, excluded directories not checked.\n");
    }

    std::vector<std::string> empty;
    if (track.GetArtist().empty())
        empty.emplace_back("artist");
    if (track.GetTitle().empty())
        empty.emplace_back("track");
    if (track.GetLengthText().empty())
        empty.emplace_back("length");
    if (path.empty())
        empty.emplace_back("path");
    if (!empty.empty()) {
        std::string names;
        for (const std::string& name : empty)
            names += (names.empty() ? "" : ", ") + name;
        VBX_LOG(3, "The following required fields were empty: " << names << ". Will not submit."
                                                                << "\n");
        return EPlayOutcome::kIncomplete;
    }

    const std::string artist = CEncodingUtils::ToLowerAscii(track.GetArtist());
    if (std::find(mInvalidArtistNames.begin(), mInvalidArtistNames.end(), artist) !=
        mInvalidArtistNames.end()) {
        VBX_LOG(3, "Artist '" << artist << "' is an invalid artist name, "
                              << "will not submit.\n");
        return EPlayOutcome::kIncomplete;
    }
    return EPlayOutcome::kCounting;
}

void CPlayerConnection::GoalReached() {
    // The goal of a track counts once per START. A RESUME that read the flag
    // before it was set here may start the stopwatch again (its Start waits
    // for the stopwatch's lock, held while this runs); that thread reaches
    // the goal at once and ends here.
    if (mbSubmitted.exchange(true)) {
        VBX_LOG(3, "Goal of this track already handled, will not submit again.\n");
        return;
    }
    EPlayOutcome outcome = EPlayOutcome::kWaiting;
    try {
        const CUser user = mSettings.GetCurrentUser();
        if (!user.submitPlays) {
            VBX_LOG(3, "Logging disabled, will not submit.\n");
            outcome = EPlayOutcome::kNotSubmitting;
        }
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(1, "No current user, will not submit.\n");
        outcome = EPlayOutcome::kNoUser;
    }
    // Recorded before the track is handed on, so that a refusal of the
    // queue finds the play waiting.
    if (CPlayRecorder* recorder = Recorder())
        recorder->Reached(mPluginId, outcome);
    if (outcome == EPlayOutcome::kWaiting)
        mSubmit(mTrack);
}
