// The history window with a large history, against the same window over an
// empty one and against a plain in-memory table of the same rows.
//
//   bench_history [PLAYS]
//
// Fills a history of PLAYS plays (default 100,000; one every 15 minutes,
// about three years) in a temporary environment, then, five times each in
// turns: opens the window (constructed, shown and painted) over the empty
// history and over the full one, and switches the full one to "All". Prints
// the medians and their ratio. Then it scrolls the list of all plays from
// top to bottom a page at a time, painting each page, and the same rows in a
// QStandardItemModel held in memory: the median and the slowest page of each.

#include "history/PlayHistory.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"
#include "ui/HistoryModel.h"
#include "ui/HistoryWindow.h"

#include <QApplication>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

/// Times painting the view after scrolling it a page at a time to the end.
std::vector<double> ScrollThrough(QTableView& view) {
    view.resize(900, 600);
    view.show();
    QApplication::processEvents();
    QScrollBar* bar = view.verticalScrollBar();
    std::vector<double> steps;
    for (int value = 0; value <= bar->maximum(); value += std::max(1, bar->pageStep())) {
        steps.push_back(Milliseconds([&] {
            bar->setValue(value);
            view.viewport()->grab();
        }));
    }
    return steps;
}

} // namespace

int main(int argc, char** argv) {
    const int plays = argc > 1 ? std::atoi(argv[1]) : 100000;
    constexpr int kRounds = 5;
    char pattern[] = "/tmp/vbx-bench-history-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    CSettingsManager settings;
    settings.Restore();
    for (const char* name : {"empty", "full"}) {
        CUser user;
        user.name = name;
        settings.AddUser(user);
    }
    const std::time_t now = std::time(nullptr);
    {
        auto store = CHistoryStore::OpenForWriting(CPlayHistory::FilePath(settings.GetUserDir(), "full"));
        store->Begin();
        const char* outcomes[] = {"submitted", "too short", "stopped"};
        for (int i = 0; i < plays; ++i) {
            CHistoryStore::CPlay play;
            play.start = now - static_cast<std::time_t>(i) * 900;
            play.artist = "Artist " + std::to_string(i % 700);
            play.title = "Title " + std::to_string(i);
            play.album = std::string("Album ") + outcomes[i % 3];
            play.length = 180 + i % 120;
            play.plugin = "org.mpris.MediaPlayer2.bench";
            play.player = "Bench Player";
            play.outcome = i % 3 == 0   ? EPlayOutcome::kSubmitted
                           : i % 3 == 1 ? EPlayOutcome::kTooShort
                                        : EPlayOutcome::kStoppedEarly;
            if (play.outcome == EPlayOutcome::kSubmitted)
                play.acked = play.start + 120;
            store->Insert(play);
        }
        store->Commit();
    }
    CPlayHistory history(settings);
    history.Start();
    CWebSubmitter submitter(settings);

    std::vector<double> emptyOpen, fullOpen, fullAll;
    for (int round = 0; round < kRounds; ++round) {
        for (const char* name : {"empty", "full"}) {
            settings.SetCurrentUser(name);
            history.Flush();
            const bool full = std::string(name) == "full";
            (full ? fullOpen : emptyOpen).push_back(Milliseconds([&] {
                CHistoryWindow window(history, submitter, settings);
                window.show();
                window.grab();
                if (full)
                    fullAll.push_back(Milliseconds([&] {
                        window.SetPeriod(CHistoryWindow::EPeriod::kAll);
                        window.grab();
                    }));
            }));
        }
    }
    std::printf("history window, median of %d rounds (ms):\n", kRounds);
    std::printf("  opened over an empty history          %8.1f\n", Median(emptyOpen));
    std::printf("  opened over %d plays (30 days)    %8.1f  (ratio to empty %.2f)\n", plays, Median(fullOpen),
                Median(emptyOpen) > 0 ? Median(fullOpen) / Median(emptyOpen) : 0.0);
    std::printf("  switched to all %d plays          %8.1f\n", plays, Median(fullAll));

    // Scrolling all the plays, against the same rows held in memory.
    settings.SetCurrentUser("full");
    history.Flush();
    CHistoryModel model;
    model.Reload(CPlayHistory::FilePath(settings.GetUserDir(), "full"), {});
    QStandardItemModel memory(model.rowCount(), model.columnCount());
    for (int row = 0; row < model.rowCount(); ++row)
        for (int column = 0; column < model.columnCount(); ++column)
            memory.setItem(row, column, new QStandardItem(model.index(row, column).data().toString()));
    model.Reload();
    QTableView historyView, memoryView;
    historyView.setModel(&model);
    memoryView.setModel(&memory);
    const std::vector<double> historySteps = ScrollThrough(historyView);
    const std::vector<double> memorySteps = ScrollThrough(memoryView);
    std::printf("scrolling %d rows a page at a time, painting each page (ms per page):\n", model.rowCount());
    std::printf("  history list        median %6.2f  slowest %6.2f  (%zu pages)\n", Median(historySteps),
                *std::max_element(historySteps.begin(), historySteps.end()), historySteps.size());
    std::printf("  in-memory table     median %6.2f  slowest %6.2f\n", Median(memorySteps),
                *std::max_element(memorySteps.begin(), memorySteps.end()));
    std::printf("  ratio of medians    %6.2f\n",
                Median(memorySteps) > 0 ? Median(historySteps) / Median(memorySteps) : 0.0);

    history.Close();
    std::filesystem::remove_all(root);
    return 0;
}
