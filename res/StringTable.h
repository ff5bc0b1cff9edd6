#pragma once

#include <string_view>

/// Identifiers of the program's user-visible texts.
enum EStringId : int {
    // The tray icon's tip follows the user's name.
    IDS_TIP_VORTLING = 105,
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

    // The main window and the tray icon.
    IDS_MAIN_TITLE = 128,
    IDS_NO_UPDATES = 172,
    IDS_UP_TO_DATE_CAPTION = 173,
    IDS_TIP_DISABLED = 174,
    IDS_TIP_CACHING = 175,
    // The questions of a "fenwave:" link while the radio may be missing: on
    // a first run, when a login is needed, and otherwise.
    IDS_RADIO_LINK_FIRST_RUN = 178,
    IDS_RADIO_LINK_LOGIN = 179,
    IDS_RADIO_LINK_INSTALL = 180,
    // The plug-in wizard and the update wizard.
    IDS_RUNNING_PLAYERS = 106,
    IDS_WIZARD_CAPTION = 113,
    IDS_WIZARD_WELCOME = 114,
    IDS_SEARCHING_HEADER = 115,
    IDS_SEARCHING_INFO = 116,
    IDS_DOWNLOADING_HEADER = 117,
    IDS_DOWNLOADING_INFO = 118,
    IDS_DONE_HEADER = 119,
    IDS_DONE_PLUGIN = 120,
    IDS_NO_CONNECTION = 127,
    IDS_DOWNLOAD_FAILED = 130,
    IDS_WIZARD_HEADER = 132,
    IDS_DETECTION_HEADER = 151,
    IDS_DETECTION_INFO = 152,
    IDS_DONE_LOGIN = 156,
    IDS_DONE_RADIO = 157,
    IDS_LAUNCH_RADIO = 158,
    IDS_CLOSE_PLAYERS = 159,
    IDS_RUNNING_CAPTION = 160,
    IDS_RADIO_INSTALL = 161,
    IDS_RADIO_UPGRADE = 162,
    IDS_UPDATES_HEADER = 163,
    IDS_SHUTDOWN_FAILED = 164,
    IDS_SHUTDOWN_FAILED_CAPTION = 165,
    IDS_UPDATE_CAPTION = 166,
    IDS_UPDATE_DONE_HEADER = 167,
    IDS_UPDATE_DONE_INFO = 168,
    IDS_APP_UPDATE_INFO = 169,
    IDS_APP_UPDATE_HEADER = 170,
    IDS_UPDATES_INFO = 171,
    // Headers of the wizard's inner pages, and the update hand-over failure.
    IDS_LOGIN_HEADER = 701,
    IDS_LOGIN_INFO = 702,
    IDS_SELECTION_HEADER = 703,
    IDS_SELECTION_INFO = 704,
    IDS_RADIO_HEADER = 705,
    IDS_RADIO_INFO = 706,
    IDS_HANDOVER_FAILED = 707,
    IDS_HANDOVER_FAILED_CAPTION = 708,
    IDS_DETECTION_SUBTITLE = 709,
    IDS_SELECTION_SUBTITLE = 710,
    IDS_UPDATES_SUBTITLE = 711,
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
        {IDS_TIP_VORTLING, " is vortling"},
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
        {IDS_MAIN_TITLE, "Vortlebox"},
        {IDS_NO_UPDATES, "No updates available. All your software is up to date!"},
        {IDS_UP_TO_DATE_CAPTION, "Up to date"},
        {IDS_TIP_DISABLED, " has disabled vortling"},
        {IDS_TIP_CACHING, "'s tracks are being cached for later submission"},
        {IDS_RADIO_LINK_FIRST_RUN,
         "To be able to click on Fenwave radio links, you need the Fenwave Radio installed.\nClick OK to launch "
         "the configuration wizard as part of which you can install the Fenwave Radio."},
        {IDS_RADIO_LINK_LOGIN,
         "To be able to click on Fenwave radio links, you need the Fenwave Radio installed.\nClick OK to log "
         "into Vortlebox which will then install the Fenwave Radio component."},
        {IDS_RADIO_LINK_INSTALL,
         "To be able to click on Fenwave radio links, you need the Fenwave Radio installed.\nClick OK if you "
         "want to install the Fenwave Radio component."},

