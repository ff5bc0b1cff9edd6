#include "ui/PlayersPage.h"

#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"

#include <QCheckBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString BusName(const QTreeWidgetItem& item) {
    return QString::fromLatin1(CIgnoreList::kMprisPrefix) +
           item.data(CPlayersPage::kPlayerColumn, CPlayersPage::kNameRole).toString();
}

} // namespace

CPlayersPage::CPlayersPage(CSettingsManager& settings, QWidget* parent) : COptionsPage(parent), mSettings(settings) {
    setObjectName(QStringLiteral("playersPage"));
    CreateControls();
}

void CPlayersPage::CreateControls() {
    auto* group = new QGroupBox(QStringLiteral("Players of this desktop"), this);
    mpHear = new QCheckBox(QStringLiteral("Hear the players of this desktop"), group);
    mpHear->setObjectName(QStringLiteral("hearPlayers"));
    auto* hint = new QLabel(QStringLiteral("Plays of the ticked players count. Web browsers, and apps that show "
                                           "another player's track again, start unticked."),
                            group);
    hint->setWordWrap(true);
    mpList = new QTreeWidget(group);
    mpList->setObjectName(QStringLiteral("playerList"));
    mpList->setRootIsDecorated(false);
    mpList->setUniformRowHeights(true);
    mpList->setHeaderLabels({QStringLiteral("Player"), QStringLiteral("Last heard")});
    mpList->header()->setStretchLastSection(false);
    mpList->header()->setSectionResizeMode(kPlayerColumn, QHeaderView::Stretch);
    mpList->header()->setSectionResizeMode(kSeenColumn, QHeaderView::ResizeToContents);
    mpEmpty = new QLabel(QStringLiteral("No player has been heard yet: start one, and it shows here."), group);
    mpEmpty->setObjectName(QStringLiteral("noPlayers"));
    mpEmpty->setWordWrap(true);

    auto* layout = new QVBoxLayout(group);
    layout->addWidget(mpHear);
    layout->addWidget(hint);
    layout->addWidget(mpList, 1);
    layout->addWidget(mpEmpty);
    auto* page = new QVBoxLayout(this);
    page->addWidget(group);

    connect(mpHear, &QCheckBox::clicked, this, [this] {
        EnableList();
        SetModified(true);
    });
    connect(mpList, &QTreeWidget::itemChanged, this, &CPlayersPage::OnItemChanged);
}

void CPlayersPage::Load() {
    std::vector<CMprisPlayers::CRecord> players;
    try {
        mpHear->setChecked(mSettings.IsMprisBridgeOn());
        mIgnore = CIgnoreList::FromStore();
        players = CMprisPlayers::List();
    } catch (const CRegistryUtils::CRegistryException& e) {
        ShowRegistryError(e);
    }
    const QSignalBlocker quiet(mpList);
    mpList->clear();
    const QLocale locale;
    for (const CMprisPlayers::CRecord& player : players) {
        auto* item = new QTreeWidgetItem(mpList);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const QString name = QString::fromStdString(player.name);
        const QString identity = QString::fromStdString(player.identity);
        item->setText(kPlayerColumn, identity.isEmpty() ? name : identity);
        item->setData(kPlayerColumn, kNameRole, name);
        item->setToolTip(kPlayerColumn, name);
        const QDate seen = QDateTime::fromSecsSinceEpoch(player.lastSeen).date();
        item->setText(kSeenColumn, player.lastSeen == 0 ? QString() : locale.toString(seen, QLocale::ShortFormat));
    }
    ShowTicks();
    mpEmpty->setVisible(players.empty());
    mpList->setVisible(!players.empty());
    EnableList();
}

void CPlayersPage::OnItemChanged(QTreeWidgetItem* item, int column) {
    if (column != kPlayerColumn)
        return;
    mIgnore = mIgnore.With(BusName(*item).toStdString(), item->checkState(kPlayerColumn) == Qt::Checked);
    ShowTicks();
    SetModified(true);
}

void CPlayersPage::ShowTicks() {
    const QSignalBlocker quiet(mpList);
    for (int i = 0; i < mpList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = mpList->topLevelItem(i);
        const bool counted = !mIgnore.Ignores(BusName(*item).toStdString());
        item->setCheckState(kPlayerColumn, counted ? Qt::Checked : Qt::Unchecked);
    }
}

void CPlayersPage::EnableList() {
    mpList->setEnabled(mpHear->isChecked());
}

bool CPlayersPage::Save() {
    try {
        mSettings.SetMprisChoices(mpHear->isChecked(), mIgnore);
    } catch (const CRegistryUtils::CRegistryException& e) {
        ShowRegistryError(e);
        return false;
    }
    return true;
}
