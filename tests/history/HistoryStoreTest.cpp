// What the window and the command ask of a history file.
#include "history/HistoryStore.h"

#include "tests/history/LocalTime.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using CPlay = CHistoryStore::CPlay;
using CFilter = CHistoryStore::CFilter;

class HistoryQueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        mStore = CHistoryStore::OpenForWriting(mEnv.Root() + "/plays.db");
        mStore->Begin();
        for (const CPlay& play : mPlays)
            mStore->Insert(play);
        mStore->Commit();
    }

    static CPlay Play(std::time_t start, const char* artist, const char* title, const char* album,
                      EPlayOutcome outcome) {
        CPlay play;
        play.start = start;
        play.artist = artist;
        play.title = title;
        play.album = album;
        play.outcome = outcome;
        return play;
    }

    CTestEnvironment mEnv;
    std::unique_ptr<CHistoryStore> mStore;
    // Monday 13 November 2023 to Friday 1 December, local time.
    const std::vector<CPlay> mPlays = {
        Play(LocalTime(2023, 11, 13, 0, 30), "ABBA", "SOS", "Greatest", EPlayOutcome::kSubmitted),
        Play(LocalTime(2023, 11, 19, 23, 30), "abba", "Waterloo", "100% Hits", EPlayOutcome::kTooShort),
        Play(LocalTime(2023, 11, 20, 0, 10), "Mirror", "a_b", "1000 Hits", EPlayOutcome::kMirror),
        Play(LocalTime(2023, 11, 20, 0, 10), "Blur", "Song 2", "Blur", EPlayOutcome::kWaiting),
        Play(LocalTime(2023, 12, 1, 12), "Cher", "Believe", "a\\b", EPlayOutcome::kIgnoredPlayer),
    };
};

TEST_F(HistoryQueryTest, SearchMatchesArtistTitleOrAlbumLiterally) {
    const std::map<std::string, int> cases = {
        {"", 5},       {"abba", 2}, {"WATERLOO", 1}, {"100%", 1}, {"% Hits", 1},
        {"a_b", 1},    {"_", 1},    {"a\\b", 1},     {"blur", 1}, {"nothing", 0},
    };
    for (const auto& [text, count] : cases) {
        SCOPED_TRACE(text);
        CFilter filter;
        filter.search = text;
        EXPECT_EQ(mStore->Count(filter), count);
        EXPECT_EQ(mStore->Page(filter, 0, 10).size(), static_cast<std::size_t>(count));
    }
    // Bounds take the start in, the end out; newest first, equal starts by
    // the order heard.
    const CFilter november{LocalTime(2023, 11, 19, 23, 30), LocalTime(2023, 12, 1, 12), ""};
    const std::vector<CPlay> page = mStore->Page(november, 0, 10);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].title, "Song 2");
    EXPECT_EQ(page[1].title, "a_b");
    EXPECT_EQ(page[2].title, "Waterloo");
    EXPECT_EQ(mStore->Page(november, 2, 10).size(), 1u);
}

TEST_F(HistoryQueryTest, BucketsFollowTheLocalCalendarAndCountWhatWasHeard) {
    using Counts = std::map<std::string, std::pair<int, int>>;
    const auto counts = [&](CHistoryStore::EBucket bucket) {
        Counts result;
        for (const auto& [key, count] : mStore->CountsPer(bucket, {}))
            if (count.heard > 0)
                result[key] = {count.counted, count.heard};
        return result;
    };
    // The mirror and the ignored player are no listening of the person's.
    EXPECT_EQ(counts(CHistoryStore::EBucket::kDay),
              (Counts{{"2023-11-13", {1, 1}}, {"2023-11-19", {0, 1}}, {"2023-11-20", {1, 1}}}));
    // Weeks begin on Monday: Sunday night is the week before.
    EXPECT_EQ(counts(CHistoryStore::EBucket::kWeek), (Counts{{"2023-11-13", {1, 2}}, {"2023-11-20", {1, 1}}}));
    EXPECT_EQ(counts(CHistoryStore::EBucket::kMonth), (Counts{{"2023-11-01", {2, 3}}}));

    // Artists differing in case are one; the most heard first.
    EXPECT_EQ(mStore->TopArtists({}, 5), (std::vector<std::pair<std::string, int>>{{"ABBA", 2}, {"Blur", 1}}));
    EXPECT_EQ(mStore->TopArtists({}, 1).size(), 1u);
    EXPECT_EQ(mStore->TopArtists({LocalTime(2023, 11, 20), std::nullopt, ""}, 5),
              (std::vector<std::pair<std::string, int>>{{"Blur", 1}}));
}

} // namespace
