#include "ui/StatusPage.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "player/PlayerConnection.h"
#include "player/PlayerListener.h"
#include "res/StringTable.h"
#include "settings/ServerHosts.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/controls/ElidedLabel.h"
#include "ui/controls/Hyperlink.h"
#include "ui/controls/IconShack.h"
#include "ui/controls/JpgStatic.h"
#include "ui/MessageBox.h"
#include "ui/controls/Pictures.h"
#include "ui/StatusTexts.h"
#include "ui/controls/StopWatchProgress.h"
#include "ui/controls/TransparentBitmap.h"
#include "ui/UserCommands.h"
#include "ui/UiText.h"
#include "ui/controls/UserNameLabel.h"
#include "update/ConnectionException.h"

#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QMetaObject>
#include <QPainter>
#include <QTimer>
#include <QWindow>


namespace {

constexpr int kBackgroundBitmap = 190;
constexpr int kUpArrowBitmap = 200;
constexpr int kWarningBitmap = 207;
constexpr int kInfoBitmap = 209;
constexpr int kInfoWarningBitmap = 210;
constexpr int kVortlingOnBitmap = 211;
constexpr int kVortlingOffBitmap = 212;

// The layout in dialog units: the window, and where its rules run.
constexpr int kWidthDlu = 256;
constexpr int kHeightDlu = 244;
constexpr int kStateBandRuleDlu = 42;
constexpr int kVerticalRuleDlu = 80;
constexpr int kNowPlayingRuleDlu = 84;
constexpr int kAboutArtistRuleDlu = 168;

// The grey of labels and headings.
const QColor kLabelGrey(0x87, 0x87, 0x87);

struct Place {
    int x, y, w, h;
};

QLabel* MakeLabel(QWidget* parent, const char* role, const QString& text, bool heading) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(role));
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, kLabelGrey);
    label->setPalette(colours);
    if (heading) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    return label;
}

CElidedLabel* MakeText(QWidget* parent, const char* role, bool wrap) {
    auto* text = new CElidedLabel(parent);
    text->setObjectName(QLatin1String(role));
    text->setWordWrap(wrap);
    return text;
}

CTransparentBitmap* MakeBitmap(QWidget* parent, const char* role) {
    auto* bitmap = new CTransparentBitmap(parent);
    bitmap->setObjectName(QLatin1String(role));
    return bitmap;
}

} // namespace

CStatusPage::CStatusPage(CPlayerListener& listener, CWebSubmitter& submitter, CSettingsManager& settings,
                         QWidget* parent)
    : QWidget(parent), mListener(listener), mSubmitter(submitter), mSettings(settings) {
    setObjectName(QStringLiteral("statusPage"));
    CreateControls();

    // OnInitDialog: the pictures, the hidden badge and link, then every
    // part of the window brought up to date.
    mpSwitch->SetBitmap(kVortlingOnBitmap);
    mpInfo->SetBitmap(kInfoBitmap);
    mpSwitch->SetPressedLook(true);
    mpInfo->SetPressedLook(true);
    mpBadge->SetBitmap(kWarningBitmap);
    mpBadge->hide();
    mpUpArrow->SetBitmap(kUpArrowBitmap);
    mpLink->SetUrl(WebSiteAddress());
    mpLink->hide();
    Relayout();
    move(0, 0);
    ClearMetaData();
    // Observed before the first reading: a change in between is read again,
    // never lost.
    mSettings.AddObserver(this);
    mListener.AddObserver(this);
    mSubmitter.AddObserver(this);
    mbObserving = true;
    UpdateVortlingSwitch();
    UpdateStatus();
    UpdateUser();
    UpdateTrack();
}

CStatusPage::~CStatusPage() {
    if (mbObserving) {
        mSettings.RemoveObserver(this);
        mListener.RemoveObserver(this);
        mSubmitter.RemoveObserver(this);
    }
    StopWorker();
    // The bar goes with the widgets, after the connection it follows.
    mpProgress->Follow(nullptr);
    mpFollowed.reset();
}

