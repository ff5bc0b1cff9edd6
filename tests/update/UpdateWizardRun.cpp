// Plays the program at the end of an update: checks for updates, runs the
// update wizard offscreen through all its pages (Next on each), and exits
// when the wizard asks for the shutdown, so that the external updater can go
// on. Started by the update wizard's end-to-end test, in the program folder
// given as its argument. Exit status 0 once the shutdown was asked for, 1
// when it was not, 2 for a bad command line.
#include "app/Logger.h"
#include "update/AutoUpdater.h"
#include "update/wizards/UpdateWizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2 || ::chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: update-wizard-run PROGRAM-FOLDER\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    CLogger::Instance().Open(std::string(argv[1]) + "/vortler.log", true);
    CLogger::Instance().SetLevel(4);

    CAutoUpdater updater;
    try {
        updater.CheckForUpdates();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update-wizard-run: the check failed: %s\n", e.what());
        return 1;
    }

    bool shutdown = false;
    CUpdateWizard wizard;
    wizard.SetUpdater(&updater);
    wizard.SetShutdownRequest([&] {
        shutdown = true;
        app.quit();
    });
    wizard.show();

    // Next wherever it is offered, as a person who wants the update would.
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* next = wizard.findChild<QAbstractButton*>(QStringLiteral("nextButton"));
        if (wizard.isVisible() && next != nullptr && next->isVisible() && next->isEnabled())
            next->click();
    });
    driver.start(50);
    QTimer::singleShot(120000, &app, [&] {
        std::fprintf(stderr, "update-wizard-run: the wizard did not finish\n");
        app.quit();
    });
    QObject::connect(&wizard, &QDialog::finished, &app, [&] {
        if (!shutdown)
            QTimer::singleShot(1000, &app, &QApplication::quit);
    });
    app.exec();
    return shutdown ? 0 : 1;
}
