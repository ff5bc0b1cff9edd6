#include "ui/HistoryWindow.h"

#include "app/Logger.h"
#include "app/UserFolders.h"
#include "history/HistoryExport.h"
#include "history/PlayHistory.h"
#include "history/PlayOutcome.h"
#include "settings/SettingsManager.h"
#include "ui/FileDialog.h"
#include "ui/HistoryChart.h"
#include "ui/HistoryModel.h"
#include "ui/MenuCommand.h"
#include "ui/MessageBox.h"
#include "ui/PostOnce.h"
#include "ui/controls/Pictures.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMetaObject>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <fstream>

namespace {

/// How long typing may pause before the list follows the search.
constexpr int kSearchDelayMs = 250;
constexpr int kTopArtists = 8;

QDate DateOf(const std::string& key) {
    return QDate::fromString(QString::fromStdString(key), Qt::ISODate);
}

std::string KeyOf(const QDate& date) {
    return date.toString(Qt::ISODate).toStdString();
}

} // namespace

CHistoryWindow::CHistoryWindow(CPlayHistory& history, CWebSubmitter& submitter, CSettingsManager& settings,
                               QWidget* parent)
    : QMainWindow(parent), mHistory(history), mSubmitter(submitter), mSettings(settings) {
    setObjectName(QStringLiteral("historyWindow"));
    setWindowIcon(CPictures::Icon(CPictures::IconPath(128)));
    CreateMenus();
    CreateControls();
    const int line = fontMetrics().height();
    resize(line * 58, line * 40);
    // Observed before the first reading: a change in between is read again.
    mHistory.AddObserver(this);
    mSettings.AddObserver(this);
    mbObserving = true;
    Refresh();
}

CHistoryWindow::~CHistoryWindow() {
    if (mbObserving) {
        mHistory.RemoveObserver(this);
        mSettings.RemoveObserver(this);
    }
    // A job posts to this window: it ends first. Neither can be cancelled,
    // and neither waits on the network.
    mWorker.Stop([] {});
}

void CHistoryWindow::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("historyFileMenu"));
    mpExport = AddMenuCommand(file, QStringLiteral("&Export..."), "historyExport", 0);
    mpExport->setShortcut(QKeySequence::Save);
    connect(mpExport, &QAction::triggered, this, &CHistoryWindow::Export);
    mpClear = AddMenuCommand(file, QStringLiteral("C&lear History..."), "historyClear", 0);
    connect(mpClear, &QAction::triggered, this, &CHistoryWindow::ClearHistory);
    file->addSeparator();
    QAction* close = AddMenuCommand(file, QStringLiteral("&Close"), "historyClose", 0);
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
}

