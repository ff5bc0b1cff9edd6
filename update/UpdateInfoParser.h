#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

/// Reads the update-information file: plain 8-bit text, lines separated by
/// LF, each trimmed (a trailing CR stays). Empty lines and lines beginning
/// with "//" are comments; "[App]", "[Plugins]" and "[Radio]" start their
/// section, other bracket lines are ignored; any other line is a record of
/// double-quoted fields ("" inside a field stands for one quote). [App] and
/// [Radio] records have 5 fields, [Plugins] records 8.
///
/// Records are handed over one by one in file order, so that a file that
/// turns out to be bad half-way keeps the records before the bad line.
class CUpdateInfoParser {
public:
    enum class ESection { None, App, Plugins, Radio };

    static constexpr std::size_t kComponentFieldCount = 5;
    static constexpr std::size_t kPluginFieldCount = 8;

    static constexpr const char* kCorruptText = "Downloaded update info corrupt.";
    static constexpr const char* kComponentCountText =
        "Downloaded update info for component didn't contain the correct number of entries.";
    static constexpr const char* kPluginCountText =
        "Downloaded update info for plugin didn't contain the correct number of entries.";

    /// Called with each record's section and fields; it may take the fields.
    using RecordHandler = std::function<void(ESection section, std::vector<std::string>& fields)>;

    CUpdateInfoParser() = delete;

    /// Parses the text, calling onRecord for each record. Throws
    /// CConnectionException with kCorruptText for a record before the first
    /// recognised header, and with kComponentCountText or kPluginCountText for
    /// a record with the wrong number of fields.
    static void Parse(const std::string& text, const RecordHandler& onRecord);
};
