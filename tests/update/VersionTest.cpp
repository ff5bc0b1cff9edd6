#include "update/Version.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct VersionCase {
    const char* text;
    CVersion expected;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class VersionParseTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionParseTest, ReadsFieldsLikeAtoi) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(CVersion(c.text), c.expected) << '"' << c.text << "\" read as " << CVersion(c.text).ToString();
    EXPECT_EQ(CVersion(std::string(c.text)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, VersionParseTest,
                         ::testing::Values(VersionCase{"1.2.3.4", {1, 2, 3, 4}},
                                           VersionCase{"1.2.3.4.5", {1, 2, 3, 4}}, // later pieces ignored
                                           VersionCase{"2,", {2, 0, 0, 0}}, VersionCase{"", {0, 0, 0, 0}},
                                           VersionCase{"1.2", {1, 2, 0, 0}}, VersionCase{"1,3", {1, 3, 0, 0}},
                                           VersionCase{"1,2.3,4", {1, 2, 3, 4}},
                                           VersionCase{"9.1-1", {9, 1, 0, 0}}, // a Debian revision
                                           VersionCase{"2.36-9+deb12u4", {2, 36, 0, 0}},
                                           VersionCase{"1:2.3", {1, 3, 0, 0}}, // atoi stops at the colon
                                           VersionCase{"v1.2", {0, 2, 0, 0}}, VersionCase{" 7. 8", {7, 8, 0, 0}},
                                           VersionCase{"-1.+2", {-1, 2, 0, 0}}, VersionCase{"..5", {0, 0, 5, 0}},
                                           VersionCase{"10.20.30.40", {10, 20, 30, 40}},
                                           VersionCase{"2147483647.2147483647.2147483647.2147483647",
                                                     {2147483647, 2147483647, 2147483647, 2147483647}},
                                           // Out of range saturates instead of wrapping.
                                           VersionCase{"99999999999.1", {2147483647, 1, 0, 0}},
                                           VersionCase{"-99999999999", {-2147483647 - 1, 0, 0, 0}}));

TEST(VersionTest, NullTextIsTheEmptyText) {
    EXPECT_EQ(CVersion(static_cast<const char*>(nullptr)), CVersion(0, 0, 0, 0));
    EXPECT_EQ(CVersion(), CVersion(""));
}

struct CompareCase {
    const char* left;
    const char* right;
    int expected;
};

void PrintTo(const CompareCase& c, std::ostream* os) {
    *os << '"' << c.left << "\" vs \"" << c.right << '"';
}

class VersionCompareTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(VersionCompareTest, ComparesFromTheMostSignificantField) {
    const CompareCase& c = GetParam();
    const CVersion left(c.left);
    const CVersion right(c.right);
    EXPECT_EQ(left.Compare(right), c.expected) << c.left << " vs " << c.right;
    EXPECT_EQ(right.Compare(left), -c.expected) << c.right << " vs " << c.left;
    EXPECT_EQ(left == right, c.expected == 0);
    EXPECT_EQ(left < right, c.expected < 0);
    EXPECT_EQ(left > right, c.expected > 0);
    EXPECT_EQ(left <= right, c.expected <= 0);
    EXPECT_EQ(left >= right, c.expected >= 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, VersionCompareTest,
                         ::testing::Values(CompareCase{"1.2", "1.2.0.0", 0}, CompareCase{"1.10", "1.9", 1},
                                           CompareCase{"1,3", "1.3", 0}, CompareCase{"", "0.0.0.0", 0},
                                           CompareCase{"2", "1.99.99.99", 1},
                                           CompareCase{"1.2.3.4", "1.2.3.5", -1},
                                           CompareCase{"1.2.4", "1.2.3.9", 1}, CompareCase{"0.0.0.1", "", 1},
                                           CompareCase{"-1", "0", -1},
                                           CompareCase{"2147483647.2147483647.2147483647.2147483647",
                                                       "2147483647.2147483647.2147483647.2147483646", 1}));

TEST(VersionTest, ToStringJoinsTheFieldsWithDots) {
    EXPECT_EQ(CVersion(1, 2, 3, 4).ToString(), "1.2.3.4");
    EXPECT_EQ(CVersion("2,").ToString(), "2.0.0.0");
    EXPECT_EQ(CVersion("").ToString(), "0.0.0.0");
    EXPECT_EQ(CVersion(-1, 0, 2147483647, 10).ToString(), "-1.0.2147483647.10");
    // Text form and parsing agree.
    const CVersion v(7, 0, 15, 300);
    EXPECT_EQ(CVersion(v.ToString()), v);
}

TEST(VersionTest, FieldsByIndex) {
    const CVersion v(5, 6, 7, 8);
    EXPECT_EQ(v.Field(0), 5);
    EXPECT_EQ(v.Field(1), 6);
    EXPECT_EQ(v.Field(2), 7);
    EXPECT_EQ(v.Field(3), 8);
    EXPECT_EQ(v.Field(4), 0);
}

} // namespace
