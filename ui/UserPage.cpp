#include "ui/UserPage.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "ui/controls/IconShack.h"
#include "ui/LoginDialog.h"
#include "ui/controls/Pictures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kFolderBitmap = 140;

const char* const kColourNames[CIconShack::kColours] = {"Red", "Blue", "Green", "Yellow", "Black"};

} // namespace

CUserPage::CUserPage(CSettingsManager& settings, Vortler& client, QWidget* parent)
    : COptionsPage(parent), mSettings(settings), mClient(client) {
    setObjectName(QStringLiteral("userPage"));
    mFolderIcon = CPictures::Icon(CPictures::BitmapPath(kFolderBitmap));
    CreateControls();
}

QString CUserPage::ColourName(int colour) {
    return colour >= 0 && colour < CIconShack::kColours ? QLatin1String(kColourNames[colour]) : QString();
}

void CUserPage::CreateControls() {
    auto* preferencesFor = new QLabel(QStringLiteral("Preferences for"), this);
    mpUserName = new QLabel(this);
    mpUserName->setObjectName(QStringLiteral("userName"));
    QFont bold = mpUserName->font();
    bold.setBold(true);
    mpUserName->setFont(bold);
    mpUserName->setTextFormat(Qt::PlainText);
    auto* header = new QHBoxLayout;
    header->addWidget(preferencesFor);
    header->addWidget(mpUserName, 1);

    // Vortling: the switch and the tray colour.
    auto* vortling = new QGroupBox(QStringLiteral("Vortling"), this);
    mpVortling = new QCheckBox(QStringLiteral("Enable vortling of tracks"), vortling);
    mpVortling->setObjectName(QStringLiteral("enableVortling"));
    auto* colourLabel = new QLabel(QStringLiteral("Colour"), vortling);
    mpColour = new QComboBox(vortling);
    mpColour->setObjectName(QStringLiteral("colour"));
    mpColour->setIconSize(QSize(16, 16));
    for (int colour = 0; colour < CIconShack::kColours; ++colour)
        mpColour->addItem(CIconShack::NormalIcon(colour), ColourName(colour));
    colourLabel->setBuddy(mpColour);
    auto* vortlingLayout = new QHBoxLayout(vortling);
    vortlingLayout->addWidget(mpVortling);
    vortlingLayout->addStretch(1);
    vortlingLayout->addWidget(colourLabel);
    vortlingLayout->addWidget(mpColour);

    // Security: remembering the password, and changing it.
    auto* security = new QGroupBox(QStringLiteral("Security"), this);
    mpRemember = new QCheckBox(QStringLiteral("Remember password"), security);
    mpRemember->setObjectName(QStringLiteral("rememberPassword"));
    mpUpdatePassword = new QPushButton(QStringLiteral("Update password..."), security);
    mpUpdatePassword->setObjectName(QStringLiteral("updatePassword"));
    mpUpdatePassword->setAutoDefault(false);
    auto* securityLayout = new QHBoxLayout(security);
    securityLayout->addWidget(mpRemember);
    securityLayout->addStretch(1);
    securityLayout->addWidget(mpUpdatePassword);

    // Excluded directories.
    auto* excluded = new QGroupBox(QStringLiteral("Excluded directories"), this);
    auto* explanation =
        new QLabel(QStringLiteral("Tracks from the following directories will not be submitted."), excluded);
    explanation->setWordWrap(true);
    mpDirectories = new QTreeWidget(excluded);
    mpDirectories->setObjectName(QStringLiteral("directories"));
    mpDirectories->setColumnCount(1);
    mpDirectories->setHeaderLabels({QStringLiteral("Directory")});
    mpDirectories->setRootIsDecorated(false);
    mpDirectories->setUniformRowHeights(true);
    mpDirectories->setSelectionMode(QAbstractItemView::ExtendedSelection);
    mpDirectories->setIconSize(QSize(16, 16));
    mpDirectories->header()->setStretchLastSection(true);
    mpDirectories->installEventFilter(this);
    mpAdd = new QPushButton(QStringLiteral("Add..."), excluded);
    mpAdd->setObjectName(QStringLiteral("addDirectory"));
    mpRemove = new QPushButton(QStringLiteral("Remove"), excluded);
    mpRemove->setObjectName(QStringLiteral("removeDirectory"));
    mpClear = new QPushButton(QStringLiteral("Clear"), excluded);
    mpClear->setObjectName(QStringLiteral("clearDirectories"));
    auto* listButtons = new QHBoxLayout;
    listButtons->addStretch(1);
    for (QPushButton* button : {mpAdd, mpRemove, mpClear}) {
        button->setAutoDefault(false);
        listButtons->addWidget(button);
    }
    auto* excludedLayout = new QVBoxLayout(excluded);
    excludedLayout->addWidget(explanation);
    excludedLayout->addWidget(mpDirectories, 1);
    excludedLayout->addLayout(listButtons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(vortling);
    layout->addWidget(security);
    layout->addWidget(excluded, 1);

    connect(mpVortling, &QCheckBox::clicked, this, [this] { SetModified(true); });
    connect(mpRemember, &QCheckBox::clicked, this, [this] { SetModified(true); });
    connect(mpColour, &QComboBox::activated, this, [this] { SetModified(true); });
    connect(mpUpdatePassword, &QPushButton::clicked, this, &CUserPage::UpdatePassword);
    connect(mpAdd, &QPushButton::clicked, this, &CUserPage::AddDirectory);
    connect(mpRemove, &QPushButton::clicked, this, &CUserPage::RemoveSelected);
    connect(mpClear, &QPushButton::clicked, this, &CUserPage::ClearDirectories);
}

void CUserPage::Load() {
    CUser user;
    try {
        user = mSettings.GetCurrentUser();
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(2, "No current user: the User page shows nothing\n");
        for (QWidget* control : findChildren<QWidget*>())
            control->setEnabled(false);
        return;
    }
    mUserName = user.name;
    mpUserName->setText(QString::fromStdString(user.name));
    mpColour->setCurrentIndex(std::clamp(user.colour, 0, CIconShack::kColours - 1));
    mpVortling->setChecked(user.submitPlays);
    mpRemember->setChecked(user.rememberPassword);
    mpDirectories->clear();
    for (const std::string& dir : user.exclusionDirs)
        AppendDirectory(QString::fromStdString(dir));
    mpDirectories->resizeColumnToContents(0);
}

bool CUserPage::Save() {
    if (mUserName.empty())
        return true;
    try {
        CUser user = mSettings.GetUser(mUserName);
        user.colour = mpColour->currentIndex();
        user.submitPlays = mpVortling->isChecked();
        user.rememberPassword = mpRemember->isChecked();
        user.exclusionDirs = Directories();
        mSettings.UpdateUser(user);
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(2, "User " << mUserName << " is gone; its options are not stored\n");
    } catch (const CRegistryUtils::CRegistryException& e) {
        ShowRegistryError(e);
        return false;
    }
    return true;
}

void CUserPage::AppendDirectory(const QString& path) {
    auto* item = new QTreeWidgetItem(mpDirectories, {path});
    item->setIcon(0, mFolderIcon);
    item->setToolTip(0, path);
}

std::vector<std::string> CUserPage::Directories() const {
    std::vector<std::string> dirs;
    dirs.reserve(static_cast<std::size_t>(mpDirectories->topLevelItemCount()));
    for (int i = 0; i < mpDirectories->topLevelItemCount(); ++i)
        dirs.push_back(mpDirectories->topLevelItem(i)->text(0).toStdString());
    return dirs;
}

void CUserPage::AddDirectory() {
    const QString start = mLastFolder.isEmpty() ? QDir::homePath() : mLastFolder;
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Current Selection"), start);
    if (chosen.isEmpty())
        return;
    const QString path = QDir::toNativeSeparators(chosen);
    AppendDirectory(path);
    mLastFolder = path;
    SetModified(true);
    mpDirectories->resizeColumnToContents(0);
}

void CUserPage::RemoveSelected() {
    // Rows in ascending order; each removal moves the later ones up.
    std::vector<int> rows;
    for (QTreeWidgetItem* item : mpDirectories->selectedItems())
        rows.push_back(mpDirectories->indexOfTopLevelItem(item));
    std::sort(rows.begin(), rows.end());
    int removed = 0;
    for (const int row : rows)
        delete mpDirectories->takeTopLevelItem(row - removed++);
    SetModified(true);
}

void CUserPage::ClearDirectories() {
    mpDirectories->clear();
    SetModified(true);
}

void CUserPage::UpdatePassword() {
    CLoginDialog dialog(CLoginDialog::LOGIN_MODE_CHANGE_PASS, this, mUserName, mSettings, mClient);
    dialog.exec();
    try {
        mpRemember->setChecked(mSettings.GetUser(mUserName).rememberPassword);
    } catch (const CSettingsManager::CUserNotFoundException&) {
        VBX_LOG(2, "User " << mUserName << " is gone after the password change\n");
    }
}

bool CUserPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mpDirectories && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
            RemoveSelected();
            return true;
        }
        if (key->matches(QKeySequence::SelectAll)) {
            mpDirectories->selectAll();
            mpDirectories->setFocus();
            return true;
        }
    }
    return COptionsPage::eventFilter(watched, event);
}
