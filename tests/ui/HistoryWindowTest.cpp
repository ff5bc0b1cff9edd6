// The history window over the real history, submitter and settings.
#include "ui/HistoryWindow.h"

#include "history/PlayHistory.h"
#include "submit/Md5.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestProcess.h"
#include "tests/ui/DialogTestSupport.h"
#include "ui/FileDialog.h"
#include "ui/HistoryChart.h"
#include "ui/HistoryModel.h"
#include "ui/MessageBox.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <sys/stat.h>

#include <ctime>
#include <string>

namespace {

using namespace std::chrono_literals;
using EPeriod = CHistoryWindow::EPeriod;

class HistoryWindowTest : public ::testing::Test {
protected:
    HistoryWindowTest() {
        mWorld.AddStoredUser("alice", "secret");
        mWorld.settings.SetCurrentUser("alice");
        mWorld.settings.Save();
        // The server is down: what is queued stays waiting.
        SetServerHosts(mDown.HostPort(), mDown.HostPort());
        mHistory.Start();
        CPlayRecorder::Install(&mHistory);
        mSubmitter.setTimeLimits(1s, 3s);
        mSubmitter.setRetryBaseDelay(10min);
        mSubmitter.init("alice", md5Hex("secret"), "vbx", "0.1", true);
    }
    ~HistoryWindowTest() override {
        mSubmitter.term();
        CPlayRecorder::Install(nullptr);
        mHistory.Close();
    }

    /// A play heard `daysAgo` days ago (at this time of day) that ended so.
    void Heard(const std::string& title, int daysAgo, EPlayOutcome outcome) {
        Track track;
        track.Set("Artist " + title, title, "Album", "200", "/music/" + title + ".mp3", "");
        track.SetStartTime(static_cast<std::int32_t>(mNow - daysAgo * 86400 - 60));
        mHistory.Started("p", track, outcome == EPlayOutcome::kWaiting ? EPlayOutcome::kCounting : outcome);
        if (outcome == EPlayOutcome::kWaiting) {
            mHistory.Reached("p", EPlayOutcome::kWaiting);
            mSubmitter.Submit(track);
        }
    }

    static int Heard(const CHistoryChart& chart) {
        int heard = 0;
        for (const CHistoryChart::CBar& bar : chart.Bars())
            heard += bar.heard;
        return heard;
    }

    CDialogWorld mWorld;
    CScriptedServer mDown{
        {{CScriptedServer::Step::ReadRequest(), CScriptedServer::Step::Send("HTTP/1.0 503 Unavailable\r\n\r\n")}}};
    CPlayHistory mHistory{mWorld.settings};
    CWebSubmitter mSubmitter{mWorld.settings};
    const std::time_t mNow = std::time(nullptr);
};

TEST_F(HistoryWindowTest, PeriodsHoldingBackExportAndClearing) {
    Heard("Old", 100, EPlayOutcome::kExcluded);
    Heard("Month", 20, EPlayOutcome::kTooShort);
    Heard("Queued", 0, EPlayOutcome::kWaiting);
    mHistory.Flush();
    CHistoryWindow window(mHistory, mSubmitter, mWorld.settings);
    window.show();
    window.Refresh();

    struct PeriodCase {
        EPeriod period;
        int rows;
        std::size_t bars;
    };
    for (const PeriodCase& c : {PeriodCase{EPeriod::k7Days, 1, 7}, PeriodCase{EPeriod::k30Days, 2, 30},
                                PeriodCase{EPeriod::kAll, 3, 0}}) {
        SCOPED_TRACE(static_cast<int>(c.period));
        window.SetPeriod(c.period);
        EXPECT_EQ(window.Model().rowCount(), c.rows);
        EXPECT_EQ(Heard(window.Chart()), c.rows);
        if (c.bars != 0) {
            EXPECT_EQ(window.Chart().Bars().size(), c.bars);
        }
    }
    // Newest first.
    ASSERT_EQ(window.Model().PlayAt(0)->title, "Queued");

    // Holding back the waiting play takes it out of the queue for good.
    qRegisterMetaType<CWebSubmitter::EHoldBack>();
    QSignalSpy heldBack(&window, &CHistoryWindow::heldBack);
    window.List().selectRow(0);
    window.HoldBackSelected();
    ASSERT_TRUE(heldBack.wait(20000) || heldBack.count() == 1);
    EXPECT_EQ(heldBack.first().first().value<CWebSubmitter::EHoldBack>(), CWebSubmitter::EHoldBack::kHeldBack);
    EXPECT_EQ(mSubmitter.pendingCount(), 0);
    EXPECT_EQ(CWebSubmitter::PendingStartTimes(mWorld.settings.GetUserDir(), "alice"), std::vector<std::time_t>{});
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const CHistoryStore::CPlay* play = window.Model().PlayAt(0);
        return play != nullptr && play->outcome == EPlayOutcome::kHeldBack;
    }, 20000));

    // The export writes what the command prints, and nothing half-written.
    const std::string path = mWorld.env.Root() + "/plays.json";
    CFileDialog::SetNextFileName(QString::fromStdString(path));
    QSignalSpy exported(&window, &CHistoryWindow::exported);
    window.Export();
    ASSERT_TRUE(exported.wait(20000) || exported.count() == 1);
    EXPECT_TRUE(exported.first().first().toBool());
    const CTestProcess::CResult printed = CTestProcess::Run({BinDir() + "/vortlebox-history", "--json"});
    ASSERT_EQ(printed.exitCode, 0) << printed.err;
    EXPECT_EQ(ReadFile(path), printed.out);
    EXPECT_NE(printed.out.find("\"outcome\": \"held-back\""), std::string::npos);
    EXPECT_FALSE(FileExists(path + ".part"));

    CMessageBox::SetNextAnswer(QMessageBox::No);
    window.ClearHistory();
    EXPECT_EQ(window.Model().rowCount(), 3);
    CMessageBox::SetNextAnswer(QMessageBox::Yes);
    window.ClearHistory();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.Model().rowCount() == 0; }, 20000));
    EXPECT_EQ(Heard(window.Chart()), 0);
    const CTestProcess::CResult after = CTestProcess::Run({BinDir() + "/vortlebox-history", "--csv"});
    EXPECT_EQ(after.out, "start,artist,title,album,length,player,plugin,outcome,submitted\n");
}