void CStatusPage::CreateControls() {
    mpSwitch = MakeBitmap(this, "vortlingSwitch");
    mpSwitch->setCursor(Qt::PointingHandCursor);
    mpSwitch->setToolTip(QStringLiteral("Enable vortling"));
    mpInfo = MakeBitmap(this, "infoButton");
    mpInfo->setCursor(Qt::PointingHandCursor);
    mpInfo->setToolTip(UiText(IDS_MORE_INFO_CAPTION));
    mpProgress = new CStopWatchProgress(this);
    mpProgress->setObjectName(QStringLiteral("progressBar"));
    mpStatusText = MakeText(this, "statusText", false);
    mpBadge = MakeBitmap(this, "warningBadge");
    mpBadge->setCursor(Qt::PointingHandCursor);
    mpUpArrow = MakeBitmap(this, "upArrow");
    mpUserIcon = MakeBitmap(this, "userIcon");
    mpUserName = new CUserNameLabel(this);
    mpUserName->setObjectName(QStringLiteral("userName"));

    mpNowPlaying = MakeLabel(this, "nowPlayingHeading", QStringLiteral("Now playing"), true);
    mpAlbumPicture = new CJpgStatic(this);
    mpAlbumPicture->setObjectName(QStringLiteral("albumPicture"));
    mpArtistLabel = MakeLabel(this, "artistLabel", QStringLiteral("Artist:"), false);
    mpTrackLabel = MakeLabel(this, "trackLabel", QStringLiteral("Track:"), false);
    mpAlbumLabel = MakeLabel(this, "albumLabel", QStringLiteral("Album:"), false);
    mpTagsLabel = MakeLabel(this, "tagsLabel", QStringLiteral("Tags:"), false);
    mpArtist = MakeText(this, "artistText", false);
    mpTrack = MakeText(this, "trackText", false);
    mpAlbum = MakeText(this, "albumText", false);
    mpTags = MakeText(this, "tagsText", true);

    mpAboutArtist = MakeLabel(this, "aboutArtistHeading", QStringLiteral("About the artist"), true);
    mpArtistPicture = new CJpgStatic(this);
    mpArtistPicture->setObjectName(QStringLiteral("artistPicture"));
    mpSimilarLabel = MakeLabel(this, "similarLabel", QStringLiteral("Similar:"), false);
    mpAboutLabel = MakeLabel(this, "aboutLabel", QStringLiteral("About:"), false);
    mpSimilar = MakeText(this, "similarText", false);
    mpDescription = MakeText(this, "descriptionText", true);
    mpLink = new CHyperlink(this);
    mpLink->setObjectName(QStringLiteral("wikiLink"));

    connect(mpSwitch, &CTransparentBitmap::clicked, this, [this] { CUserCommands::ToggleVortling(mSettings); });
    const auto moreInfo = [this] {
        mpInfo->ClearPressed();
        QTimer::singleShot(100, this, &CStatusPage::ShowMoreInfo);
    };
    connect(mpInfo, &CTransparentBitmap::clicked, this, moreInfo);
    connect(mpBadge, &CTransparentBitmap::clicked, this, moreInfo);
    connect(mpProgress, &CStopWatchProgress::countdown, this, &CStatusPage::Countdown);
}

int CStatusPage::DluX(int units) const {
    return (units * mBaseX + 2) / 4;
}

int CStatusPage::DluY(int units) const {
    return (units * mBaseY + 4) / 8;
}

QSize CStatusPage::sizeHint() const {
    return QSize(DluX(kWidthDlu), DluY(kHeightDlu));
}

