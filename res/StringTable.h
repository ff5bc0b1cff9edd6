#pragma once

#include <string_view>

/// Identifiers of the program's user-visible texts.
enum EStringId : int {
    IDS_OPTIONS_CAPTION = 107,
    IDS_USER_EXISTS = 109,
    IDS_LOOKING_UP = 121,
    IDS_CONNECTING_TO = 122,
    IDS_REDIRECTING_TO = 123,
    IDS_DOWNLOADING = 124,
    IDS_SENDING_REQUEST = 126,

    // The "More info" box of the status window: its caption, its first line
    // and the explanation of each submission status. 134 and 141 carry the
    // submission server's address in place of "%1".
    IDS_STATUS_SUBMITTING = 133,
    IDS_STATUS_NO_HANDSHAKE = 134,
    IDS_STATUS_UNUSED_2 = 135,
    IDS_STATUS_READY = 136,
    IDS_STATUS_UP_TO_DATE = 137,
    IDS_STATUS_NEW_VERSION = 138,
    IDS_STATUS_WEIRD_HANDSHAKE = 139,
    IDS_STATUS_BAD_USER = 140,
    IDS_STATUS_CONNECT_FAILED = 141,
    IDS_STATUS_UNUSED_10 = 142,
    IDS_STATUS_SUBMITTED = 143,
    IDS_STATUS_WEIRD_SUBMISSION = 144,
    IDS_STATUS_UNUSED_13 = 145,
    IDS_STATUS_BAD_PASSWORD = 146,
    IDS_STATUS_BAD_AUTH = 147,
    IDS_MORE_INFO_CAPTION = 149,
    IDS_MORE_INFO_INTRO = 150,
    IDS_STATUS_SUBMIT_FAILED = 155,
    IDS_STATUS_CONNECTING = 176,
    IDS_STATUS_NOT_STARTED = 177,
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
    static constexpr std::string_view kNotUsed = "Don't think this is ever used.";
    static constexpr std::string_view kWeird =
        "There was something weird about the response from the Fenwave web server. This is most likely a "
        "temporary problem and your vortled tracks will be saved on your computer and submitted as soon as "
        "communications are up and running again.";
    static constexpr std::string_view kWrongPassword =
        "The Fenwave password used by Vortlebox to submit tracks is incorrect. Have you changed your password "
        "on the Fenwave site recently? If so, you need to update it in Vortlebox too. Go to Tools -> Options, "
        "select the User tab and click on Update Password to update it.";

    struct Entry {
        int id;
        std::string_view text;
    };

    static constexpr Entry kEntries[] = {
        {IDS_OPTIONS_CAPTION, "Options"},
        {IDS_USER_EXISTS, "A user with this username already exists."},
        {IDS_LOOKING_UP, "Looking up"},
        {IDS_CONNECTING_TO, "Connecting to"},
        {IDS_REDIRECTING_TO, "Redirecting to"},
        {IDS_DOWNLOADING, "Downloading"},
        {IDS_SENDING_REQUEST, "Sending request..."},
        {IDS_STATUS_SUBMITTING,
         "Vortlebox is in the process of submitting a vortled track to the Fenwave web server."},
        {IDS_STATUS_NO_HANDSHAKE,
         "Vortlebox is not in a position to submit the last vortled track because it hasn't completed a "
         "handshake with the Fenwave web server. This could be due to your Internet connection being down, or "
         "the Fenwave submissions server being temporarily unavailable. You can verify this by going to %1. If "
         "your browser can't load that page, the submissions server is down. Vortlebox will continue trying to "
         "connect to it at regular intervals and in the meantime, your vortled tracks will be saved on your "
         "computer and submitted as soon as the server can be contacted again."},
        {IDS_STATUS_UNUSED_2, kNotUsed},
        {IDS_STATUS_READY, "All systems go. Vortlebox has contacted the Fenwave web server and is ready to "
                           "accept vortled tracks."},
        {IDS_STATUS_UP_TO_DATE, "You are using the latest versions of Vortlebox and your player plugin."},
        {IDS_STATUS_NEW_VERSION,
         "There is a new version of either Vortlebox or your player plugin available. The plan is that you "
         "should never see this message because Vortlebox will auto-update itself in the future."},
        {IDS_STATUS_WEIRD_HANDSHAKE, kWeird},
        {IDS_STATUS_BAD_USER,
         "The Fenwave username supplied when contacting the web server doesn't seem to be a valid Fenwave "
         "username. Double check the username you've entered into Vortlebox with the one you used to sign up "
         "on the Fenwave website."},
        {IDS_STATUS_CONNECT_FAILED,
         "Vortlebox failed to contact the Fenwave web server. This could be due to your Internet connection "
         "being down, or the Fenwave submissions server being temporarily unavailable. You can verify this by "
         "going to %1. If your browser can't load that page, the submissions server is down. Vortlebox will "
         "continue trying to connect to it at regular intervals and in the meantime, your vortled tracks will "
         "be saved on your computer and submitted as soon as the server can be contacted again."},
        {IDS_STATUS_UNUSED_10, kNotUsed},
        {IDS_STATUS_SUBMITTED, "The last track was successfully submitted to the Fenwave web server. "
                               "Everything is as it should."},
        {IDS_STATUS_WEIRD_SUBMISSION, kWeird},
        {IDS_STATUS_UNUSED_13, kNotUsed},
        {IDS_STATUS_BAD_PASSWORD, kWrongPassword},
        {IDS_STATUS_BAD_AUTH, kWrongPassword},
        {IDS_MORE_INFO_CAPTION, "More info"},
        {IDS_MORE_INFO_INTRO, "The last status message returned by the server was: "},
        {IDS_STATUS_SUBMIT_FAILED,
         "Submission of the last vortled track to the Fenwave web server failed. This could be due to your "
         "Internet connection being down, or the Fenwave site being temporarily unavailable. Vortlebox will "
         "continue trying to connect and in the meantime, your vortled tracks will be saved on your computer "
         "and submitted as soon as the web server can be contacted again."},
        {IDS_STATUS_CONNECTING,
         "Vortlebox is in the process of establishing a connection to the fenwave web server."},
        {IDS_STATUS_NOT_STARTED, "Submissions have not yet started."},
    };
};
