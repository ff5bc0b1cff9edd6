#pragma once

#include "player/PlayRecorder.h"

#include <optional>

/// The names of the outcomes of a play: a key for files and scripts (never
/// changed once shipped), a word for a list, a sentence that says why.
class CPlayOutcome {
public:
    CPlayOutcome() = delete;

    /// The highest outcome number known.
    static constexpr int kLast = static_cast<int>(EPlayOutcome::kDuplicate);

    /// "submitted", "waiting", "too-short", ...
    static const char* Key(EPlayOutcome outcome) noexcept;
    /// The outcome stored as that number; nothing for one of a later version.
    static std::optional<EPlayOutcome> FromNumber(long long number) noexcept;
    /// "Submitted", "Waiting", "Too short", ...
    static const char* Word(EPlayOutcome outcome) noexcept;
    /// "Not counted: shorter than the minimum of 30 seconds.", ...
    static const char* Reason(EPlayOutcome outcome) noexcept;
    /// Sent, or on its way (waiting in the queue).
    static bool Counted(EPlayOutcome outcome) noexcept {
        return outcome == EPlayOutcome::kSubmitted || outcome == EPlayOutcome::kWaiting;
    }
    /// A play the person listened to: all but the echoes of another
    /// player's and plays of players they chose not to hear.
    static bool Heard(EPlayOutcome outcome) noexcept {
        return outcome != EPlayOutcome::kMirror && outcome != EPlayOutcome::kIgnoredPlayer;
    }
};
