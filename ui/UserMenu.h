#pragma once

#include <QMenu>

class CSettingsManager;

/// The user menu ("User" of the main window, "Change User" of the tray, and
/// the drop-down of the user's name): every user, the current one checked,
/// then a separator and "Add User...". The list is made afresh each time the
/// menu is about to show, so it never holds a user twice.
class CUserMenu : public QMenu {
    Q_OBJECT
public:
    /// Command number of "Add User..." and of the first user entry.
    static constexpr int kAddUserCommand = 32777;
    static constexpr int kFirstUserCommand = 0x9000;

    explicit CUserMenu(CSettingsManager& settings, QWidget* parent = nullptr);

    /// Rebuilds the user entries (also run when the menu is about to show).
    void Prepare();

signals:
    /// The user at this position of the settings was chosen.
    void userChosen(int index);
    void addUserChosen();

private:
    CSettingsManager& mSettings;
};