void CHistoryWindow::CreateControls() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* choices = new QHBoxLayout();
    auto* periodLabel = new QLabel(QStringLiteral("&Period:"), central);
    mpPeriod = new QComboBox(central);
    mpPeriod->setObjectName(QStringLiteral("historyPeriod"));
    mpPeriod->addItems({QStringLiteral("Last 7 days"), QStringLiteral("Last 30 days"), QStringLiteral("Last year"),
                        QStringLiteral("All time")});
    mpPeriod->setCurrentIndex(static_cast<int>(EPeriod::k30Days));
    periodLabel->setBuddy(mpPeriod);
    mpSearch = new QLineEdit(central);
    mpSearch->setObjectName(QStringLiteral("historySearch"));
    mpSearch->setPlaceholderText(QStringLiteral("Search artist, title or album"));
    mpSearch->setClearButtonEnabled(true);
    mpSearch->setMinimumWidth(fontMetrics().horizontalAdvance(mpSearch->placeholderText()) +
                              fontMetrics().height() * 3);
    choices->addWidget(periodLabel);
    choices->addWidget(mpPeriod);
    choices->addStretch(1);
    choices->addWidget(mpSearch);
    layout->addLayout(choices);

    mpChart = new CHistoryChart(central);
    layout->addWidget(mpChart);

    mpModel = new CHistoryModel(this);
    mpList = new QTableView(central);
    mpList->setObjectName(QStringLiteral("historyList"));
    mpList->setModel(mpModel);
    mpList->setSelectionBehavior(QAbstractItemView::SelectRows);
    mpList->setSelectionMode(QAbstractItemView::SingleSelection);
    mpList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mpList->setAlternatingRowColors(true);
    mpList->setShowGrid(false);
    mpList->setWordWrap(false);
    mpList->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    mpList->verticalHeader()->hide();
    // Every row as high as one line: the view never measures the rows.
    mpList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    mpList->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + fontMetrics().height() / 2);
    QHeaderView* header = mpList->horizontalHeader();
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    const int line = fontMetrics().height();
    const QString sampleTime =
        QLocale::system().toString(QDateTime(QDate(2026, 12, 28), QTime(23, 58)), QLocale::ShortFormat);
    header->resizeSection(CHistoryModel::kPlayed, fontMetrics().horizontalAdvance(sampleTime) + line * 2);
    header->setSectionResizeMode(CHistoryModel::kArtist, QHeaderView::Stretch);
    header->setSectionResizeMode(CHistoryModel::kTitle, QHeaderView::Stretch);
    header->setSectionResizeMode(CHistoryModel::kAlbum, QHeaderView::Stretch);
    header->resizeSection(CHistoryModel::kPlayer, line * 8);
    int outcomeWidth = 0;
    for (int n = 0; n <= CPlayOutcome::kLast; ++n)
        outcomeWidth = std::max(outcomeWidth, fontMetrics().horizontalAdvance(QString::fromUtf8(
                                                  CPlayOutcome::Word(static_cast<EPlayOutcome>(n)))));
    header->resizeSection(CHistoryModel::kOutcome, outcomeWidth + line * 3);
    layout->addWidget(mpList, 1);

    auto* bottom = new QHBoxLayout();
    mpSummary = new QLabel(central);
    mpSummary->setObjectName(QStringLiteral("historySummary"));
    mpSummary->setTextFormat(Qt::PlainText);
    mpHoldBack = new QPushButton(QStringLiteral("&Don't Submit"), central);
    mpHoldBack->setObjectName(QStringLiteral("historyHoldBack"));
    mpHoldBack->setToolTip(QStringLiteral("Take the chosen play out of the queue: it will not be submitted."));
    bottom->addWidget(mpSummary, 1);
    bottom->addWidget(mpHoldBack);
    layout->addLayout(bottom);
    setCentralWidget(central);
    statusBar()->setObjectName(QStringLiteral("historyStatus"));

    mpSearchDelay = new QTimer(this);
    mpSearchDelay->setSingleShot(true);
    mpSearchDelay->setInterval(kSearchDelayMs);
    connect(mpSearchDelay, &QTimer::timeout, this, &CHistoryWindow::Refresh);
    connect(mpSearch, &QLineEdit::textChanged, mpSearchDelay, qOverload<>(&QTimer::start));
    connect(mpPeriod, &QComboBox::currentIndexChanged, this, &CHistoryWindow::Refresh);
    connect(mpList->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CHistoryWindow::UpdateButtons);
    connect(mpModel, &QAbstractItemModel::modelReset, this, &CHistoryWindow::UpdateButtons);
    connect(mpHoldBack, &QPushButton::clicked, this, &CHistoryWindow::HoldBackSelected);
}

std::optional<std::time_t> CHistoryWindow::PeriodStart(EPeriod period, std::time_t now) {
    const QDate today = QDateTime::fromSecsSinceEpoch(now).date();
    QDate first;
    switch (period) {
    case EPeriod::k7Days:
        first = today.addDays(-6);
        break;
    case EPeriod::k30Days:
        first = today.addDays(-29);
        break;
    case EPeriod::kYear:
        first = today.addDays(-364);
        break;
    case EPeriod::kAll:
        return std::nullopt;
    }
    return QDateTime(first, QTime(0, 0)).toSecsSinceEpoch();
}

