#include "tests/mpris/BridgeFixture.h"
#include "tests/mpris/FakePlayerProcess.h"

#include "settings/IgnoreList.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"

#include <algorithm>
#include <memory>

namespace {

using namespace std::chrono_literals;

const std::string kPrefix = "org.mpris.MediaPlayer2.";

std::size_t CountStarts(const std::vector<std::string>& lines) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("START ", 0) == 0; }));
}

void SetIgnore(const char* text) {
    CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
    if (text == nullptr) {
        const auto values = CRegistryUtils::ListValues(key);
        if (std::any_of(values.begin(), values.end(), [](const CRegistryValue& v) { return v.name == "MprisIgnore"; }))
            CRegistryUtils::DeleteValue(key, "MprisIgnore");
    } else {
        CRegistryUtils::WriteString(key, "MprisIgnore", text);
    }
}

// A player program often holds two names, on one connection or on two, and
// takes them in either order, some time apart: it is one player, heard
// under the first name, and one listening is one START.
TEST_F(CBridgeTest, NamesOfOneProcessAreOnePlayerWhateverTheirConnectionsOrderAndDelay) {
    struct CCase {
        const char* name;
        int firstConnection;
        const char* firstName;
        int secondConnection;
        const char* secondName;
        std::chrono::milliseconds apart;
    };
    const std::vector<CCase> cases = {
        {"one connection, plain name first", 1, "one", 1, "one.instance11", 0ms},
        {"one connection, instance name first, 2 s later", 1, "two.instance12", 1, "two", 2000ms},
        {"two connections at once", 1, "three", 2, "three.instance13", 0ms},
        {"two connections, instance name first, 1 s later", 2, "four.instance14", 1, "four", 1000ms},
        {"two connections, 2 s apart", 1, "five", 2, "five.instance15", 2000ms},
    };
    ASSERT_TRUE(StartBridge());
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = mListener->Count();
        CFakePlayerProcess player;
        ASSERT_TRUE(player.Do("track Artist|Title " + std::string(c.name) + "|200"));
        ASSERT_TRUE(player.Do("status Playing"));
        ASSERT_TRUE(player.Do("own " + std::to_string(c.firstConnection) + " " + c.firstName));
        PumpFor(c.apart);
        ASSERT_TRUE(player.Do("own " + std::to_string(c.secondConnection) + " " + c.secondName));
        PumpFor(1500ms); // both names settled and read
        ASSERT_TRUE(player.Do("status Paused"));
        const std::string id = kPrefix + c.firstName;
        const std::vector<std::string> lines = From(WaitLines(before + 2), before);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].rfind("START c=" + id + "&", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1], "PAUSE c=" + id);
        EXPECT_EQ(mBridge->Players(), std::vector<std::string>{id});
        ASSERT_TRUE(player.Do("quit"));
        EXPECT_EQ(WaitLines(before + 3).back(), "STOP c=" + id);
        EXPECT_TRUE(PumpUntil([&] { return mBridge->Players().empty(); }));
    }
}

// Untidy players: one that swaps its names while it plays, and a program
// that puts a hundred and fifty names on the bus at once. Each is still
// one player with one START; the bridge goes on.
TEST_F(CBridgeTest, NamesThatChangeOrFloodTheBusStayOnePlayWithoutACrash) {
    ASSERT_TRUE(StartBridge());
    CFakePlayerProcess swapper;
    ASSERT_TRUE(swapper.Do("track Band|Swap|200"));
    ASSERT_TRUE(swapper.Do("status Playing"));
    ASSERT_TRUE(swapper.Do("own 1 swap"));
    ASSERT_EQ(CountStarts(WaitLines(1)), 1u);
    ASSERT_TRUE(swapper.Do("own 2 swap.instance1"));
    ASSERT_TRUE(swapper.Do("release 1 swap"));
    ASSERT_TRUE(swapper.Do("own 1 swapped"));
    PumpFor(1000ms);
    ASSERT_TRUE(swapper.Do("status Paused"));
    EXPECT_EQ(WaitLines(2).back(), "PAUSE c=" + kPrefix + "swap");
    ASSERT_TRUE(swapper.Do("quit"));
    EXPECT_EQ(WaitLines(3).back(), "STOP c=" + kPrefix + "swap");

    for (int i = 0; i < 150; ++i)
        Playing(QStringLiteral("flood%1").arg(i), TrackA());
    PumpFor(1500ms);
    const std::vector<std::string> flood = From(WaitLines(4), 3);
    EXPECT_EQ(flood.size(), 1u);
    EXPECT_EQ(CountStarts(flood), 1u);
    EXPECT_EQ(mBridge->Players().size(), 1u);
    mPlayers.clear();
    EXPECT_EQ(WaitLines(5).back().rfind("STOP c=" + kPrefix + "flood", 0), 0u);
    EXPECT_TRUE(PumpUntil([&] { return mBridge->Players().empty(); }));
}

