// Renders the program's windows, in each of their states, into PNG files:
// the pictures of what a person sees. Every window runs for real: the
// player listener on a loopback port, the web submitter and the metadata
// getter against the Fenwave simulator, whose control interface supplies the
// metadata answers and pictures.
//
//   vortlebox-screens --list
//   vortlebox-screens --sim SUBMIT,WEB,STATIC --out DIR NAME
//
// scripts/screenshots.sh runs each NAME once, in a fresh private environment,
// under Xvfb. A new window adds its scenes to Scenes() below.

#include "app/Logger.h"
#include "app/UpdateCheck.h"
#include "history/HistoryStore.h"
#include "history/PlayHistory.h"
#include "player/PlayerListener.h"
#include "settings/IgnoreList.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "ui/AboutDialog.h"
#include "ui/HistoryChart.h"
#include "ui/HistoryModel.h"
#include "ui/HistoryWindow.h"
#include "ui/LoginDialog.h"
#include "ui/MainFrame.h"
#include "ui/MessageBox.h"
#include "ui/OptionsDialog.h"
#include "ui/StatusPage.h"
#include "ui/SysTrayIcon.h"
#include "ui/UserMenu.h"
#include "app/ProgramVersion.h"
#include "res/StringTable.h"
#include "update/wizards/AddPlayerDialog.h"
#include "update/AutoUpdater.h"
#include "update/wizards/PluginWizard.h"
#include "update/wizards/UpdateWizard.h"
#include "update/wizards/WizardCheckListPage.h"
#include "update/wizards/WizardProgressPage.h"
#include "update/wizards/WizardRadioPage.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QLinearGradient>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

/// One run of one scene: the core objects, the simulator and the output.
class CStage {
public:
    CStage(const QStringList& simPorts, const QString& outDir) : mOutDir(outDir) {
        if (simPorts.size() != 3)
            throw std::runtime_error("--sim needs SUBMIT,WEB,STATIC");
        mSubmitHost = "127.0.0.1:" + simPorts[0].toStdString();
        mWebHost = "127.0.0.1:" + simPorts[1].toStdString();
        mStaticHost = "127.0.0.1:" + simPorts[2].toStdString();
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "SubmitHost", mSubmitHost);
        CRegistryUtils::WriteString(key, "WebServiceHost", mWebHost);
        CRegistryUtils::WriteString(key, "WebSiteHost", "127.0.0.1:" + simPorts[2].toStdString());
        CRegistryUtils::WriteString(key, "StaticHost", mStaticHost);
        mSettings.Restore();
        // Files and behaviours a scene before set on the static host are gone.
        Control(mStaticHost, QStringLiteral("reset"), {}, {});
    }

    ~CStage() {
        mPage.reset();
        if (mListener) {
            mListener->Stop();
            if (mListenerThread.joinable())
                mListenerThread.join();
        }
        if (mSubmitter)
            mSubmitter->term();
    }

    /// Adds the user and makes it current; the simulator knows "alice"
    /// (password "secret") only.
    void AddUser(const std::string& name, int colour, bool submits) {
        CUser user;
        user.name = name;
        user.passwordHash = md5Hex("secret");
        user.colour = colour;
        user.rememberPassword = true;
        user.submitPlays = submits;
        mSettings.AddUser(user);
        mSettings.SetCurrentUser(name);
    }

    /// Starts the submission layer and the listener, and shows the window.
    CStatusPage& Start() {
        StartCore();
        mWindow = std::make_unique<QWidget>();
        mWindow->setWindowTitle(QStringLiteral("Vortlebox"));
        auto* layout = new QVBoxLayout(mWindow.get());
        layout->setContentsMargins(0, 0, 0, 0);
        mPage.reset(new CStatusPage(*mListener, *mSubmitter, mSettings));
        layout->addWidget(mPage.get());
        mMenu = std::make_unique<CUserMenu>(mSettings);
        mPage->SetUserMenu(mMenu.get());
        mWindow->show();
        Settle();
        return *mPage;
    }

    /// Starts the core and the program's main window (hidden, with its
    /// tray icon); the window and its status window are this stage's.
    CMainFrame& StartFrame() {
        StartCore();
        auto frame = std::make_unique<CMainFrame>(*mListener, *mSubmitter, mSettings, mUpdateCheck);
        frame->SetHistory(&History());
        mFrame = frame.get();
        mPage.reset(&frame->StatusPage());
        mWindow = std::move(frame);
        Settle();
        return *mFrame;
    }

    CMainFrame& Frame() { return *mFrame; }

    /// The history of the current user, recording from now on.
    CPlayHistory& History() {
        if (!mHistory) {
            mHistory = std::make_unique<CPlayHistory>(mSettings);
            mHistory->Start();
        }
        return *mHistory;
    }

    /// Starts the core and shows the history window over a history filled
    /// with weeks of plays.
    CHistoryWindow& StartHistory() {
        StartCore();
        // After the history has looked at what an earlier run left open.
        History().Flush();
        FillHistory(History().FilePathOf(mSettings.GetCurrentUser().name));
        auto window = std::make_unique<CHistoryWindow>(History(), *mSubmitter, mSettings);
        CHistoryWindow& shown = *window;
        mWindow = std::move(window);
        shown.show();
        Settle();
        return shown;
    }

    /// The screen around a rectangle, with a margin.
    void SaveScreen(const QRect& rect, const QString& name) {
        Settle();
        const QString path = QDir(mOutDir).filePath(name + QStringLiteral(".png"));
        const QRect area = rect.adjusted(-24, -24, 24, 24).intersected(QGuiApplication::primaryScreen()->geometry());
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                                          area.height());
        if (!shot.save(path, "PNG"))
            throw std::runtime_error("cannot write " + path.toStdString());
        std::printf("%s\n", qPrintable(path));
    }

