#include "player/Track.h"

#include "app/EncodingUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string Body(const Track& track) {
    std::ostringstream out;
    EXPECT_TRUE(track.Write(out));
    return out.str();
}

// The text stored in a field: the bytes before the first NUL, and every byte
// after it up to the end of the field must be NUL.
std::string Field(const std::string& body, size_t offset, size_t size) {
    const std::string field = body.substr(offset, size);
    const size_t nul = field.find('\0');
    EXPECT_NE(nul, std::string::npos) << "field at " << offset << " not terminated";
    if (nul == std::string::npos)
        return field;
    EXPECT_EQ(field.find_first_not_of('\0', nul), std::string::npos) << "bytes after the NUL at " << offset;
    return field.substr(0, nul);
}

Track Made(const std::string& artist, const std::string& title, const std::string& lengthText,
           const std::string& path = "/m/a.mp3") {
    Track track;
    track.Set(artist, title, "Album", lengthText, path, "id");
    return track;
}

// Sets the ANSI code page for one test and goes back to the locale's.
class CCodePage {
public:
    explicit CCodePage(const std::string& name) { CEncodingUtils::SetAnsiCodePage(name); }
    ~CCodePage() { CEncodingUtils::SetAnsiCodePage(""); }
};

} // namespace

TEST(TrackTest, NewRecordIsAllZero) {
    Track track;
    EXPECT_EQ(Body(track), std::string(Track::BodySize, '\0'));
    EXPECT_FALSE(track.IsValid(false));
}

TEST(TrackTest, BodyLayoutByteForByte) {
    struct Case {
        int32_t seconds;
        std::string text;
        std::string littleEndian;
    } cases[] = {
        {1700000000, "2023-11-14 22:13:20", std::string("\x00\xF1\x53\x65", 4)},
        {0, "1970-01-01 00:00:00", std::string(4, '\0')},
        {-2, "1969-12-31 23:59:58", "\xFE\xFF\xFF\xFF"},
        {0x7FFFFFFF, "2038-01-19 03:14:07", "\xFF\xFF\xFF\x7F"},
    };
    for (const auto& c : cases) {
        Track track;
        track.Set("The Artist", "A Title", "An Album", "215", "/music/dir/song.flac", "mbid-42");
        track.SetStartTime(c.seconds);
        const std::string body = Body(track);
        ASSERT_EQ(body.size(), 807u);
        EXPECT_EQ(Field(body, 0, 128), "The Artist");
        EXPECT_EQ(Field(body, 128, 128), "A Title");
        EXPECT_EQ(Field(body, 256, 128), "An Album");
        EXPECT_EQ(Field(body, 384, 128), "mbid-42");
        EXPECT_EQ(Field(body, 512, 20), c.text) << c.seconds;
        EXPECT_EQ(body.substr(532, 4), c.littleEndian) << c.seconds;
        EXPECT_EQ(Field(body, 536, 6), "215");
        EXPECT_EQ(Field(body, 542, 260), "/music/dir/song.flac");
        EXPECT_EQ(Field(body, 802, 5), "FLAC");
        EXPECT_EQ(track.GetStartTime(), c.seconds);
        EXPECT_EQ(track.GetStartTimeText(), c.text);
    }
}

TEST(TrackTest, StampStartTimeIsNow) {
    Track track;
    const auto before = static_cast<int32_t>(std::time(nullptr));
    track.StampStartTime();
    const auto after = static_cast<int32_t>(std::time(nullptr));
    EXPECT_GE(track.GetStartTime(), before);
    EXPECT_LE(track.GetStartTime(), after);
    Track expected;
    expected.SetStartTime(track.GetStartTime());
    EXPECT_EQ(track.GetStartTimeText(), expected.GetStartTimeText());
    EXPECT_EQ(track.GetStartTimeText().size(), 19u);
}

TEST(TrackTest, Extension) {
    struct Case {
        std::string previousPath;
        std::string path;
        std::string extension;
    } cases[] = {
        {"", "C:\\Music\\song.flac", "FLAC"},
        {"", "/music/song.mpeg4", "MPEG"},
        {"", "/music/song.Mp3", "MP3"},
        {"/a/b.flac", "/music/noextension", "FLAC"},
        {"/a/b.ogg", ".hidden", "OGG"},   // the first byte is not examined
        {"/a/b.ogg", "a.", ""},           // a final "." gives an empty extension
        {"/a/b.flac", "/x/y.mp3", "MP3"}, // a shorter one leaves no rest behind
        {"",
         "/m/a.\xC3\xA4"
         "bcd",
         "\xC3\xA4"
         "BC"},                          // only ASCII letters are upper-cased
        {"", "/m/a.abc\xC3\xA4", "ABC"}, // no half character
        {"", "/m.dir/file", "DIR/"},
    };
    for (const auto& c : cases) {
        Track track;
        track.Set("a", "t", "b", "100", c.previousPath, "");
        track.Set("a", "t", "b", "100", c.path, "");
        EXPECT_EQ(track.GetExtension(), c.extension) << c.previousPath << " then " << c.path;
        EXPECT_EQ(Field(Body(track), 802, 5), c.extension) << c.path;
    }
}

