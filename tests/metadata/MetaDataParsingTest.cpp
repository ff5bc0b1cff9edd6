#include "metadata/MetaDataGetter.h"

#include "settings/RegistryUtils.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

// --- Quoted fields --------------------------------------------------------

struct SSplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> fields;
};

class SplitQuotedFieldsTest : public ::testing::TestWithParam<SSplitCase> {};

TEST_P(SplitQuotedFieldsTest, SplitsTheAnswer) {
    EXPECT_EQ(CMetaDataGetter::SplitQuotedFields(GetParam().text), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SplitQuotedFieldsTest,
    ::testing::Values(SSplitCase{"TwoFields", "\"one\",\"two\"", {"one", "two"}},
                      SSplitCase{"DoubledQuoteAndTextBetween",
                                 "\"say \"\"hi\"\" now\" junk, more\n\"second\"",
                                 {"say \"hi\" now", "second"}},
                      SSplitCase{"DoubledQuoteAtTheEnd", "\"a\"\"\"", {"a\""}},
                      SSplitCase{"EmptyField", "\"\"", {""}},
                      SSplitCase{"UnterminatedFieldDropped", "\"kept\" \"lost", {"kept"}},
                      SSplitCase{"QuoteIsLastCharacter", "\"kept\" \"", {"kept"}},
                      SSplitCase{"NoQuotes", "no fields here", {}}, SSplitCase{"Empty", "", {}},
                      SSplitCase{"LineBreaksInsideAField", "\"line one\nline two\"", {"line one\nline two"}},
                      SSplitCase{"FieldsOnSeparateLines",
                                 "\"a\"\n\"b\"\n\"c\"\n\"d\"\n\"e\"\n",
                                 {"a", "b", "c", "d", "e"}}),
    [](const ::testing::TestParamInfo<SSplitCase>& info) { return std::string(info.param.name); });

// --- Bracketed spans ------------------------------------------------------

TEST(StripBracketsTest, RemovesEverySpanWithoutNesting) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"A [b]bold[/b] word", "A bold word"},
        {"[[]x]", "x]"}, // the first "]" closes the first "["
        {"[a][b]c[d]", "c"},
        {"no markup", "no markup"},
        {"open [ only", "open [ only"},
        {"ends in [", "ends in ["},
        {"close ] then [open", "close ] then [open"},
        {"[url=http://x.invalid]link[/url].", "link."},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(CMetaDataGetter::StripBrackets(text), expected) << text;
}

// --- Files of the cache ---------------------------------------------------

class MetaDataFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "WebServiceHost", "service.test:8081");
        CRegistryUtils::WriteString(key, "WebSiteHost", "site.test:8082");
    }

    std::string CacheDir() const { return env.DataHome() + "/Fenwave/Cache/"; }

    CTestEnvironment env;
    CLogCapture log;
};

TEST_F(MetaDataFilesTest, CacheFileNameDropsTheSchemeAndFlattensTheUrl) {
    const std::string file =
        CMetaDataGetter::GetCacheFileName("http://127.0.0.1:9/vbx/metadata.php?artist=a+b&track=c&album=d");
    EXPECT_EQ(file, CacheDir() + "127.0.0.1:9_vbx_metadata.php_artist=a+b&track=c&album=d");
    struct stat info {};
    ASSERT_EQ(stat(CacheDir().c_str(), &info), 0) << "the cache folder is created";
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(CMetaDataGetter::GetCacheFileName("no/scheme?x"), CacheDir() + "no_scheme_x");
}

TEST_F(MetaDataFilesTest, LongCacheFileNamesAreCutAndMayCollide) {
    const std::string base = "http://pics.test/" + std::string(300, 'p');
    const std::string first = CMetaDataGetter::GetCacheFileName(base + "/one.jpg");
    const std::string second = CMetaDataGetter::GetCacheFileName(base + "/two.jpg");
    EXPECT_EQ(first.size(), CMetaDataGetter::kMaxCachePath);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.rfind(CacheDir() + "pics.test_ppp", 0), 0u);
}