private:
    void StartCore() {
        const CUser user = mSettings.GetCurrentUser();
        mSubmitter = std::make_unique<CWebSubmitter>(mSettings);
        mSubmitter->init(user.name, user.passwordHash, "vbx", "0.1", true);
        // Any free port: the scenes send their lines to whichever it is.
        mListener = std::make_unique<CPlayerListener>(0, [this](const std::string& id) {
                return std::make_shared<CPlayerConnection>(
                    id, mSettings, [this](const Track& track) { mSubmitter->Submit(track); });
            });
        mListenerThread = std::thread([this] { mListener->Start(); });
        WaitFor([this] { return mListener->IsListening(); }, "the listener");
    }

public:

    /// Sends one command line as a player plug-in does; returns the reply.
    std::string Play(const std::string& line) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(mListener->GetPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            const std::string bytes = line + "\n";
            [[maybe_unused]] const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            char buffer[256];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return reply;
    }

    /// Serves content for a target of the web service.
    void ServeFile(const QString& target, const QByteArray& content) {
        Control(mWebHost, QStringLiteral("file"), {{QStringLiteral("path"), target}}, content);
    }

    /// Serves content for a target of the static-content host, at
    /// bytesPerSecond when that is not 0.
    void ServeStaticFile(const QString& target, const QByteArray& content, int bytesPerSecond = 0) {
        QList<std::pair<QString, QString>> query{{QStringLiteral("path"), target}};
        if (bytesPerSecond > 0)
            query.append({QStringLiteral("rate"), QString::number(bytesPerSecond)});
        Control(mStaticHost, QStringLiteral("file"), query, content);
    }

    /// The static-content host reads the next request for a target starting
    /// with prefix and never answers it.
    void StallStatic(const QString& prefix) {
        Control(mStaticHost, QStringLiteral("behaviour"),
                {{QStringLiteral("prefix"), prefix},
                 {QStringLiteral("mode"), QStringLiteral("stall")},
                 {QStringLiteral("count"), QStringLiteral("1")}},
                {});
    }

    std::string StaticUrl(const std::string& path) const { return "http://" + mStaticHost + path; }

    /// One call of the simulator's control interface on one of its hosts.
    void Control(const std::string& host, const QString& call, const QList<std::pair<QString, QString>>& items,
                 const QByteArray& body) {
        QUrl url(QStringLiteral("http://%1/__sim/%2").arg(QString::fromStdString(host), call));
        QUrlQuery query;
        for (const auto& [name, value] : items)
            query.addQueryItem(name, value);
        url.setQuery(query);
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
        QNetworkReply* reply = mNetwork.post(request, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const bool ok = reply->error() == QNetworkReply::NoError;
        reply->deleteLater();
        if (!ok)
            throw std::runtime_error("the simulator refused " + call.toStdString());
    }

    QString PictureUrl(const QString& name) const {
        return QStringLiteral("http://%1/pics/%2").arg(QString::fromStdString(mWebHost), name);
    }

    /// Processes events until the condition holds; throws after 30 s.
    void WaitFor(const std::function<bool()>& condition, const char* what) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > 30000)
                throw std::runtime_error(std::string("timed out waiting for ") + what);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
    }

    /// Waits until the web submitter reports the status code.
    void WaitForStatus(int code) {
        WaitFor([this, code] { return mSubmitter->GetStatusCode() == code; }, "the submission status");
    }

    /// Waits until the status window's status line reads text.
    void WaitForStatusText(const QString& text) {
        auto* line = mPage->findChild<QLabel*>(QStringLiteral("statusText"));
        if (line == nullptr)
            throw std::runtime_error("the status window has no status line");
        try {
            WaitFor([line, &text] { return line->text() == text; }, "the status line");
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(std::string(e.what()) + " to read \"" + text.toStdString() + "\"; it reads \"" +
                                     line->text().toStdString() + "\"");
        }
    }

    /// Lets posted updates and paints happen.
    void Settle(int milliseconds = 300) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < milliseconds) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
    }

    void Save(QWidget& widget, const QString& name) {
        Settle();
        const QString path = QDir(mOutDir).filePath(name + QStringLiteral(".png"));
        if (!widget.grab().save(path, "PNG"))
            throw std::runtime_error("cannot write " + path.toStdString());
        std::printf("%s\n", qPrintable(path));
    }

    void SaveWindow(const QString& name) { Save(*mWindow, name); }

    CStatusPage& Page() { return *mPage; }
    CSettingsManager& Settings() { return mSettings; }

    /// Plays of a listener over the last months, the newest of each kind of
    /// outcome at the top.
    static void FillHistory(const std::string& path) {
        struct CRecord {
            const char* artist;
            const char* album;
            std::vector<const char*> titles;
        };
        const std::vector<CRecord> catalogue = {
            {"The Lantern Choir", "Harbour Lights", {"Low Tide", "Signal Fires", "Oarlocks", "Gulls at Dawn"}},
            {"Maple Static", "Snowfield Radio", {"Quiet Transmission", "Antenna Song", "White Noise Waltz"}},
            {"Orla Venn", "Paper Houses", {"Origami Heart", "Attic Window", "Folded Maps"}},
            {"Kite Engines", "Updraft", {"Thermals", "String Theory", "Tailwind"}},
            {"Salt & Ember", "Coastline", {"Driftwood", "Brine", "Lighthouse Keeper"}},
            {"Northbound Owls", "Night Shift", {"Hoot Owl Blues", "Midnight Train", "Barn Loft"}},
            {"Iris Calloway", "Velvet Hours", {"Slow Clock", "Amber Room", "Candle Smoke"}},
            {"Paper Comets", "Orbit", {"Perihelion", "Tail of Ice", "Long Way Round"}},
        };
        std::unique_ptr<CHistoryStore> store = CHistoryStore::OpenForWriting(path);
        store->Begin();
        const std::time_t now = std::time(nullptr);
        std::uint32_t seed = 20261208;
        const auto next = [&seed](std::uint32_t range) {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) % range;
        };
        const auto play = [&](std::time_t start, std::size_t record, EPlayOutcome outcome, const char* player) {
            CHistoryStore::CPlay entry;
            entry.start = start;
            const CRecord& from = catalogue[record % catalogue.size()];
            entry.artist = from.artist;
            entry.album = from.album;
            entry.title = from.titles[next(static_cast<std::uint32_t>(from.titles.size()))];
            entry.length = 150 + static_cast<std::int32_t>(next(200));
            entry.plugin = player[0] == 'o' ? player : "wa2";
            entry.player = player[0] == 'o' ? (std::string(player).find("vlc") != std::string::npos ? "VLC media player"
                                                                                                      : "Rhythmbox")
                                            : "";
            entry.outcome = outcome;
            if (outcome == EPlayOutcome::kSubmitted)
                entry.acked = start + entry.length / 2 + 5;
            store->Insert(entry);
        };
        // Months of evenings: a handful of plays a day, most of them sent.
        for (int day = 120; day >= 1; --day) {
            const int plays = static_cast<int>(next(14)) + (day % 7 < 2 ? 8 : 2);
            std::time_t start = now - day * 86400 + 18 * 3600 - 86400 / 2;
            const std::size_t favourite = next(static_cast<std::uint32_t>(catalogue.size()));
            for (int i = 0; i < plays; ++i) {
                const std::uint32_t roll = next(100);
                const EPlayOutcome outcome = roll < 84   ? EPlayOutcome::kSubmitted
                                             : roll < 92 ? EPlayOutcome::kStoppedEarly
                                             : roll < 96 ? EPlayOutcome::kTooShort
                                                         : EPlayOutcome::kMirror;
                play(start, i % 3 == 0 ? favourite : next(static_cast<std::uint32_t>(catalogue.size())), outcome,
                     i % 2 == 0 ? "org.mpris.MediaPlayer2.rhythmbox" : "org.mpris.MediaPlayer2.vlc");
                start += 240 + static_cast<std::time_t>(next(120));
            }
        }
        // Today, newest last: every kind of outcome once.
        const std::vector<std::pair<EPlayOutcome, const char*>> today = {
            {EPlayOutcome::kSubmitted, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kExcluded, "wa2"},
            {EPlayOutcome::kIgnoredPlayer, "org.mpris.MediaPlayer2.vlc"},
            {EPlayOutcome::kNotSubmitting, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kHeldBack, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kTooShort, "org.mpris.MediaPlayer2.vlc"},
            {EPlayOutcome::kStoppedEarly, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kSubmitted, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kWaiting, "org.mpris.MediaPlayer2.rhythmbox"},
            {EPlayOutcome::kWaiting, "org.mpris.MediaPlayer2.vlc"},
            {EPlayOutcome::kCounting, "org.mpris.MediaPlayer2.rhythmbox"},
        };
        std::time_t start = now - static_cast<std::time_t>(today.size()) * 200;
        for (std::size_t i = 0; i < today.size(); ++i, start += 200)
            play(start, i, today[i].first, today[i].second);
        store->Commit();
    }

