#include "ui/OptionsDialog.h"

#include "res/StringTable.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/ConnectionPage.h"
#include "ui/GeneralPage.h"
#include "ui/PlayersPage.h"
#include "ui/UserPage.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

COptionsDialog::COptionsDialog(QWidget* parent, int firstPage)
    : COptionsDialog(parent, firstPage, CSettingsManager::Instance(), CWebSubmitter::Instance()) {}

COptionsDialog::COptionsDialog(QWidget* parent, int firstPage, CSettingsManager& settings, Vortler& client)
    : QDialog(parent) {
    setObjectName(QStringLiteral("optionsDialog"));
    const std::string_view caption = CStringTable::Get(IDS_OPTIONS_CAPTION);
    setWindowTitle(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
    setModal(true);

    mpTabs = new QTabWidget(this);
    mpTabs->setObjectName(QStringLiteral("pages"));
    mpUserPage = new CUserPage(settings, client);
    mpConnectionPage = new CConnectionPage(settings);
    mpPlayersPage = new CPlayersPage(settings);
    mpGeneralPage = new CGeneralPage();
    mpTabs->addTab(mpUserPage, QStringLiteral("User"));
    mpTabs->addTab(mpConnectionPage, QStringLiteral("Connection"));
    mpTabs->addTab(mpPlayersPage, QStringLiteral("Players"));
    mpTabs->addTab(mpGeneralPage, QStringLiteral("General"));
    mpTabs->setCurrentIndex(firstPage >= kUserPage && firstPage <= kGeneralPage ? firstPage : kUserPage);

    mpButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    mpButtons->setObjectName(QStringLiteral("buttons"));
    mpButtons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    mpButtons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    mpButtons->button(QDialogButtonBox::Apply)->setObjectName(QStringLiteral("applyButton"));
    connect(mpButtons, &QDialogButtonBox::accepted, this, &COptionsDialog::accept);
    connect(mpButtons, &QDialogButtonBox::rejected, this, &COptionsDialog::reject);
    connect(mpButtons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &COptionsDialog::Apply);
    for (COptionsPage* page : Pages())
        connect(page, &COptionsPage::modifiedChanged, this, &COptionsDialog::UpdateApplyButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(mpTabs);
    layout->addWidget(mpButtons);
    UpdateApplyButton();

    // The pages' classic size, 255 x 234 dialog units of the window's font.
    const QFontMetrics metrics(font());
    const int dluX = metrics.averageCharWidth();
    const int dluY = metrics.height();
    mpTabs->setMinimumSize(255 * dluX / 4, 234 * dluY / 8);
}

std::vector<COptionsPage*> COptionsDialog::Pages() const {
    return {mpUserPage, mpConnectionPage, mpPlayersPage, mpGeneralPage};
}

bool COptionsDialog::StorePages() {
    for (COptionsPage* page : Pages())
        if (!page->Store())
            return false;
    return true;
}

void COptionsDialog::accept() {
    if (StorePages())
        QDialog::accept();
}

bool COptionsDialog::Apply() {
    if (!StorePages())
        return false;
    for (COptionsPage* page : Pages())
        page->SetModified(false);
    return true;
}

void COptionsDialog::UpdateApplyButton() {
    const std::vector<COptionsPage*> pages = Pages();
    mpButtons->button(QDialogButtonBox::Apply)->setEnabled(
        std::any_of(pages.begin(), pages.end(), [](const COptionsPage* page) { return page->IsModified(); }));
}