// A proxy or a second app that shows the same track as the player counting
// it is a mirror: it sends nothing. Once the first play has ended, playing
// the track again is a new play.
TEST_F(CBridgeTest, AMirrorOfACountedTrackIsNotCountedAndAPlayAfterItEndedIs) {
    ASSERT_TRUE(StartBridge());
    struct CCase {
        const char* name;
        std::chrono::milliseconds later;
    };
    int n = 0;
    for (const CCase& c : {CCase{"at the same moment", 0ms}, CCase{"1.5 s later", 1500ms}}) {
        SCOPED_TRACE(c.name);
        const std::size_t before = mListener->Count();
        const std::string track = "track Band|Song " + std::to_string(++n) + "|200";
        CFakePlayerProcess player;
        CFakePlayerProcess mirror;
        for (CFakePlayerProcess* p : {&player, &mirror})
            ASSERT_TRUE(p->Do(track));
        ASSERT_TRUE(player.Do("status Playing"));
        ASSERT_TRUE(player.Do("own 1 player" + std::to_string(n)));
        PumpFor(c.later);
        ASSERT_TRUE(mirror.Do("status Playing"));
        ASSERT_TRUE(mirror.Do("own 1 mirror" + std::to_string(n)));
        PumpFor(1500ms);
        // One of the two counts; the other follows it silently.
        std::vector<std::string> lines = From(mListener->Lines(), before);
        ASSERT_EQ(lines.size(), 1u);
        const bool playerCounts = lines[0].rfind("START c=" + kPrefix + "player", 0) == 0;
        if (c.later > 0ms) {
            EXPECT_TRUE(playerCounts) << lines[0];
        }
        CFakePlayerProcess& counting = playerCounts ? player : mirror;
        CFakePlayerProcess& following = playerCounts ? mirror : player;
        const std::string id = kPrefix + (playerCounts ? "player" : "mirror") + std::to_string(n);

        ASSERT_TRUE(following.Do("status Paused"));
        ASSERT_TRUE(counting.Do("status Stopped"));
        ASSERT_TRUE(following.Do("status Playing"));
        // Played again once the first play ended: counted again.
        ASSERT_TRUE(counting.Do("status Playing"));
        lines = From(WaitLines(before + 3), before);
        EXPECT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1], "STOP c=" + id);
        EXPECT_EQ(lines[2].rfind("START c=" + id + "&", 0), 0u) << lines[2];
        ASSERT_TRUE(following.Do("quit"));
        ASSERT_TRUE(counting.Do("quit"));
        EXPECT_EQ(WaitLines(before + 4).back(), "STOP c=" + id);
        EXPECT_TRUE(PumpUntil([&] { return mBridge->Players().empty(); }));
        EXPECT_EQ(CountStarts(From(mListener->Lines(), before)), 2u);
    }
}

