#pragma once

#include "app/WorkerThread.h"
#include "app/Observer.h"
#include "metadata/MetaDataGetter.h"
#include "metadata/TrackMetaData.h"

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class CElidedLabel;
class CHyperlink;
class CJpgStatic;
class CPlayerConnection;
class CPlayerListener;
class CSettingsManager;
class CStopWatchProgress;
class CTransparentBitmap;
class CUserNameLabel;
class CWebSubmitter;
class QLabel;
class QMenu;

/// The status window, the main window's only content. From top to bottom:
/// the state of the current user's submissions (the vortling switch, the
/// information button, the listening progress of the playing track and a
/// status line), the user's icon and name (a drop-down for switching users),
/// the playing track with its album picture and tags, and the artist with
/// picture, similar artists, a description and a link to the artist's page.
///
/// It observes the settings, the player listener and the web submitter; their
/// notifications, from any thread, are posted to the window and handled on
/// its thread. For each new track it fetches the metadata on a worker thread,
/// one worker at a time; the worker hands its result back by posting it.
///
/// The controls keep the places of the classic 256 x 244 dialog-unit layout,
/// in units of the window's font, so the window grows with the desktop font.
class CStatusPage : public QWidget, public Observer {
    Q_OBJECT
public:
    /// Control identifiers; each control's objectName is its role.
    enum EControl : int {
        IDC_VORTLING_SWITCH = 1053,
        IDC_INFO_BUTTON = 1054,
        IDC_PROGRESS = 1052,
        IDC_STATUS_TEXT = 1055,
        IDC_WARNING_BADGE = 1067,
        IDC_UP_ARROW = 1066,
        IDC_USER_ICON = 1056,
        IDC_USER_NAME = 1014,
        IDC_NOW_PLAYING = 1068,
        IDC_ALBUM_PICTURE = 1057,
        IDC_ARTIST_LABEL = 1059,
        IDC_TRACK_LABEL = 1060,
        IDC_ALBUM_LABEL = 1061,
        IDC_TAGS_LABEL = 1065,
        IDC_ARTIST_TEXT = 1005,
        IDC_TRACK_TEXT = 1006,
        IDC_ALBUM_TEXT = 1007,
        IDC_TAGS_TEXT = 1010,
        IDC_ABOUT_ARTIST = 1069,
        IDC_ARTIST_PICTURE = 1058,
        IDC_SIMILAR_LABEL = 1062,
        IDC_ABOUT_LABEL = 1063,
        IDC_SIMILAR_TEXT = 1008,
        IDC_DESCRIPTION_TEXT = 1009,
        IDC_WIKI_LINK = 1064,
    };

    CStatusPage(CPlayerListener& listener, CWebSubmitter& submitter, CSettingsManager& settings,
                QWidget* parent = nullptr);
    /// Stops observing, cancels and joins the metadata worker.
    ~CStatusPage() override;

    /// Observer callback, from any thread: posts the subject to the window.
    void UpdateFrom(Observable* subject) override;

    /// Shows the submitter's current status: text, badge, button, green bar.
    void UpdateStatus();
    /// Starts fetching the metadata of the current track (after the previous
    /// worker has ended) and marks it requested.
    void RequestMetaData();
    /// Whether any part of the window can be seen.
    bool IsVisible() const;
    /// Repaints the window behind one control, if the window can be seen.
    void RedrawControl(QWidget* control);
    /// The progress bar's call on each tick: the status line counts down.
    void Countdown(int secondsLeft);
    /// Shows the "More info" box about the current status.
    void ShowMoreInfo();
    /// The menu the user's name drops down (not owned).
    void SetUserMenu(QMenu* menu);

    bool IsMetaDataRequested() const noexcept { return mbMetaDataRequested; }
    /// Whether no metadata worker runs.
    bool IsWorkerIdle() const { return mWorker.IsIdle(); }
    /// Runs on the metadata worker before each fetch (tests: a stop that
    /// comes before the fetch has begun must still end it).
    void SetFetchStartHook(std::function<void()> hook) { mFetchStartHook = std::move(hook); }
    /// The metadata shown last.
    const CTrackMetaData& MetaData() const noexcept { return mMetaData; }

    /// Dialog units of this window's font to pixels.
    int DluX(int units) const;
    int DluY(int units) const;
    QSize sizeHint() const override;

signals:
    /// Metadata arrived from the worker and is shown.
    void metaDataShown();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateControls();
    void Relayout();
    void OnUpdate(Observable* subject);
    void UpdateVortlingSwitch();
    void UpdateUser();
    void UpdateTrack();
    void ShowMetaData(std::uint64_t generation, const CTrackMetaData& record);
    void ClearMetaData();
    void SetStatusText(const QString& text);
    void PlaceStatusText(bool afterBadge);
    bool IsPinned() const;
    void GetMetaDataThread(std::uint64_t generation, CTrackMetaData record);
    void StopWorker();
    /// The picture file of a record: a cached path, or a picture that ships
    /// with the program.
    static QString PictureFile(const std::string& file);
    QString SubmitAddress() const;
    QString WebSiteAddress() const;

    CPlayerListener& mListener;
    CWebSubmitter& mSubmitter;
    CSettingsManager& mSettings;

    CTransparentBitmap* mpSwitch = nullptr;
    CTransparentBitmap* mpInfo = nullptr;
    CStopWatchProgress* mpProgress = nullptr;
    CElidedLabel* mpStatusText = nullptr;
    CTransparentBitmap* mpBadge = nullptr;
    CTransparentBitmap* mpUpArrow = nullptr;
    CTransparentBitmap* mpUserIcon = nullptr;
    CUserNameLabel* mpUserName = nullptr;
    QLabel* mpNowPlaying = nullptr;
    CJpgStatic* mpAlbumPicture = nullptr;
    QLabel* mpArtistLabel = nullptr;
    QLabel* mpTrackLabel = nullptr;
    QLabel* mpAlbumLabel = nullptr;
    QLabel* mpTagsLabel = nullptr;
    CElidedLabel* mpArtist = nullptr;
    CElidedLabel* mpTrack = nullptr;
    CElidedLabel* mpAlbum = nullptr;
    CElidedLabel* mpTags = nullptr;
    QLabel* mpAboutArtist = nullptr;
    CJpgStatic* mpArtistPicture = nullptr;
    QLabel* mpSimilarLabel = nullptr;
    QLabel* mpAboutLabel = nullptr;
    CElidedLabel* mpSimilar = nullptr;
    CElidedLabel* mpDescription = nullptr;
    CHyperlink* mpLink = nullptr;

    int mBaseX = 6;
    int mBaseY = 13;
    QImage mBackground;

    // The connection whose stopwatch the bar follows, kept alive with it.
    std::shared_ptr<CPlayerConnection> mpFollowed;

    CTrackMetaData mMetaData;
    CMetaDataGetter mGetter;
    CWorkerThread mWorker;
    std::function<void()> mFetchStartHook;
    // Counts the requests; a result posted for an older one is dropped.
    std::atomic<std::uint64_t> mGeneration{0};
    bool mbMetaDataRequested = false;
    bool mbObserving = false;
};
