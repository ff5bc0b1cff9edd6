#pragma once

#include "app/Observer.h"
#include "app/WorkerThread.h"
#include "history/HistoryStore.h"
#include "submit/WebSubmitter.h"

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <ctime>

class CHistoryChart;
class CHistoryModel;
class CPlayHistory;
class CSettingsManager;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;

/// "History...": what the program heard, for the current user. A period
/// chooser and a search field over a chart of the period (plays per day,
/// week or month, and the top artists) and the list of plays, newest first,
/// each with its outcome as a picture and a word.
///
/// "Don't submit" takes a waiting play out of the queue (on a worker: the
/// queue's files are rewritten); File > Export... writes the plays shown as
/// CSV or JSON (on a worker); File > Clear History... deletes the history.
///
/// Not modal. It follows the history and the settings (another user is
/// shown when the current user changes): their notifications, from any
/// thread, are posted to the window's thread. No worker touches a widget.
class CHistoryWindow : public QMainWindow, public Observer {
    Q_OBJECT
public:
    enum class EPeriod { k7Days = 0, k30Days = 1, kYear = 2, kAll = 3 };

    CHistoryWindow(CPlayHistory& history, CWebSubmitter& submitter, CSettingsManager& settings,
                   QWidget* parent = nullptr);
    /// Waits for a job still running, stops observing.
    ~CHistoryWindow() override;

    /// The first moment of a period (local midnight) as of now; nothing for
    /// all time.
    static std::optional<std::time_t> PeriodStart(EPeriod period, std::time_t now);

    /// Reads the history again (the user, the period or the search changed,
    /// or the history did).
    void Refresh();
    void SetPeriod(EPeriod period);
    EPeriod Period() const;
    /// "Don't submit" for the selected play.
    void HoldBackSelected();
    /// File > Export...
    void Export();
    /// File > Clear History...
    void ClearHistory();
    /// Whether a hold-back or an export is running.
    bool IsBusy() const { return !mWorker.IsIdle(); }

    CHistoryModel& Model() noexcept { return *mpModel; }
    CHistoryChart& Chart() noexcept { return *mpChart; }
    QTableView& List() noexcept { return *mpList; }
    /// The text of the status line (the result of the last command).
    QString StatusText() const;

    /// Observer callback, from any thread: posts a refresh.
    void Update() override;

signals:
    /// A hold-back ended with its result; an export ended (ok or not).
    void heldBack(CWebSubmitter::EHoldBack result);
    void exported(bool ok);

private:
    void CreateMenus();
    void CreateControls();
    CHistoryStore::CFilter CurrentFilter() const;
    void UpdateChart();
    void UpdateSummary();
    void UpdateButtons();
    void OnHeldBack(CWebSubmitter::EHoldBack result, const QString& label);
    void OnExported(const QString& path, const QString& error, long long count);
    void ShowStatus(const QString& text);

    CPlayHistory& mHistory;
    CWebSubmitter& mSubmitter;
    CSettingsManager& mSettings;

    QComboBox* mpPeriod = nullptr;
    QLineEdit* mpSearch = nullptr;
    QTimer* mpSearchDelay = nullptr;
    CHistoryChart* mpChart = nullptr;
    CHistoryModel* mpModel = nullptr;
    QTableView* mpList = nullptr;
    QLabel* mpSummary = nullptr;
    QPushButton* mpHoldBack = nullptr;
    QAction* mpExport = nullptr;
    QAction* mpClear = nullptr;

    std::string mUser;
    CWorkerThread mWorker;
    std::atomic<bool> mbRefreshPosted{false};
    bool mbObserving = false;
};
