#include "ui/UserMenu.h"

#include "settings/SettingsManager.h"
#include "ui/MenuCommand.h"

#include <QAction>

CUserMenu::CUserMenu(CSettingsManager& settings, QWidget* parent) : QMenu(parent), mSettings(settings) {
    setObjectName(QStringLiteral("userMenu"));
    addSeparator();
    QAction* add = AddMenuCommand(this, QStringLiteral("Add User..."), "addUser", kAddUserCommand);
    connect(add, &QAction::triggered, this, &CUserMenu::addUserChosen);
    connect(this, &QMenu::aboutToShow, this, &CUserMenu::Prepare);
}

void CUserMenu::Prepare() {
    while (actions().size() > 2) {
        QAction* first = actions().front();
        removeAction(first);
        delete first;
    }
    std::string current;
    try {
        current = mSettings.GetCurrentUser().name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
    }
    QAction* separator = actions().front();
    const int count = mSettings.GetNumUsers();
    for (int i = 0; i < count; ++i) {
        std::string name;
        try {
            name = mSettings.GetUser(i).name;
        } catch (const CSettingsManager::CUserNotFoundException&) {
            break; // a user went away meanwhile
        }
        auto* entry = new QAction(QString::fromStdString(name), this);
        entry->setObjectName(QStringLiteral("user%1").arg(i));
        entry->setData(kFirstUserCommand + i);
        entry->setCheckable(true);
        entry->setChecked(name == current);
        connect(entry, &QAction::triggered, this, [this, i] { emit userChosen(i); });
        insertAction(separator, entry);
    }
}
