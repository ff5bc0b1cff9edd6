#include "ui/LoginDialog.h"

#include "app/Logger.h"
#include "res/StringTable.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/controls/Hyperlink.h"
#include "ui/MessageBox.h"
#include "ui/UserVerifier.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString WebSitePage(const char* path) {
    return QStringLiteral("http://%1%2")
        .arg(QString::fromStdString(Vortler::serverHost(CServerHosts::kWebSiteHost)), QLatin1String(path));
}

} // namespace

CLoginDialog::CLoginDialog(EMode mode, QWidget* parent, const std::string& userName)
    : CLoginDialog(mode, parent, userName, CSettingsManager::Instance(), CWebSubmitter::Instance()) {}

CLoginDialog::CLoginDialog(EMode mode, QWidget* parent, const std::string& userName, CSettingsManager& settings,
                           Vortler& client)
    : QDialog(parent), mMode(mode), mSettings(settings), mClient(client) {
    setObjectName(QStringLiteral("loginDialog"));
    setModal(true);
    CreateControls();
    InitMode(userName);
}

QString CLoginDialog::Caption(EMode mode) {
    switch (mode) {
    case LOGIN_MODE_ADD_USER:
        return QStringLiteral("Add user");
    case LOGIN_MODE_LOGIN:
        return QStringLiteral("Log In");
    case LOGIN_MODE_CHANGE_PASS:
        return QStringLiteral("Change password");
    }
    return QStringLiteral("Log in");
}

