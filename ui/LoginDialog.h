#pragma once

#include <QDialog>

#include <string>

class CHyperlink;
struct CUser;
class CSettingsManager;
class QCheckBox;
class QComboBox;
class QLineEdit;
class Vortler;

/// The small modal dialog through which an account enters the program or
/// proves itself. Its three modes:
///   add user         the name and password are checked with the web
///                    service, then the user is added and made current;
///   log in           a known user's password is compared with the stored
///                    hash (no network), then the user is made current; a
///                    name no user has turns the dialog into "add user";
///   change password  the current user's new password is checked with the
///                    web service and stored; the current user stays.
/// Accepted when the account was stored, rejected otherwise. Only the
/// password's hash is kept; the typed password goes nowhere else.
class CLoginDialog : public QDialog {
    Q_OBJECT
public:
    enum EMode : int { LOGIN_MODE_ADD_USER = 0, LOGIN_MODE_LOGIN = 1, LOGIN_MODE_CHANGE_PASS = 2 };

    /// Control identifiers; each control's objectName is its role.
    enum EControl : int {
        IDC_USERNAME = 1013,
        IDC_PASSWORD = 1016,
        IDC_REMEMBER = 1011,
        IDC_SIGNUP_LINK = 1034,
        IDC_FORGOT_LINK = 1035,
    };

    /// The dialog in a mode, for a user name (may be empty). The settings
    /// and the client whose verifyUser checks the account default to the
    /// program's own; the client need not be initialised.
    CLoginDialog(EMode mode, QWidget* parent, const std::string& userName);
    CLoginDialog(EMode mode, QWidget* parent, const std::string& userName, CSettingsManager& settings,
                 Vortler& client);

    EMode Mode() const noexcept { return mMode; }

    /// OK: checks the fields and stores the account; the dialog closes
    /// only when that succeeded (or the store failed, which rejects it).
    void accept() override;

    /// The caption of a mode.
    static QString Caption(EMode mode);

private:
    void CreateControls();
    void InitMode(const std::string& userName);
    void SetMode(EMode mode);
    void OnOK();
    void LogIn(const std::string& name, const std::string& hash, bool remember);
    void ChangePassword(const std::string& name, const std::string& hash, bool remember);
    void AddUser(const std::string& name, const std::string& hash, bool remember);
    /// Stores the changed user; false (after saying why) when that failed.
    bool UpdateUser(const CUser& user, const char* modeName);
    /// The store failed: logged, shown, and the dialog rejected.
    void RegistryFailed(const std::exception& e);

    EMode mMode;
    CSettingsManager& mSettings;
    Vortler& mClient;

    QComboBox* mpUserName = nullptr;
    QLineEdit* mpPassword = nullptr;
    QCheckBox* mpRemember = nullptr;
    CHyperlink* mpSignUp = nullptr;
    CHyperlink* mpForgot = nullptr;
};