private:
    QString mOutDir;
    std::string mSubmitHost;
    std::string mWebHost;
    std::string mStaticHost;
    QNetworkAccessManager mNetwork;
    CSettingsManager mSettings;
    std::unique_ptr<CWebSubmitter> mSubmitter;
    std::unique_ptr<CPlayerListener> mListener;
    std::thread mListenerThread;
    CUpdateCheck mUpdateCheck;
    // Outlives the windows that observe it.
    std::unique_ptr<CPlayHistory> mHistory;
    std::unique_ptr<QWidget> mWindow;
    CMainFrame* mFrame = nullptr;
    std::unique_ptr<CUserMenu> mMenu;
    // Owned by the window once shown; released first at the end.
    struct NoDelete {
        void operator()(CStatusPage*) const noexcept {}
    };
    std::unique_ptr<CStatusPage, NoDelete> mPage;
};

// --- pictures the simulator serves in the scenes --------------------------

QByteArray Png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

/// An album cover: sea and sky at dusk, a lighthouse, the title.
QImage AlbumCover(const QString& title) {
    QImage image(300, 300, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 190);
    sky.setColorAt(0, QColor(0x1d, 0x1f, 0x4d));
    sky.setColorAt(0.6, QColor(0xb0, 0x4a, 0x6e));
    sky.setColorAt(1, QColor(0xf2, 0x9e, 0x5c));
    p.fillRect(0, 0, 300, 190, sky);
    QLinearGradient sea(0, 190, 0, 300);
    sea.setColorAt(0, QColor(0x2c, 0x3e, 0x6b));
    sea.setColorAt(1, QColor(0x10, 0x18, 0x33));
    p.fillRect(0, 190, 300, 110, sea);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xfc, 0xd3, 0x8a));
    p.drawEllipse(QPointF(210, 178), 34, 34);
    p.fillRect(0, 190, 300, 110, sea);
    p.setPen(QPen(QColor(0xfc, 0xd3, 0x8a, 120), 2));
    for (int i = 0; i < 6; ++i)
        p.drawLine(180 - i * 6, 200 + i * 12, 240 + i * 6, 200 + i * 12);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x14, 0x14, 0x24));
    QPainterPath tower;
    tower.moveTo(62, 190);
    tower.lineTo(70, 92);
    tower.lineTo(88, 92);
    tower.lineTo(96, 190);
    tower.closeSubpath();
    p.drawPath(tower);
    p.drawRect(66, 80, 26, 12);
    p.setBrush(QColor(0xff, 0xf2, 0xb0));
    p.drawRect(71, 82, 16, 8);
    p.setBrush(QColor(0xff, 0xf2, 0xb0, 60));
    QPainterPath beam;
    beam.moveTo(86, 86);
    beam.lineTo(300, 40);
    beam.lineTo(300, 110);
    beam.closeSubpath();
    p.drawPath(beam);
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setPixelSize(30);
    font.setItalic(true);
    p.setFont(font);
    p.setPen(QColor(0xfd, 0xf4, 0xe3));
    p.drawText(QRect(0, 230, 300, 50), Qt::AlignCenter, title);
    return image;
}

