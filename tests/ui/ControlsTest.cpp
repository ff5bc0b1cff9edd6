#include "player/StopWatch.h"
#include "player/StopWatchClient.h"
#include "settings/SettingsManager.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "ui/controls/Hyperlink.h"
#include "ui/controls/IconShack.h"
#include "ui/controls/JpgStatic.h"
#include "ui/MessageBox.h"
#include "ui/controls/StopWatchProgress.h"
#include "ui/controls/TransparentBitmap.h"
#include "ui/UserMenu.h"

#include <QAction>
#include <QDesktopServices>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

/// Records the pages the desktop would have opened.
class CUrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened.push_back(url); }
};

namespace {

/// A picture file of the given size and format in the folder.
std::string WritePicture(const CTempDir& dir, const std::string& name, QSize size, const char* format) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(0x30, 0x60, 0x90));
    const std::string path = dir.File(name);
    EXPECT_TRUE(image.save(QString::fromStdString(path), format));
    return path;
}

TEST(JpgStaticTest, FitsThePictureWithItsAspectCentredAndAtTheTop) {
    CTempDir dir;
    struct Case {
        const char* name;
        QSize picture;
        const char* format;
        QRect expected;
    };
    // The control is 100 x 100.
    const Case cases[] = {
        {"square.jpg", {40, 40}, "JPG", {0, 0, 100, 100}},     // enlarged to fill
        {"wide.png", {400, 200}, "PNG", {0, 0, 100, 50}},      // full width, at the top
        {"tall.png", {50, 100}, "PNG", {25, 0, 50, 100}},      // full height, centred
        {"big-square.png", {1000, 1000}, "PNG", {0, 0, 100, 100}}, // reduced
    };
    QWidget window;
    window.resize(200, 200);
    CJpgStatic picture(&window);
    picture.setGeometry(0, 0, 100, 100);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(picture.SetImage(QString::fromStdString(WritePicture(dir, c.name, c.picture, c.format))));
        EXPECT_EQ(picture.PictureSize(), c.picture);
        EXPECT_EQ(picture.PictureRect(), c.expected);
        // The drawn picture has a black frame; beside a narrow picture the
        // control stays clear.
        const QImage shown = window.grab().toImage();
        EXPECT_EQ(shown.pixelColor(c.expected.topLeft()), QColor(Qt::black));
        const QColor middle = shown.pixelColor(c.expected.center());
        EXPECT_NEAR(middle.red(), 0x30, 8); // JPEG is lossy
        EXPECT_NEAR(middle.blue(), 0x90, 8);
        if (c.expected.left() > 0) {
            EXPECT_EQ(shown.pixelColor(c.expected.left() - 2, 50), window.palette().color(QPalette::Window));
        }
    }
    // GIF, as the web service may deliver it: a 1 x 1 picture fills the box.
    const char gif[] = "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff,\x00\x00\x00\x00"
                       "\x01\x00\x01\x00\x00\x02\x02D\x01\x00;";
    WriteFile(dir.File("dot.gif"), std::string(gif, sizeof gif - 1));
    ASSERT_TRUE(picture.SetImage(QString::fromStdString(dir.File("dot.gif"))));
    EXPECT_EQ(picture.PictureRect(), QRect(0, 0, 100, 100));
}

TEST(JpgStaticTest, AnUnreadablePictureIsLoggedAndLeavesNone) {
    CLogCapture log;
    CTempDir dir;
    WriteFile(dir.File("not-a-picture.jpg"), "this is text");
    CJpgStatic picture;
    ASSERT_TRUE(picture.SetImage(QString::fromStdString(WritePicture(dir, "ok.png", {8, 8}, "PNG"))));
    for (const std::string& path : {dir.File("missing.jpg"), dir.File("not-a-picture.jpg"), std::string()}) {
        EXPECT_FALSE(picture.SetImage(QString::fromStdString(path)));
        EXPECT_FALSE(picture.HasPicture());
        EXPECT_TRUE(log.Contains("\n  Unable to load picture " + path + "\n")) << path;
    }
}

/// A parent painted in one colour, to see what shows through a control.
class CColouredParent : public QWidget {
public:
    explicit CColouredParent(QColor colour) : mColour(colour) { resize(64, 64); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), mColour); }

private:
    QColor mColour;
};

TEST(TransparentBitmapTest, WhitePixelsShowTheBackgroundAndTheControlTakesTheBitmapsSize) {
    const QColor ground(0x10, 0x80, 0x20);
    CColouredParent parent(ground);
    QPixmap borrowed(12, 10);
    borrowed.fill(Qt::white);
    {
        QPainter painter(&borrowed);
        painter.fillRect(QRect(3, 3, 6, 4), QColor(0xc0, 0x20, 0x20));
    }
    CTransparentBitmap bitmap(&parent);
    bitmap.SetBitmap(&borrowed);
    EXPECT_EQ(bitmap.size(), QSize(12, 10));
    const QImage shown = parent.grab().toImage();
    EXPECT_EQ(shown.pixelColor(0, 0), ground);
    EXPECT_EQ(shown.pixelColor(11, 9), ground);
    EXPECT_EQ(shown.pixelColor(5, 5), QColor(0xc0, 0x20, 0x20));
}

