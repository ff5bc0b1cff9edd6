#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "ui/MessageBox.h"
#include "ui/UserVerifier.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace {

using Sim = CFenwaveSimulator;
using Users = std::vector<std::pair<std::string, std::string>>;

/// A program's state before the submitter is initialised: the settings and
/// an uninitialised web submitter, the servers at the simulator.
class UserVerifierTest : public ::testing::Test {
protected:
    UserVerifierTest() : mSim(Users{{"alice", "secret"}}) {
        SetServerHosts(mSim.SubmitHost(), mSim.WebHost());
        CMessageBox::Reset();
    }
    ~UserVerifierTest() override { CMessageBox::Reset(); }

    CTestEnvironment mEnv;
    CFenwaveSimulator mSim;
    CSettingsManager mSettings;
    CWebSubmitter mClient{mSettings};
    QWidget mWindow;
};

TEST_F(UserVerifierTest, AnswersAndShowsTheMessageOfEachAnswer) {
    mSim.AddUser("zoë", "pässwörd €");
    struct Case {
        const char* user;
        QString password;
        int answer;
        const char* text;
    };
    const Case cases[] = {
        {"alice", QStringLiteral("secret"), CUserVerifier::kAccepted, nullptr},
        {"zoë", QStringLiteral("pässwörd €"), CUserVerifier::kAccepted, nullptr},
        {"mallory", QStringLiteral("secret"), CUserVerifier::kUnknownUser,
         "No Fenwave user with that username was found.\n"
         "Please enter the username you used to sign up at Fenwave."},
        {"alice", QStringLiteral("Secret"), CUserVerifier::kWrongPassword,
         "The password isn't correct.\nPlease enter the password you used to sign up at Fenwave."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + std::string(" ") + c.password.toStdString());
        CMessageBox::Reset();
        EXPECT_EQ(CUserVerifier::Verify(&mWindow, mClient, c.user, CUserVerifier::PasswordHash(c.password)),
                  c.answer);
        const auto shown = CMessageBox::LastShown();
        if (c.text == nullptr) {
            EXPECT_FALSE(shown.has_value());
            continue;
        }
        ASSERT_TRUE(shown.has_value());
        EXPECT_EQ(shown->caption, QStringLiteral("Login Failed"));
        EXPECT_EQ(shown->icon, QMessageBox::Critical);
        EXPECT_EQ(shown->text.toStdString(), c.text);
    }
    EXPECT_EQ(mSim.Requests(Sim::ERole::Web).size(), std::size(cases));
}

TEST_F(UserVerifierTest, NoAnswerWithinTheTimeLimitIsNoContact) {
    mSim.SetBehaviour(Sim::ERole::Web, "/vbx/pwcheck.php", {Sim::EMode::Stall});
    mClient.setTimeLimits(std::chrono::milliseconds(300), std::chrono::milliseconds(800));
    EXPECT_EQ(CUserVerifier::Verify(&mWindow, mClient, "alice", md5Hex("secret")), CUserVerifier::kNoContact);
    const auto shown = CMessageBox::LastShown();
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->caption, QStringLiteral("Login Failed"));
    EXPECT_EQ(shown->text.toStdString(), "Couldn't contact the web server to verify the user details.\n"
                                         "If you're connected to the Internet, please try again later.");
}

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

TEST_F(UserVerifierTest, TheWindowPaintsUnderTheWaitCursorWhileTheServiceIsAsked) {
    mSim.SetBehaviour(Sim::ERole::Web, "/vbx/pwcheck.php", {Sim::EMode::Delay, 1.5});
    CPaintWatcher watcher;
    watcher.resize(100, 100);
    watcher.show();
    ASSERT_TRUE(WaitForUi([&] { return watcher.paints > 0; }));
    bool timerRan = false;
    QTimer::singleShot(300, &watcher, [&] {
        timerRan = true;
        watcher.update();
    });
    EXPECT_EQ(CUserVerifier::Verify(&watcher, mClient, "alice", md5Hex("secret")), CUserVerifier::kAccepted);
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