/// An artist picture: a singer's silhouette under stage lights.
QImage ArtistPicture() {
    QImage image(280, 320, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(140, 120, 220);
    glow.setColorAt(0, QColor(0x3a, 0x8d, 0xb0));
    glow.setColorAt(1, QColor(0x0c, 0x12, 0x24));
    p.fillRect(image.rect(), glow);
    for (int i = 0; i < 3; ++i) {
        QPainterPath light;
        light.moveTo(40 + i * 100, 0);
        light.lineTo(i * 100 - 10, 320);
        light.lineTo(i * 100 + 90, 320);
        light.closeSubpath();
        p.fillPath(light, QColor(0xff, 0xf0, 0xc8, 28));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x08, 0x0a, 0x14));
    p.drawEllipse(QPointF(140, 128), 38, 44);
    QPainterPath body;
    body.moveTo(50, 320);
    body.cubicTo(56, 220, 96, 186, 140, 186);
    body.cubicTo(184, 186, 224, 220, 230, 320);
    body.closeSubpath();
    p.drawPath(body);
    p.setPen(QPen(QColor(0x08, 0x0a, 0x14), 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(176, 150), QPointF(214, 240));
    p.setBrush(QColor(0x08, 0x0a, 0x14));
    p.drawEllipse(QPointF(176, 146), 9, 11);
    return image;
}

/// Quoted fields as the web service answers.
QByteArray Answer(const QStringList& fields) {
    QByteArray out;
    for (QString field : fields)
        out += '"' + field.replace(QLatin1String("\""), QLatin1String("\"\"")).toUtf8() + "\"\n";
    return out;
}

const char* const kPlaying =
    "START c=screens&a=The Quiet Engines&t=Northern Lights&b=Harbour Songs&m=&l=64&p=/music/harbour/03.ogg";

/// The simulator answers with a cover, a picture and a description.
void ServeMetadata(CStage& stage) {
    stage.ServeFile(QStringLiteral("/pics/harbour-songs.png"), Png(AlbumCover(QStringLiteral("Harbour Songs"))));
    stage.ServeFile(QStringLiteral("/pics/quiet-engines.png"), Png(ArtistPicture()));
    stage.ServeFile(QStringLiteral("/vbx/metadata.php"),
                    Answer({QStringLiteral("The Quiet Engines"), QStringLiteral("Northern Lights"),
                            QStringLiteral("Harbour Songs"), QStringLiteral("Indie Folk, Dream Pop, Ambient"),
                            stage.PictureUrl(QStringLiteral("harbour-songs.png"))}));
    stage.ServeFile(
        QStringLiteral("/vbx/artistmetadata.php"),
        Answer({QStringLiteral("The Quiet Engines"), QStringLiteral("Low Tide Radio, Paper Harbours, Marlowe Keys"),
                QStringLiteral("[b]The Quiet Engines[/b] are a four-piece band from a small fishing town on "
                               "the north coast. Their songs are built from field recordings of the harbour, "
                               "warm analogue synthesisers and close harmonies, and their second album "
                               "[i]Harbour Songs[/i] was recorded in a disused lighthouse."),
                stage.PictureUrl(QStringLiteral("quiet-engines.png"))}));
}

void WaitForMetaData(CStage& stage) {
    stage.WaitFor([&stage] { return !stage.Page().MetaData().GetSimilar().empty(); }, "the metadata");
}

// --- the dialogs ------------------------------------------------------------

/// Shows the login dialog in a mode, with a password typed, and saves it.
void SaveLogin(CStage& stage, CLoginDialog::EMode mode, const std::string& userName, const QString& name) {
    CWebSubmitter client(stage.Settings());
    CLoginDialog dialog(mode, nullptr, userName, stage.Settings(), client);
    dialog.show();
    if (mode != CLoginDialog::LOGIN_MODE_ADD_USER)
        dialog.findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
    else
        dialog.findChild<QComboBox*>(QStringLiteral("userName"))->setEditText(QStringLiteral("carol"));
    stage.Save(dialog, name);
}

/// The options dialog on a page, for a user with three excluded folders and
/// a proxy in use.
void SaveOptions(CStage& stage, int page, const QString& name) {
    stage.AddUser("alice", 2, true);
    CUser user = stage.Settings().GetUser("alice");
    user.exclusionDirs = {"/home/alice/Podcasts", "/home/alice/Audiobooks",
                          "/media/music/Recordings of the local choir, 1998 to 2004"};
    stage.Settings().UpdateUser(user);
    CProxySettings proxy;
    proxy.enabled = true;
    proxy.host = "proxy.example.net";
    proxy.port = 3128;
    proxy.user = "alice";
    proxy.password = "hunter2";
    stage.Settings().SetProxySettings(proxy);
    // Players heard on this desktop: a music player, a browser (left out
    // by default) and a player the person chose to leave out.
    const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    CMprisPlayers::Record({"vlc", "VLC media player", now - 120});
    CMprisPlayers::Record({"firefox", "Mozilla Firefox", now - 3600});
    CMprisPlayers::Record({"spotify", "Spotify", now - 86400 * 3});
    CMprisPlayers::Record({"org.gnome.Rhythmbox3", "Rhythmbox", now - 86400 * 12});
    stage.Settings().SetMprisChoices(true, CIgnoreList::FromStore().With("org.mpris.MediaPlayer2.spotify", false));
    CWebSubmitter client(stage.Settings());
    COptionsDialog dialog(nullptr, page, stage.Settings(), client);
    dialog.show();
    stage.Save(dialog, name);
}

// --- the scenes -------------------------------------------------------------

struct Scene {
    const char* name;
    std::function<void(CStage&)> run;
};

std::vector<Scene> Scenes() {
    return {
        {"status-idle",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             stage.Start();
             stage.WaitForStatus(kVortleHandshakeOk);
             stage.SaveWindow(QStringLiteral("status-idle"));
         }},
        {"status-playing",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             ServeMetadata(stage);
             stage.Start();
             stage.Play(kPlaying);
             WaitForMetaData(stage);
             // Well on the way to the goal of 32 seconds.
             stage.WaitForStatusText(QStringLiteral("Submitting in 00:19"));
             stage.SaveWindow(QStringLiteral("status-playing"));
         }},
        {"status-user-problem",
         [](CStage& stage) {
             stage.AddUser("mallory", 0, true);
             ServeMetadata(stage);
             // The track plays while the server is first asked; the answer
             // then stays on the status line.
             stage.Start();
             stage.Play(kPlaying);
             WaitForMetaData(stage);
             stage.WaitForStatus(kVortleBadUser);
             stage.WaitForStatusText(QStringLiteral("The username is unknown"));
             stage.SaveWindow(QStringLiteral("status-user-problem"));
         }},
        {"status-vortling-disabled",
         [](CStage& stage) {
             stage.AddUser("alice", 2, false);
             ServeMetadata(stage);
             stage.Start();
             stage.Play(kPlaying);
             WaitForMetaData(stage);
             stage.SaveWindow(QStringLiteral("status-vortling-disabled"));
         }},
        {"status-more-info",
         [](CStage& stage) {
             stage.AddUser("mallory", 3, true);
             stage.Start();
             stage.WaitForStatus(kVortleBadUser);
             bool saved = false;
             CMessageBox::SetShowHook([&](QMessageBox& box) {
                 box.show();
                 stage.Save(box, QStringLiteral("status-more-info"));
                 saved = true;
                 return QMessageBox::Ok;
             });
             stage.Page().ShowMoreInfo();
             CMessageBox::SetShowHook({});
             if (!saved)
                 throw std::runtime_error("the More info box was not shown");
         }},
        {"main-window",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             ServeMetadata(stage);
             CMainFrame& frame = stage.StartFrame();
             frame.Open();
             stage.Play(kPlaying);
             WaitForMetaData(stage);
             stage.WaitForStatusText(QStringLiteral("Submitting in 00:21"));
             stage.SaveWindow(QStringLiteral("main-window"));
         }},
        {"history-list",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             CHistoryWindow& window = stage.StartHistory();
             // A play waiting in the queue, chosen: "Don't Submit" is offered.
             for (int row = 0; row < window.Model().rowCount(); ++row) {
                 if (window.Model().PlayAt(row)->outcome == EPlayOutcome::kWaiting) {
                     window.List().selectRow(row);
                     break;
                 }
             }
             stage.Save(window, QStringLiteral("history-list"));
         }},
        {"history-chart",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             CHistoryWindow& window = stage.StartHistory();
             window.SetPeriod(CHistoryWindow::EPeriod::kYear);
             stage.Save(window, QStringLiteral("history-chart"));
         }},
        {"tray-menu",
         [](CStage& stage) {
             stage.AddUser("bob", 2, true);
             stage.AddUser("alice", 1, true);
             CMainFrame& frame = stage.StartFrame();
             stage.WaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, "a tray host");
             stage.WaitFor([&frame] { return !frame.Tray().Icon().geometry().isEmpty(); }, "the tray icon");
             const QRect icon = frame.Tray().Icon().geometry();
             // The menu as a right click on the icon opens it, with the
             // user list dropped down.
             QMenu& menu = frame.Tray().Menu();
             menu.popup(icon.center());
             stage.Settle(500);
             QAction* change = menu.findChild<QMenu*>(QStringLiteral("userMenu"))->menuAction();
             menu.setActiveAction(change);
             stage.Settle(800);
             QRect area = icon.united(menu.geometry());
             area = area.united(frame.Tray().UserMenu().geometry());
             stage.SaveScreen(area, QStringLiteral("tray-menu"));
             menu.hide();
         }},
        {"about",
         [](CStage& stage) {
             CAboutDialog about;
             about.show();
             stage.Save(about, QStringLiteral("about"));
         }},
        {"login-add-user",
         [](CStage& stage) {
             SaveLogin(stage, CLoginDialog::LOGIN_MODE_ADD_USER, "", QStringLiteral("login-add-user"));
         }},
        {"login-log-in",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             stage.AddUser("bob", 0, true);
             SaveLogin(stage, CLoginDialog::LOGIN_MODE_LOGIN, "bob", QStringLiteral("login-log-in"));
         }},
        {"login-change-password",
         [](CStage& stage) {
             stage.AddUser("alice", 1, true);
             SaveLogin(stage, CLoginDialog::LOGIN_MODE_CHANGE_PASS, "alice",
                       QStringLiteral("login-change-password"));
         }},
        {"options-user",
         [](CStage& stage) { SaveOptions(stage, COptionsDialog::kUserPage, QStringLiteral("options-user")); }},
        {"options-connection",
         [](CStage& stage) {
             SaveOptions(stage, COptionsDialog::kConnectionPage, QStringLiteral("options-connection"));
         }},
        {"options-players",
         [](CStage& stage) { SaveOptions(stage, COptionsDialog::kPlayersPage, QStringLiteral("options-players")); }},
        {"options-general",
         [](CStage& stage) {
             // As installed: the system-wide autostart entry is there.
             const QString system = QDir::tempPath() + QStringLiteral("/xdg-system");
             QDir().mkpath(system + QStringLiteral("/autostart"));
             QFile entry(system + QStringLiteral("/autostart/vortlebox.desktop"));
             if (entry.open(QIODevice::WriteOnly))
                 entry.write("[Desktop Entry]\nType=Application\nName=Vortlebox\nExec=vortlebox\n");
             entry.close();
             qputenv("XDG_CONFIG_DIRS", system.toLocal8Bit());
             SaveOptions(stage, COptionsDialog::kGeneralPage, QStringLiteral("options-general"));
         }},
    };
}

