// The protocol client's offline parts: the entry encoding of
// addSong, the User-Agent line, renumbering and the proxy string. No user is
// set, so no exchange starts.
#include "tests/submit/RecordingVortler.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

// 2006-05-01 12:34:56 UTC.
constexpr std::time_t kEntryPlayTime = 1146486896;

class VortlerEntryTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
    CRecordingVortler mClient;
};

TEST_F(VortlerEntryTest, TimeTextIsUtc) {
    EXPECT_EQ(Vortler::timeText(kEntryPlayTime), "2006-05-01 12:34:56");
}

TEST_F(VortlerEntryTest, RefusesShortTracksAndEncodesTheFirstEntry) {
    EXPECT_EQ(mClient.addSong("AC/DC & Friends", "T", "B", "id", 29, kEntryPlayTime), 0);
    EXPECT_EQ(mClient.pendingCount(), 0);
    EXPECT_EQ(mClient.pendingData(), "");

    EXPECT_EQ(mClient.addSong("AC/DC & Friends", "Title \xE9", "Album", "mb-1", 30, kEntryPlayTime), 1);
    EXPECT_EQ(mClient.pendingCount(), 1);
    EXPECT_EQ(mClient.pendingData(), "&a[0]=AC%2fDC+%26+Friends&b[0]=Album&t[0]=Title+%e9"
                                     "&i[0]=2006-05-01+12%3a34%3a56&l[0]=30&m[0]=mb-1");
}

TEST_F(VortlerEntryTest, SamePlayTimeIsRefusedAndLaterEntriesCountOn) {
    ASSERT_EQ(mClient.addSong("A", "T", "B", "", 200, kEntryPlayTime), 1);
    const std::string first = mClient.pendingData();
    EXPECT_EQ(mClient.addSong("Other", "Other", "", "", 300, kEntryPlayTime), 3);
    EXPECT_EQ(mClient.pendingData(), first);
    ASSERT_EQ(mClient.addSong("C", "D", "", "", 31, kEntryPlayTime + 1), 1);
    EXPECT_EQ(mClient.pendingCount(), 2);
    EXPECT_EQ(mClient.pendingData(),
              first + "&a[1]=C&b[1]=&t[1]=D&i[1]=2006-05-01+12%3a34%3a57&l[1]=31&m[1]=");
}

TEST_F(VortlerEntryTest, LoadedDataTakesPartInTheDuplicateCheck) {
    mClient.setCache("&a[0]=A&b[0]=&t[0]=T&i[0]=2006-05-01+12%3a34%3a56&l[0]=30&m[0]=", 1);
    EXPECT_EQ(mClient.addSong("X", "Y", "", "", 100, kEntryPlayTime), 3);
    EXPECT_EQ(mClient.addSong("X", "Y", "", "", 100, kEntryPlayTime + 60), 1);
    EXPECT_NE(mClient.pendingData().find("&i[1]=2006-05-01+12%3a35%3a56"), std::string::npos);
    mClient.clearCache();
    EXPECT_EQ(mClient.pendingCount(), 0);
    EXPECT_EQ(mClient.addSong("X", "Y", "", "", 100, kEntryPlayTime), 1);
    EXPECT_NE(mClient.pendingData().find("&a[0]=X"), std::string::npos);
}

struct AgentCase {
    std::string id;
    std::string version;
    friend void PrintTo(const AgentCase& c, std::ostream* os) { *os << c.id << " " << c.version; }
};

class UserAgentTest : public ::testing::TestWithParam<AgentCase> {};

TEST_P(UserAgentTest, IsThePatternCutTo63Characters) {
    CTestEnvironment env;
    CRecordingVortler client;
    client.init("", "", GetParam().id, GetParam().version, true);
    const std::string full = "User-Agent: Mozilla/5.0 (compatible; libvortler 2.0; " + GetParam().id + " " +
                             GetParam().version + ")";
    EXPECT_EQ(client.userAgent(), full.substr(0, 63));
    EXPECT_LE(client.userAgent().size(), 63u);
    client.term();
}

INSTANTIATE_TEST_SUITE_P(Ids, UserAgentTest,
                         ::testing::Values(AgentCase{"vbx", "0.1"},
                                           AgentCase{"a-much-longer-client", "12.34.56"},
                                           AgentCase{std::string(80, 'x'), "1"}));

TEST(VortlerRenumberTest, MovesEveryIndexByDelta) {
    EXPECT_EQ(Vortler::renumber("&a[3]=x&b[3]=y&a[4]=z", -3), "&a[0]=x&b[0]=y&a[1]=z");
    EXPECT_EQ(Vortler::renumber("&a[0]=x", 2), "&a[2]=x");
    // Values are encoded, so a bracket there cannot occur; broken keys stay.
    EXPECT_EQ(Vortler::renumber("&a[]=x&b[1=y", -1), "&a[]=x&b[1=y");
}

struct EntryProxyCase {
    std::string host, user, password, expected;
    friend void PrintTo(const EntryProxyCase& c, std::ostream* os) { *os << "'" << c.expected << "'"; }
};

class ProxyStringTest : public ::testing::TestWithParam<EntryProxyCase> {};

TEST_P(ProxyStringTest, BuildsTheHttpClientsForm) {
    CTestEnvironment env;
    CLogCapture log;
    CRecordingVortler client;
    client.setProxy(GetParam().host, GetParam().user, GetParam().password);
    EXPECT_EQ(client.proxyString(), GetParam().expected);
    // The password never reaches the log.
    if (GetParam().password.size() > 1) {
        EXPECT_FALSE(log.Contains(GetParam().password));
    }
    EXPECT_TRUE(log.Contains("Setting proxy host=" + GetParam().host + " user=" + GetParam().user +
                             " pass=" + (GetParam().password.empty() ? "" : "****") + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Forms, ProxyStringTest,
                         ::testing::Values(EntryProxyCase{"proxy:8080", "", "", "@proxy:8080"},
                                           EntryProxyCase{"proxy", "bob", "s3cret!", "bob:s3cret!@proxy"},
                                           EntryProxyCase{"proxy", "b", "s3cret!", "@proxy"},
                                           EntryProxyCase{"", "bob", "s3cret!", ""}, EntryProxyCase{"", "", "", ""}));

} // namespace