TEST(TransparentBitmapTest, AnIconKeepsAWhiteSquareAndLosesItsBlackPixels) {
    const QColor ground(0x10, 0x80, 0x20);
    CColouredParent parent(ground);
    QPixmap iconPicture(16, 16);
    iconPicture.fill(Qt::transparent);
    {
        QPainter painter(&iconPicture);
        painter.fillRect(QRect(0, 0, 8, 16), Qt::black);
        painter.fillRect(QRect(8, 0, 4, 16), QColor(0x20, 0x40, 0xc0));
    }
    CTransparentBitmap bitmap(&parent);
    bitmap.SetBitmapFromIcon(QIcon(iconPicture));
    EXPECT_EQ(bitmap.TransparentColour(), QColor(Qt::black));
    EXPECT_EQ(bitmap.size(), QSize(16, 16));
    const QImage shown = parent.grab().toImage();
    EXPECT_EQ(shown.pixelColor(2, 8), ground);                    // black: gone
    EXPECT_EQ(shown.pixelColor(9, 8), QColor(0x20, 0x40, 0xc0)); // the icon
    EXPECT_EQ(shown.pixelColor(14, 8), QColor(Qt::white));         // the square behind it
}

TEST(TransparentBitmapTest, ResourcesLoadByIdentifierAndAMissingOneIsLogged) {
    CLogCapture log;
    CTransparentBitmap bitmap;
    for (const int id : {190, 197, 200, 202, 203, 207, 209, 210, 211, 212, 189, 140}) {
        EXPECT_TRUE(bitmap.SetBitmap(id)) << id;
        EXPECT_EQ(bitmap.BitmapId(), id);
        EXPECT_FALSE(bitmap.size().isEmpty()) << id;
    }
    EXPECT_FALSE(bitmap.SetBitmap(9999));
    EXPECT_FALSE(bitmap.HasBitmap());
    EXPECT_TRUE(log.Contains("Unable to load bitmap resource ID 9999\n"));
}

TEST(TransparentBitmapTest, ThePressedLookLastsWhileTheButtonIsDown) {
    QWidget parent;
    CTransparentBitmap bitmap(&parent);
    bitmap.SetBitmap(209);
    int clicks = 0;
    QObject::connect(&bitmap, &CTransparentBitmap::clicked, [&clicks] { ++clicks; });
    const QPointF inside(3, 3);
    QMouseEvent press(QEvent::MouseButtonPress, inside, bitmap.mapToGlobal(inside), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, bitmap.mapToGlobal(inside), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);

    QCoreApplication::sendEvent(&bitmap, &press);
    EXPECT_FALSE(bitmap.IsPressed()); // off by default
    QCoreApplication::sendEvent(&bitmap, &release);
    EXPECT_EQ(clicks, 1);

    bitmap.SetPressedLook(true);
    QCoreApplication::sendEvent(&bitmap, &press);
    EXPECT_TRUE(bitmap.IsPressed());
    QCoreApplication::sendEvent(&bitmap, &release);
    EXPECT_FALSE(bitmap.IsPressed());
    EXPECT_EQ(clicks, 2);
}

TEST(IconShackTest, EachColourHasThreeDifferentIconsAndStrangeColoursShowAsRed) {
    CLogCapture log;
    std::vector<QImage> seen;
    for (int colour = 0; colour < CIconShack::kColours; ++colour) {
        for (const QIcon* icon : {&CIconShack::NormalIcon(colour), &CIconShack::CachingIcon(colour),
                                  &CIconShack::DisabledIcon(colour)}) {
            ASSERT_FALSE(icon->isNull());
            const QImage image = icon->pixmap(16, 16).toImage();
            for (const QImage& other : seen)
                EXPECT_NE(image, other) << "colour " << colour;
            seen.push_back(image);
        }
    }
    EXPECT_EQ(CIconShack::NormalIcon(7).pixmap(16, 16).toImage(), CIconShack::NormalIcon(0).pixmap(16, 16).toImage());
    EXPECT_EQ(CIconShack::NormalIconId(0), 187);
    EXPECT_EQ(CIconShack::CachingIconId(4), 176);
    EXPECT_EQ(CIconShack::DisabledIconId(1), 180);
    EXPECT_FALSE(CIconShack::ArrowBitmap().isNull());
}