// --- the wizards --------------------------------------------------------------

/// One record line of the update information.
QByteArray Record(const QStringList& fields) {
    QStringList quoted;
    for (QString field : fields)
        quoted << '"' + field.replace(QLatin1String("\""), QLatin1String("\"\"")) + '"';
    return quoted.join(QLatin1Char(',')).toUtf8() + '\n';
}

/// A program file that does nothing.
void WriteProgram(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write("#!/bin/sh\n");
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void WriteVersion(const std::string& key, const std::string& version) {
    CRegistryKey handle = CRegistryUtils::OpenKey(key, true);
    CRegistryUtils::WriteString(handle, "Version", version);
}

/// Three players in a Program Files folder of the scene's own (one with its
/// plug-in current, one with an older plug-in, one without), and update
/// information that offers a plug-in for each, one for a player that is not
/// there, the radio and the program. appVersion: what the program is offered.
void PreparePlayers(CStage& stage, const QString& appVersion = QStringLiteral("1.0.0.0")) {
    const QString pf = QDir::home().filePath(QStringLiteral("Program Files"));
    qputenv("VORTLEBOX_PROGRAM_FILES", pf.toUtf8());
    WriteProgram(pf + QStringLiteral("/Wave Deck/wavedeck"));
    WriteProgram(pf + QStringLiteral("/Tune Box/tunebox"));
    WriteProgram(pf + QStringLiteral("/Harbour Player/harbour"));
    WriteVersion(std::string(CPluginInfo::kRegistryKeyPrefix) + "Tune Box", "0.9");
    WriteVersion(std::string(CPluginInfo::kRegistryKeyPrefix) + "Harbour Player", "2.1");

    const auto url = [&stage](const char* file) {
        return QString::fromStdString(stage.StaticUrl(std::string("/download/") + file));
    };
    const QByteArray info =
        "[App]\n" +
        Record({QStringLiteral("Vortlebox"), QStringLiteral("Vortlebox/vortlebox"), url("vortlebox-setup.exe"),
                appVersion, QString()}) +
        "[Radio]\n" +
        Record({QStringLiteral("Fenwave Radio"), QStringLiteral("Fenwave Radio/radio"), url("radio-setup.exe"),
                QStringLiteral("1.0.0.0"), QStringLiteral("/S")}) +
        "[Plugins]\n" +
        Record({QStringLiteral("Wave Deck"), QStringLiteral("Wave Deck/wavedeck"), url("wavedeck-plugin.exe"),
                QStringLiteral("1.0"), QStringLiteral("Plugins"), QStringLiteral("/S"), QString(), QString()}) +
        Record({QStringLiteral("Tune Box"), QStringLiteral("Tune Box/tunebox"), url("tunebox-plugin.exe"),
                QStringLiteral("1.0"), QStringLiteral("plugins"), QStringLiteral("/S"), QString(), QString()}) +
        Record({QStringLiteral("Harbour Player"), QStringLiteral("Harbour Player/harbour"),
                url("harbour-plugin.exe"), QStringLiteral("2.1"), QStringLiteral("Plugins"), QStringLiteral("/S"),
                QString(), QString()}) +
        Record({QStringLiteral("Jukebox Classic"), QStringLiteral("Jukebox/jukebox"), url("jukebox-plugin.dll"),
                QStringLiteral("1.0"), QStringLiteral("Plugins"), QString(), QString(), QString()});
    stage.ServeStaticFile(QStringLiteral("/plugins/vbx/upg.win.%1.%2")
                              .arg(kProgramVersionFields[0])
                              .arg(kProgramVersionFields[1]),
                          info);
}

/// A box that a scene did not ask for would wait for a click that never
/// comes: it is answered at once, and its text told.
void AnswerBoxesQuietly() {
    CMessageBox::SetShowHook([](QMessageBox& box) {
        std::fprintf(stderr, "vortlebox-screens: a box said: %s\n", qPrintable(box.text()));
        return CMessageBox::QuietAnswer(box.standardButtons());
    });
}

/// The plug-in wizard of the scenes, over a web submitter that has not been
/// started, as at the first start of the program.
struct CPluginWizardScene {
    explicit CPluginWizardScene(CStage& stage, int modes)
        : stage(stage), client(stage.Settings()), wizard(modes, stage.Settings(), client) {
        AnswerBoxesQuietly();
        wizard.show();
        stage.Settle();
    }
    void Next() {
        auto* next = wizard.findChild<QAbstractButton*>(QStringLiteral("nextButton"));
        if (next == nullptr || !next->isVisible() || !next->isEnabled())
            throw std::runtime_error("Next is not offered on page " + std::to_string(wizard.currentId()));
        next->click();
    }
    void WaitForPage(int page) {
        stage.WaitFor([this, page] { return wizard.currentId() == page; }, "the page");
    }
    void LogIn() {
        Next();
        wizard.findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QStringLiteral("alice"));
        wizard.findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
        Next();
        WaitForPage(CPluginWizard::PAGE_DETECTION);
    }
    void ToSelection() {
        LogIn();
        Next();
        WaitForPage(CPluginWizard::PAGE_SELECTION);
    }
    void Save(const char* name) { stage.Save(wizard, QLatin1String(name)); }

    CStage& stage;
    CWebSubmitter client;
    CPluginWizard wizard;
};

