#pragma once

#include "ui/OptionsPage.h"

#include <QIcon>
#include <QString>

#include <string>
#include <vector>

class CSettingsManager;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class Vortler;

/// The "User" page of the options dialog: the current user's vortling
/// switch, tray colour, whether the password is remembered (and the way to
/// change it), and the directories whose tracks are never submitted.
class CUserPage : public COptionsPage {
    Q_OBJECT
public:
    /// Control identifiers; each control's objectName is its role.
    enum EControl : int {
        IDC_USER_NAME = 1032,
        IDC_VORTLING = 1009,
        IDC_COLOUR = 1048,
        IDC_REMEMBER = 1011,
        IDC_UPDATE_PASSWORD = 1017,
        IDC_DIRECTORIES = 1018,
        IDC_ADD = 1002,
        IDC_REMOVE = 1019,
        IDC_CLEAR = 1020,
    };

    /// The client is the one the password change verifies with.
    CUserPage(CSettingsManager& settings, Vortler& client, QWidget* parent = nullptr);

    /// "Add...": lets the user choose a folder, starting at the last one
    /// chosen, and lists it.
    void AddDirectory();
    /// "Remove" and the Delete key: the selected rows go.
    void RemoveSelected();
    /// "Clear": every row goes.
    void ClearDirectories();
    /// "Update password...": the login dialog for the current user.
    void UpdatePassword();

    /// The listed directories, in list order.
    std::vector<std::string> Directories() const;
    /// Where the next "Add..." starts ("" before the first choice).
    const QString& LastFolder() const noexcept { return mLastFolder; }

    /// The five colours in list order, their position being the number.
    static QString ColourName(int colour);

protected:
    void Load() override;
    bool Save() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void AppendDirectory(const QString& path);

    CSettingsManager& mSettings;
    Vortler& mClient;
    // The user the page was read for; it stores to that user.
    std::string mUserName;
    QString mLastFolder;
    QIcon mFolderIcon;

    QLabel* mpUserName = nullptr;
    QCheckBox* mpVortling = nullptr;
    QComboBox* mpColour = nullptr;
    QCheckBox* mpRemember = nullptr;
    QPushButton* mpUpdatePassword = nullptr;
    QTreeWidget* mpDirectories = nullptr;
    QPushButton* mpAdd = nullptr;
    QPushButton* mpRemove = nullptr;
    QPushButton* mpClear = nullptr;
};