void CStatusPage::Relayout() {
    // The dialog base units of the font: its average character width and
    // its height.
    const QFontMetrics metrics(font());
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    mBaseX = std::max(1, (alphabet / 26 + 1) / 2);
    mBaseY = std::max(1, metrics.height());
    // Pictures are drawn for the classic 6 x 13 base units.
    const double scale = mBaseX / 6.0;

    const auto place = [this](QWidget* control, Place p) {
        control->setGeometry(DluX(p.x), DluY(p.y), DluX(p.x + p.w) - DluX(p.x), DluY(p.y + p.h) - DluY(p.y));
    };
    const auto moveTo = [this, scale](CTransparentBitmap* bitmap, int x, int y) {
        bitmap->SetScale(scale);
        bitmap->move(DluX(x), DluY(y));
    };

    moveTo(mpSwitch, 8, 8);
    moveTo(mpInfo, 47, 8);
    place(mpProgress, {98, 9, 151, 14});
    moveTo(mpBadge, 98, 26);
    moveTo(mpUpArrow, 243, 26);
    // The status line runs from the bar's left edge (or after the badge) to
    // the arrow.
    place(mpStatusText, {98, 27, 140, 8});
    PlaceStatusText(mpBadge->isVisibleTo(this));

    moveTo(mpUserIcon, 10, 49);
    mpUserName->setFont(CUserNameLabel::NameFont(font()));
    mpUserName->SetScale(scale);
    place(mpUserName, {24, 49, 107, 12});

    place(mpNowPlaying, {11, 74, 234, 8});
    place(mpAlbumPicture, {11, 91, 61, 56});
    place(mpArtistLabel, {88, 90, 32, 8});
    place(mpTrackLabel, {88, 99, 32, 8});
    place(mpAlbumLabel, {88, 108, 32, 8});
    place(mpTagsLabel, {88, 117, 32, 8});
    place(mpArtist, {120, 90, 125, 8});
    place(mpTrack, {120, 99, 125, 8});
    place(mpAlbum, {120, 108, 125, 8});
    place(mpTags, {120, 117, 125, 32});

    place(mpAboutArtist, {11, 158, 234, 8});
    place(mpArtistPicture, {11, 176, 61, 56});
    place(mpSimilarLabel, {88, 175, 32, 8});
    place(mpAboutLabel, {88, 184, 32, 8});
    place(mpSimilar, {120, 175, 125, 8});
    place(mpDescription, {120, 184, 125, 40});
    place(mpLink, {120, 224, 115, 8});

    setFixedSize(sizeHint());
    mBackground = QImage();
    update();
}

void CStatusPage::PlaceStatusText(bool afterBadge) {
    // Right of the badge when it shows; the right edge stays.
    const int left = afterBadge ? mpBadge->x() + mpBadge->width() + DluX(2) : DluX(98);
    if (mpStatusText->x() == left)
        return;
    const int right = mpStatusText->geometry().right();
    mpStatusText->setGeometry(left, mpStatusText->y(), right - left + 1, mpStatusText->height());
}

void CStatusPage::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        Relayout();
}

void CStatusPage::paintEvent(QPaintEvent*) {
    if (!mbMetaDataRequested)
        RequestMetaData();

    // The background, its bottom-right corner on the window's.
    const qreal ratio = devicePixelRatioF();
    if (mBackground.isNull() || mBackground.size() != size() * ratio)
        mBackground = CPictures::Render(CPictures::BitmapPath(kBackgroundBitmap), size(), ratio);
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (!mBackground.isNull()) {
        const QSize shown = (QSizeF(mBackground.size()) / ratio).toSize();
        painter.drawImage(QPoint(width() - shown.width(), height() - shown.height()), mBackground);
    }

    // Etched rules between the bands and under the headings.
    const QColor shadow(0xbf, 0xc7, 0xd1);
    const QColor light(0xff, 0xff, 0xff);
    const auto rule = [&](int x1, int x2, int y) {
        painter.setPen(shadow);
        painter.drawLine(x1, y, x2, y);
        painter.setPen(light);
        painter.drawLine(x1, y + 1, x2, y + 1);
    };
    rule(0, width(), 0);
    rule(0, width(), DluY(kStateBandRuleDlu));
    rule(DluX(11), DluX(245), DluY(kNowPlayingRuleDlu));
    rule(DluX(11), DluX(245), DluY(kAboutArtistRuleDlu));
    const int x = DluX(kVerticalRuleDlu);
    painter.setPen(shadow);
    painter.drawLine(x, DluY(7), x, DluY(35));
    painter.setPen(light);
    painter.drawLine(x + 1, DluY(7), x + 1, DluY(35));
}

