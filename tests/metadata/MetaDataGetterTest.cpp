#include "app/FormEncode.h"
#include "metadata/MetaDataGetter.h"

#include "settings/RegistryUtils.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "update/ConnectionException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ERole = CFenwaveSimulator::ERole;
using EMode = CFenwaveSimulator::EMode;

class MetaDataGetterTest : public ::testing::Test {
protected:
    void SetUp() override {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "WebServiceHost", sim.WebHost());
        CRegistryUtils::WriteString(key, "WebSiteHost", "site.test");
    }

    static CTrackMetaData Playing(const std::string& artist, const std::string& track,
                                  const std::string& album) {
        CTrackMetaData record;
        record.SetArtist(artist);
        record.SetTrack(track);
        record.SetAlbum(album);
        return record;
    }

    std::vector<std::string> WebTargets() {
        std::vector<std::string> targets;
        for (const CFenwaveSimulator::CRequest& request : sim.Requests(ERole::Web))
            targets.push_back(request.target);
        return targets;
    }

    std::size_t PictureRequests() {
        const std::vector<std::string> targets = WebTargets();
        return static_cast<std::size_t>(std::count_if(
            targets.begin(), targets.end(), [](const std::string& t) { return t.rfind("/pics/", 0) == 0; }));
    }

    /// Waits until the log holds the text; false after a generous bound.
    bool WaitForLog(const std::string& text) {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!log.Contains(text)) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    std::string CacheDir() const { return env.DataHome() + "/Fenwave/Cache/"; }

    CTestEnvironment env;
    CLogCapture log;
    CFenwaveSimulator sim;
};

TEST_F(MetaDataGetterTest, FetchesTrackAndArtistAndCachesThePictures) {
    // Whatever the umask would allow.
    const mode_t umaskBefore = ::umask(022);
    CMetaDataGetter getter;
    CTrackMetaData record = Playing("Sim Artist", "Song One", "First Album");

    ASSERT_TRUE(getter.GetMetaData(record));
    ::umask(umaskBefore);

    EXPECT_EQ(record.GetArtist(), "Sim Artist");
    EXPECT_EQ(record.GetTrack(), "Song One");
    EXPECT_EQ(record.GetAlbum(), "First Album");
    EXPECT_EQ(record.GetTags(), "rock, simulated tags");
    EXPECT_EQ(record.GetSimilar(), "Similar One, Similar Two");
    EXPECT_EQ(record.GetDescription(), "Sim Artist is a simulated artist link.");
    EXPECT_EQ(record.GetWikiLink(), "http://site.test/music/Sim+Artist/+wiki");
    EXPECT_EQ(record.GetAlbumPicUrl().rfind("http://" + sim.WebHost() + "/pics/album-", 0), 0u);
    EXPECT_EQ(record.GetArtistPicUrl().rfind("http://" + sim.WebHost() + "/pics/artist-", 0), 0u);
    EXPECT_EQ(record.GetAlbumPicFile(), CMetaDataGetter::GetCacheFileName(record.GetAlbumPicUrl()));
    EXPECT_EQ(record.GetArtistPicFile(), CMetaDataGetter::GetCacheFileName(record.GetArtistPicUrl()));
    EXPECT_EQ(record.GetAlbumPicFile().rfind(CacheDir(), 0), 0u);
    EXPECT_EQ(ReadFile(record.GetAlbumPicFile()).substr(0, 2), "\xff\xd8");
    EXPECT_EQ(ReadFile(record.GetArtistPicFile()).substr(0, 2), "\xff\xd8");

    const std::vector<std::string> targets = WebTargets();
    ASSERT_EQ(targets.size(), 4u) << ::testing::PrintToString(targets);
    EXPECT_EQ(targets[0], "/vbx/metadata.php?artist=Sim+Artist&track=Song+One&album=First+Album");
    EXPECT_EQ(targets[1], "/vbx/artistmetadata.php?artist=Sim+Artist");
    EXPECT_EQ(targets[2].rfind("/pics/album-", 0), 0u);
    EXPECT_EQ(targets[3].rfind("/pics/artist-", 0), 0u);
    EXPECT_EQ(
        ReadFile(CMetaDataGetter::GetCacheFileName("http://" + sim.WebHost() + targets[0])).substr(0, 12),
        "\"Sim Artist\"");
    EXPECT_TRUE(log.Contains("Requesting track metadata for Sim Artist - Song One [First Album]\n"));
    EXPECT_TRUE(log.Contains("Requesting artist metadata for Sim Artist\n"));
    EXPECT_TRUE(
        log.Contains("Will download " + record.GetAlbumPicUrl() + " to " + record.GetAlbumPicFile() + "\n"));

    // The names spell out what was played: every folder and file the
    // program made is its owner's alone.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.DataHome() + "/Fenwave")) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        const mode_t expected = S_ISDIR(st.st_mode) ? 0700 : 0600;
        EXPECT_EQ(st.st_mode & 0777, expected) << entry.path();
        files += S_ISREG(st.st_mode) ? 1 : 0;
    }
    EXPECT_EQ(files, 4u) << "two answers and two pictures";
}