CHistoryWindow::EPeriod CHistoryWindow::Period() const {
    return static_cast<EPeriod>(mpPeriod->currentIndex());
}

void CHistoryWindow::SetPeriod(EPeriod period) {
    mpPeriod->setCurrentIndex(static_cast<int>(period));
}

CHistoryStore::CFilter CHistoryWindow::CurrentFilter() const {
    CHistoryStore::CFilter filter;
    filter.since = PeriodStart(Period(), std::time(nullptr));
    filter.search = mpSearch->text().trimmed().toStdString();
    return filter;
}

void CHistoryWindow::Update() {
    PostOnce(this, mbRefreshPosted, [this] { Refresh(); });
}

void CHistoryWindow::Refresh() {
    mpSearchDelay->stop();
    const std::string user = mHistory.CurrentUser();
    if (user != mUser)
        mpSearch->clear();
    mUser = user;
    setWindowTitle(user.empty() ? QStringLiteral("History - Vortlebox")
                                : QStringLiteral("History of %1 - Vortlebox").arg(QString::fromStdString(user)));
    // The play chosen stays chosen when the list is read again.
    std::int64_t chosen = -1;
    if (const QModelIndexList rows = mpList->selectionModel()->selectedRows(); !rows.isEmpty())
        if (const CHistoryStore::CPlay* play = mpModel->PlayAt(rows.first().row()))
            chosen = play->id;
    mpModel->Reload(mHistory.FilePathOf(user), CurrentFilter());
    if (chosen >= 0) {
        mpModel->PlayAt(0); // the first page, where a chosen play mostly is
        if (const int row = mpModel->RowOfId(chosen); row >= 0)
            mpList->selectRow(row);
    }
    UpdateChart();
    UpdateSummary();
    UpdateButtons();
}

void CHistoryWindow::UpdateChart() {
    CHistoryStore* store = mpModel->Store();
    CHistoryStore::CFilter period = CurrentFilter();
    period.search.clear();
    const EPeriod chosen = Period();
    const CHistoryStore::EBucket bucket = chosen == EPeriod::kYear  ? CHistoryStore::EBucket::kWeek
                                          : chosen == EPeriod::kAll ? CHistoryStore::EBucket::kMonth
                                                                    : CHistoryStore::EBucket::kDay;
    std::map<std::string, CHistoryStore::CBucketCount> counts;
    std::vector<std::pair<QString, int>> artists;
    try {
        if (store != nullptr) {
            counts = store->CountsPer(bucket, period);
            for (const auto& [name, plays] : store->TopArtists(period, kTopArtists))
                artists.emplace_back(QString::fromStdString(name), plays);
        }
    } catch (const CHistoryStore::CStoreException& e) {
        VBX_LOG(1, "Couldn't read the history: " << e.what() << "\n");
    }
    // Every bucket of the period, the empty ones too.
    const QDate today = QDate::currentDate();
    QDate first = period.since ? QDateTime::fromSecsSinceEpoch(*period.since).date() : today;
    QDate last = today;
    QString title;
    const QLocale locale;
    std::vector<CHistoryChart::CBar> bars;
    auto add = [&](const QDate& day, const QString& label) {
        CHistoryChart::CBar bar;
        bar.label = label;
        if (const auto found = counts.find(KeyOf(day)); found != counts.end()) {
            bar.counted = found->second.counted;
            bar.heard = found->second.heard;
        }
        bars.push_back(bar);
    };
    switch (bucket) {
    case CHistoryStore::EBucket::kDay:
        title = QStringLiteral("Plays per day");
        for (QDate day = first; day <= last; day = day.addDays(1))
            add(day, locale.toString(day, QStringLiteral("d MMM")));
        break;
    case CHistoryStore::EBucket::kWeek:
        title = QStringLiteral("Plays per week");
        first = first.addDays(1 - first.dayOfWeek());
        for (QDate week = first; week <= last; week = week.addDays(7))
            add(week, locale.toString(week, QStringLiteral("d MMM")));
        break;
    case CHistoryStore::EBucket::kMonth:
        title = QStringLiteral("Plays per month");
        if (!counts.empty())
            first = std::min(first, DateOf(counts.begin()->first));
        first = QDate(first.year(), first.month(), 1);
        for (QDate month = first; month <= last; month = month.addMonths(1))
            add(month, locale.toString(month, QStringLiteral("MMM yyyy")));
        break;
    }
    mpChart->SetData(title, std::move(bars), std::move(artists));
}

