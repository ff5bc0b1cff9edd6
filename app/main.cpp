#include "app/CoreApp.h"
#include "app/CrashHandler.h"
#include "app/UserFolders.h"
#include "settings/SettingsManager.h"

#include <QCoreApplication>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

/// Whether a person can see windows: a display, and no platform that draws
/// nowhere.
bool HasDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && (std::strcmp(platform, "offscreen") == 0 || std::strcmp(platform, "minimal") == 0))
        return false;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

} // namespace

int main(int argc, char** argv) {
    // With a display the program carries its windows: it becomes its
    // desktop half, in this same process. Without one it runs its core
    // alone, with none of the windows' libraries loaded.
    if (HasDisplay()) {
        const std::string desktop = CUserFolders::ProgramFolder() + "/" + CUserFolders::kDesktopProgramName;
        ::execv(desktop.c_str(), argv);
        std::fprintf(stderr, "vortlebox: cannot start %s (%s); going on without windows\n", desktop.c_str(),
                     std::strerror(errno));
    }
    CCrashHandler::Install(CSettingsManager::Instance().GetUserDir());
    std::setlocale(LC_ALL, "");
    QCoreApplication app(argc, argv);
    CCoreApp core;
    return core.Run();
}