TEST_F(MetaDataFilesTest, VeryDeepCacheFolderIsNeverCutInto) {
    const std::string deep = env.Root() + "/" + std::string(120, 'd') + "/" + std::string(120, 'e');
    env.Env().Set("XDG_DATA_HOME", deep);
    const std::string file = CMetaDataGetter::GetCacheFileName("http://pics.test/" + std::string(300, 'q'));
    const std::string dir = deep + "/Fenwave/Cache/";
    ASSERT_GT(dir.size(), CMetaDataGetter::kMaxCachePath);
    EXPECT_EQ(file.rfind(dir + "pics.test_qqq", 0), 0u) << file;
    EXPECT_LE(file.size() - dir.size(), 255u);
    WriteFile(file, "usable");
    EXPECT_EQ(ReadFile(file), "usable");
}

TEST_F(MetaDataFilesTest, ReadFileIntoRefusesMissingAndEmptyFiles) {
    CTempDir dir;
    std::string text = "before";
    EXPECT_FALSE(CMetaDataGetter::ReadFileInto(dir.File("missing"), text));
    EXPECT_TRUE(log.Contains("Couldn't open metadata file '" + dir.File("missing") + "'.\n"));
    WriteFile(dir.File("empty"), "");
    EXPECT_FALSE(CMetaDataGetter::ReadFileInto(dir.File("empty"), text));
    EXPECT_TRUE(log.Contains("No metadata in file '" + dir.File("empty") + "'.\n"));
    EXPECT_EQ(text, "before");
    WriteFile(dir.File("full"), std::string("a\0b", 3));
    ASSERT_TRUE(CMetaDataGetter::ReadFileInto(dir.File("full"), text));
    EXPECT_EQ(text, std::string("a\0b", 3));
}

// --- Parsing the answers --------------------------------------------------

struct STrackCase {
    const char* name;
    std::string answer;
    std::string artist, track, album, tags, albumPicUrl;
};

class ParseTrackResponseTest : public MetaDataFilesTest, public ::testing::WithParamInterface<STrackCase> {};

TEST_P(ParseTrackResponseTest, FillsTheRecordOnlyFromFiveFields) {
    const STrackCase& c = GetParam();
    CTempDir dir;
    WriteFile(dir.File("answer"), c.answer);
    CTrackMetaData record;
    record.SetArtist("Player Artist");
    record.SetTrack("Player Track");
    record.SetAlbum("Player Album");
    CMetaDataGetter getter;
    getter.ParseTrackResponse(dir.File("answer"), record);
    EXPECT_EQ(record.GetArtist(), c.artist);
    EXPECT_EQ(record.GetTrack(), c.track);
    EXPECT_EQ(record.GetAlbum(), c.album);
    EXPECT_EQ(record.GetTags(), c.tags);
    EXPECT_EQ(record.GetAlbumPicUrl(), c.albumPicUrl);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ParseTrackResponseTest,
    ::testing::Values(STrackCase{"FiveFields",
                                 "\"The Band\"\n\"Song\"\n\"LP\"\n\"Rock, INDIE Pop\"\n\"http://p/a.jpg\"\n",
                                 "The Band", "Song", "LP", "rock, indie pop", "http://p/a.jpg"},
                      STrackCase{"DoubledQuoteAndTextBetween",
                                 "\"The \"\"Band\"\"\" ; \"Song\" , \"LP\" x \"\" y \"\"", "The \"Band\"",
                                 "Song", "LP", "", ""},
                      STrackCase{"FourFields", "\"A\" \"T\" \"B\" \"tags\"", "Player Artist", "Player Track",
                                 "Player Album", "", ""},
                      STrackCase{"SixFields", "\"A\" \"T\" \"B\" \"tags\" \"u\" \"extra\"", "Player Artist",
                                 "Player Track", "Player Album", "", ""},
                      STrackCase{"Empty", "", "Player Artist", "Player Track", "Player Album", "", ""}),
    [](const ::testing::TestParamInfo<STrackCase>& info) { return std::string(info.param.name); });

TEST_F(MetaDataFilesTest, NonAsciiTagsAreLoweredOnlyInTheirAsciiLetters) {
    CTempDir dir;
    WriteFile(dir.File("answer"), "\"a\" \"t\" \"b\" \"\xc3\x89lectro ROCK\" \"u\"");
    CTrackMetaData record;
    CMetaDataGetter getter;
    getter.ParseTrackResponse(dir.File("answer"), record);
    EXPECT_EQ(record.GetTags(), "\xc3\x89lectro rock");
}