TEST(HistoryModelTest, PagesAreReadAsTheListScrolls) {
    CTestEnvironment env;
    const std::string path = env.Root() + "/plays.db";
    const int plays = CHistoryModel::kPageSize * 2 + 50;
    {
        auto store = CHistoryStore::OpenForWriting(path);
        store->Begin();
        for (int i = 0; i < plays; ++i) {
            CHistoryStore::CPlay play;
            play.start = 1700000000 + i;
            play.title = std::to_string(i);
            store->Insert(play);
        }
        store->Commit();
    }
    CHistoryModel model;
    model.Reload(path, {});
    ASSERT_EQ(model.rowCount(), plays);
    // Newest first, on every page and across their edges.
    for (const int row : {0, CHistoryModel::kPageSize - 1, CHistoryModel::kPageSize, plays - 1, 3}) {
        SCOPED_TRACE(row);
        const CHistoryStore::CPlay* play = model.PlayAt(row);
        ASSERT_NE(play, nullptr);
        EXPECT_EQ(play->title, std::to_string(plays - 1 - row));
        EXPECT_EQ(model.RowOfId(play->id), row);
    }
    EXPECT_EQ(model.PlayAt(plays), nullptr);
    EXPECT_EQ(model.PlayAt(-1), nullptr);
    EXPECT_TRUE(model.Error().isEmpty());

    model.Reload(env.Root() + "/none.db", {});
    EXPECT_EQ(model.rowCount(), 0);
    WriteFile(env.Root() + "/broken.db", std::string(4096, 'x'));
    model.Reload(env.Root() + "/broken.db", {});
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.Error().isEmpty());
}

TEST(HistoryPeriodTest, PeriodsStartAtLocalMidnight) {
    const std::time_t now = QDateTime(QDate(2026, 3, 31), QTime(15, 30)).toSecsSinceEpoch();
    const auto start = [&](EPeriod period) {
        return QDateTime::fromSecsSinceEpoch(*CHistoryWindow::PeriodStart(period, now));
    };
    EXPECT_EQ(start(EPeriod::k7Days), QDateTime(QDate(2026, 3, 25), QTime(0, 0)));
    EXPECT_EQ(start(EPeriod::k30Days), QDateTime(QDate(2026, 3, 2), QTime(0, 0)));
    EXPECT_EQ(start(EPeriod::kYear), QDateTime(QDate(2025, 4, 1), QTime(0, 0)));
    EXPECT_FALSE(CHistoryWindow::PeriodStart(EPeriod::kAll, now).has_value());
}

} // namespace
