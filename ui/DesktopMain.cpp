// vortlebox-desktop: the program with its windows. The program ("vortlebox")
// becomes this one, in the same process, when it finds a display.

#include "app/CoreApp.h"
#include "app/CrashHandler.h"
#include "settings/SettingsManager.h"
#include "ui/DesktopShell.h"

#include <QApplication>

#include <clocale>

int main(int argc, char** argv) {
    CCrashHandler::Install(CSettingsManager::Instance().GetUserDir());
    std::setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    CDesktopShell shell;
    CCoreApp core(&shell);
    shell.SetCore(core);
    return core.Run();
}
