#include "mpris/PluginLine.h"

#include "app/FormEncode.h"

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

} // namespace

const char* CPluginLine::Word(ECode code) noexcept {
    switch (code) {
    case kStart:
        return "START";
    case kStop:
        return "STOP";
    case kPause:
        return "PAUSE";
    case kResume:
        break;
    }
    return "RESUME";
}

std::string CPluginLine::Encode(std::string_view value) {
    std::string encoded;
    encoded.reserve(value.size() + 8);
    for (const char c : value) {
        if (c == '&')
            encoded += "&&";
        else if (c == '\n' || c == '\r' || c == '\0')
            encoded += ' ';
        else
            encoded += c;
    }
    return encoded;
}

std::string CPluginLine::PercentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::string CPluginLine::Path(const CMprisMetadata& track) {
    if (track.url.empty())
        return track.trackId;
    std::string_view url = track.url;
    if (!StartsWithNoCase(url, "file://"))
        return track.url;
    std::string_view rest = url.substr(7);
    // "file:///p" has an empty host, "file://localhost/p" names this machine;
    // a URL naming another host is no local path and stays a URL.
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return track.url;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !(host.size() == 9 && StartsWithNoCase(host, "localhost")))
        return track.url;
    std::string_view path = rest.substr(slash);
    // A query or fragment is not part of a file's path.
    const std::size_t end = path.find_first_of("?#");
    if (end != std::string_view::npos)
        path = path.substr(0, end);
    return PercentDecode(path);
}

std::string CPluginLine::Length(const CMprisMetadata& track) {
    const auto seconds = track.LengthSeconds();
    return seconds ? std::to_string(*seconds) : std::string();
}

std::string CPluginLine::Start(const std::string& pluginId, const CMprisMetadata& track) {
    std::string line = "START c=" + Encode(pluginId);
    line += "&a=" + Encode(track.artist);
    line += "&t=" + Encode(track.title);
    line += "&b=" + Encode(track.album);
    line += "&m=" + Encode(track.musicBrainzTrackId);
    line += "&l=" + Length(track);
    line += "&p=" + Encode(Path(track));
    return line;
}

std::string CPluginLine::Simple(ECode code, const std::string& pluginId) {
    return std::string(Word(code)) + " c=" + Encode(pluginId);
}
