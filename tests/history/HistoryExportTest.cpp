// What the history gives to spreadsheets and scripts: the export's format,
// and the command that prints it.
#include "history/HistoryExport.h"

#include "history/PlayHistory.h"
#include "settings/SettingsManager.h"
#include "tests/history/LocalTime.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using CPlay = CHistoryStore::CPlay;

struct FieldCase {
    const char* name;
    std::string text;
    std::string csv;
    std::string json;
};

TEST(HistoryExportTest, FieldsAreQuotedAndEscapedForTheirFormat) {
    const FieldCase cases[] = {
        {"plain", "Abba", "Abba", "\"Abba\""},
        {"empty", "", "", "\"\""},
        {"comma", "Earth, Wind", "\"Earth, Wind\"", "\"Earth, Wind\""},
        {"quotes", "12\" Mix", "\"12\"\" Mix\"", "\"12\\\" Mix\""},
        {"line break", "a\r\nb", "\"a\r\nb\"", "\"a\\r\\nb\""},
        {"backslash and tab", "a\\b\tc", "a\\b\tc", "\"a\\\\b\\tc\""},
        {"control", std::string("a\x01z"), std::string("a\x01z"), "\"a\\u0001z\""},
        {"UTF-8 kept", "Bj\xc3\xb6rk \xe2\x99\xab", "Bj\xc3\xb6rk \xe2\x99\xab", "\"Bj\xc3\xb6rk \xe2\x99\xab\""},
        {"stray byte", "a\xff" "b", "a\xef\xbf\xbd" "b", "\"a\xef\xbf\xbd" "b\""},
        {"cut sequence", "a\xe2\x99", "a\xef\xbf\xbd\xef\xbf\xbd", "\"a\xef\xbf\xbd\xef\xbf\xbd\""},
        {"overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CHistoryExport::CsvField(c.text), c.csv);
        EXPECT_EQ(CHistoryExport::JsonString(c.text), c.json);
    }
    EXPECT_EQ(CHistoryExport::UtcText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(CHistoryExport::UtcText(1700000000), "2023-11-14T22:13:20Z");
}

class HistoryCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        mSettings.Restore();
        CUser alice;
        alice.name = "alice";
        mSettings.AddUser(alice);
        mSettings.SetCurrentUser("alice");
        mSettings.Save();
        auto store = CHistoryStore::OpenForWriting(CPlayHistory::FilePath(mSettings.GetUserDir(), "alice"));
        store->Begin();
        for (const CPlay& play : mPlays)
            store->Insert(play);
        store->Commit();
    }

    static CTestProcess::CResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), BinDir() + "/vortlebox-history");
        return CTestProcess::Run(args);
    }

    std::string Expected(const CHistoryStore::CFilter& filter, CHistoryExport::EFormat format) {
        auto store = CHistoryStore::OpenForReading(CPlayHistory::FilePath(mSettings.GetUserDir(), "alice"));
        std::ostringstream out;
        CHistoryExport::Write(store.get(), filter, format, out);
        return out.str();
    }

    CTestEnvironment mEnv;
    CSettingsManager mSettings;
    const std::vector<CPlay> mPlays = {
        {0, LocalTime(2023, 11, 10, 12), "Early", "One", "", 200, "demo", "", EPlayOutcome::kSubmitted,
         LocalTime(2023, 11, 10, 13)},
        {0, LocalTime(2023, 11, 14, 12), "Mid, \"quoted\"", "Two\nlines", "Alb\xff", 31,
         "org.mpris.MediaPlayer2.vlc", "VLC", EPlayOutcome::kWaiting, std::nullopt},
        {0, LocalTime(2023, 11, 16, 23), "Late", "Three", "X", 29, "demo", "", EPlayOutcome::kTooShort,
         std::nullopt},
        {0, LocalTime(2023, 11, 20, 12), "After", "Four", "", 0, "demo", "", EPlayOutcome::kNoLength,
         std::nullopt},
    };
};