TEST(HyperlinkTest, AClickOpensThePageAndTheLinkTurnsGreyForGood) {
    CUrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "Open");

    QWidget window;
    CHyperlink link(&window);
    link.setText(QStringLiteral("Read more..."));
    link.resize(100, 20);
    link.SetUrl(QStringLiteral("http://site.test/music/A/+wiki"));
    EXPECT_TRUE(link.font().underline());
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(link.palette().color(QPalette::WindowText), CHyperlink::UnvisitedColour());

    const QPointF inside(5, 5);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, link.mapToGlobal(inside), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&link, &release);
    ASSERT_EQ(recorder.opened.size(), 1u);
    EXPECT_EQ(recorder.opened[0], QUrl(QStringLiteral("http://site.test/music/A/+wiki")));
    EXPECT_TRUE(link.IsVisited());
    EXPECT_EQ(link.palette().color(QPalette::WindowText), CHyperlink::VisitedColour());

    // A later page replaces the first; the space key opens it too, and the
    // link stays grey.
    link.SetUrl(QStringLiteral("http://site.test/music/B/+wiki"));
    QKeyEvent space(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QCoreApplication::sendEvent(&link, &space);
    ASSERT_EQ(recorder.opened.size(), 2u);
    EXPECT_EQ(recorder.opened[1], QUrl(QStringLiteral("http://site.test/music/B/+wiki")));
    EXPECT_EQ(link.palette().color(QPalette::WindowText), CHyperlink::VisitedColour());
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

/// A stopwatch client that does nothing at the goal.
class CIdleClient : public CStopWatchClient {
public:
    void GoalReached() override {}
};

TEST(StopWatchProgressTest, FollowsTheCountOnlyWhileActive) {
    // Quick ticks: four short sleeps make a second.
    CStopWatch watch([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    watch.SetGoal(100000);
    CIdleClient client;
    CStopWatchProgress bar;
    std::vector<int> countdowns;
    QObject::connect(&bar, &CStopWatchProgress::countdown, [&countdowns](int left) { countdowns.push_back(left); });
    bar.Follow(&watch);
    EXPECT_EQ(bar.Maximum(), 100000);
    EXPECT_EQ(bar.Secondary(), 100000);

    bar.SetActive(false);
    watch.Start(&client);
    ASSERT_TRUE(WaitForUi([&watch] { return watch.GetTimer() >= 5; }));
    PumpUi(50);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_TRUE(countdowns.empty());

    bar.SetActive(true);
    ASSERT_TRUE(WaitForUi([&bar] { return bar.Position() >= 8; }));
    ASSERT_FALSE(countdowns.empty());
    EXPECT_EQ(countdowns.back(), bar.Maximum() - bar.Position());
    watch.Stop();

    bar.ShowSubmitted();
    EXPECT_TRUE(bar.IsShowingSubmitted());
    bar.Follow(&watch); // a new track: grey again
    EXPECT_FALSE(bar.IsShowingSubmitted());
    bar.Follow(nullptr);
}

TEST(UserMenuTest, ListsEveryUserOnceWithTheCurrentOneChecked) {
    CTestEnvironment env;
    CSettingsManager settings;
    settings.Restore();
    CUserMenu menu(settings);
    menu.Prepare();
    ASSERT_EQ(menu.actions().size(), 2); // separator and "Add User..."
    EXPECT_TRUE(menu.actions()[0]->isSeparator());
    EXPECT_EQ(menu.actions()[1]->text(), QStringLiteral("Add User..."));

    for (const char* name : {"carol", "alice", "bob"}) {
        CUser user;
        user.name = name;
        settings.AddUser(user);
    }
    settings.SetCurrentUser("bob");
    menu.Prepare();
    menu.Prepare();
    QStringList names;
    for (QAction* action : menu.actions()) {
        if (!action->isSeparator())
            names << action->text() + (action->isChecked() ? QStringLiteral("*") : QString());
    }
    EXPECT_EQ(names, QStringList({"alice", "bob*", "carol", "Add User..."}));
    EXPECT_EQ(menu.actions()[1]->data().toInt(), CUserMenu::kFirstUserCommand + 1);
}

TEST(MessageBoxTest, ATestAnswersBeforehandAndWithoutADisplayTheBoxIsLogged) {
    CLogCapture log;
    CMessageBox::Reset();
    CMessageBox::SetNextAnswer(QMessageBox::Ok);
    EXPECT_EQ(CMessageBox::Show(nullptr, QMessageBox::Information, QStringLiteral("Radio"),
                                QStringLiteral("Install it?"), QMessageBox::Ok | QMessageBox::Cancel),
              QMessageBox::Ok);
    ASSERT_TRUE(CMessageBox::LastShown().has_value());
    EXPECT_EQ(CMessageBox::LastShown()->text, QStringLiteral("Install it?"));
    EXPECT_EQ(CMessageBox::LastShown()->icon, QMessageBox::Information);

    ASSERT_TRUE(CMessageBox::IsHeadless()); // the tests run offscreen
    EXPECT_EQ(CMessageBox::Show(nullptr, QMessageBox::Information, QStringLiteral("Radio"),
                                QStringLiteral("Install it now?"), QMessageBox::Ok | QMessageBox::Cancel),
              QMessageBox::Cancel);
    EXPECT_TRUE(log.Contains("Radio: Install it now?"));
    EXPECT_EQ(CMessageBox::QuietAnswer(QMessageBox::Yes | QMessageBox::No), QMessageBox::No);
    EXPECT_EQ(CMessageBox::QuietAnswer(QMessageBox::Ok), QMessageBox::Ok);
    CMessageBox::Reset();
}

} // namespace

#include "ControlsTest.moc"
