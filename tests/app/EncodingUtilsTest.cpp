#include "app/EncodingUtils.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class EncodingUtilsTest : public ::testing::Test {
protected:
    void TearDown() override { CEncodingUtils::SetAnsiCodePage(""); }
};

} // namespace

TEST_F(EncodingUtilsTest, Utf8ToAnsiInWesternEuropean) {
    CEncodingUtils::SetAnsiCodePage("WINDOWS-1252");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("\xC3\xA9"), "\xE9");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("Bj\xC3\xB6rk"), "Bj\xF6rk");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("plain ASCII"), "plain ASCII");
    // Characters the code page lacks come out as its default character.
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("a\xE4\xB8\xADz"), "a?z");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("\xF0\x9F\x8E\xB5!"), "?!");
    // Invalid UTF-8 is replaced, not an error.
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("x\xFFy"), "x?y");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("\xC3"), "?");
}

TEST_F(EncodingUtilsTest, Utf8ToAnsiOfEmptyOrNullLogsNothing) {
    CLogCapture log;
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi(""), "");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi(nullptr), "");
    EXPECT_EQ(log.Text(), "");
}

TEST_F(EncodingUtilsTest, NonAsciiSurvivesAUtf8Locale) {
    // Every Linux desktop runs a UTF-8 locale: a multibyte text must not be
    // lost for lack of room.
    CEncodingUtils::SetAnsiCodePage("UTF-8");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("Bj\xC3\xB6rk"), "Bj\xC3\xB6rk");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("\xE4\xB8\xAD\xE6\x96\x87"), "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("\xF0\x9F\x8E\xB5"), "\xF0\x9F\x8E\xB5");
}

TEST_F(EncodingUtilsTest, UnknownCodePageIsLoggedAndGivesEmpty) {
    CLogCapture log;
    CEncodingUtils::SetAnsiCodePage("NO-SUCH-CHARSET");
    EXPECT_EQ(CEncodingUtils::Utf8ToAnsi("abc"), "");
    EXPECT_TRUE(log.Contains("Couldn't convert Unicode string 'abc' to ANSI. Error code: ")) << log.Text();
    char buf[16];
    EXPECT_EQ(CEncodingUtils::AnsiToUtf8("abc", buf, sizeof buf), 0);
}

TEST_F(EncodingUtilsTest, AnsiToUtf8) {
    CEncodingUtils::SetAnsiCodePage("WINDOWS-1252");
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CEncodingUtils::AnsiToUtf8("\xE9", buf, sizeof buf), 2);
    EXPECT_EQ(std::memcmp(buf, "\xC3\xA9\0", 3), 0);
    EXPECT_EQ(CEncodingUtils::AnsiToUtf8(nullptr, buf, sizeof buf), 0);
    EXPECT_EQ(CEncodingUtils::AnsiToUtf8("", buf, sizeof buf), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(CEncodingUtils::AnsiToUtf8("\x80", buf, sizeof buf), 3); // the euro sign
    EXPECT_STREQ(buf, "\xE2\x82\xAC");
}

TEST_F(EncodingUtilsTest, AnsiToUtf8StaysTerminatedWhenCut) {
    CEncodingUtils::SetAnsiCodePage("WINDOWS-1252");
    // Ten two-byte characters into an eight-byte buffer: whole characters
    // only, then the NUL, all inside the buffer.
    char buf[9];
    std::memset(buf, 'x', sizeof buf);
    int n = CEncodingUtils::AnsiToUtf8("\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9", buf, 8);
    ASSERT_GT(n, 0);
    EXPECT_LT(n, 8);
    EXPECT_EQ(n % 2, 0);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(buf[8], 'x');
    // A long ASCII text into the callers' usual 256 bytes.
    std::string longText(400, 'a');
    char big[256];
    n = CEncodingUtils::AnsiToUtf8(longText.c_str(), big, sizeof big);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(big));
    EXPECT_LT(n, 256);
}

TEST_F(EncodingUtilsTest, WideToUtf8) {
    char buf[16];
    const uint16_t euro[] = {0x20AC, 0};
    EXPECT_EQ(CEncodingUtils::WideToUtf8(euro, -1, buf, sizeof buf), 4);
    EXPECT_EQ(std::memcmp(buf, "\xE2\x82\xAC\0", 4), 0);

    const uint16_t abc[] = {0x41, 0x42, 0x43};
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CEncodingUtils::WideToUtf8(abc, 2, buf, sizeof buf), 2);
    EXPECT_EQ(std::memcmp(buf, "ABx", 3), 0);

    const uint16_t twoByte[] = {0xE9, 0x7FF, 0};
    EXPECT_EQ(CEncodingUtils::WideToUtf8(twoByte, -1, buf, sizeof buf), 5);
    EXPECT_EQ(std::memcmp(buf, "\xC3\xA9\xDF\xBF\0", 5), 0);

    // Each surrogate is encoded on its own.
    const uint16_t pair[] = {0xD83C, 0xDFB5, 0};
    EXPECT_EQ(CEncodingUtils::WideToUtf8(pair, -1, buf, sizeof buf), 7);
    EXPECT_EQ(std::memcmp(buf, "\xED\xA0\xBC\xED\xBE\xB5\0", 7), 0);
}

TEST_F(EncodingUtilsTest, WideToUtf8NeverWritesPastTheBuffer) {
    const uint16_t units[] = {0x20AC, 0x20AC, 0x20AC, 0};
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    // Stops once size - 3 is reached.
    EXPECT_EQ(CEncodingUtils::WideToUtf8(units, -1, buf, 7), 6);
    EXPECT_EQ(buf[6], 'x');
    // A buffer smaller than one character gets nothing.
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CEncodingUtils::WideToUtf8(units, -1, buf, 2), 0);
    EXPECT_EQ(buf[0], 'x');
}
