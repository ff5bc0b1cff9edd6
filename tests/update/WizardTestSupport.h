#pragma once

// Shared by the tests of the wizards: a private environment whose settings
// name the simulator's hosts, a Program Files folder of the test's own, and
// the means to drive a wizard as a person does, with the mouse.

#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "tests/update/UpdateTestUtil.h"
#include "ui/MessageBox.h"
#include "update/wizards/WizardSheet.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace WizardTest {

using ERole = CFenwaveSimulator::ERole;

/// Presses a button with the mouse; false when it cannot be pressed (missing,
/// hidden or disabled).
inline bool Click(QWidget& parent, const char* name) {
    auto* button = parent.findChild<QAbstractButton*>(QLatin1String(name));
    if (button == nullptr || !button->isVisible() || !button->isEnabled())
        return false;
    const QPointF centre = QRectF(button->rect()).center();
    QMouseEvent press(QEvent::MouseButtonPress, centre, button->mapToGlobal(centre), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, button->mapToGlobal(centre), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &press);
    QCoreApplication::sendEvent(button, &release);
    return true;
}

/// Whether the button is shown and enabled.
inline bool Offered(QWidget& parent, const char* name) {
    auto* button = parent.findChild<QAbstractButton*>(QLatin1String(name));
    return button != nullptr && button->isVisible() && button->isEnabled();
}

inline bool WaitForPage(CWizardSheet& wizard, int page) {
    return WaitForUi([&] { return wizard.currentId() == page; });
}

inline bool WaitForClosed(CWizardSheet& wizard) {
    return WaitForUi([&] { return wizard.IsClosed() && !wizard.isVisible(); });
}

/// The text of the last message box ("" when none was shown).
inline std::string LastBoxText() {
    const auto shown = CMessageBox::LastShown();
    return shown ? shown->text.toStdString() : std::string();
}

inline std::string LastBoxCaption() {
    const auto shown = CMessageBox::LastShown();
    return shown ? shown->caption.toStdString() : std::string();
}

/// A port of 127.0.0.1 on which nothing listens.
inline int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

/// A file name no other process has.
inline std::string UniqueName(const std::string& stem) {
    std::random_device random;
    return stem + "-" + std::to_string(random() % 1000000000u);
}

/// A private environment: settings naming the simulator (which knows alice,
/// password "secret"), players under a Program Files folder of the test's
/// own, player versions from a stand-in package database, and message boxes
/// that answer at once.
class CWizardFixture : public ::testing::Test {
protected:
    CWizardFixture() {
        mEnv.Env().Set("VORTLEBOX_PROGRAM_FILES", mProgramFiles.Path());
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "SubmitHost", mSim.SubmitHost());
        CRegistryUtils::WriteString(key, "WebServiceHost", mSim.WebHost());
        CRegistryUtils::WriteString(key, "StaticHost", mSim.StaticHost());
        CRegistryUtils::WriteString(key, "WebSiteHost", "site.test");
        mSettings.Restore();
        CMessageBox::Reset();
        mSim.SetInstallerLog(Installs());
    }
    ~CWizardFixture() override { CMessageBox::Reset(); }

    /// A path below the Program Files folder.
    std::string Pf(const std::string& relative) const { return mProgramFiles.Path() + "/" + relative; }
    std::string Url(const std::string& path) const { return "http://" + mSim.StaticHost() + path; }
    /// Where the simulator's installers write their command lines.
    std::string Installs() const { return mFiles.File("installs"); }

    /// Serves update information with the radio and these plug-in records.
    void ServeInfo(const std::string& pluginRecords,
                   const std::string& radioPath = "Fenwave Radio/radio") {
        mSim.SetFile(InfoPath(),
                     "[Radio]\n" +
                         UpdateTest::Record({"Fenwave Radio", radioPath, Url("/download/radio-setup.exe"),
                                             "1.0.0.0", "/S"}) +
                         "[Plugins]\n" + pluginRecords);
    }
    /// A plug-in record for the player at Pf(playerPath), without version
    /// bounds, installed by <file>.exe from the simulator.
    std::string Plugin(const std::string& player, const std::string& playerPath, const std::string& file,
                       const std::string& version = "1.0.0.0") const {
        return UpdateTest::Record(
            {player, playerPath, Url("/download/" + file + ".exe"), version, "Plugins", "/S", "", ""});
    }
    static std::string InfoPath() { return UpdateTest::InfoPath(); }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    UpdateTest::CFakePackages mPackages{mEnv};
    CTempDir mProgramFiles;
    CTempDir mFiles;
    CFenwaveSimulator mSim{{{"alice", "secret"}}};
    CSettingsManager mSettings;
};

} // namespace WizardTest
