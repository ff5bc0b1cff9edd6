#pragma once

#include <QIcon>

/// The process-wide cache of the coloured user icons (the tray icons) and of
/// the drop-down arrow, filled on first use. A user's colour number (the
/// "Icon" setting) picks the icon: 0 red, 1 blue, 2 green, 3 yellow, 4 black;
/// any other number shows as 0.
///
/// User-interface thread only, like every QIcon.
class CIconShack {
public:
    CIconShack() = delete;

    static constexpr int kColours = 5;

    /// Fills the tables once; logs "Icons loaded".
    static void LoadIcons();
    /// Vortling on, nothing cached.
    static const QIcon& NormalIcon(int colour);
    /// Tracks are being cached: the note with an exclamation badge.
    static const QIcon& CachingIcon(int colour);
    /// Vortling off: the note with a prohibition badge.
    static const QIcon& DisabledIcon(int colour);
    /// The 11 x 8 downward arrow after the user's name.
    static const QIcon& ArrowBitmap();

    /// The resource identifiers of the three icons of a colour.
    static int NormalIconId(int colour) noexcept;
    static int CachingIconId(int colour) noexcept;
    static int DisabledIconId(int colour) noexcept;
};