void CHistoryWindow::UpdateSummary() {
    if (!mpModel->Error().isEmpty()) {
        mpSummary->setText(QStringLiteral("The history cannot be read: ") + mpModel->Error());
        return;
    }
    if (mUser.empty()) {
        mpSummary->setText(QStringLiteral("Nobody is logged in: plays are recorded for the user logged in."));
        return;
    }
    const QLocale locale;
    const CHistoryStore::CFilter filter = mpModel->Filter();
    if (!filter.search.empty()) {
        mpSummary->setText(QStringLiteral("%1 plays match \u201c%2\u201d.")
                               .arg(locale.toString(mpModel->rowCount()), QString::fromStdString(filter.search)));
        return;
    }
    int heard = 0, counted = 0;
    for (const CHistoryChart::CBar& bar : mpChart->Bars()) {
        heard += bar.heard;
        counted += bar.counted;
    }
    mpSummary->setText(QStringLiteral("%1 plays heard in this period, %2 of them counted.")
                           .arg(locale.toString(heard), locale.toString(counted)));
}

void CHistoryWindow::UpdateButtons() {
    const QModelIndexList rows = mpList->selectionModel()->selectedRows();
    const CHistoryStore::CPlay* play = rows.isEmpty() ? nullptr : mpModel->PlayAt(rows.first().row());
    const bool idle = mWorker.IsIdle();
    mpHoldBack->setEnabled(idle && play != nullptr && play->outcome == EPlayOutcome::kWaiting);
    mpExport->setEnabled(idle);
    mpClear->setEnabled(idle && !mUser.empty());
}

QString CHistoryWindow::StatusText() const {
    return statusBar()->currentMessage();
}

void CHistoryWindow::ShowStatus(const QString& text) {
    statusBar()->showMessage(text);
}

void CHistoryWindow::HoldBackSelected() {
    const QModelIndexList rows = mpList->selectionModel()->selectedRows();
    const CHistoryStore::CPlay* play = rows.isEmpty() ? nullptr : mpModel->PlayAt(rows.first().row());
    if (play == nullptr || play->outcome != EPlayOutcome::kWaiting || !mWorker.IsIdle())
        return;
    const std::time_t start = play->start;
    const QString label = QString::fromStdString(play->artist) + QStringLiteral(" \u2013 ") + QString::fromStdString(play->title);
    // The last job has ended: it is joined before the next starts.
    mWorker.Stop([] {});
    mWorker.Start([this, start, label] {
        const CWebSubmitter::EHoldBack result = mSubmitter.HoldBack(start);
        QMetaObject::invokeMethod(this, [this, result, label] { OnHeldBack(result, label); }, Qt::QueuedConnection);
    });
    UpdateButtons();
}

void CHistoryWindow::OnHeldBack(CWebSubmitter::EHoldBack result, const QString& label) {
    switch (result) {
    case CWebSubmitter::EHoldBack::kHeldBack:
        ShowStatus(QStringLiteral("%1 will not be submitted.").arg(label));
        break;
    case CWebSubmitter::EHoldBack::kBeingSent:
        ShowStatus(QStringLiteral("%1 is being submitted right now: it can no longer be held back.").arg(label));
        break;
    case CWebSubmitter::EHoldBack::kNotWaiting:
        ShowStatus(QStringLiteral("%1 no longer waits in the queue.").arg(label));
        break;
    }
    mWorker.Stop([] {});
    Refresh();
    emit heldBack(result);
}

