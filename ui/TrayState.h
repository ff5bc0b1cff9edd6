#pragma once

#include <string>

struct CUser;

/// What the tray icon shows for a user: one of three states, re-derived from
/// scratch on every change. Vortling switched off takes precedence over
/// caching (the submitter's status 8, 14 or 16: the user or the password was
/// refused, so tracks wait on disk), which takes precedence over normal.
struct CTrayState {
    enum EKind { kNormal, kCaching, kDisabled };

    /// The longest tip the tray shows, in characters.
    static constexpr std::size_t kMaxTipLength = 63;

    EKind kind = kNormal;
    /// The user's colour number, which picks the icon.
    int colour = 0;
    /// The user's name followed by the state's text, cut to kMaxTipLength
    /// characters (UTF-8, never inside a character).
    std::string tip;

    /// The state of a user while the submitter reports statusCode.
    static CTrayState Derive(const CUser& user, int statusCode);
    /// The state right after start-up: vortling as the user has it, else
    /// normal (the submitter has not reported yet).
    static CTrayState Initial(const CUser& user);
    /// The first maxChars characters of a UTF-8 text.
    static std::string CutToCharacters(const std::string& text, std::size_t maxChars);

    bool operator==(const CTrayState&) const = default;
};
