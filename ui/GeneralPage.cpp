#include "ui/GeneralPage.h"

#include "app/UserFolders.h"
#include "settings/Autostart.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include <stdexcept>

CGeneralPage::CGeneralPage(QWidget* parent) : COptionsPage(parent) {
    setObjectName(QStringLiteral("generalPage"));
    auto* start = new QGroupBox(QStringLiteral("Start"), this);
    mpStartAtLogin = new QCheckBox(QStringLiteral("Start Vortlebox when I log in"), start);
    mpStartAtLogin->setObjectName(QStringLiteral("startAtLogin"));
    auto* hint = new QLabel(QStringLiteral("Vortlebox then waits in the tray from the start of your desktop "
                                           "session, so that no play is missed."),
                            start);
    hint->setWordWrap(true);
    auto* startLayout = new QVBoxLayout(start);
    startLayout->addWidget(mpStartAtLogin);
    startLayout->addWidget(hint);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(start);
    layout->addStretch(1);
    connect(mpStartAtLogin, &QCheckBox::clicked, this, [this] { SetModified(true); });
}

void CGeneralPage::Load() {
    mbLoadedEnabled = CAutostart::IsEnabled();
    mpStartAtLogin->setChecked(mbLoadedEnabled);
}

bool CGeneralPage::Save() {
    const bool enabled = mpStartAtLogin->isChecked();
    if (enabled == mbLoadedEnabled)
        return true;
    try {
        CAutostart::SetEnabled(enabled, CUserFolders::ProgramPath());
    } catch (const std::runtime_error& e) {
        ShowError(QStringLiteral("Start at Login"), e);
        return false;
    }
    mbLoadedEnabled = enabled;
    return true;
}