TEST_F(HistoryCommandTest, PrintsWhatTheWindowExportsAndParsesAsJson) {
    const CTestProcess::CResult json = Run({"--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, Expected({}, CHistoryExport::EFormat::kJson));

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonArray plays = document.array();
    ASSERT_EQ(plays.size(), 4);
    const QJsonObject mid = plays[1].toObject();
    EXPECT_EQ(mid["artist"].toString(), QStringLiteral("Mid, \"quoted\""));
    EXPECT_EQ(mid["title"].toString(), QStringLiteral("Two\nlines"));
    EXPECT_EQ(mid["album"].toString(), QString::fromUtf8("Alb\xef\xbf\xbd"));
    EXPECT_EQ(mid["player"].toString(), QStringLiteral("VLC"));
    EXPECT_EQ(mid["outcome"].toString(), QStringLiteral("waiting"));
    EXPECT_TRUE(mid["submitted"].isNull());
    EXPECT_EQ(plays[0].toObject()["submitted"].toString().toStdString(),
              CHistoryExport::UtcText(LocalTime(2023, 11, 10, 13)));

    // A date as --until takes that whole day in; the bounds are local.
    const CTestProcess::CResult csv = Run({"--csv", "--since", "2023-11-14", "--until", "2023-11-16"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::string expected =
        Expected({LocalTime(2023, 11, 14), LocalTime(2023, 11, 17), ""}, CHistoryExport::EFormat::kCsv);
    EXPECT_EQ(csv.out, expected);
    EXPECT_EQ(csv.out, "start,artist,title,album,length,player,plugin,outcome,submitted\n" +
                           CHistoryExport::UtcText(mPlays[1].start) +
                           ",\"Mid, \"\"quoted\"\"\",\"Two\nlines\",Alb\xef\xbf\xbd,31,VLC,"
                           "org.mpris.MediaPlayer2.vlc,waiting,\n" +
                           CHistoryExport::UtcText(mPlays[2].start) + ",Late,Three,X,29,,demo,too-short,\n");

    const CTestProcess::CResult timed = Run({"--since", "2023-11-16 22:59", "--until", "2023-11-16T23:00:01"});
    ASSERT_EQ(timed.exitCode, 0) << timed.err;
    EXPECT_EQ(timed.out, Expected({LocalTime(2023, 11, 16, 22) + 59 * 60, LocalTime(2023, 11, 16, 23) + 1, ""},
                                  CHistoryExport::EFormat::kCsv));
    EXPECT_NE(timed.out.find("Late"), std::string::npos);

    // Somebody with no history yet gets an empty list, not an error.
    CUser bob;
    bob.name = "bob";
    mSettings.AddUser(bob);
    mSettings.Save();
    const CTestProcess::CResult empty = Run({"--user", "bob", "--json"});
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_EQ(empty.out, "[]\n");
}

struct BadArguments {
    std::vector<std::string> args;
    const char* says;
};

TEST_F(HistoryCommandTest, BadArgumentsExitTwoWithAReasonAndPrintNothing) {
    const BadArguments cases[] = {
        {{"--csv", "--json"}, "--csv and --json exclude each other"},
        {{"--since"}, "--since needs a value"},
        {{"--since", "yesterday"}, "--since: 'yesterday' is not a date"},
        {{"--until", "2023-13-01"}, "--until: '2023-13-01' is not a date"},
        {{"--since", "2023-02-30"}, "is not a date"},
        {{"--since", "2023-11-14 25:00"}, "is not a date"},
        {{"--since", "2023-11-20", "--until", "2023-11-10"}, "--since must come before --until"},
        {{"--user", ""}, "--user needs a name"},
        {{"--jsno"}, "unknown argument '--jsno'"},
    };
    for (const BadArguments& c : cases) {
        SCOPED_TRACE(c.says);
        const CTestProcess::CResult result = Run(c.args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("vortlebox-history: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    }
    const CTestProcess::CResult unknownUser = Run({"--user", "nobody-here"});
    EXPECT_EQ(unknownUser.exitCode, 1);
    EXPECT_EQ(unknownUser.err, "vortlebox-history: there is no user 'nobody-here'\n");
    const CTestProcess::CResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--since"), std::string::npos);
}

} // namespace
