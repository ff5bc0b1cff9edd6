#pragma once

#include "settings/IgnoreList.h"
#include "ui/OptionsPage.h"

class CSettingsManager;
class QCheckBox;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

/// The "Players" page of the options dialog: whether the players of this
/// desktop are heard at all (the MPRIS bridge), and which of the players
/// heard so far count. A player counts when no pattern of "MprisIgnore"
/// ignores it; unticking one adds its name to the list, ticking one takes
/// out every pattern that ignores it (and the rows follow what the list
/// says then). Web browsers start unticked.
class CPlayersPage : public COptionsPage {
    Q_OBJECT
public:
    /// Columns of the player list. A row's player name (its bus name
    /// without the MPRIS prefix) is kNameRole of the first column, and its
    /// tooltip.
    enum EColumn : int { kPlayerColumn = 0, kSeenColumn = 1 };
    static constexpr int kNameRole = Qt::UserRole;

    explicit CPlayersPage(CSettingsManager& settings, QWidget* parent = nullptr);

    /// The ignore list as the page would store it now.
    const CIgnoreList& IgnoreList() const noexcept { return mIgnore; }

protected:
    void Load() override;
    bool Save() override;

private:
    void CreateControls();
    void OnItemChanged(QTreeWidgetItem* item, int column);
    /// Ticks each row as the ignore list says.
    void ShowTicks();
    void EnableList();

    CSettingsManager& mSettings;
    CIgnoreList mIgnore;
    QCheckBox* mpHear = nullptr;
    QTreeWidget* mpList = nullptr;
    QLabel* mpEmpty = nullptr;
};
