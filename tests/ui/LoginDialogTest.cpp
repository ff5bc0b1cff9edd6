#include "settings/RegistryUtils.h"
#include "tests/ui/DialogTestSupport.h"
#include "ui/controls/Hyperlink.h"
#include "ui/LoginDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

using Sim = CFenwaveSimulator;

/// The dialog of a test, shown as its callers show it.
class CShownLogin {
public:
    CShownLogin(CDialogWorld& world, CLoginDialog::EMode mode, const std::string& userName)
        : dialog(mode, nullptr, userName, world.settings, world.client) {
        dialog.show();
        EXPECT_TRUE(WaitForUi([this] { return dialog.isVisible(); }));
    }

    QComboBox& UserName() { return *dialog.findChild<QComboBox*>(QStringLiteral("userName")); }
    QLineEdit& Password() { return *dialog.findChild<QLineEdit*>(QStringLiteral("password")); }
    QCheckBox& Remember() { return *dialog.findChild<QCheckBox*>(QStringLiteral("rememberPassword")); }

    /// Types into the fields as a person would (the name only if given)
    /// and sets the box.
    void Fill(const std::optional<QString>& name, const QString& password, bool remember) {
        if (name) {
            UserName().lineEdit()->clear();
            TypeText(UserName().lineEdit(), *name);
        }
        Password().clear();
        TypeText(&Password(), password);
        if (Remember().isChecked() != remember)
            ClickCheckBox(Remember());
        ASSERT_EQ(Remember().isChecked(), remember);
    }

    /// Clicks OK; true when the dialog closed.
    bool Ok() {
        ClickButton(dialog, "okButton");
        return !dialog.isVisible();
    }

    CLoginDialog dialog;
};

std::string ShownText() {
    const auto shown = CMessageBox::LastShown();
    return shown ? shown->caption.toStdString() + ": " + shown->text.toStdString() : std::string();
}

const char* const kUnknownUserText = "Login Failed: No Fenwave user with that username was found.\n"
                                     "Please enter the username you used to sign up at Fenwave.";
const char* const kWrongPasswordText = "Login Failed: The password isn't correct.\n"
                                       "Please enter the password you used to sign up at Fenwave.";
const char* const kNoContactText = "Login Failed: Couldn't contact the web server to verify the user details.\n"
                                   "If you're connected to the Internet, please try again later.";