TEST(TrackTest, TextsAreCutToTheirFields) {
    const std::string e = "\xC3\xA9";            // two bytes
    const std::string clef = "\xF0\x9D\x84\x9E"; // four bytes
    struct Case {
        std::string title;
        std::string lengthText;
        std::string path;
        std::string storedTitle;
        std::string storedLength;
        std::string storedPath;
    } cases[] = {
        {std::string(200, 'x'), "123456", std::string(300, 'p'), std::string(127, 'x'), "12345",
         std::string(259, 'p')},
        {std::string(127, 'x'), "12345", std::string(259, 'p'), std::string(127, 'x'), "12345",
         std::string(259, 'p')},
        // A character that would be split is left out as a whole.
        {std::string(126, 'a') + e, "1234" + e, std::string(258, 'p') + e, std::string(126, 'a'), "1234",
         std::string(258, 'p')},
        {std::string(125, 'a') + e + "z", "123" + e, std::string(257, 'p') + e + "z",
         std::string(125, 'a') + e, "123" + e, std::string(257, 'p') + e},
        {std::string(124, 'a') + clef, "12" + clef, std::string(256, 'p') + clef, std::string(124, 'a'), "12",
         std::string(256, 'p')},
        {std::string(123, 'a') + clef + "z", "1" + clef, std::string(255, 'p') + clef + "z",
         std::string(123, 'a') + clef, "1" + clef, std::string(255, 'p') + clef},
        // Bytes that are no character are cut exactly at the limit.
        {std::string(200, '\x80'), "\x80\x80\x80\x80\x80\x80", std::string(300, '\xBF'),
         std::string(127, '\x80'), std::string(5, '\x80'), std::string(259, '\xBF')},
        // A text ends at its first NUL.
        {std::string("ab\0cd", 5), "12", "/p", "ab", "12", "/p"},
    };
    for (const auto& c : cases) {
        Track track;
        track.Set("artist", c.title, "album", c.lengthText, c.path, "id");
        const std::string body = Body(track);
        EXPECT_EQ(Field(body, 128, 128), c.storedTitle) << c.title;
        EXPECT_EQ(track.GetRawTitle(), c.storedTitle);
        EXPECT_EQ(Field(body, 536, 6), c.storedLength) << c.lengthText;
        EXPECT_EQ(track.GetRawLengthText(), c.storedLength);
        EXPECT_EQ(Field(body, 542, 260), c.storedPath);
        EXPECT_EQ(track.GetRawPath(), c.storedPath);
    }
}

TEST(TrackTest, LengthAndValidity) {
    struct Case {
        std::string artist;
        std::string title;
        std::string lengthText;
        bool stamp;
        int32_t length;
        bool valid;
        bool validWithStart;
    } cases[] = {
        {"a", "t", "215", true, 215, true, true},   {"a", "t", "215abc", true, 215, true, true},
        {"a", "t", "abc", true, 0, false, false},   {"a", "t", " \t42", true, 42, true, true},
        {"a", "t", "+7", true, 7, true, true},      {"a", "t", "-5", true, -5, false, false},
        {"a", "t", "0", true, 0, false, false},     {"a", "t", "", true, 0, false, false},
        {"a", "t", "300", false, 300, true, false}, {"", "t", "300", true, 300, false, false},
        {"a", "", "300", true, 300, false, false},
    };
    for (const auto& c : cases) {
        Track track = Made(c.artist, c.title, c.lengthText);
        if (c.stamp)
            track.StampStartTime();
        EXPECT_EQ(track.GetLength(), c.length) << c.lengthText;
        EXPECT_EQ(track.IsValid(false), c.valid) << c.artist << "/" << c.title << "/" << c.lengthText;
        EXPECT_EQ(track.IsValid(true), c.validWithStart) << c.artist << "/" << c.title << "/" << c.lengthText;
    }
}

