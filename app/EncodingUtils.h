#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// Converts texts between UTF-8 (what plug-ins and the web service send) and
/// the local 8-bit "ANSI" code page (what the user sees and types). The ANSI
/// code page is the locale's character set unless a process sets another.
class CEncodingUtils {
public:
    /// UTF-8 to the ANSI code page. Invalid UTF-8 is replaced, characters the
    /// code page lacks become "?"; any real failure gives "" and is logged.
    static std::string Utf8ToAnsi(const char* utf8);

    /// ANSI to UTF-8 into the caller's buffer, always NUL-terminated within
    /// it (a text that does not fit is cut after its last whole character).
    /// Returns the bytes written before the NUL, or 0 on failure or for null.
    static int AnsiToUtf8(const char* ansi, char* buffer, int bufferSize);

    /// Encodes UTF-16 units as UTF-8, each unit on its own. count -1 means up
    /// to and including the first NUL unit. Stops once bufferSize - 3 bytes
    /// are written, and never writes past bufferSize. Returns the bytes
    /// written, the NUL included when it was reached.
    static int WideToUtf8(const uint16_t* units, int count, char* buffer, int bufferSize);

    /// The character set taken as the ANSI code page, e.g. "WINDOWS-1252" or
    /// "UTF-8". An empty name goes back to the locale's character set.
    static void SetAnsiCodePage(const std::string& charset);
    static std::string GetAnsiCodePage();

    /// Whether two texts are equal with ASCII letters compared without
    /// regard to case; every other byte must match as it is, whatever the
    /// locale.
    static bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;
    /// Whether the text begins with the prefix, compared the same way.
    static bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept;
    /// The text with its ASCII capitals made small; other bytes stay.
    static std::string ToLowerAscii(std::string text);
};
