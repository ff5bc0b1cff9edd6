#pragma once

#include <QAction>
#include <QMenu>

/// Adds a menu command: an action whose data is the command number and
/// whose objectName is its role, so that tests and tools find it by name.
inline QAction* AddMenuCommand(QMenu* menu, const QString& text, const char* role, int command) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QLatin1String(role));
    action->setData(command);
    return action;
}
