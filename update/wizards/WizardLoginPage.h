#pragma once

#include <QString>
#include <QWizardPage>

class CHyperlink;
class QCheckBox;
class QLineEdit;

/// The plug-in wizard's login: the Fenwave user name and password, whether
/// to remember the password, and links to the web site's sign-up and
/// lost-password pages. What Next does with them is the wizard's business.
class CWizardLoginPage : public QWizardPage {
    Q_OBJECT
public:
    explicit CWizardLoginPage(QWidget* parent = nullptr);

    QString UserName() const;
    QString Password() const;
    bool RememberPassword() const;

    /// The web site's address, "http://" + the web-site host + "/".
    static QString WebSiteAddress();

private:
    QLineEdit* mpUser = nullptr;
    QLineEdit* mpPassword = nullptr;
    QCheckBox* mpRemember = nullptr;
    CHyperlink* mpSignUp = nullptr;
    CHyperlink* mpLostPassword = nullptr;
};
