#include "history/HistoryExport.h"

#include "history/PlayOutcome.h"

#include <cstdio>
#include <ostream>

namespace {

/// The length of the UTF-8 sequence at the start of bytes; 0 when it is not
/// a whole, shortest-form one.
std::size_t Utf8Length(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char first = byte(0);
    std::size_t length;
    std::uint32_t min;
    if (first < 0x80)
        return 1;
    if ((first & 0xe0) == 0xc0) {
        length = 2;
        min = 0x80;
    } else if ((first & 0xf0) == 0xe0) {
        length = 3;
        min = 0x800;
    } else if ((first & 0xf8) == 0xf0) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    std::uint32_t code = first & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

} // namespace

std::string CHistoryExport::UtcText(std::time_t time) {
    std::tm tm{};
    gmtime_r(&time, &tm);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(text, n);
}

std::string CHistoryExport::ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = Utf8Length(bytes);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

std::string CHistoryExport::CsvField(std::string_view text) {
    const std::string valid = ValidUtf8(text);
    if (valid.find_first_of(",\"\r\n") == std::string::npos)
        return valid;
    std::string quoted = "\"";
    for (char c : valid) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string CHistoryExport::JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : ValidUtf8(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::int64_t CHistoryExport::Write(CHistoryStore* store, const CHistoryStore::CFilter& filter, EFormat format,
                                   std::ostream& out) {
    std::int64_t written = 0;
    if (format == EFormat::kCsv)
        out << "start,artist,title,album,length,player,plugin,outcome,submitted\n";
    else
        out << "[";
    const auto writeOne = [&](const CHistoryStore::CPlay& play) {
        const std::string submitted = play.acked ? UtcText(*play.acked) : std::string();
        if (format == EFormat::kCsv) {
            out << UtcText(play.start) << ',' << CsvField(play.artist) << ',' << CsvField(play.title) << ','
                << CsvField(play.album) << ',' << play.length << ',' << CsvField(play.player) << ','
                << CsvField(play.plugin) << ',' << CPlayOutcome::Key(play.outcome) << ',' << submitted << '\n';
        } else {
            out << (written == 0 ? "\n" : ",\n") << "  {\"start\": \"" << UtcText(play.start)
                << "\", \"artist\": " << JsonString(play.artist) << ", \"title\": " << JsonString(play.title)
                << ", \"album\": " << JsonString(play.album) << ", \"length\": " << play.length
                << ", \"player\": " << JsonString(play.player) << ", \"plugin\": " << JsonString(play.plugin)
                << ", \"outcome\": \"" << CPlayOutcome::Key(play.outcome) << "\", \"submitted\": "
                << (submitted.empty() ? std::string("null") : "\"" + submitted + "\"") << "}";
        }
        ++written;
    };
    if (store != nullptr)
        store->ForEach(filter, writeOne);
    if (format == EFormat::kJson)
        out << (written == 0 ? "]\n" : "\n]\n");
    return written;
}
