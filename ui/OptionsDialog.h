#pragma once

#include <QDialog>

class CConnectionPage;
class CSettingsManager;
class CUserPage;
class QDialogButtonBox;
class QTabWidget;
class Vortler;

/// The "Options" dialog: the "User" and "Connection" pages with OK, Apply
/// and Cancel. Nothing is stored before OK or Apply; then the User page
/// stores first and the Connection page only if that succeeded. OK closes
/// once both stored; Apply keeps the dialog open and clears the pages'
/// modified state. Apply is enabled while a page has changes.
class COptionsDialog : public QDialog {
    Q_OBJECT
public:
    enum EPage : int { kUserPage = 0, kConnectionPage = 1 };

    /// The settings and the client (which checks a new password) default
    /// to the program's own.
    explicit COptionsDialog(QWidget* parent, int firstPage = kUserPage);
    COptionsDialog(QWidget* parent, int firstPage, CSettingsManager& settings, Vortler& client);

    /// OK: stores both pages, and closes when they are stored.
    void accept() override;
    /// Apply: stores both pages; true when both are stored.
    bool Apply();

    CUserPage& UserPage() const noexcept { return *mpUserPage; }
    CConnectionPage& ConnectionPage() const noexcept { return *mpConnectionPage; }

private:
    bool StorePages();
    void UpdateApplyButton();

    QTabWidget* mpTabs = nullptr;
    CUserPage* mpUserPage = nullptr;
    CConnectionPage* mpConnectionPage = nullptr;
    QDialogButtonBox* mpButtons = nullptr;
};