TEST_F(MetaDataGetterTest, SecondTrackOfTheAlbumReusesTheCachedPictures) {
    CTrackMetaData first = Playing("Sim Artist", "Song One", "First Album");
    {
        CMetaDataGetter getter;
        ASSERT_TRUE(getter.GetMetaData(first));
    }
    ASSERT_EQ(PictureRequests(), 2u);

    CMetaDataGetter later; // a fresh getter: no rate-limit wait, same cache
    CTrackMetaData second = Playing("Sim Artist", "Song Two", "First Album");
    ASSERT_TRUE(later.GetMetaData(second));

    EXPECT_EQ(second.GetTrack(), "Song Two");
    EXPECT_EQ(second.GetAlbumPicFile(), first.GetAlbumPicFile());
    EXPECT_EQ(second.GetArtistPicFile(), first.GetArtistPicFile());
    EXPECT_EQ(PictureRequests(), 2u) << ::testing::PrintToString(WebTargets());
    EXPECT_EQ(WebTargets().size(), 6u) << "the answers themselves are fetched again";
}

struct SAnswerCase {
    const char* name;
    std::vector<std::string> trackFields; // served as the track answer
    std::string rawAnswer;                // served instead when not empty
    std::string artist, track, album, tags;
};

class MetaDataAnswerTest : public MetaDataGetterTest, public ::testing::WithParamInterface<SAnswerCase> {};

TEST_P(MetaDataAnswerTest, TrackAnswerDecidesWhatTheRecordShows) {
    const SAnswerCase& c = GetParam();
    sim.SetMetadata("/vbx/metadata.php",
                    c.rawAnswer.empty() ? CFenwaveSimulator::QuotedFields(c.trackFields) : c.rawAnswer);
    CMetaDataGetter getter;
    CTrackMetaData record = Playing("Player Artist", "Player Track", "Player Album");

    ASSERT_TRUE(getter.GetMetaData(record));

    EXPECT_EQ(record.GetArtist(), c.artist);
    EXPECT_EQ(record.GetTrack(), c.track);
    EXPECT_EQ(record.GetAlbum(), c.album);
    EXPECT_EQ(record.GetTags(), c.tags);
    const std::vector<std::string> targets = WebTargets();
    ASSERT_GE(targets.size(), 2u);
    EXPECT_EQ(targets[1], "/vbx/artistmetadata.php?artist=" + formEncode(c.artist));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MetaDataAnswerTest,
    ::testing::Values(
        SAnswerCase{"FourFieldsKeepThePlayersTexts",
                    {"Other", "Fields", "Four", "tags"},
                    "",
                    "Player Artist",
                    "Player Track",
                    "Player Album",
                    ""},
        SAnswerCase{"DoubledQuoteAndTextBetween",
                    {},
                    "\"The \"\"Quoted\"\" Band\" garbage \"Track\" ,, \"Album\"\n\"POP\" ignored \"\"",
                    "The \"Quoted\" Band",
                    "Track",
                    "Album",
                    "pop"},
        SAnswerCase{"EmptyAnswer", {}, " ", "Player Artist", "Player Track", "Player Album", ""}),
    [](const ::testing::TestParamInfo<SAnswerCase>& info) { return std::string(info.param.name); });

TEST_F(MetaDataGetterTest, MissingOrPlaceholderPicturesUseTheShippedOnes) {
    CMetaDataGetter getter;
    sim.SetMetadata("/vbx/metadata.php",
                    CFenwaveSimulator::QuotedFields({"A", "T", "B", "t", getter.NoCoverUrl()}));
    sim.SetMetadata("/vbx/artistmetadata.php", CFenwaveSimulator::QuotedFields({"A", "s", "d", ""}));
    CTrackMetaData record = Playing("A", "T", "B");

    ASSERT_TRUE(getter.GetMetaData(record));

    EXPECT_EQ(record.GetAlbumPicFile(), "no_album.jpg");
    EXPECT_EQ(record.GetArtistPicFile(), "no_artist.jpg");
    EXPECT_EQ(PictureRequests(), 0u);
    EXPECT_EQ(WebTargets().size(), 2u);
}

TEST_F(MetaDataGetterTest, SecondRequestWaitsAndCancelEndsTheWait) {
    CMetaDataGetter getter;
    CTrackMetaData first = Playing("Sim Artist", "Song One", "First Album");
    ASSERT_TRUE(getter.GetMetaData(first));
    const std::size_t requestsBefore = WebTargets().size();

    CTrackMetaData second = Playing("Sim Artist", "Song Two", "First Album");
    std::optional<bool> result;
    std::thread worker([&] { result = getter.GetMetaData(second); });
    const bool waiting = WaitForLog("Waiting for: ");
    getter.Cancel();
    worker.join();

    ASSERT_TRUE(waiting) << log.Text();
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_TRUE(log.Contains("Wait was cancelled. Returning.\n"));
    EXPECT_FALSE(log.Contains("Wait timed out. Querying.\n"));
    EXPECT_EQ(WebTargets().size(), requestsBefore) << "nothing was queried";
    EXPECT_TRUE(second.GetTags().empty());
}

