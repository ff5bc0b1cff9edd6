#pragma once

#include <string>

/// Whether Vortlebox starts when the person logs in to the desktop, by the
/// XDG autostart rules: an entry "vortlebox.desktop" in the system's
/// autostart folders ($XDG_CONFIG_DIRS, /etc/xdg by default) starts it for
/// everybody; the same name in the person's own folder
/// ($XDG_CONFIG_HOME/autostart) replaces it, and "Hidden=true" there turns
/// it off for that person.
class CAutostart {
public:
    static constexpr const char* kEntryName = "vortlebox.desktop";

    CAutostart() = delete;

    /// The person's own entry.
    static std::string UserEntryPath();
    /// The first system-wide entry, or "" when there is none.
    static std::string SystemEntryPath();

    /// Whether the program starts at login.
    static bool IsEnabled();
    /// Off: the person's own entry says Hidden=true. On: the person's own
    /// entry goes when a system-wide one starts the program, else an entry
    /// of its own starts program (the program's path). Throws
    /// std::runtime_error with the reason when the entry cannot be written
    /// or removed.
    static void SetEnabled(bool enabled, const std::string& program);
};