TEST(LoginDialogTest, EachModeOpensWithItsCaptionFocusAndBox) {
    struct Case {
        const char* what;
        CLoginDialog::EMode mode;
        const char* given;
        const char* caption;
        const char* focus;
        bool remember;
        QStringList listed;
        const char* shownName;
        bool nameEnabled;
    };
    const Case cases[] = {
        {"add user", CLoginDialog::LOGIN_MODE_ADD_USER, "", "Add user", "userName", true, {}, "", true},
        {"log in as a known user", CLoginDialog::LOGIN_MODE_LOGIN, "bob", "Log In", "password", false,
         {"alice", "bob", "carol"}, "bob", true},
        // Only an exact match selects.
        {"log in as an unknown name", CLoginDialog::LOGIN_MODE_LOGIN, "Bob", "Log In", "userName", true,
         {"alice", "bob", "carol"}, "Bob", true},
        {"change password", CLoginDialog::LOGIN_MODE_CHANGE_PASS, "carol", "Change password", "password", true,
         {"carol"}, "carol", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDialogWorld world;
        world.AddStoredUser("carol", "x", 0, true);
        world.AddStoredUser("bob", "x", 1, false);
        world.AddStoredUser("alice", "x", 2, false);
        world.settings.SetCurrentUser("carol");
        CShownLogin login(world, c.mode, c.given);
        EXPECT_EQ(login.dialog.windowTitle().toStdString(), c.caption);
        ASSERT_NE(login.dialog.focusWidget(), nullptr);
        QWidget* focus = login.dialog.focusWidget();
        if (focus->parentWidget() == &login.UserName())
            focus = &login.UserName(); // the combo box's own edit field
        EXPECT_EQ(focus->objectName().toStdString(), c.focus);
        EXPECT_EQ(login.Remember().isChecked(), c.remember);
        QStringList listed;
        for (int i = 0; i < login.UserName().count(); ++i)
            listed << login.UserName().itemText(i);
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(login.UserName().currentText().toStdString(), c.shownName);
        EXPECT_EQ(login.UserName().isEnabled(), c.nameEnabled);
        EXPECT_EQ(login.Password().echoMode(), QLineEdit::Password);
    }
}

TEST(LoginDialogTest, LinksLeadToTheWebSite) {
    CDialogWorld world;
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
    CRegistryUtils::WriteString(key, "WebSiteHost", "site.test:8080");
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
    auto* signUp = login.dialog.findChild<CHyperlink*>(QStringLiteral("signUpLink"));
    auto* forgot = login.dialog.findChild<CHyperlink*>(QStringLiteral("forgotPasswordLink"));
    ASSERT_NE(signUp, nullptr);
    ASSERT_NE(forgot, nullptr);
    EXPECT_EQ(signUp->text(), QStringLiteral("Sign up for a Fenwave account"));
    EXPECT_EQ(signUp->Url(), QStringLiteral("http://site.test:8080/signup.php"));
    EXPECT_EQ(forgot->text(), QStringLiteral("Forgot your password?"));
    EXPECT_EQ(forgot->Url(), QStringLiteral("http://site.test:8080/settings/lostpassword.php"));
}

TEST(LoginDialogTest, AnEmptyFieldKeepsTheDialogOpenWithoutAsking) {
    struct Case {
        QString name;
        QString password;
    };
    for (const Case& c : {Case{"", "secret"}, Case{"alice", ""}, Case{"", ""}}) {
        SCOPED_TRACE(c.name.toStdString() + "/" + c.password.toStdString());
        CDialogWorld world;
        CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
        login.Fill(c.name, c.password, true);
        EXPECT_FALSE(login.Ok());
        EXPECT_EQ(ShownText(), "Field Empty: Please enter a username and a password.");
        EXPECT_EQ(CMessageBox::LastShown()->icon, QMessageBox::Critical);
        EXPECT_EQ(world.WebRequests(), 0u);
        EXPECT_EQ(world.settings.GetNumUsers(), 0);
    }
}

TEST(LoginDialogTest, AddingAUserStoresItOnlyWhenTheWebServiceAcceptsIt) {
    struct Case {
        const char* what;
        const char* name;
        const char* password;
        bool stall;
        const char* message; // nullptr: accepted
    };
    const Case cases[] = {
        {"accepted", "alice", "secret", false, nullptr},
        {"unknown user", "mallory", "secret", false, kUnknownUserText},
        {"wrong password", "alice", "Secret", false, kWrongPasswordText},
        {"no answer in time", "alice", "secret", true, kNoContactText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDialogWorld world;
        // Two colours are taken: the new user gets the smallest free one.
        world.AddStoredUser("bob", "x", 0);
        world.AddStoredUser("carol", "x", 2);
        world.settings.SetCurrentUser("bob");
        if (c.stall) {
            world.sim.SetBehaviour(Sim::ERole::Web, "/vbx/pwcheck.php", {Sim::EMode::Stall});
            world.client.setTimeLimits(std::chrono::milliseconds(300), std::chrono::milliseconds(800));
        }
        CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
        login.Fill(QString::fromUtf8(c.name), QString::fromUtf8(c.password), false);
        const bool closed = login.Ok();
        EXPECT_EQ(world.WebRequests(), 1u);
        if (c.message != nullptr) {
            EXPECT_FALSE(closed);
            EXPECT_EQ(ShownText(), c.message);
            EXPECT_EQ(world.settings.GetNumUsers(), 2);
            EXPECT_EQ(world.settings.GetCurrentUser().name, "bob");
            continue;
        }
        EXPECT_TRUE(closed);
        EXPECT_EQ(login.dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(CMessageBox::LastShown().has_value());
        CUser expected;
        expected.name = "alice";
        expected.passwordHash = md5Hex("secret");
        expected.colour = 1;
        expected.rememberPassword = false;
        expected.submitPlays = true;
        expected.displayRecent = true;
        EXPECT_EQ(world.settings.GetUser("alice"), expected);
        EXPECT_EQ(world.settings.GetCurrentUser().name, "alice");
        // And it is in the store.
        CSettingsManager reread;
        reread.Restore();
        EXPECT_EQ(reread.GetUser("alice"), expected);
    }
}

TEST(LoginDialogTest, LoggingInComparesWithTheStoredHashWithoutTheNetwork) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret", 3, false);
    world.AddStoredUser("bob", "x", 1, true);
    world.settings.SetCurrentUser("bob");
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_LOGIN, "alice");

    login.Fill(std::nullopt, QStringLiteral("wrong"), true);
    EXPECT_FALSE(login.Ok());
    EXPECT_EQ(ShownText(), kWrongPasswordText);
    EXPECT_EQ(world.settings.GetCurrentUser().name, "bob");
    EXPECT_FALSE(world.settings.GetUser("alice").rememberPassword);

    CMessageBox::Reset();
    login.Fill(std::nullopt, QStringLiteral("secret"), true);
    EXPECT_TRUE(login.Ok());
    EXPECT_EQ(login.dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(CMessageBox::LastShown().has_value());
    EXPECT_EQ(world.settings.GetCurrentUser().name, "alice");
    EXPECT_TRUE(world.settings.GetUser("alice").rememberPassword);
    EXPECT_EQ(world.settings.GetUser("alice").colour, 3);
    EXPECT_EQ(world.WebRequests(), 0u);
}

TEST(LoginDialogTest, ANameNoUserHasIsAddedAfterTheWebServiceAcceptsIt) {
    CDialogWorld world;
    world.AddStoredUser("bob", "x", 0, true);
    world.settings.SetCurrentUser("bob");
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_LOGIN, "bob");

    login.Fill(QStringLiteral("alice"), QStringLiteral("wrong"), true);
    EXPECT_FALSE(login.Ok());
    EXPECT_EQ(ShownText(), kWrongPasswordText);
    EXPECT_EQ(login.dialog.Mode(), CLoginDialog::LOGIN_MODE_ADD_USER);
    EXPECT_EQ(login.dialog.windowTitle(), QStringLiteral("Add user"));
    EXPECT_EQ(world.WebRequests(), 1u);

    login.Fill(std::nullopt, QStringLiteral("secret"), true);
    EXPECT_TRUE(login.Ok());
    EXPECT_EQ(world.WebRequests(), 2u);
    EXPECT_EQ(world.settings.GetCurrentUser().name, "alice");
    EXPECT_EQ(world.settings.GetUser("alice").passwordHash, md5Hex("secret"));
    EXPECT_EQ(world.settings.GetUser("alice").colour, 1);
}

TEST(LoginDialogTest, ChangingThePasswordStoresTheHashTheWebServiceAccepts) {
    CDialogWorld world;
    world.AddStoredUser("alice", "old one", 2, false);
    world.AddStoredUser("bob", "x", 0, true);
    world.settings.SetCurrentUser("alice");
    world.sim.AddUser("alice", "new one");
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_CHANGE_PASS, "alice");

    login.Fill(std::nullopt, QStringLiteral("not it"), true);
    EXPECT_FALSE(login.Ok());
    EXPECT_EQ(ShownText(), kWrongPasswordText);
    EXPECT_EQ(world.settings.GetUser("alice").passwordHash, md5Hex("old one"));
    EXPECT_FALSE(world.settings.GetUser("alice").rememberPassword);

    CMessageBox::Reset();
    login.Fill(std::nullopt, QStringLiteral("new one"), true);
    EXPECT_TRUE(login.Ok());
    EXPECT_EQ(login.dialog.result(), QDialog::Accepted);
    const CUser alice = world.settings.GetUser("alice");
    EXPECT_EQ(alice.passwordHash, md5Hex("new one"));
    EXPECT_TRUE(alice.rememberPassword);
    EXPECT_EQ(alice.colour, 2);
    EXPECT_EQ(world.settings.GetCurrentUser().name, "alice");
    EXPECT_EQ(world.WebRequests(), 2u);
}

