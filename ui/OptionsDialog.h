#pragma once

#include <QDialog>

#include <vector>

class CConnectionPage;
class CGeneralPage;
class COptionsPage;
class CPlayersPage;
class CSettingsManager;
class CUserPage;
class QDialogButtonBox;
class QTabWidget;
class Vortler;

/// The "Options" dialog: the "User", "Connection", "Players" and "General" pages with
/// OK, Apply and Cancel. Nothing is stored before OK or Apply; then the
/// pages store in that order, each only if the ones before it succeeded. OK
/// closes once all stored; Apply keeps the dialog open and clears the pages'
/// modified state. Apply is enabled while a page has changes.
class COptionsDialog : public QDialog {
    Q_OBJECT
public:
    enum EPage : int { kUserPage = 0, kConnectionPage = 1, kPlayersPage = 2, kGeneralPage = 3 };

    /// The settings and the client (which checks a new password) default
    /// to the program's own.
    explicit COptionsDialog(QWidget* parent, int firstPage = kUserPage);
    COptionsDialog(QWidget* parent, int firstPage, CSettingsManager& settings, Vortler& client);

    /// OK: stores the pages, and closes when they are stored.
    void accept() override;
    /// Apply: stores the pages; true when all are stored.
    bool Apply();

    CUserPage& UserPage() const noexcept { return *mpUserPage; }
    CConnectionPage& ConnectionPage() const noexcept { return *mpConnectionPage; }
    CPlayersPage& PlayersPage() const noexcept { return *mpPlayersPage; }
    CGeneralPage& GeneralPage() const noexcept { return *mpGeneralPage; }

private:
    std::vector<COptionsPage*> Pages() const;
    bool StorePages();
    void UpdateApplyButton();

    QTabWidget* mpTabs = nullptr;
    CUserPage* mpUserPage = nullptr;
    CConnectionPage* mpConnectionPage = nullptr;
    CPlayersPage* mpPlayersPage = nullptr;
    CGeneralPage* mpGeneralPage = nullptr;
    QDialogButtonBox* mpButtons = nullptr;
};
