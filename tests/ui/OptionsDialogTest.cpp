#include "app/Observer.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"
#include "tests/ui/DialogTestSupport.h"
#include "ui/ConnectionPage.h"
#include "ui/LoginDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/PlayersPage.h"
#include "ui/UserPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

/// Counts the settings manager's notifications.
class CNotifyCounter : public Observer {
public:
    explicit CNotifyCounter(CSettingsManager& settings) : mSettings(settings) { mSettings.AddObserver(this); }
    ~CNotifyCounter() override { mSettings.RemoveObserver(this); }
    void Update() override { ++count; }
    int count = 0;

private:
    CSettingsManager& mSettings;
};

/// The options dialog of a test, shown on a page.
class CShownOptions {
public:
    CShownOptions(CDialogWorld& world, int page = COptionsDialog::kUserPage)
        : dialog(nullptr, page, world.settings, world.client) {
        dialog.show();
        EXPECT_TRUE(WaitForUi([this] { return dialog.isVisible(); }));
    }

    template <class T> T& Control(const char* name) {
        T* control = dialog.findChild<T*>(QLatin1String(name));
        EXPECT_NE(control, nullptr) << name;
        return *control;
    }
    QTreeWidget& Directories() { return Control<QTreeWidget>("directories"); }
    QPushButton& Apply() { return Control<QPushButton>("applyButton"); }

    std::vector<std::string> Listed() {
        std::vector<std::string> rows;
        for (int i = 0; i < Directories().topLevelItemCount(); ++i)
            rows.push_back(Directories().topLevelItem(i)->text(0).toStdString());
        return rows;
    }

    /// Clicks a row, with Ctrl to add it to the selection.
    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {}) {
        QTreeWidgetItem* item = Directories().topLevelItem(row);
        const QRect place = Directories().visualItemRect(item);
        QTest::mouseClick(Directories().viewport(), Qt::LeftButton, modifiers, place.center());
    }

    /// Shows the Connection page as a click on its tab does.
    void ShowConnectionPage() {
        auto& tabs = Control<QTabWidget>("pages");
        tabs.setCurrentIndex(COptionsDialog::kConnectionPage);
        EXPECT_TRUE(WaitForUi([&] { return Control<QLineEdit>("proxyPort").isVisible(); }));
    }

    /// Replaces a field's text by typing.
    void Retype(const char* field, const QString& text) {
        auto& edit = Control<QLineEdit>(field);
        edit.selectAll();
        QTest::keyClick(&edit, Qt::Key_Delete);
        TypeText(&edit, text);
    }

    COptionsDialog dialog;
};

CUser Stored(const std::string& name) {
    CSettingsManager reread;
    reread.Restore();
    return reread.GetUser(name);
}

CProxySettings StoredProxy() {
    CSettingsManager reread;
    reread.Restore();
    return reread.GetProxySettings();
}