/// The update wizard of the scenes, over a check of the scene's players.
struct CUpdateWizardScene {
    explicit CUpdateWizardScene(CStage& stage) : stage(stage) {
        AnswerBoxesQuietly();
        WriteVersion("Software\\Fenwave\\Radio", "0.9");
        PreparePlayers(stage, QStringLiteral("1.1.0.0"));
        updater.CheckForUpdates();
        wizard.SetUpdater(&updater);
        wizard.show();
        stage.Settle();
    }
    void Next() {
        auto* next = wizard.findChild<QAbstractButton*>(QStringLiteral("nextButton"));
        if (next == nullptr || !next->isVisible() || !next->isEnabled())
            throw std::runtime_error("Next is not offered on page " + std::to_string(wizard.currentId()));
        next->click();
    }
    /// Ticks exactly the entries whose text starts with one of these.
    void Tick(const QStringList& starts) {
        CWizardCheckListPage& page = wizard.UpdatesPage();
        for (int row = 0; row < page.Count(); ++row) {
            bool tick = false;
            for (const QString& start : starts)
                tick = tick || page.EntryText(row).startsWith(start);
            page.SetChecked(row, tick);
        }
    }
    void WaitForPage(int page) {
        stage.WaitFor([this, page] { return wizard.currentId() == page; }, "the page");
    }
    void Save(const char* name) { stage.Save(wizard, QLatin1String(name)); }

