#pragma once

class CSettingsManager;

/// The user commands that the tray menu, the main window's menus and the
/// status window share.
class CUserCommands {
public:
    CUserCommands() = delete;

    /// "Enable vortling": inverts the current user's LogToProfile and stores
    /// the user; the settings' observers then redraw tray and status window.
    /// Without a current user nothing happens (logged). Returns the new
    /// state.
    static bool ToggleVortling(CSettingsManager& settings);
    /// A user chosen in a user menu: with a remembered password that user
    /// becomes current and the answer is true; otherwise false, and the
    /// caller asks for the password (the login dialog).
    static bool ChooseUser(CSettingsManager& settings, int index);
};