TEST(OptionsDialogTest, UserPageShowsTheCurrentUserAndStoresOnApplyOnly) {
    CDialogWorld world;
    CUser alice = world.AddStoredUser("alice", "secret", 1, false);
    alice.exclusionDirs = {"/music/podcasts", "/music/books"};
    world.settings.UpdateUser(alice);
    world.AddStoredUser("bob", "x", 4, true);
    world.settings.SetCurrentUser("alice");
    CNotifyCounter notified(world.settings);

    CShownOptions options(world);
    EXPECT_EQ(options.dialog.windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(options.Control<QLabel>("userName").text(), QStringLiteral("alice"));
    auto& colour = options.Control<QComboBox>("colour");
    QStringList colours;
    for (int i = 0; i < colour.count(); ++i) {
        colours << colour.itemText(i);
        EXPECT_FALSE(colour.itemIcon(i).isNull());
    }
    EXPECT_EQ(colours, QStringList({"Red", "Blue", "Green", "Yellow", "Black"}));
    EXPECT_EQ(colour.currentIndex(), 1);
    EXPECT_TRUE(options.Control<QCheckBox>("enableVortling").isChecked());
    EXPECT_FALSE(options.Control<QCheckBox>("rememberPassword").isChecked());
    EXPECT_EQ(options.Listed(), alice.exclusionDirs);
    EXPECT_FALSE(options.Apply().isEnabled());

    // Yellow, vortling off, password remembered.
    colour.setFocus();
    QTest::keyClick(&colour, Qt::Key_Down);
    QTest::keyClick(&colour, Qt::Key_Down);
    EXPECT_EQ(colour.currentIndex(), 3);
    EXPECT_TRUE(options.Apply().isEnabled());
    ClickCheckBox(options.Control<QCheckBox>("enableVortling"));
    ClickCheckBox(options.Control<QCheckBox>("rememberPassword"));
    EXPECT_EQ(world.settings.GetUser("alice").colour, 1);
    EXPECT_EQ(notified.count, 0);

    ClickButton(options.dialog, "applyButton");
    EXPECT_TRUE(options.dialog.isVisible());
    EXPECT_FALSE(options.Apply().isEnabled());
    EXPECT_EQ(notified.count, 1);
    CUser expected = alice;
    expected.colour = 3;
    expected.submitPlays = false;
    expected.rememberPassword = true;
    EXPECT_EQ(Stored("alice"), expected);
    EXPECT_EQ(Stored("bob").colour, 4);

    ClickButton(options.dialog, "okButton");
    EXPECT_FALSE(options.dialog.isVisible());
    EXPECT_EQ(options.dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Stored("alice"), expected);
}

TEST(OptionsDialogTest, CancelStoresNothing) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret", 1, false);
    world.settings.SetCurrentUser("alice");
    CShownOptions options(world);
    ClickCheckBox(options.Control<QCheckBox>("enableVortling"));
    ClickButton(options.dialog, "clearDirectories");
    ClickButton(options.dialog, "cancelButton");
    EXPECT_FALSE(options.dialog.isVisible());
    EXPECT_TRUE(Stored("alice").submitPlays);
}