// Cancels itself the moment its second request has begun.
class CSelfCancellingGetter : public CMetaDataGetter {
protected:
    void RequestStarted() override {
        if (++mRequests == 2)
            Cancel();
    }

private:
    int mRequests = 0;
};

TEST_F(MetaDataGetterTest, CancelRightAfterTheRequestBeganEndsTheWaitAtOnce) {
    CSelfCancellingGetter getter;
    // A wait the test could never sit out.
    getter.SetRequestSpacing(std::chrono::hours(1));
    CTrackMetaData first = Playing("Sim Artist", "Song One", "First Album");
    ASSERT_TRUE(getter.GetMetaData(first));
    const std::size_t requestsBefore = WebTargets().size();

    CTrackMetaData second = Playing("Sim Artist", "Song Two", "First Album");
    auto result = std::async(std::launch::async, [&] { return getter.GetMetaData(second); });
    const bool ended = result.wait_for(20s) == std::future_status::ready;
    if (!ended)
        getter.Cancel();
    EXPECT_TRUE(ended) << "the cancel was lost";
    EXPECT_FALSE(result.get());
    EXPECT_EQ(WebTargets().size(), requestsBefore) << "nothing was queried";
}

TEST_F(MetaDataGetterTest, CancelBeforeTheRequestHasNoEffect) {
    CMetaDataGetter getter;
    getter.Cancel();
    CTrackMetaData record = Playing("Sim Artist", "Song One", "First Album");
    EXPECT_TRUE(getter.GetMetaData(record));
    EXPECT_EQ(record.GetTags(), "rock, simulated tags");
}

struct SStallCase {
    const char* name;
    const char* stalledPrefix;
    std::size_t requestsBeforeStall;
};

class MetaDataCancelTest : public MetaDataGetterTest, public ::testing::WithParamInterface<SStallCase> {};

TEST_P(MetaDataCancelTest, CancelDuringADownloadReturnsFalse) {
    sim.SetBehaviour(ERole::Web, GetParam().stalledPrefix, {EMode::Stall});
    CMetaDataGetter getter;
    CTrackMetaData record = Playing("Sim Artist", "Song One", "First Album");
    std::optional<bool> result;
    std::thread worker([&] {
        try {
            result = getter.GetMetaData(record);
        } catch (const CConnectionException& e) {
            ADD_FAILURE() << "CConnectionException: " << e.what();
        }
    });
    const bool stalled = sim.WaitForRequests(ERole::Web, GetParam().requestsBeforeStall + 1);
    getter.Cancel();
    worker.join();

    ASSERT_TRUE(stalled);
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_TRUE(record.GetAlbumPicFile().empty()) << "a cancelled picture leaves its field empty";
    EXPECT_TRUE(record.GetArtistPicFile().empty());
}

INSTANTIATE_TEST_SUITE_P(Stalls, MetaDataCancelTest,
                         ::testing::Values(SStallCase{"TrackAnswer", "/vbx/metadata.php", 0},
                                           SStallCase{"AlbumPicture", "/pics/album-", 2}),
                         [](const ::testing::TestParamInfo<SStallCase>& info) {
                             return std::string(info.param.name);
                         });

struct SFailureCase {
    const char* name;
    const char* prefix;
    CFenwaveSimulator::CBehaviour behaviour;
};

class MetaDataFailureTest : public MetaDataGetterTest, public ::testing::WithParamInterface<SFailureCase> {};

TEST_P(MetaDataFailureTest, FailedDownloadThrowsWithTheDownloadersStatusText) {
    sim.SetBehaviour(ERole::Web, GetParam().prefix, GetParam().behaviour);
    CMetaDataGetter getter;
    CTrackMetaData record = Playing("Sim Artist", "Song One", "First Album");
    try {
        getter.GetMetaData(record);
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        // A refused request ends right after it was sent.
        EXPECT_STREQ(e.what(), "Sending request...");
    }
    EXPECT_TRUE(log.Contains("File downloader returned error status, throwing\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MetaDataFailureTest,
    ::testing::Values(SFailureCase{"TrackAnswerNotFound", "/vbx/metadata.php", {EMode::Status, 0, 404}},
                      SFailureCase{
                          "ArtistAnswerServerError", "/vbx/artistmetadata.php", {EMode::Status, 0, 500}},
                      SFailureCase{"PictureNotFound", "/pics/artist-", {EMode::Status, 0, 404}}),
    [](const ::testing::TestParamInfo<SFailureCase>& info) { return std::string(info.param.name); });

TEST_F(MetaDataGetterTest, UnreachableServiceThrows) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", false);
    CRegistryUtils::WriteString(key, "WebServiceHost", "127.0.0.1:1");
    CMetaDataGetter getter;
    CTrackMetaData record = Playing("A", "T", "B");
    try {
        getter.GetMetaData(record);
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        EXPECT_STREQ(e.what(), "Connecting to 127.0.0.1...");
    }
    EXPECT_EQ(record.GetArtist(), "A");
}

} // namespace
