#pragma once

#include "history/HistoryStore.h"

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <string_view>

/// Writes plays for people's spreadsheets and scripts, oldest first, one
/// record per play with the fields
///
///   start, artist, title, album, length, player, plugin, outcome, submitted
///
/// start and submitted as UTC times "YYYY-MM-DDTHH:MM:SSZ" (submitted empty
/// or null when unknown), length in seconds, outcome a CPlayOutcome key, the
/// texts as UTF-8 (bytes that are not become U+FFFD).
///
/// CSV: a header line, then one line per play, ended by "\n"; a field with a
/// comma, a quote or a line break is quoted, its quotes doubled.
/// JSON: an array of objects with those keys.
class CHistoryExport {
public:
    enum class EFormat { kCsv, kJson };

    CHistoryExport() = delete;

    /// Writes the plays of the filter (none when store is null: an empty
    /// history); the number written. The stream's failure is the caller's
    /// to check; the store's throws CHistoryStore::CStoreException.
    static std::int64_t Write(CHistoryStore* store, const CHistoryStore::CFilter& filter, EFormat format,
                              std::ostream& out);

    static std::string UtcText(std::time_t time);
    /// The bytes as valid UTF-8.
    static std::string ValidUtf8(std::string_view bytes);
    static std::string CsvField(std::string_view text);
    /// A JSON string literal, quotes included.
    static std::string JsonString(std::string_view text);
};
