#pragma once

#include <string_view>

/// Identifiers of the program's user-visible texts.
enum EStringId : int {
    IDS_LOOKING_UP = 121,
    IDS_CONNECTING_TO = 122,
    IDS_REDIRECTING_TO = 123,
    IDS_DOWNLOADING = 124,
    IDS_SENDING_REQUEST = 126,
};

/// The program's string table: every user-visible text of the dialogs,
/// wizards and progress lines, looked up by identifier, so that all parts of
/// the program show the same words.
class CStringTable {
public:
    CStringTable() = delete;

    /// The text of an identifier, or "" for one the table lacks.
    static constexpr std::string_view Get(int id) noexcept {
        for (const Entry& entry : kEntries) {
            if (entry.id == id)
                return entry.text;
        }
        return {};
    }

private:
    struct Entry {
        int id;
        std::string_view text;
    };

    static constexpr Entry kEntries[] = {
        {IDS_LOOKING_UP, "Looking up"},
        {IDS_CONNECTING_TO, "Connecting to"},
        {IDS_REDIRECTING_TO, "Redirecting to"},
        {IDS_DOWNLOADING, "Downloading"},
        {IDS_SENDING_REQUEST, "Sending request..."},
    };
};
