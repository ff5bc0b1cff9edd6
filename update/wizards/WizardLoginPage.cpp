#include "update/wizards/WizardLoginPage.h"

#include "res/StringTable.h"
#include "settings/ServerHosts.h"
#include "ui/controls/Hyperlink.h"
#include "update/wizards/WizardSheet.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include <exception>

CWizardLoginPage::CWizardLoginPage(QWidget* parent) : QWizardPage(parent) {
    setTitle(CWizardSheet::Text(IDS_LOGIN_HEADER));
    setSubTitle(CWizardSheet::Text(IDS_LOGIN_INFO));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    mpUser = new QLineEdit(this);
    mpUser->setObjectName(QStringLiteral("userName"));
    mpPassword = new QLineEdit(this);
    mpPassword->setObjectName(QStringLiteral("password"));
    mpPassword->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("&Username:"), mpUser);
    form->addRow(QStringLiteral("&Password:"), mpPassword);
    mpRemember = new QCheckBox(QStringLiteral("Remember my password"), this);
    mpRemember->setObjectName(QStringLiteral("rememberPassword"));
    mpRemember->setChecked(true);
    form->addRow(QString(), mpRemember);

    const QString site = WebSiteAddress();
    mpSignUp = new CHyperlink(this);
    mpSignUp->setObjectName(QStringLiteral("signUpLink"));
    mpSignUp->setText(QStringLiteral("Sign up for a Fenwave account"));
    mpSignUp->SetUrl(site + QStringLiteral("signup.php"));
    mpLostPassword = new CHyperlink(this);
    mpLostPassword->setObjectName(QStringLiteral("lostPasswordLink"));
    mpLostPassword->setText(QStringLiteral("Forgot your password?"));
    mpLostPassword->SetUrl(site + QStringLiteral("settings/lostpassword.php"));

    layout->addSpacing(fontMetrics().height() / 2);
    layout->addLayout(form);
    layout->addStretch(1);
    layout->addWidget(mpSignUp, 0, Qt::AlignLeft);
    layout->addWidget(mpLostPassword, 0, Qt::AlignLeft);
}

QString CWizardLoginPage::WebSiteAddress() {
    const std::string host = CServerHosts::GetOrDefault(CServerHosts::kWebSiteHost);
    return QStringLiteral("http://%1/").arg(QString::fromStdString(host));
}

QString CWizardLoginPage::UserName() const {
    return mpUser->text();
}

QString CWizardLoginPage::Password() const {
    return mpPassword->text();
}

bool CWizardLoginPage::RememberPassword() const {
    return mpRemember->isChecked();
}