TEST(OptionsDialogTest, RemovingTheSecondAndFourthOfFiveDirectoriesKeepsTheOthers) {
    CDialogWorld world;
    CUser alice = world.AddStoredUser("alice", "secret");
    alice.exclusionDirs = {"/d/one", "/d/two", "/d/three", "/d/four", "/d/five"};
    world.settings.UpdateUser(alice);
    world.settings.SetCurrentUser("alice");
    CShownOptions options(world);

    options.ClickRow(1);
    options.ClickRow(3, Qt::ControlModifier);
    ASSERT_EQ(options.Directories().selectedItems().size(), 2);
    ClickButton(options.dialog, "removeDirectory");
    EXPECT_EQ(options.Listed(), std::vector<std::string>({"/d/one", "/d/three", "/d/five"}));
    EXPECT_TRUE(options.Apply().isEnabled());

    // The Delete key removes what is selected; Ctrl+A selects every row.
    options.ClickRow(0);
    QTest::keyClick(&options.Directories(), Qt::Key_Delete);
    EXPECT_EQ(options.Listed(), std::vector<std::string>({"/d/three", "/d/five"}));
    QTest::keyClick(&options.Directories(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(options.Directories().selectedItems().size(), 2);
    EXPECT_EQ(options.dialog.focusWidget(), &options.Directories());
    ClickButton(options.dialog, "applyButton");
    EXPECT_EQ(Stored("alice").exclusionDirs, std::vector<std::string>({"/d/three", "/d/five"}));

    ClickButton(options.dialog, "clearDirectories");
    EXPECT_TRUE(options.Listed().empty());
    ClickButton(options.dialog, "okButton");
    EXPECT_TRUE(Stored("alice").exclusionDirs.empty());
}

TEST(OptionsDialogTest, AddChoosesAFolderStartingAtTheLastOneChosen) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret");
    world.settings.SetCurrentUser("alice");
    CTempDir folders;
    const QString first = QString::fromStdString(folders.File("Podcasts"));
    const QString second = QString::fromStdString(folders.File("Radio plays"));
    ASSERT_TRUE(QDir().mkpath(first));
    ASSERT_TRUE(QDir().mkpath(second));
    CShownOptions options(world);

    // Chooses `pick` (or cancels for an empty one) in the next folder
    // chooser, noting where it started.
    QString startedAt;
    bool ran = false;
    auto choose = [&](const QString& pick) {
        WhenModal<QFileDialog>(
            [&startedAt, pick](QFileDialog& chooser) {
                startedAt = chooser.directory().absolutePath();
                if (pick.isEmpty()) {
                    chooser.reject();
                    return;
                }
                chooser.selectFile(pick);
                static_cast<QDialog&>(chooser).accept();
            },
            ran);
        ClickButton(options.dialog, "addDirectory");
        EXPECT_TRUE(ran);
    };

    choose(first);
    EXPECT_EQ(startedAt, QDir::homePath());
    EXPECT_EQ(options.Listed(), std::vector<std::string>({first.toStdString()}));
    choose(second);
    EXPECT_EQ(startedAt, first);
    choose(QString());
    EXPECT_EQ(startedAt, second);
    // A folder already listed is listed again.
    choose(first);
    EXPECT_EQ(options.Listed(),
              std::vector<std::string>({first.toStdString(), second.toStdString(), first.toStdString()}));
    ClickButton(options.dialog, "okButton");
    EXPECT_EQ(Stored("alice").exclusionDirs,
              std::vector<std::string>({first.toStdString(), second.toStdString(), first.toStdString()}));
}

TEST(OptionsDialogTest, UpdatePasswordRunsTheLoginDialogAndShowsItsRememberChoice) {
    CDialogWorld world;
    world.AddStoredUser("alice", "old", 0, false);
    world.settings.SetCurrentUser("alice");
    world.sim.AddUser("alice", "new");
    CShownOptions options(world);
    EXPECT_FALSE(options.Control<QCheckBox>("rememberPassword").isChecked());

    bool ran = false;
    WhenModal<CLoginDialog>(
        [](CLoginDialog& login) {
            EXPECT_EQ(login.Mode(), CLoginDialog::LOGIN_MODE_CHANGE_PASS);
            TypeText(login.findChild<QLineEdit*>(QStringLiteral("password")), QStringLiteral("new"));
            login.findChild<QCheckBox*>(QStringLiteral("rememberPassword"))->click();
            ClickButton(login, "okButton");
        },
        ran);
    ClickButton(options.dialog, "updatePassword");
    EXPECT_TRUE(ran);
    EXPECT_EQ(world.settings.GetUser("alice").passwordHash, md5Hex("new"));
    EXPECT_TRUE(options.Control<QCheckBox>("rememberPassword").isChecked());

    // Storing the page keeps the new password.
    ClickButton(options.dialog, "okButton");
    EXPECT_EQ(Stored("alice").passwordHash, md5Hex("new"));
    EXPECT_TRUE(Stored("alice").rememberPassword);
}

TEST(OptionsDialogTest, ConnectionPageRoundTripsTheProxy) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret");
    world.settings.SetCurrentUser("alice");
    CProxySettings proxy{"proxy.test", 3128, "pu", "pp", false};
    world.settings.SetProxySettings(proxy);
    CShownOptions options(world, COptionsDialog::kConnectionPage);

    auto& enable = options.Control<QCheckBox>("enableProxy");
    EXPECT_FALSE(enable.isChecked());
    EXPECT_EQ(options.Control<QLineEdit>("proxyHost").text(), QStringLiteral("proxy.test"));
    EXPECT_EQ(options.Control<QLineEdit>("proxyPort").text(), QStringLiteral("3128"));
    EXPECT_EQ(options.Control<QLineEdit>("proxyUser").text(), QStringLiteral("pu"));
    EXPECT_EQ(options.Control<QLineEdit>("proxyPassword").text(), QStringLiteral("pp"));
    EXPECT_EQ(options.Control<QLineEdit>("proxyPassword").echoMode(), QLineEdit::Password);
    for (const char* field : {"proxyHost", "proxyPort", "proxyUser", "proxyPassword"})
        EXPECT_FALSE(options.Control<QLineEdit>(field).isEnabled()) << field;

    // Ticking the box opens the fields but changes nothing to store.
    ClickCheckBox(enable);
    for (const char* field : {"proxyHost", "proxyPort", "proxyUser", "proxyPassword"})
        EXPECT_TRUE(options.Control<QLineEdit>(field).isEnabled()) << field;
    EXPECT_FALSE(options.Apply().isEnabled());

    options.Retype("proxyHost", QStringLiteral("cache.test"));
    EXPECT_TRUE(options.Apply().isEnabled());
    options.Retype("proxyPort", QStringLiteral("8080"));
    options.Retype("proxyUser", QStringLiteral("u2"));
    options.Retype("proxyPassword", QStringLiteral("p2"));
    ClickButton(options.dialog, "okButton");
    EXPECT_EQ(options.dialog.result(), QDialog::Accepted);
    const CProxySettings expected{"cache.test", 8080, "u2", "p2", true};
    EXPECT_EQ(world.settings.GetProxySettings(), expected);
    EXPECT_EQ(StoredProxy(), expected);
}

