#pragma once

#include <cstdint>
#include <string>

struct utsname;

/// The pieces of the start-up log that need no application object: keeping
/// the log file short, and the system's version text for the banner.
class CStartupLog {
public:
    CStartupLog() = delete;

    /// A log file larger than limit bytes is cut to its last keep bytes (the
    /// cut may fall inside a record). The shortened file replaces the old one
    /// in one rename, so a crash meanwhile leaves one of the two whole.
    /// Returns whether the file was cut.
    static bool TrimLogFile(const std::string& path, std::uint64_t limit = 500000,
                            std::uint64_t keep = 250000);

    /// "sysname major.minor.build : version" of the running kernel, the build
    /// masked to 16 bits; " 0.0.0 : " when the system cannot say.
    static std::string SystemVersionText();
    /// The same text from a given system record; null gives " 0.0.0 : ".
    static std::string FormatVersionText(const struct utsname* info);
};
