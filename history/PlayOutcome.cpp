#include "history/PlayOutcome.h"

#include <array>

namespace {

struct CNames {
    EPlayOutcome outcome;
    const char* key;
    const char* word;
    const char* reason;
};

// In the order of the outcome numbers.
constexpr std::array<CNames, CPlayOutcome::kLast + 1> kNames{{
    {EPlayOutcome::kCounting, "playing", "Playing", "Playing now; it counts once half of it has played."},
    {EPlayOutcome::kWaiting, "waiting", "Waiting", "Counted; waiting in the queue to be submitted."},
    {EPlayOutcome::kSubmitted, "submitted", "Submitted", "Counted and submitted."},
    {EPlayOutcome::kTooShort, "too-short", "Too short", "Not counted: shorter than the minimum of 30 seconds."},
    {EPlayOutcome::kStoppedEarly, "stopped-early", "Stopped early", "Not counted: stopped before its goal."},
    {EPlayOutcome::kExcluded, "excluded-folder", "Excluded folder", "Not counted: it is in an excluded folder."},
    {EPlayOutcome::kNotSubmitting, "vortling-off", "Vortling off", "Not counted: vortling was off."},
    {EPlayOutcome::kIgnoredPlayer, "ignored-player", "Ignored player",
     "Not counted: the player is one you chose not to hear."},
    {EPlayOutcome::kNoLength, "no-length", "No length", "Not counted: the player told no length."},
    {EPlayOutcome::kIncomplete, "incomplete", "No artist or title",
     "Not counted: the artist, title or file is missing."},
    {EPlayOutcome::kMirror, "mirror", "Other player", "Not counted again: another player counted it."},
    {EPlayOutcome::kHeldBack, "held-back", "Held back", "Not submitted: you held it back."},
    {EPlayOutcome::kNoUser, "no-user", "No user", "Not counted: nobody was logged in."},
    {EPlayOutcome::kDuplicate, "duplicate", "Duplicate",
     "Not counted: a play of the same moment was in the queue already."},
}};

const CNames& NamesOf(EPlayOutcome outcome) noexcept {
    const auto index = static_cast<std::size_t>(outcome);
    return index < kNames.size() ? kNames[index] : kNames[0];
}

} // namespace

const char* CPlayOutcome::Key(EPlayOutcome outcome) noexcept {
    return NamesOf(outcome).key;
}

std::optional<EPlayOutcome> CPlayOutcome::FromNumber(long long number) noexcept {
    if (number < 0 || number > kLast)
        return std::nullopt;
    return static_cast<EPlayOutcome>(number);
}

const char* CPlayOutcome::Word(EPlayOutcome outcome) noexcept {
    return NamesOf(outcome).word;
}

const char* CPlayOutcome::Reason(EPlayOutcome outcome) noexcept {
    return NamesOf(outcome).reason;
}
