#include "app/CrashHandler.h"
#include "app/ServiceApp.h"
#include "settings/SettingsManager.h"

#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
    CCrashHandler::Install(CSettingsManager::Instance().GetUserDir());
    std::setlocale(LC_ALL, "");

    // Without a display (a service session, a test) the program still runs,
    // on the offscreen platform, instead of aborting.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((platform == nullptr || *platform == '\0') && (display == nullptr || *display == '\0') &&
        (wayland == nullptr || *wayland == '\0'))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    CServiceApp app(argc, argv);
    if (!app.InitInstance()) {
        app.ExitInstance();
        return app.ExitCode();
    }
    const int code = app.exec();
    app.PreExitInstance();
    app.ExitInstance();
    return code;
}