TEST(OptionsDialogTest, APortIsItsLeadingNumberFromOneTo65535OrNone) {
    struct Case {
        const char* text;
        std::optional<int> stored; // nullopt: refused
    };
    const Case cases[] = {
        {"", 0},          {"0", 0},         {"8080", 8080},         {"12ab", 12},    {"65535", 65535},
        {"abc", std::nullopt}, {"00", std::nullopt}, {"65536", std::nullopt}, {"99999999999", std::nullopt},
        {"-5", std::nullopt}, {" 0", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        CDialogWorld world;
        world.AddStoredUser("alice", "secret", 0, false);
        world.settings.SetCurrentUser("alice");
        const CProxySettings before{"proxy.test", 3128, "", "", true};
        world.settings.SetProxySettings(before);
        CShownOptions options(world);
        ClickCheckBox(options.Control<QCheckBox>("rememberPassword"));
        options.ShowConnectionPage();
        options.Retype("proxyPort", QString::fromUtf8(c.text));
        ClickButton(options.dialog, "okButton");
        // The User page stores first either way.
        EXPECT_TRUE(Stored("alice").rememberPassword);
        if (c.stored) {
            EXPECT_FALSE(options.dialog.isVisible());
            EXPECT_FALSE(CMessageBox::LastShown().has_value());
            EXPECT_EQ(StoredProxy().port, *c.stored);
            continue;
        }
        EXPECT_TRUE(options.dialog.isVisible());
        const auto shown = CMessageBox::LastShown();
        ASSERT_TRUE(shown.has_value());
        EXPECT_EQ(shown->caption, QStringLiteral("Port invalid"));
        EXPECT_EQ(shown->icon, QMessageBox::Critical);
        EXPECT_EQ(shown->text, QStringLiteral("Please enter a valid numeric port number or leave the field empty "
                                              "if no port is required."));
        EXPECT_EQ(StoredProxy(), before);
    }
}

TEST(OptionsDialogTest, OkWithoutVisitingTheConnectionPageLeavesTheProxyAsItWas) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret");
    world.settings.SetCurrentUser("alice");
    world.settings.SetProxySettings({"proxy.test", 3128, "", "", true});
    CShownOptions options(world);
    ClickCheckBox(options.Control<QCheckBox>("enableVortling"));

    // Someone else changes the stored proxy meanwhile.
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave", false);
    CRegistryUtils::WriteString(key, "ProxyHost", "elsewhere.test");
    CNotifyCounter notified(world.settings);

    ClickButton(options.dialog, "okButton");
    EXPECT_FALSE(options.dialog.isVisible());
    EXPECT_FALSE(Stored("alice").submitPlays);
    EXPECT_EQ(StoredProxy().host, "elsewhere.test");
    EXPECT_EQ(world.settings.GetProxySettings().host, "proxy.test");
    // Only the user was stored.
    EXPECT_EQ(notified.count, 1);
}

