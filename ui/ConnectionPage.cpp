#include "ui/ConnectionPage.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "ui/MessageBox.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

constexpr long kHighestPort = 65535;

} // namespace

CConnectionPage::CConnectionPage(CSettingsManager& settings, QWidget* parent)
    : COptionsPage(parent), mSettings(settings) {
    setObjectName(QStringLiteral("connectionPage"));
    CreateControls();
}

void CConnectionPage::CreateControls() {
    auto* proxy = new QGroupBox(QStringLiteral("Proxy Settings"), this);
    mpEnable = new QCheckBox(QStringLiteral("Enable proxy"), proxy);
    mpEnable->setObjectName(QStringLiteral("enableProxy"));
    mpHost = new QLineEdit(proxy);
    mpHost->setObjectName(QStringLiteral("proxyHost"));
    mpPort = new QLineEdit(proxy);
    mpPort->setObjectName(QStringLiteral("proxyPort"));
    mpPort->setMaxLength(10);
    mpUser = new QLineEdit(proxy);
    mpUser->setObjectName(QStringLiteral("proxyUser"));
    mpPassword = new QLineEdit(proxy);
    mpPassword->setObjectName(QStringLiteral("proxyPassword"));
    mpPassword->setEchoMode(QLineEdit::Password);

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Host"), mpHost);
    fields->addRow(QStringLiteral("Port"), mpPort);
    fields->addRow(QStringLiteral("User"), mpUser);
    fields->addRow(QStringLiteral("Pass"), mpPassword);
    auto* proxyLayout = new QVBoxLayout(proxy);
    proxyLayout->addWidget(mpEnable);
    proxyLayout->addLayout(fields);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(proxy);
    layout->addStretch(1);

    connect(mpEnable, &QCheckBox::clicked, this, &CConnectionPage::EnableFields);
    for (QLineEdit* field : {mpHost, mpPort, mpUser, mpPassword})
        connect(field, &QLineEdit::textEdited, this, [this] { SetModified(true); });
    EnableFields();
}

void CConnectionPage::EnableFields() {
    const bool enabled = mpEnable->isChecked();
    for (QLineEdit* field : {mpHost, mpPort, mpUser, mpPassword})
        field->setEnabled(enabled);
}

std::optional<std::int32_t> CConnectionPage::ParsePort(const QString& text) {
    if (text.isEmpty() || text == QLatin1String("0"))
        return 0;
    const std::string bytes = text.toStdString();
    errno = 0;
    const long value = std::strtol(bytes.c_str(), nullptr, 10);
    if (errno == ERANGE || value <= 0 || value > kHighestPort)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

void CConnectionPage::Load() {
    const CProxySettings proxy = mSettings.GetProxySettings();
    mpEnable->setChecked(proxy.enabled);
    mpHost->setText(QString::fromStdString(proxy.host));
    mpPort->setText(proxy.port == 0 ? QString() : QString::number(proxy.port));
    mpUser->setText(QString::fromStdString(proxy.user));
    mpPassword->setText(QString::fromStdString(proxy.password));
    EnableFields();
}

bool CConnectionPage::Save() {
    const std::optional<std::int32_t> port = ParsePort(mpPort->text());
    if (!port) {
        VBX_LOG(2, "Proxy port refused: " << mpPort->text().toStdString() << "\n");
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Port invalid"),
                          QStringLiteral("Please enter a valid numeric port number or leave the field empty if "
                                         "no port is required."));
        mpPort->setFocus();
        mpPort->selectAll();
        return false;
    }
    CProxySettings proxy;
    proxy.enabled = mpEnable->isChecked();
    proxy.host = mpHost->text().toStdString();
    proxy.port = *port;
    proxy.user = mpUser->text().toStdString();
    proxy.password = mpPassword->text().toStdString();
    try {
        mSettings.SetProxySettings(proxy);
    } catch (const CRegistryUtils::CRegistryException& e) {
        ShowRegistryError(e);
        return false;
    }
    return true;
}
