#include "tests/ui/DialogTestSupport.h"
#include "ui/UserVerifier.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <string>

namespace {

using Sim = CFenwaveSimulator;

/// Counts its paints and notes whether the wait cursor was up at one.
class CPaintWatcher : public QWidget {
public:
    int paints = 0;
    bool paintedWhileWaiting = false;

protected:
    void paintEvent(QPaintEvent*) override {
        ++paints;
        const QCursor* cursor = QGuiApplication::overrideCursor();
        if (cursor != nullptr && cursor->shape() == Qt::WaitCursor)
            paintedWhileWaiting = true;
    }
};

TEST(UserVerifierTest, TheWindowPaintsUnderTheWaitCursorWhileTheServiceIsAsked) {
    // The check as a window makes it before the submitter is initialised.
    // (Each answer and its message: the login dialog's tests.)
    CDialogWorld world;
    world.sim.SetBehaviour(Sim::ERole::Web, "/vbx/pwcheck.php", {Sim::EMode::Delay, 1.5});
    CPaintWatcher watcher;
    watcher.resize(100, 100);
    watcher.show();
    ASSERT_TRUE(WaitForUi([&] { return watcher.paints > 0; }));
    bool timerRan = false;
    QTimer::singleShot(300, &watcher, [&] {
        timerRan = true;
        watcher.update();
    });
    EXPECT_EQ(CUserVerifier::Verify(&watcher, world.client, "alice", md5Hex("secret")), CUserVerifier::kAccepted);
    EXPECT_TRUE(timerRan);
    EXPECT_TRUE(watcher.paintedWhileWaiting);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(UserVerifierHashTest, HashesTheUtf8FormOfThePassword) {
    // "ü" is 0xC3 0xBC in UTF-8 and 0xFC in the 8-bit code pages.
    EXPECT_EQ(CUserVerifier::PasswordHash(QStringLiteral("grün")), md5Hex("gr\xc3\xbcn"));
    EXPECT_NE(CUserVerifier::PasswordHash(QStringLiteral("grün")), md5Hex("gr\xfcn"));
    // A character outside the 16-bit plane stays one character.
    EXPECT_EQ(CUserVerifier::PasswordHash(QString::fromUtf8("\xf0\x9f\x8e\xb5")), md5Hex("\xf0\x9f\x8e\xb5"));
}

} // namespace