TEST(LoginDialogTest, AnExistingNameIsRefusedAndTheDialogStaysOpen) {
    CDialogWorld world;
    world.AddStoredUser("alice", "old", 4, false);
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
    login.Fill(QStringLiteral("alice"), QStringLiteral("secret"), true);
    EXPECT_FALSE(login.Ok());
    EXPECT_EQ(ShownText(), "User Exists: A user with this username already exists.");
    EXPECT_EQ(world.settings.GetUser("alice").passwordHash, md5Hex("old"));
    EXPECT_TRUE(world.log.Contains("CUserExistsException"));
}

TEST(LoginDialogTest, TheHundredAndFirstUserEndsTheDialogWithTheStoresMessage) {
    CDialogWorld world;
    for (int i = 0; i < 100; ++i)
        world.AddStoredUser("user" + std::to_string(i), "x", i % 5);
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
    login.Fill(QStringLiteral("alice"), QStringLiteral("secret"), true);
    EXPECT_TRUE(login.Ok());
    EXPECT_EQ(login.dialog.result(), QDialog::Rejected);
    EXPECT_EQ(ShownText(), "Registry Error: Maximum number of users exceeded.");
    EXPECT_EQ(world.settings.GetNumUsers(), 100);
    EXPECT_TRUE(world.log.Contains("RegistryException: Maximum number of users exceeded."));
}