        {IDS_RUNNING_PLAYERS, "The following player applications seem to be running at the moment:\n\n"},
        {IDS_WIZARD_CAPTION, "Vortlebox Wizard"},
        {IDS_WIZARD_WELCOME,
         "This wizard sets Vortlebox up for you. It logs you in to your Fenwave account, finds the music "
         "players installed on this computer and installs the Vortlebox plugin into them, and can install the "
         "Fenwave Radio as well.\n\nClick Next to continue."},
        {IDS_SEARCHING_HEADER, "Searching for Players"},
        {IDS_SEARCHING_INFO, "Detecting installed players. Please wait."},
        {IDS_DOWNLOADING_HEADER, "Downloading and Installing"},
        {IDS_DOWNLOADING_INFO, "Downloading and installing software. Please wait."},
        {IDS_DONE_HEADER, "Done"},
        {IDS_DONE_PLUGIN, "The wizard has finished installing the plugins you selected. Restart your players "
                          "if they were running, and the tracks you play will be vortled.\n\nClick Finish to "
                          "close this wizard."},
        {IDS_NO_CONNECTION, "For some reason it was impossible to connect to the Internet.\nTo use this wizard, "
                            "you need to be connected to the Internet."},
        {IDS_DOWNLOAD_FAILED,
         "The download failed. This could be due to your Internet connection being down, or the Fenwave "
         "server being temporarily unavailable. Please check your connection and try again later."},
        {IDS_WIZARD_HEADER, "Vortlebox Configuration Wizard"},
        {IDS_DETECTION_HEADER, "Player Detection"},
        {IDS_DETECTION_INFO,
         "The wizard will now look for the music players installed on this computer and find out which of "
         "them can have a Vortlebox plugin.\n\nMake sure you are connected to the Internet, then click Next "
         "to start."},
        {IDS_DONE_LOGIN,
         "Vortlebox is set up. It runs in the system tray: play music in one of your players and the tracks "
         "you listen to will be vortled to your Fenwave profile.\n\nClick Finish to close this wizard."},
        {IDS_DONE_RADIO, "The wizard has finished. If you chose to install the Fenwave Radio, it is ready to "
                         "play Fenwave radio links.\n\nClick Finish to close this wizard."},
        {IDS_LAUNCH_RADIO, "Launch radio"},
        {IDS_CLOSE_PLAYERS,
         "\nThey need to be shut down before plugins can be installed.\nDo you want Vortlebox to close them?"},
        {IDS_RUNNING_CAPTION, "Detected running player(s)"},
        {IDS_RADIO_INSTALL, "The Fenwave Radio plays Fenwave's radio stations and opens Fenwave radio links "
                            "from web pages. Tick the box to automatically install it."},
        {IDS_RADIO_UPGRADE,
         "A new version of the Fenwave Radio is available. Tick the box to automatically upgrade it."},
        {IDS_UPDATES_HEADER, "Updates available"},
        {IDS_SHUTDOWN_FAILED,
         "Some of the running applications couldn't be shut down. Please close them manually."},
        {IDS_SHUTDOWN_FAILED_CAPTION, "Shutdown failed"},
        {IDS_UPDATE_CAPTION, "Automatic update wizard"},
        {IDS_UPDATE_DONE_HEADER, "Done"},
        {IDS_UPDATE_DONE_INFO, "The updates were successfully installed."},
        {IDS_APP_UPDATE_INFO,
         "In order to update itself, Vortlebox needs to shut down. Pressing Next will make Vortlebox close "
         "itself, automatically install the new version, and then relaunch when done."},
        {IDS_APP_UPDATE_HEADER, "Application update"},
        {IDS_UPDATES_INFO, "There are new versions available of Vortlebox plugins or applications. Please select "
                           "the ones you want to update and click Next to download and install them "
                           "automatically."},
        {IDS_LOGIN_HEADER, "Fenwave Account"},
        {IDS_LOGIN_INFO, "Please enter your Fenwave username and password."},
        {IDS_SELECTION_HEADER, "Select Plugins"},
        {IDS_SELECTION_INFO, "The players with a ticked box get the Vortlebox plugin. If a player of yours "
                             "isn't listed, click Add... to tell the wizard where it is."},
        {IDS_RADIO_HEADER, "Fenwave Radio"},
        {IDS_RADIO_INFO, "Listen to Fenwave's radio stations on your desktop."},
        {IDS_HANDOVER_FAILED,
         "Vortlebox couldn't start its updater, so the new version can't be installed now. Vortlebox keeps "
         "running with the version you have; please try the update again later."},
        {IDS_HANDOVER_FAILED_CAPTION, "Update failed"},
        {IDS_DETECTION_SUBTITLE, "Find the music players installed on this computer."},
        {IDS_SELECTION_SUBTITLE, "Choose the players to install the Vortlebox plugin into."},
        {IDS_UPDATES_SUBTITLE, "Choose the updates to download and install."},
    };
};