    CStage& stage;
    CAutoUpdater updater;
    CUpdateWizard wizard;
};

std::vector<Scene> WizardScenes() {
    using W = CPluginWizard;
    using U = CUpdateWizard;
    return {
        {"wizard-welcome",
         [](CStage& stage) {
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.Save("wizard-welcome");
         }},
        {"wizard-login",
         [](CStage& stage) {
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.Next();
             scene.wizard.findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QStringLiteral("alice"));
             scene.wizard.findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
             scene.Save("wizard-login");
         }},
        {"wizard-detection",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.LogIn();
             scene.Save("wizard-detection");
         }},
        {"wizard-detection-plugin-mode",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_PLUGIN);
             scene.Save("wizard-detection-plugin-mode");
         }},
        {"wizard-searching",
         [](CStage& stage) {
             stage.StallStatic(QStringLiteral("/plugins/"));
             CPluginWizardScene scene(stage, W::MODE_PLUGIN);
             scene.Next();
             scene.WaitForPage(W::PAGE_SEARCHING);
             stage.Settle(800);
             scene.Save("wizard-searching");
         }},
        {"wizard-selection",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.ToSelection();
             scene.Save("wizard-selection");
         }},
        {"wizard-add-player",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_PLUGIN);
             scene.Next();
             scene.WaitForPage(W::PAGE_SELECTION);
             scene.wizard.AddPlayer();
             CAddPlayerDialog* dialog = nullptr;
             stage.WaitFor(
                 [&] {
                     dialog = scene.wizard.findChild<CAddPlayerDialog*>();
                     return dialog != nullptr && dialog->isVisible();
                 },
                 "the Add Player dialog");
             dialog->findChild<QComboBox*>(QStringLiteral("player"))->setCurrentIndex(3);
             dialog->findChild<QLineEdit*>(QStringLiteral("location"))
                 ->setText(QDir::home().filePath(QStringLiteral("Apps/Jukebox/jukebox")));
             stage.Save(*dialog, QStringLiteral("wizard-add-player"));
         }},
        {"wizard-radio",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.ToSelection();
             scene.Next();
             scene.WaitForPage(W::PAGE_RADIO);
             scene.wizard.RadioPage().SetChecked(true);
             scene.Save("wizard-radio");
         }},
        {"wizard-radio-upgrade",
         [](CStage& stage) {
             PreparePlayers(stage);
             WriteVersion("Software\\Fenwave\\Radio", "0.9");
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.ToSelection();
             scene.Next();
             scene.WaitForPage(W::PAGE_RADIO);
             scene.Save("wizard-radio-upgrade");
         }},
        {"wizard-running-players",
         [](CStage& stage) {
             PreparePlayers(stage);
             // Wave Deck runs: a copy of sleep under the player's name.
             const QString player =
                 QDir::home().filePath(QStringLiteral("Program Files/Wave Deck/wavedeck"));
             QFile::remove(player);
             if (!QFile::copy(QStringLiteral("/bin/sleep"), player))
                 throw std::runtime_error("cannot copy sleep");
             QProcess running;
             running.start(player, {QStringLiteral("60")});
             if (!running.waitForStarted())
                 throw std::runtime_error("the player did not start");
             CPluginWizardScene scene(stage, W::MODE_PLUGIN);
             scene.Next();
             scene.WaitForPage(W::PAGE_SELECTION);
             bool saved = false;
             CMessageBox::SetShowHook([&](QMessageBox& box) {
                 box.show();
                 stage.Save(box, QStringLiteral("wizard-running-players"));
                 saved = true;
                 return QMessageBox::No;
             });
             scene.Next();
             AnswerBoxesQuietly();
             running.kill();
             running.waitForFinished();
             if (!saved)
                 throw std::runtime_error("the question was not shown");
         }},
        {"wizard-downloading",
         [](CStage& stage) {
             PreparePlayers(stage);
             // The installer comes slowly: the page shows the download under way.
             stage.ServeStaticFile(QStringLiteral("/download/wavedeck-plugin.exe"), QByteArray(400000, 'x'), 40000);
             CPluginWizardScene scene(stage, W::MODE_PLUGIN);
             scene.Next();
             scene.WaitForPage(W::PAGE_SELECTION);
             scene.Next();
             scene.WaitForPage(W::PAGE_DOWNLOADING);
             stage.WaitFor(
                 [&scene] {
                     auto* bar = scene.wizard.DownloadingPage().findChild<QProgressBar*>(QStringLiteral("progress"));
                     return bar != nullptr && bar->value() >= 15;
                 },
                 "the download");
             scene.Save("wizard-downloading");
             scene.wizard.reject();
         }},
        {"wizard-done",
         [](CStage& stage) {
             PreparePlayers(stage);
             CPluginWizardScene scene(stage, W::MODE_FIRST_RUN);
             scene.ToSelection();
             scene.Next();
             scene.WaitForPage(W::PAGE_RADIO);
             scene.wizard.RadioPage().SetChecked(true);
             scene.Next();
             scene.WaitForPage(W::PAGE_DONE);
             scene.Save("wizard-done");
         }},
        {"update-updates",
         [](CStage& stage) {
             CUpdateWizardScene scene(stage);
             scene.Save("update-updates");
         }},
        {"update-progress",
         [](CStage& stage) {
             stage.ServeStaticFile(QStringLiteral("/download/tunebox-plugin.exe"), QByteArray(400000, 'x'), 40000);
             CUpdateWizardScene scene(stage);
             scene.Tick({QStringLiteral("Tune Box")});
             scene.Next();
             scene.WaitForPage(U::PAGE_PROGRESS);
             stage.WaitFor([&scene] { return scene.updater.GetProgress() >= 15; }, "the download");
             scene.Save("update-progress");
             scene.wizard.reject();
         }},
        {"update-done",
         [](CStage& stage) {
             CUpdateWizardScene scene(stage);
             scene.Tick({QStringLiteral("Tune Box"), QStringLiteral("Fenwave Radio")});
             scene.Next();
             scene.WaitForPage(U::PAGE_DONE);
             scene.Save("update-done");
         }},
        {"update-application-update",
         [](CStage& stage) {
             CUpdateWizardScene scene(stage);
             scene.Tick({QStringLiteral("Vortlebox")});
             scene.Next();
             scene.WaitForPage(U::PAGE_DONE);
             scene.Save("update-application-update");
         }},
    };
}

std::vector<Scene> AllScenes() {
    std::vector<Scene> scenes = Scenes();
    for (Scene& scene : WizardScenes())
        scenes.push_back(std::move(scene));
    return scenes;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments().mid(1);
    if (args.contains(QStringLiteral("--list"))) {
        for (const Scene& scene : AllScenes())
            std::printf("%s\n", scene.name);
        return 0;
    }
    QStringList sim;
    QString out = QStringLiteral(".");
    QString name;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--sim") && i + 1 < args.size())
            sim = args[++i].split(',');
        else if (args[i] == QLatin1String("--out") && i + 1 < args.size())
            out = args[++i];
        else
            name = args[i];
    }
    const std::string logPath = QDir(out).filePath(name + QStringLiteral(".log")).toStdString();
    CLogger::Instance().Open(logPath, true);
    CLogger::Instance().SetLevel(4);
    for (const Scene& scene : AllScenes()) {
        if (name != QLatin1String(scene.name))
            continue;
        try {
            CStage stage(sim, out);
            scene.run(stage);
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vortlebox-screens: %s: %s\n", scene.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "usage: vortlebox-screens --list | --sim SUBMIT,WEB,STATIC --out DIR NAME\n");
    return 2;
}