// The players heard on this desktop, each ticked unless the ignore list
// keeps it out (browsers by default): unticking one adds its name, ticking
// one takes out the patterns that ignore it, and every row shows what the
// list says then. OK stores the list and the switch, and tells the
// observers (the bridge's supervisor) at once.
TEST(OptionsDialogTest, PlayersPageTicksThePlayersThatCountAndStoresTheChoice) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret");
    world.settings.SetCurrentUser("alice");
    for (const auto& [name, identity, seen] : {std::tuple{"vlc", "VLC media player", 300u},
                                               std::tuple{"chromium", "Chromium", 200u},
                                               std::tuple{"mpv", "mpv Media Player", 100u}})
        CMprisPlayers::Record({name, identity, seen});
    CNotifyCounter notified(world.settings);

    CShownOptions options(world, COptionsDialog::kPlayersPage);
    auto& list = options.Control<QTreeWidget>("playerList");
    const auto ticks = [&list] {
        std::string text;
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = list.topLevelItem(i);
            text += item->data(CPlayersPage::kPlayerColumn, CPlayersPage::kNameRole).toString().toStdString() +
                    (item->checkState(CPlayersPage::kPlayerColumn) == Qt::Checked ? "+ " : "- ");
        }
        return text;
    };
    EXPECT_EQ(ticks(), "vlc+ chromium- mpv+ ");
    EXPECT_EQ(list.topLevelItem(0)->text(CPlayersPage::kPlayerColumn), QStringLiteral("VLC media player"));
    EXPECT_TRUE(options.Control<QCheckBox>("hearPlayers").isChecked());
    EXPECT_FALSE(options.Apply().isEnabled());

    list.topLevelItem(0)->setCheckState(CPlayersPage::kPlayerColumn, Qt::Unchecked);
    list.topLevelItem(1)->setCheckState(CPlayersPage::kPlayerColumn, Qt::Checked);
    EXPECT_EQ(ticks(), "vlc- chromium+ mpv+ ");
    EXPECT_TRUE(options.Apply().isEnabled());
    ClickCheckBox(options.Control<QCheckBox>("hearPlayers"));
    EXPECT_FALSE(list.isEnabled());
    EXPECT_EQ(notified.count, 0);

    ClickButton(options.dialog, "okButton");
    EXPECT_EQ(notified.count, 1);
    const CIgnoreList stored = CIgnoreList::FromStore();
    EXPECT_FALSE(stored.Ignores("org.mpris.MediaPlayer2.chromium.instance77"));
    EXPECT_TRUE(stored.Ignores("org.mpris.MediaPlayer2.vlc.instance12"));
    EXPECT_TRUE(stored.Ignores("org.mpris.MediaPlayer2.firefox.instance_1_2"));
    EXPECT_FALSE(world.settings.IsMprisBridgeOn());
}

// "Start Vortlebox when I log in" shows what the autostart entries say, and
// unticked, OK turns it off for this person only.
TEST(OptionsDialogTest, GeneralPageTurnsTheStartAtLoginOffForThisPerson) {
    CDialogWorld world;
    world.AddStoredUser("alice", "secret");
    world.settings.SetCurrentUser("alice");
    const std::string system = world.env.Root() + "/xdg";
    world.env.Env().Set("XDG_CONFIG_DIRS", system);
    QDir().mkpath(QString::fromStdString(system + "/autostart"));
    WriteFile(system + "/autostart/vortlebox.desktop", "[Desktop Entry]\nType=Application\nName=Vortlebox\nExec=vortlebox\n");

    CShownOptions options(world, COptionsDialog::kGeneralPage);
    auto& start = options.Control<QCheckBox>("startAtLogin");
    EXPECT_TRUE(start.isChecked());
    ClickCheckBox(start);
    EXPECT_TRUE(options.Apply().isEnabled());
    ClickButton(options.dialog, "okButton");
    EXPECT_NE(ReadFile(world.env.ConfigHome() + "/autostart/vortlebox.desktop").find("Hidden=true"), std::string::npos);
    EXPECT_NE(ReadFile(system + "/autostart/vortlebox.desktop").find("Exec=vortlebox"), std::string::npos);
}

} // namespace
