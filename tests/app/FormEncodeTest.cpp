#include "app/FormEncode.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct EncodeCase {
    std::string text;
    std::string encoded;
    friend void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.encoded; }
};

class FormEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(FormEncodeTest, EncodesEveryByteAsTheFormRuleSays) {
    EXPECT_EQ(formEncode(GetParam().text), GetParam().encoded);
    std::string appended = "x=";
    appendFormEncoded(appended, GetParam().text);
    EXPECT_EQ(appended, "x=" + GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(Examples, FormEncodeTest,
                         ::testing::Values(EncodeCase{"2006-05-01 12:34:56", "2006-05-01+12%3a34%3a56"},
                                           EncodeCase{"AC/DC & Friends", "AC%2fDC+%26+Friends"},
                                           EncodeCase{"\xE9", "%e9"}, EncodeCase{"\xFF\x80", "%ff%80"},
                                           EncodeCase{"azAZ09-_.", "azAZ09-_."},
                                           EncodeCase{"a+b=c[0]~", "a%2bb%3dc%5b0%5d%7e"},
                                           EncodeCase{"a/b?c=d", "a%2fb%3fc%3dd"},
                                           EncodeCase{"Bj\xc3\xb6rk", "Bj%c3%b6rk"},
                                           EncodeCase{"~+%", "%7e%2b%25"},
                                           EncodeCase{std::string("\x01\xff", 2), "%01%ff"},
                                           EncodeCase{std::string("\0\n", 2), "%00%0a"}, EncodeCase{"", ""}));

} // namespace