// Without a choice in the store, web browsers, browser integrations, phone
// bridges and proxies are left out; a store that holds a choice keeps it.
// Every player met is recorded for the person to choose from.
TEST_F(CBridgeTest, BrowsersBridgesAndProxiesAreLeftOutUnlessTheStoreSaysOtherwise) {
    struct CCase {
        const char* suffix;
        bool heardByDefault;
    };
    const std::vector<CCase> cases = {
        {"chromium.instance4242", false}, {"firefox.instance_1_77", false}, {"brave.instance9", false},
        {"vivaldi.instance3", false},     {"opera.instance7", false},       {"epiphany", false},
        {"falkon", false},                {"qutebrowser", false},           {"plasma-browser-integration", false},
        {"kdeconnect.mpris_phone", false}, {"playerctld", false},           {"vlc", true},
    };
    for (const char* stored : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(stored == nullptr ? "nothing stored" : "an empty list stored");
        SetIgnore(stored);
        ASSERT_TRUE(StartBridge());
        for (const CCase& c : cases) {
            SCOPED_TRACE(c.suffix);
            const std::size_t before = mListener->Count();
            CFakePlayer& player = Playing(QString::fromLatin1(c.suffix), TrackA());
            const bool heard = stored != nullptr || c.heardByDefault;
            if (heard) {
                EXPECT_EQ(From(WaitLines(before + 1), before), std::vector<std::string>{StartA(player.PluginId())});
            }
            player.Vanish();
            if (heard)
                WaitLines(before + 2);
            else
                PumpFor(300ms);
            EXPECT_EQ(mListener->Count(), before + (heard ? 2 : 0));
            mPlayers.clear();
        }
        mBridge.reset();
        mOutbox.reset();
        QDBusConnection::disconnectFromBus(mBusName);
        // A missing value is stored as the default, and so kept from then on.
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        EXPECT_EQ(CRegistryUtils::ReadString(key, "MprisIgnore"), stored == nullptr ? CIgnoreList::kDefault : "");
    }
    std::vector<std::string> recorded;
    for (const CMprisPlayers::CRecord& record : CMprisPlayers::List())
        recorded.push_back(record.name + "=" + record.identity);
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "chromium=Fake Player"), recorded.end());
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "kdeconnect.mpris_phone=Fake Player"), recorded.end());
    EXPECT_EQ(recorded.size(), cases.size());
}

// The person's choice takes effect at once: a player now ignored stops
// counting, one no longer ignored is heard.
TEST_F(CBridgeTest, AChangedChoiceIsFollowedAtOnce) {
    SetIgnore("");
    ASSERT_TRUE(StartBridge());
    CFakePlayer& player = Playing(QStringLiteral("vlc.instance5"), TrackA());
    const std::string id = player.PluginId();
    WaitLines(1);
    SetIgnore("firefox*; vlc");
    mBridge->Reload();
    EXPECT_EQ(WaitLines(2).back(), "STOP c=" + id);
    EXPECT_TRUE(mBridge->Players().empty());
    SetIgnore("firefox*; [unclosed; a/b");
    mBridge->Reload();
    EXPECT_EQ(WaitLines(3).back(), StartA(id));
    EXPECT_TRUE(mLog.Contains("MprisIgnore: '[unclosed' is not a bus-name pattern, left out"));
    EXPECT_TRUE(mLog.Contains("MprisIgnore: 'a/b' is not a bus-name pattern, left out"));
}

// A bridge killed in the middle of a track cannot stop it; the one started
// after it goes on with it (no second START) and stops what ended meanwhile.
TEST_F(CBridgeTest, ABridgeStartedAfterAKilledOneGoesOnWhereItLeftOff) {
    CFakePlayerProcess stays;
    CFakePlayerProcess leaves;
    for (auto [player, name] : {std::pair{&stays, "stays"}, std::pair{&leaves, "leaves"}}) {
        ASSERT_TRUE(player->Do(std::string("track Band|") + name + "|200"));
        ASSERT_TRUE(player->Do("status Playing"));
        ASSERT_TRUE(player->Do(std::string("own 1 ") + name));
    }
    ASSERT_TRUE(StartBridge());
    ASSERT_EQ(CountStarts(WaitLines(2)), 2u);
    // As if killed: gone without a word.
    mBridge.reset();
    mOutbox.reset();
    QDBusConnection::disconnectFromBus(mBusName);
    ASSERT_TRUE(leaves.Do("quit"));
    ASSERT_TRUE(stays.Do("status Paused"));

    ASSERT_TRUE(StartBridge());
    EXPECT_EQ(From(WaitLines(4), 2), (std::vector<std::string>{"STOP c=" + kPrefix + "leaves", "PAUSE c=" + kPrefix + "stays"}));
    ASSERT_TRUE(stays.Do("status Playing"));
    EXPECT_EQ(WaitLines(5).back(), "RESUME c=" + kPrefix + "stays");
    EXPECT_EQ(CountStarts(mListener->Lines()), 2u);
}

} // namespace