TEST_F(MetaDataFilesTest, WrongNumberOfFieldsIsLoggedWithTheAnswer) {
    CTempDir dir;
    WriteFile(dir.File("answer"), "\"only\" \"three\" \"fields\"");
    CTrackMetaData record;
    CMetaDataGetter getter;
    getter.ParseTrackResponse(dir.File("answer"), record);
    getter.ParseArtistResponse(dir.File("answer"), record);
    const std::string expected = "The metadata response didn't contain the correct number of entries. Resp: "
                                 "\"only\" \"three\" \"fields\"\n";
    const std::string text = log.Text();
    const std::size_t first = text.find(expected);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(expected, first + 1), std::string::npos) << "both parsers log it";
    EXPECT_TRUE(record.GetSimilar().empty());
}

TEST_F(MetaDataFilesTest, ArtistAnswerFillsSimilarDescriptionLinkAndPicture) {
    CTempDir dir;
    WriteFile(dir.File("answer"),
              "\"Ignored Name\"\n\"X, Y\"\n\"They play [b]loud[/b] music.\"\n\"http://p/ar.jpg\"");
    CTrackMetaData record;
    record.SetArtist("Simon & Garfunkel");
    CMetaDataGetter getter;
    getter.ParseArtistResponse(dir.File("answer"), record);
    EXPECT_EQ(record.GetArtist(), "Simon & Garfunkel");
    EXPECT_EQ(record.GetSimilar(), "X, Y");
    EXPECT_EQ(record.GetDescription(), "They play loud music.");
    EXPECT_EQ(record.GetWikiLink(), "http://site.test:8082/music/Simon+%26+Garfunkel/+wiki");
    EXPECT_EQ(record.GetArtistPicUrl(), "http://p/ar.jpg");
}

TEST_F(MetaDataFilesTest, QueryAddressesAndNoCoverUrlComeFromTheSettings) {
    CMetaDataGetter getter;
    EXPECT_EQ(getter.TrackQueryAddress(), "http://service.test:8081/vbx/metadata.php?");
    EXPECT_EQ(getter.ArtistQueryAddress(), "http://service.test:8081/vbx/artistmetadata.php?");
    EXPECT_EQ(getter.NoCoverUrl(), "http://service.test:8081/images/no_cover.jpg");

    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", false);
    CRegistryUtils::WriteString(key, "NoCoverUrl", "http://covers.test/none.gif");
    CMetaDataGetter configured;
    EXPECT_EQ(configured.NoCoverUrl(), "http://covers.test/none.gif");
}

TEST_F(MetaDataFilesTest, ClearEmptiesEveryField) {
    CTrackMetaData record;
    record.SetArtist("a");
    record.SetTrack("b");
    record.SetAlbum("c");
    record.SetTags("d");
    record.SetSimilar("e");
    record.SetDescription("f");
    record.SetWikiLink("g");
    record.SetAlbumPicUrl("h");
    record.SetArtistPicUrl("i");
    record.SetAlbumPicFile("j");
    record.SetArtistPicFile("k");
    record.Clear();
    for (const std::string* field :
         {&record.GetArtist(), &record.GetTrack(), &record.GetAlbum(), &record.GetTags(),
          &record.GetSimilar(), &record.GetDescription(), &record.GetWikiLink(), &record.GetAlbumPicUrl(),
          &record.GetArtistPicUrl(), &record.GetAlbumPicFile(), &record.GetArtistPicFile()})
        EXPECT_TRUE(field->empty());
}

TEST(PicturePathTest, FindsTheShippedPictures) {
    for (const char* name : {CMetaDataGetter::kNoAlbumPicture, CMetaDataGetter::kNoArtistPicture}) {
        const std::string path = CTrackMetaData::PicturePath(name);
        ASSERT_EQ(path.front(), '/') << name;
        const std::string bytes = ReadFile(path);
        ASSERT_GT(bytes.size(), 4u) << path;
        EXPECT_EQ(bytes.substr(0, 3), "\xff\xd8\xff") << "a JPEG picture: " << path;
        EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9") << path;
    }
    EXPECT_EQ(CTrackMetaData::PicturePath("/var/cache/x.jpg"), "/var/cache/x.jpg");
    EXPECT_EQ(CTrackMetaData::PicturePath("not_shipped.jpg"), "not_shipped.jpg");
    EXPECT_EQ(CTrackMetaData::PicturePath(""), "");
}

} // namespace