bool CStatusPage::IsVisible() const {
    // A window that was never shown has no surface yet: not visible.
    const QWidget* top = window();
    if (top == nullptr || top->windowHandle() == nullptr)
        return false;
    return isVisible() && !visibleRegion().isEmpty();
}

void CStatusPage::RedrawControl(QWidget* control) {
    if (control != nullptr && IsVisible())
        update(control->geometry());
}

void CStatusPage::UpdateFrom(Observable* subject) {
    QMetaObject::invokeMethod(this, [this, subject] { OnUpdate(subject); }, Qt::QueuedConnection);
}

void CStatusPage::OnUpdate(Observable* subject) {
    if (subject == nullptr) {
        VBX_LOG(1, "Observable pointer passed to OnUpdate was NULL, won't update\n");
        return;
    }
    if (subject == static_cast<Observable*>(&mSubmitter)) {
        UpdateStatus();
    } else if (subject == static_cast<Observable*>(&mSettings)) {
        UpdateVortlingSwitch();
        UpdateUser();
    } else if (subject == static_cast<Observable*>(&mListener)) {
        UpdateTrack();
    }
}

bool CStatusPage::IsPinned() const {
    return CStatusTexts::IsPinned(mSubmitter.GetStatusCode());
}

void CStatusPage::SetStatusText(const QString& text) {
    mpStatusText->SetText(text);
    RedrawControl(mpStatusText);
}

void CStatusPage::UpdateStatus() {
    const int code = mSubmitter.GetStatusCode();
    const std::optional<std::string> text = CStatusTexts::StatusText(code);
    if (!text)
        VBX_LOG(2, "Vortle status " << code << " shouldn't exist.\n");
    if (code == kVortleSubmitOk || code == kVortleUnused13) {
        mpProgress->ShowSubmitted();
        RedrawControl(mpProgress);
    }

    const bool problem = CStatusTexts::IsUserProblem(code);
    mpBadge->setVisible(problem);
    mpInfo->SetBitmap(problem ? kInfoWarningBitmap : kInfoBitmap);
    PlaceStatusText(problem);
    RedrawControl(mpInfo);
    if (text)
        SetStatusText(QString::fromStdString(*text));
}

void CStatusPage::UpdateVortlingSwitch() {
    bool enabled = false;
    try {
        enabled = mSettings.GetCurrentUser().submitPlays;
    } catch (const CSettingsManager::CUserNotFoundException&) {
        return; // nobody to show the switch of
    }
    if (enabled && mpSwitch->BitmapId() == kVortlingOffBitmap) {
        mpSwitch->SetBitmap(kVortlingOnBitmap);
        mpSwitch->setToolTip(QStringLiteral("Vortling is on: click to turn it off"));
        mpProgress->SetActive(true);
        if (!IsPinned())
            SetStatusText(QString::fromLatin1(CStatusTexts::kVortlingEnabled));
    } else if (!enabled && mpSwitch->BitmapId() == kVortlingOnBitmap) {
        mpSwitch->SetBitmap(kVortlingOffBitmap);
        mpSwitch->setToolTip(QStringLiteral("Vortling is off: click to turn it on"));
        mpProgress->SetActive(false);
        if (!IsPinned())
            SetStatusText(QString::fromLatin1(CStatusTexts::kVortlingDisabled));
    }
    RedrawControl(mpSwitch);
}

void CStatusPage::UpdateUser() {
    CUser user;
    try {
        user = mSettings.GetCurrentUser();
    } catch (const CSettingsManager::CUserNotFoundException&) {
        mpUserName->SetText(QString());
        mpUserIcon->SetBitmapFromIcon(QIcon());
        return;
    }
    const QString name = QString::fromStdString(user.name);
    if (mpUserName->Text() != name) {
        mpUserName->SetText(name);
        RedrawControl(mpUserName);
    }
    mpUserIcon->SetBitmapFromIcon(CIconShack::NormalIcon(user.colour));
    RedrawControl(mpUserIcon);
}