/// Every file under the folder that holds the text.
std::vector<std::string> FilesHolding(const std::string& folder, const QByteArray& text) {
    std::vector<std::string> found;
    QDirIterator files(QString::fromStdString(folder), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const std::string path = files.next().toStdString();
        if (QByteArray::fromStdString(ReadFile(path)).contains(text))
            found.push_back(path);
    }
    return found;
}

TEST(LoginDialogTest, APasswordOutsideAsciiIsHashedInItsUtf8FormAndKeptNowhere) {
    const std::string password = "Grüße, Zoë €";
    CDialogWorld world({{"zoë", password}});
    CShownLogin login(world, CLoginDialog::LOGIN_MODE_ADD_USER, "");
    login.Fill(QStringLiteral("zoë"), QString::fromStdString(password), true);
    ASSERT_TRUE(login.Ok()) << ShownText();
    EXPECT_EQ(world.settings.GetUser("zoë").passwordHash, md5Hex(password));

    // Log in again, as after a restart.
    CShownLogin again(world, CLoginDialog::LOGIN_MODE_LOGIN, "zoë");
    again.Fill(std::nullopt, QString::fromStdString(password), false);
    EXPECT_TRUE(again.Ok()) << ShownText();

    world.settings.Save();
    // The whole password, its first word, and its 8-bit form.
    for (const QByteArray& form : {QByteArray::fromStdString(password), QByteArray("Gr\xc3\xbc\xc3\x9f" "e"),
                                   QString::fromStdString(password).toLatin1()}) {
        SCOPED_TRACE(form.toStdString());
        EXPECT_EQ(FilesHolding(world.env.Root(), form), std::vector<std::string>());
        EXPECT_FALSE(world.log.Contains(form.toStdString()));
    }
    EXPECT_FALSE(FilesHolding(world.env.Root(), QByteArray::fromStdString(md5Hex(password))).empty());
}

} // namespace
