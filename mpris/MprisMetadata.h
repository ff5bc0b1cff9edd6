#pragma once

#include <cstdint>
#include <optional>
#include <string>

/// What a player tells about its current track, reduced to the fields the
/// listener takes. Texts are UTF-8 as the player sent them (already cut to a
/// sane size by the reader).
struct CMprisMetadata {
    /// The track's object path; empty for none and for the "no track" path.
    std::string trackId;
    /// Every artist of the track, joined with ", ".
    std::string artist;
    std::string title;
    std::string album;
    /// "xesam:url" as given.
    std::string url;
    std::string musicBrainzTrackId;
    /// "mpris:length" in microseconds, as given (may be 0 or absurd).
    std::optional<std::int64_t> lengthUs;

    /// The longest length the listener can store (five decimal digits).
    static constexpr std::int64_t kMaxLengthSeconds = 99999;

    bool operator==(const CMprisMetadata&) const = default;

    /// Nothing names a track: the player has none loaded.
    bool Empty() const noexcept;

    /// The length in whole seconds, rounded, or nothing when it is missing,
    /// not positive or more than the listener can store.
    std::optional<std::int64_t> LengthSeconds() const noexcept;

    /// Whether this describes a different track than `other`: a field that
    /// both name differs. A field that only one of them has is taken as
    /// metadata still being filled in, not as another track.
    bool IsOtherTrackThan(const CMprisMetadata& other) const;

    /// Whether the track can be counted at all: artist, title and a usable
    /// length present.
    bool IsCountable() const noexcept;
};
