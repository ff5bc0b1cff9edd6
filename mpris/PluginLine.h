#pragma once

#include "mpris/MprisMetadata.h"

#include <string>
#include <string_view>

/// Builds the command lines of the player command protocol, encoded as a
/// plug-in must: fields back to back as identifier "=" value, separated by
/// "&", a literal "&" in a value doubled. A value can hold neither a line
/// break nor a NUL (the line would end there), so each of those becomes a
/// space. The line feed that ends a line on the socket is not part of it.
class CPluginLine {
public:
    /// Command codes, as the listener numbers them.
    enum ECode { kStart = 0, kStop = 1, kPause = 2, kResume = 3 };

    CPluginLine() = delete;

    /// "START c=...&a=...&t=...&b=...&m=...&l=...&p=..." for the track.
    static std::string Start(const std::string& pluginId, const CMprisMetadata& track);
    /// "STOP c=...", "PAUSE c=..." or "RESUME c=...".
    static std::string Simple(ECode code, const std::string& pluginId);

    static const char* Word(ECode code) noexcept;
    /// One field value, encoded.
    static std::string Encode(std::string_view value);
    /// The path field: a "file:" URL decoded to the local path it names;
    /// any other URL as it is; without a URL the track's object path, so
    /// that a track of a player that names no file can still count.
    static std::string Path(const CMprisMetadata& track);
    /// The length field: whole seconds, or empty when the track has no
    /// usable length.
    static std::string Length(const CMprisMetadata& track);
    /// Decodes "%XX" escapes; a "%" not followed by two hexadecimal digits
    /// stays as it is.
    static std::string PercentDecode(std::string_view text);
};