void CStatusPage::UpdateTrack() {
    const std::shared_ptr<CPlayerConnection> connection = mListener.GetCurrentConnection();
    if (!connection)
        return;
    switch (connection->GetState()) {
    case CPlayerConnection::PAUSED:
        return;
    case CPlayerConnection::STOPPED:
        if (!IsPinned())
            SetStatusText(QString::fromLatin1(CStatusTexts::kStopped));
        ClearMetaData();
        return;
    case CPlayerConnection::PLAYING:
        break;
    }

    const bool eligible = !connection->IsNotEligible();
    if (!eligible) {
        mpProgress->SetActive(false);
        if (!IsPinned())
            SetStatusText(QString::fromLatin1(CStatusTexts::kNotSubmitted));
    } else {
        bool submits = false;
        try {
            submits = mSettings.GetCurrentUser().submitPlays;
        } catch (const CSettingsManager::CUserNotFoundException&) {
        }
        if (submits) {
            mpProgress->SetActive(true);
            mpFollowed = connection;
            mpProgress->Follow(&connection->GetStopWatch());
        } else if (!IsPinned()) {
            SetStatusText(QString::fromLatin1(CStatusTexts::kVortlingDisabled));
        }
    }

    // Unicode all the way: the player's UTF-8 is shown as it is.
    const Track track = connection->GetTrack();
    const QString artist = QString::fromUtf8(track.GetRawArtist());
    const QString title = QString::fromUtf8(track.GetRawTitle());
    const QString album = QString::fromUtf8(track.GetRawAlbum());
    if (artist == mpArtist->text() && title == mpTrack->text() && album == mpAlbum->text())
        return; // the same track again

    mpArtist->SetText(artist);
    mpTrack->SetText(title);
    mpAlbum->SetText(album);
    mpArtistLabel->setVisible(!artist.isEmpty());
    mpTrackLabel->setVisible(!title.isEmpty());
    mpAlbumLabel->setVisible(!album.isEmpty());
    mpAlbumPicture->SetImage(PictureFile(CMetaDataGetter::kNoAlbumPicture));
    mpArtistPicture->SetImage(PictureFile(CMetaDataGetter::kNoArtistPicture));
    mpTags->SetText(QString());
    mpSimilar->SetText(QString());
    mpDescription->SetText(QString());
    mpLink->hide();
    mpTagsLabel->hide();
    mpSimilarLabel->hide();
    mpAboutLabel->hide();
    update();

    if (IsVisible() && eligible)
        RequestMetaData();
    else
        mbMetaDataRequested = !eligible;
}

void CStatusPage::Countdown(int secondsLeft) {
    if (IsPinned() || secondsLeft <= 0)
        return;
    SetStatusText(QString::fromStdString(CStatusTexts::CountdownText(secondsLeft)));
}

void CStatusPage::RequestMetaData() {
    const std::shared_ptr<CPlayerConnection> connection = mListener.GetCurrentConnection();
    if (connection) {
        StopWorker();
        const Track track = connection->GetTrack();
        CTrackMetaData record;
        record.SetArtist(track.GetRawArtist());
        record.SetTrack(track.GetRawTitle());
        record.SetAlbum(track.GetRawAlbum());

        const std::uint64_t generation = ++mGeneration;
        const long threadId =
            mWorker.Start([this, generation, record]() mutable { GetMetaDataThread(generation, std::move(record)); });
        VBX_LOG(3, "GetMetaDataThread started at: " << static_cast<const void*>(&mWorker) << " ID: " << threadId
                                                     << "\n");
    }
    mbMetaDataRequested = true;
}

void CStatusPage::StopWorker() {
    mWorker.Stop([this] { mGetter.Cancel(); });
}