void CLoginDialog::CreateControls() {
    auto* intro = new QLabel(QStringLiteral("Please enter your Fenwave username and password."), this);
    intro->setObjectName(QStringLiteral("introText"));

    mpUserName = new QComboBox(this);
    mpUserName->setObjectName(QStringLiteral("userName"));
    mpUserName->setEditable(true);
    mpUserName->setInsertPolicy(QComboBox::NoInsert);
    mpUserName->setMinimumContentsLength(20);
    mpPassword = new QLineEdit(this);
    mpPassword->setObjectName(QStringLiteral("password"));
    mpPassword->setEchoMode(QLineEdit::Password);
    auto* userLabel = new QLabel(QStringLiteral("Username"), this);
    userLabel->setBuddy(mpUserName);
    auto* passwordLabel = new QLabel(QStringLiteral("Password"), this);
    passwordLabel->setBuddy(mpPassword);
    mpRemember = new QCheckBox(QStringLiteral("Remember my password"), this);
    mpRemember->setObjectName(QStringLiteral("rememberPassword"));

    auto* fields = new QGridLayout;
    fields->addWidget(userLabel, 0, 0);
    fields->addWidget(mpUserName, 0, 1);
    fields->addWidget(passwordLabel, 1, 0);
    fields->addWidget(mpPassword, 1, 1);
    fields->addWidget(mpRemember, 2, 1);
    fields->setColumnStretch(1, 1);

    mpSignUp = new CHyperlink(this);
    mpSignUp->setObjectName(QStringLiteral("signUpLink"));
    mpSignUp->setText(QStringLiteral("Sign up for a Fenwave account"));
    mpSignUp->SetUrl(WebSitePage("/signup.php"));
    mpForgot = new CHyperlink(this);
    mpForgot->setObjectName(QStringLiteral("forgotPasswordLink"));
    mpForgot->setText(QStringLiteral("Forgot your password?"));
    mpForgot->SetUrl(WebSitePage("/settings/lostpassword.php"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CLoginDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLoginDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addSpacing(4);
    layout->addLayout(fields);
    layout->addSpacing(4);
    layout->addWidget(mpSignUp, 0, Qt::AlignLeft);
    layout->addWidget(mpForgot, 0, Qt::AlignLeft);
    layout->addSpacing(4);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The tab order of the classic dialog: the fields, the box, OK, Cancel,
    // then the links.
    setTabOrder(mpUserName, mpPassword);
    setTabOrder(mpPassword, mpRemember);
    setTabOrder(mpRemember, buttons);
    setTabOrder(buttons, mpSignUp);
    setTabOrder(mpSignUp, mpForgot);
}

void CLoginDialog::InitMode(const std::string& userName) {
    setWindowTitle(Caption(mMode));
    const QString given = QString::fromStdString(userName);
    switch (mMode) {
    case LOGIN_MODE_ADD_USER:
        mpUserName->setEditText(given);
        mpUserName->setFocus();
        mpRemember->setChecked(true);
        break;
    case LOGIN_MODE_LOGIN: {
        int selected = -1;
        const int count = mSettings.GetNumUsers();
        for (int i = 0; i < count; ++i) {
            try {
                const CUser user = mSettings.GetUser(i);
                mpUserName->addItem(QString::fromStdString(user.name));
                if (user.name == userName)
                    selected = mpUserName->count() - 1;
            } catch (const CSettingsManager::CUserNotFoundException&) {
                // The list shrank meanwhile; what is listed stays.
            }
        }
        mpUserName->setCurrentIndex(selected);
        if (selected >= 0) {
            mpPassword->setFocus();
            mpRemember->setChecked(false);
        } else {
            mpUserName->setEditText(given);
            mpUserName->setFocus();
            mpRemember->setChecked(true);
        }
        break;
    }
    case LOGIN_MODE_CHANGE_PASS: {
        bool remember = false;
        std::string name = userName;
        try {
            const CUser user = mSettings.GetCurrentUser();
            name = user.name;
            remember = user.rememberPassword;
        } catch (const CSettingsManager::CUserNotFoundException&) {
            VBX_LOG(1, "No current user to change the password of\n");
        }
        mpUserName->addItem(QString::fromStdString(name));
        mpUserName->setCurrentIndex(0);
        mpUserName->setEnabled(false);
        mpPassword->setFocus();
        mpRemember->setChecked(remember);
        break;
    }
    }
}

void CLoginDialog::SetMode(EMode mode) {
    mMode = mode;
    setWindowTitle(Caption(mode));
}

void CLoginDialog::accept() {
    OnOK();
}

void CLoginDialog::OnOK() {
    const std::string name = mpUserName->currentText().toStdString();
    const QString password = mpPassword->text();
    const bool remember = mpRemember->isChecked();
    if (name.empty() || password.isEmpty()) {
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Field Empty"),
                          QStringLiteral("Please enter a username and a password."));
        return;
    }
    const std::string hash = CUserVerifier::PasswordHash(password);
    switch (mMode) {
    case LOGIN_MODE_LOGIN:
        LogIn(name, hash, remember);
        break;
    case LOGIN_MODE_CHANGE_PASS:
        ChangePassword(name, hash, remember);
        break;
    case LOGIN_MODE_ADD_USER:
        AddUser(name, hash, remember);
        break;
    }
}

void CLoginDialog::LogIn(const std::string& name, const std::string& hash, bool remember) {
    CUser user;
    try {
        user = mSettings.GetUser(name);
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(3, "No user " << name << " yet, adding the account\n");
        SetMode(LOGIN_MODE_ADD_USER);
        AddUser(name, hash, remember);
        return;
    }
    if (user.passwordHash != hash) {
        VBX_LOG(3, "Wrong password for " << name << "\n");
        CUserVerifier::ShowFailure(this, CUserVerifier::kWrongPassword);
        return;
    }
    user.rememberPassword = remember;
    if (!UpdateUser(user, "LOGIN_MODE_LOGIN"))
        return;
    mSettings.SetCurrentUser(name);
    QDialog::accept();
}

void CLoginDialog::ChangePassword(const std::string& name, const std::string& hash, bool remember) {
    CUser user;
    try {
        user = mSettings.GetUser(name);
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(1, "UserNotFoundException in CLoginDialog::OnOK LOGIN_MODE_CHANGE_PASS\n Should never happen.\n");
        return;
    }
    if (CUserVerifier::Verify(this, mClient, name, hash) != CUserVerifier::kAccepted)
        return;
    user.rememberPassword = remember;
    user.passwordHash = hash;
    if (UpdateUser(user, "LOGIN_MODE_CHANGE_PASS"))
        QDialog::accept();
}

bool CLoginDialog::UpdateUser(const CUser& user, const char* modeName) {
    try {
        mSettings.UpdateUser(user);
        return true;
    } catch (const CRegistryUtils::CRegistryException& e) {
        RegistryFailed(e);
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(1, "UserNotFoundException in CLoginDialog::OnOK " << modeName << "\n Should never happen.\n");
    }
    return false;
}

void CLoginDialog::AddUser(const std::string& name, const std::string& hash, bool remember) {
    if (CUserVerifier::Verify(this, mClient, name, hash) != CUserVerifier::kAccepted)
        return;
    const CUser user = mSettings.NewUser(name, hash, remember);
    try {
        mSettings.AddUser(user);
    } catch (const CSettingsManager::CUserExistsException&) {
        VBX_LOG(2, "CUserExistsException: " << name << "\n");
        const std::string_view text = CStringTable::Get(IDS_USER_EXISTS);
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("User Exists"),
                          QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
        return;
    } catch (const CRegistryUtils::CRegistryException& e) {
        RegistryFailed(e);
        return;
    }
    mSettings.SetCurrentUser(name);
    QDialog::accept();
}

void CLoginDialog::RegistryFailed(const std::exception& e) {
    VBX_LOG(1, "RegistryException: " << e.what() << "\n");
    CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Registry Error"), QString::fromUtf8(e.what()));
    reject();
}