TEST(TrackTest, ReadBackAndShortReads) {
    Track original;
    original.Set("Artist", "Title", "Album", "240", "/m/x.ogg", "tid");
    original.SetStartTime(1234567890);
    const std::string body = Body(original);

    Track copy;
    std::istringstream full(body + "rest");
    EXPECT_TRUE(copy.Read(full));
    EXPECT_EQ(Body(copy), body);
    EXPECT_EQ(copy.GetTrackId(), "tid");
    EXPECT_EQ(copy.GetExtension(), "OGG");
    EXPECT_EQ(copy.GetStartTime(), 1234567890);

    for (size_t size : {size_t{0}, size_t{500}, size_t{806}}) {
        Track track = original;
        std::istringstream cut(body.substr(0, size));
        EXPECT_FALSE(track.Read(cut)) << size;
        EXPECT_EQ(Body(track), std::string(807, '\0')) << size;
        EXPECT_FALSE(track.IsValid(false));
    }
}

TEST(TrackTest, RecordReadBackStaysWithinItsFields) {
    // A damaged file: not one NUL anywhere.
    Track track;
    std::istringstream in(std::string(807, '7'));
    ASSERT_TRUE(track.Read(in));
    EXPECT_EQ(track.GetRawArtist(), std::string(127, '7'));
    EXPECT_EQ(track.GetTrackId(), std::string(127, '7'));
    EXPECT_EQ(track.GetStartTimeText(), std::string(19, '7'));
    EXPECT_EQ(track.GetRawLengthText(), "77777");
    EXPECT_EQ(track.GetRawPath(), std::string(259, '7'));
    EXPECT_EQ(track.GetExtension(), "7777");
    EXPECT_EQ(track.GetLength(), 77777);

    // Bytes after a NUL carry no meaning but are kept as they were.
    std::string body = Body(Made("a", "t", "100"));
    body[10] = 'G';
    std::istringstream withRest(body);
    ASSERT_TRUE(track.Read(withRest));
    EXPECT_EQ(track.GetRawArtist(), "a");
    EXPECT_EQ(Body(track), body);
}

TEST(TrackTest, CopiesCarryTheWholeBody) {
    Track original = Made("Artist", "Title", "321", "/m/s.wav");
    original.SetStartTime(1600000000);

    Track constructed(original);
    Track assigned;
    assigned = original;
    for (const Track* copy : {&constructed, &assigned}) {
        EXPECT_EQ(copy->GetStartTime(), 1600000000);
        EXPECT_EQ(copy->GetStartTimeText(), "2020-09-13 12:26:40");
        EXPECT_EQ(Body(*copy), Body(original));
    }

    constructed.Set("Other", "Other", "", "1", "/o", "");
    EXPECT_EQ(original.GetRawArtist(), "Artist");

    Track& self = assigned;
    assigned = self;
    EXPECT_EQ(Body(assigned), Body(original));
}

TEST(TrackTest, ConvertingAccessorsUseTheAnsiCodePage) {
    CCodePage codePage("WINDOWS-1252");
    Track track;
    track.Set("Bj\xC3\xB6rk", "Caf\xC3\xA9 \xE2\x82\xAC", "\xE2\x98\x83 Snow", "200",
              "/m/\xC3\xA9t\xC3\xA9.mp3", "x");
    EXPECT_EQ(track.GetArtist(), "Bj\xF6rk");
    EXPECT_EQ(track.GetTitle(), "Caf\xE9 \x80");
    EXPECT_EQ(track.GetAlbum(), "? Snow");
    EXPECT_EQ(track.GetLengthText(), "200");
    EXPECT_EQ(track.GetPath(), "/m/\xE9t\xE9.mp3");
    // The stored bytes stay as they came.
    EXPECT_EQ(track.GetRawArtist(), "Bj\xC3\xB6rk");
    EXPECT_EQ(track.GetRawTitle(), "Caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(track.GetRawAlbum(), "\xE2\x98\x83 Snow");
    EXPECT_EQ(track.GetRawPath(), "/m/\xC3\xA9t\xC3\xA9.mp3");
}

TEST(TrackTest, CopiesAreConsistentUnderConcurrentChanges) {
    Track a = Made("A1", "T1", "100");
    Track b = Made("A2", "T2", "200");
    std::atomic<bool> torn{false};

    // Two tracks assigned to each other from two threads must not deadlock;
    // every copy must come from one whole Set.
    auto swapper = [&](Track& to, Track& from) {
        for (int i = 0; i < 2000; ++i) {
            to = from;
            Track snapshot(to);
            const std::string artist = snapshot.GetRawArtist();
            const std::string title = snapshot.GetRawTitle();
            if (artist.substr(1) != title.substr(1) ||
                std::to_string(snapshot.GetLength()) != artist.substr(1) + "00")
                torn = true;
        }
    };
    std::thread first(swapper, std::ref(a), std::ref(b));
    std::thread second(swapper, std::ref(b), std::ref(a));
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            a.Set(i % 2 ? "A1" : "A3", i % 2 ? "T1" : "T3", "", i % 2 ? "100" : "300", "/p", "");
    });
    first.join();
    second.join();
    writer.join();
    EXPECT_FALSE(torn);
}