void CStatusPage::GetMetaDataThread(std::uint64_t generation, CTrackMetaData record) {
    if (mFetchStartHook)
        mFetchStartHook();
    try {
        if (mGetter.GetMetaData(record)) {
            QMetaObject::invokeMethod(
                this, [this, generation, record] { ShowMetaData(generation, record); }, Qt::QueuedConnection);
        }
    } catch (const CConnectionException& e) {
        VBX_LOG(2, "Couldn't download metadata. Exception: " << e.what() << "\n");
    } catch (const std::exception& e) {
        VBX_LOG(1, "Couldn't get metadata. Exception: " << e.what() << "\n");
    }
}

QString CStatusPage::PictureFile(const std::string& file) {
    if (file.empty())
        return {};
    const std::string path = CTrackMetaData::PicturePath(file);
    if (!path.empty() && path.front() == '/')
        return QString::fromStdString(path);
    // A shipped picture that is not on disk: the program's own copy.
    const QString resource = QStringLiteral(":/pictures/") + QString::fromStdString(file);
    return QFile::exists(resource) ? resource : QString::fromStdString(path);
}

void CStatusPage::ShowMetaData(std::uint64_t generation, const CTrackMetaData& record) {
    if (generation != mGeneration.load())
        return; // a newer track has taken over
    const std::shared_ptr<CPlayerConnection> connection = mListener.GetCurrentConnection();
    if (!connection || connection->GetState() == CPlayerConnection::STOPPED)
        return;
    mMetaData = record;

    mpAlbumPicture->SetImage(PictureFile(record.GetAlbumPicFile()));
    mpArtist->SetText(QString::fromStdString(record.GetArtist()));
    mpTrack->SetText(QString::fromStdString(record.GetTrack()));
    const QString album = QString::fromStdString(record.GetAlbum());
    mpAlbum->SetText(album);
    mpAlbumLabel->setVisible(!album.isEmpty());
    const QString tags = QString::fromStdString(record.GetTags());
    mpTags->SetText(tags);
    mpTagsLabel->setVisible(!tags.isEmpty());
    mpArtistPicture->SetImage(PictureFile(record.GetArtistPicFile()));
    const QString similar = QString::fromStdString(record.GetSimilar());
    mpSimilar->SetText(similar);
    mpSimilarLabel->setVisible(!similar.isEmpty());
    const QString description = QString::fromStdString(record.GetDescription());
    if (!description.isEmpty()) {
        mpDescription->SetText(description);
        mpAboutLabel->show();
        mpLink->setText(QStringLiteral("Read more..."));
    } else {
        mpLink->setText(QStringLiteral("Write a description..."));
    }
    mpLink->SetUrl(QString::fromStdString(record.GetWikiLink()));
    mpLink->show();
    update();
    emit metaDataShown();
}

void CStatusPage::ClearMetaData() {
    for (CElidedLabel* text : {mpArtist, mpTrack, mpAlbum, mpTags, mpSimilar, mpDescription})
        text->SetText(QString());
    mpAlbumPicture->Clear();
    mpArtistPicture->Clear();
    mpLink->hide();
    for (QLabel* label : {mpArtistLabel, mpTrackLabel, mpAlbumLabel, mpTagsLabel, mpSimilarLabel, mpAboutLabel})
        label->hide();
    update();
}

QString CStatusPage::SubmitAddress() const {
    return QStringLiteral("http://%1/").arg(QString::fromStdString(CServerHosts::GetOrDefault(CServerHosts::kSubmitHost)));
}

QString CStatusPage::WebSiteAddress() const {
    return QStringLiteral("http://%1/").arg(QString::fromStdString(CServerHosts::GetOrDefault(CServerHosts::kWebSiteHost)));
}

void CStatusPage::ShowMoreInfo() {
    mpInfo->ClearPressed();
    const CWebSubmitter::Status status = mSubmitter.GetStatus();
    const std::string text = CStatusTexts::MoreInfoText(status.code, status.text, SubmitAddress().toStdString());
    CMessageBox::Show(this, QMessageBox::Information,
                      UiText(IDS_MORE_INFO_CAPTION), QString::fromStdString(text));
}

void CStatusPage::SetUserMenu(QMenu* menu) {
    mpUserName->SetMenu(menu);
}
