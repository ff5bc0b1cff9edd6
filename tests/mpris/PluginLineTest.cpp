#include "settings/IgnoreList.h"
#include "mpris/PluginLine.h"
#include "player/PlayerCommand.h"
#include "player/PlayerCommandParser.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace std::string_literals;

namespace {

CMprisMetadata Track(std::string url, std::optional<std::int64_t> lengthUs = 215000000) {
    CMprisMetadata track;
    track.trackId = "/t/1";
    track.artist = "A";
    track.title = "T";
    track.url = std::move(url);
    track.lengthUs = lengthUs;
    return track;
}

// What a plug-in must send for the values a player may give, checked
// against the listener's own parser: every value comes back unchanged.
TEST(CPluginLineTest, ValuesSurviveTheListenersParserExactly) {
    CMprisMetadata track;
    track.artist = "AC&DC, Rock && Roll & Co";
    track.title = "=Equals= &&& and\ttab";
    track.album = "Line\nbreak\rand\0nul&"s;
    track.musicBrainzTrackId = "0b0f-&";
    track.url = "file:///m%C3%BCsic/a%26b%20c.mp3";
    track.lengthUs = 215400000;
    const std::string line = CPluginLine::Start("org.mpris.MediaPlayer2.x&y", track);
    CPlayerCommand command;
    CPlayerCommandParser().Parse(line, command);
    EXPECT_EQ(command.command, CPlayerCommand::START);
    EXPECT_EQ(command.fields.size(), 7u);
    const std::map<char, std::string> expected = {
        {'c', "org.mpris.MediaPlayer2.x&y"}, {'a', "AC&DC, Rock && Roll & Co"}, {'t', "=Equals= &&& and\ttab"},
        {'b', "Line break and nul&"},        {'m', "0b0f-&"},                   {'l', "215"},
        {'p', "/m\xC3\xBCsic/a&b c.mp3"}};
    for (const auto& [id, value] : expected)
        EXPECT_EQ(command.Get(id), value) << id;
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(CPluginLineTest, PathsAndLengths) {
    struct CCase {
        std::string url;
        std::optional<std::int64_t> lengthUs;
        std::string path;
        std::string length;
    };
    const std::vector<CCase> cases = {
        {"file:///music/a%20b.mp3", 215000000, "/music/a b.mp3", "215"},
        {"FILE://localhost/music/x.ogg", 29500000, "/music/x.ogg", "30"},
        {"file:///music/q.mp3?x=1#f", 29499999, "/music/q.mp3", "29"},
        {"file:///bad%zz%2", 1, "/bad%zz%2", ""},
        {"file://otherhost/share/a.mp3", 0, "file://otherhost/share/a.mp3", ""},
        {"https://example.org/watch?v=1&t=2", -1, "https://example.org/watch?v=1&t=2", ""},
        {"", 99999000000, "/t/1", "99999"},
        {"", 99999600000, "/t/1", ""},
        {"", std::nullopt, "/t/1", ""},
        {"", INT64_MAX, "/t/1", ""},
        {"", INT64_MIN, "/t/1", ""},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.url);
        const CMprisMetadata track = Track(c.url, c.lengthUs);
        EXPECT_EQ(CPluginLine::Path(track), c.path);
        EXPECT_EQ(CPluginLine::Length(track), c.length);
    }
    EXPECT_EQ(CPluginLine::Simple(CPluginLine::kPause, "p&q"), "PAUSE c=p&&q");
    EXPECT_EQ(CPluginLine::Simple(CPluginLine::kResume, "p"), "RESUME c=p");
    EXPECT_EQ(CPluginLine::Simple(CPluginLine::kStop, "p"), "STOP c=p");
}

TEST(CPluginLineTest, TracksDifferOnlyWhereBothSayDifferentThings) {
    CMprisMetadata a = Track("file:///a.mp3");
    CMprisMetadata partial;
    partial.title = "T";
    EXPECT_FALSE(partial.IsOtherTrackThan(a));
    EXPECT_FALSE(a.IsOtherTrackThan(partial));
    CMprisMetadata renamed = a;
    renamed.title = "T2";
    EXPECT_TRUE(renamed.IsOtherTrackThan(a));
    CMprisMetadata next = a;
    next.trackId = "/t/2";
    EXPECT_TRUE(next.IsOtherTrackThan(a));
    CMprisMetadata longer = a;
    longer.lengthUs = 216000000;
    EXPECT_FALSE(longer.IsOtherTrackThan(a));
    EXPECT_TRUE(a.IsCountable());
    EXPECT_FALSE(Track("", std::nullopt).IsCountable());
}

TEST(CIgnoreListTest, PatternsMatchWholeOrShortBusNames) {
    const CIgnoreList list(" firefox* ;vlc,org.mpris.MediaPlayer2.chromium.instance?\tspot[a-z]fy ");
    EXPECT_EQ(list.Patterns().size(), 4u);
    struct CCase {
        const char* name;
        bool ignored;
    };
    for (const CCase& c : std::vector<CCase>{{"org.mpris.MediaPlayer2.firefox.instance_1_5", true},
                                             {"org.mpris.MediaPlayer2.firefox", true},
                                             {"org.mpris.MediaPlayer2.vlc", true},
                                             {"org.mpris.MediaPlayer2.vlc.instance7", true},
                                             {"org.mpris.MediaPlayer2.chromium.instance3", true},
                                             {"org.mpris.MediaPlayer2.chromium.instance33", false},
                                             {"org.mpris.MediaPlayer2.spotify", true},
                                             {"org.mpris.MediaPlayer2.Firefox", false},
                                             {"org.mpris.MediaPlayer2.mpv", false}})
        EXPECT_EQ(list.Ignores(c.name), c.ignored) << c.name;
    EXPECT_FALSE(CIgnoreList("").Ignores("org.mpris.MediaPlayer2.mpv"));
}

} // namespace