void CHistoryWindow::Export() {
    if (!mWorker.IsIdle())
        return;
    const QString csvFilter = QStringLiteral("CSV files (*.csv)");
    const QString jsonFilter = QStringLiteral("JSON files (*.json)");
    const QString start = QString::fromStdString(CUserFolders::Home()) + QStringLiteral("/vortlebox-history-") +
                          QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".csv");
    QString chosenFilter = csvFilter;
    QString path = CFileDialog::SaveFileName(this, QStringLiteral("Export History"), start,
                                             csvFilter + QStringLiteral(";;") + jsonFilter, &chosenFilter);
    if (path.isEmpty())
        return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    CHistoryExport::EFormat format = CHistoryExport::EFormat::kCsv;
    if (suffix == QLatin1String("json")) {
        format = CHistoryExport::EFormat::kJson;
    } else if (suffix != QLatin1String("csv")) {
        format = chosenFilter == jsonFilter ? CHistoryExport::EFormat::kJson : CHistoryExport::EFormat::kCsv;
        path += format == CHistoryExport::EFormat::kJson ? QStringLiteral(".json") : QStringLiteral(".csv");
    }
    const std::string historyPath = mHistory.FilePathOf(mUser);
    const CHistoryStore::CFilter filter = CurrentFilter();
    mWorker.Stop([] {});
    mWorker.Start([this, path, historyPath, filter, format] {
        // Written beside the file and renamed over it: never half a file.
        const std::string target = path.toStdString();
        const std::string part = target + ".part";
        std::string error;
        long long count = 0;
        try {
            std::unique_ptr<CHistoryStore> store =
                historyPath.empty() ? nullptr : CHistoryStore::OpenForReading(historyPath);
            std::ofstream out(part, std::ios::binary | std::ios::trunc);
            if (!out)
                throw CHistoryStore::CStoreException("cannot create " + part);
            count = CHistoryExport::Write(store.get(), filter, format, out);
            out.close();
            if (!out)
                throw CHistoryStore::CStoreException("cannot write " + part);
            if (std::rename(part.c_str(), target.c_str()) != 0)
                throw CHistoryStore::CStoreException("cannot replace " + target);
        } catch (const CHistoryStore::CStoreException& e) {
            error = e.what();
            std::remove(part.c_str());
        }
        QMetaObject::invokeMethod(
            this, [this, path, error, count] { OnExported(path, QString::fromStdString(error), count); },
            Qt::QueuedConnection);
    });
    UpdateButtons();
}

void CHistoryWindow::OnExported(const QString& path, const QString& error, long long count) {
    mWorker.Stop([] {});
    UpdateButtons();
    if (!error.isEmpty()) {
        VBX_LOG(1, "Couldn't export the history: " << error.toStdString() << "\n");
        CMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Export History"),
                          QStringLiteral("The history could not be exported: %1").arg(error));
        emit exported(false);
        return;
    }
    VBX_LOG(3, "Exported " << count << " plays of the history to " << path.toStdString() << "\n");
    ShowStatus(QStringLiteral("Exported %1 plays to %2.").arg(QLocale().toString(count), path));
    emit exported(true);
}

void CHistoryWindow::ClearHistory() {
    if (mUser.empty())
        return;
    const QMessageBox::StandardButton answer = CMessageBox::Show(
        this, QMessageBox::Warning, QStringLiteral("Clear History"),
        QStringLiteral("Delete the whole history of %1? Plays waiting in the queue are still submitted.")
            .arg(QString::fromStdString(mUser)),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    mHistory.Clear(mUser);
    ShowStatus(QStringLiteral("The history of %1 was cleared.").arg(QString::fromStdString(mUser)));
}
