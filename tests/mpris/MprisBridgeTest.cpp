#include "tests/mpris/BridgeFixture.h"

#include "settings/RegistryUtils.h"

#include <QDBusVariant>
#include <QTimer>

#include <limits>

namespace {

using namespace std::chrono_literals;

TEST_F(CBridgeTest, FollowsAPlayerFromBeforeItsStartThroughEveryTransitionToItsEnd) {
    CFakePlayer& player = Playing(QStringLiteral("fake"), TrackA());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    ASSERT_EQ(WaitLines(1), std::vector<std::string>{StartA(id)});

    player.Change({{kStatus, kPaused}});
    WaitLines(2);
    player.Change({{kStatus, kPlaying}});
    WaitLines(3);
    player.Change({{kStatus, kStopped}});
    WaitLines(4);
    // Played again after a stop: from its start, so a new play.
    player.Change({{kStatus, kPlaying}});
    WaitLines(5);
    player.Vanish();
    EXPECT_EQ(WaitLines(6), (std::vector<std::string>{StartA(id), Line("PAUSE", id), Line("RESUME", id),
                                                      Line("STOP", id), StartA(id), Line("STOP", id)}));
    EXPECT_TRUE(PumpUntil([&] { return mBridge->Players().empty(); }));
}

TEST_F(CBridgeTest, APlayerAppearingLaterIsReadAtOnceAndCountedOnceUnderTwoNames) {
    ASSERT_TRUE(StartBridge());
    CFakePlayer& player = Playing(QStringLiteral("late"), TrackB());
    ASSERT_TRUE(player.AlsoOwn(QStringLiteral("late.instance42")));
    const std::string id = player.PluginId();
    ASSERT_EQ(WaitLines(1), std::vector<std::string>{StartB(id)});
    EXPECT_EQ(mBridge->Players(), std::vector<std::string>{id});

    player.Change({{kStatus, kPaused}});
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{StartB(id), Line("PAUSE", id)}));
    EXPECT_EQ(mBridge->Players().size(), 1u);
}

// Each way real players announce one new track must give exactly one START
// with the whole metadata. The PAUSE after it marks the end of what the
// case may have caused.
TEST_F(CBridgeTest, ATrackIsAnnouncedOnceHoweverUntidilyThePlayerSignalsIt) {
    struct CCase {
        const char* name;
        std::function<void(CFakePlayer&)> play;
    };
    const std::vector<CCase> cases = {
        {"the same change four times",
         [](CFakePlayer& p) {
             p.Properties()[kMetadata] = TrackA();
             p.Properties()[kStatus] = kPlaying;
             for (int i = 0; i < 4; ++i)
                 p.Signal({{kStatus, kPlaying}, {kMetadata, TrackA()}});
         }},
        {"metadata in two signals a few milliseconds apart",
         [](CFakePlayer& p) {
             QVariantMap first = TrackA();
             first.remove(QStringLiteral("xesam:album"));
             first.remove(QStringLiteral("xesam:artist"));
             p.Change({{kStatus, kPlaying}, {kMetadata, first}});
             QTimer::singleShot(15, [&p] { p.Change({{kMetadata, TrackA()}}); });
         }},
        {"a signal with only part of the metadata",
         [](CFakePlayer& p) {
             p.Properties()[kMetadata] = TrackA();
             p.Properties()[kStatus] = kPlaying;
             QVariantMap piece;
             piece[QStringLiteral("xesam:title")] = QStringLiteral("Title & More");
             p.Signal({{kStatus, kPlaying}, {kMetadata, piece}});
         }},
        {"a change signal without the playback status",
         [](CFakePlayer& p) {
             p.Properties()[kStatus] = kPlaying;
             p.Change({{kMetadata, TrackA()}});
         }},
        {"the file name as title first, the tags a moment later",
         [](CFakePlayer& p) {
             QVariantMap first;
             first[QStringLiteral("mpris:trackid")] = QVariant::fromValue(QDBusObjectPath("/track/1"));
             first[QStringLiteral("xesam:title")] = QStringLiteral("A b.mp3");
             first[QStringLiteral("xesam:url")] = QStringLiteral("file:///music/A%20b.mp3");
             p.Change({{kStatus, kPlaying}, {kMetadata, first}});
             QTimer::singleShot(100, [&p] { p.Change({{kMetadata, TrackA()}}); });
         }},
        {"properties invalidated instead of sent",
         [](CFakePlayer& p) {
             p.Properties()[kMetadata] = TrackA();
             p.Properties()[kStatus] = kPlaying;
             p.Signal({}, {kStatus, kMetadata});
         }},
    };
    ASSERT_TRUE(StartBridge());
    int n = 0;
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        CFakePlayer player(QStringLiteral("untidy%1").arg(++n));
        ASSERT_TRUE(player.Appear());
        ASSERT_TRUE(WaitFollowed(player));
        const std::size_t before = mListener->Count();
        c.play(player);
        WaitLines(before + 1);
        // Repeats after the announcement change nothing either.
        player.Signal({{kStatus, kPlaying}, {kMetadata, TrackA()}});
        player.Change({{kStatus, kPaused}});
        const std::string id = player.PluginId();
        EXPECT_EQ(From(WaitLines(before + 2), before), (std::vector<std::string>{StartA(id), Line("PAUSE", id)}));
        player.Vanish();
        WaitLines(before + 3);
    }
}

TEST_F(CBridgeTest, ANewTrackWhileTheStatusStaysPlayingIsANewStart) {
    CFakePlayer& player = Playing(QStringLiteral("next"), TrackA());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    WaitLines(1);
    player.Change({{kMetadata, TrackB()}});
    WaitLines(2);
    player.Change({{kMetadata, TrackA()}, {kStatus, kPlaying}});
    EXPECT_EQ(WaitLines(3), (std::vector<std::string>{StartA(id), StartB(id), StartA(id)}));
}

TEST_F(CBridgeTest, SignalsOnEveryPositionAdvanceSendNothingAndCallNothing) {
    CFakePlayer& player = Playing(QStringLiteral("chatty"), TrackA());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    WaitLines(1);
    const int reads = player.StateReads();
    for (qlonglong i = 1; i <= 40; ++i) {
        player.Signal({{kPosition, i * 1000000}});
        player.Signal({{kMetadata, TrackA()}});
        player.Signal({{kStatus, kPlaying}, {kMetadata, TrackA()}, {kPosition, i * 1000000}});
        player.Signal({{QStringLiteral("Volume"), 0.5}});
    }
    player.Change({{kStatus, kPaused}});
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{StartA(id), Line("PAUSE", id)}));
    EXPECT_EQ(player.StateReads(), reads);
}

TEST_F(CBridgeTest, ATrackWithoutLengthIsSentWithAnEmptyLengthAndLoggedOnce) {
    QVariantMap stream = TrackB();
    stream.remove(QStringLiteral("mpris:length"));
    CFakePlayer& player = Playing(QStringLiteral("radio"), stream);
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    WaitLines(1);
    player.Change({{kStatus, kPaused}});
    WaitLines(2);
    player.Change({{kStatus, kPlaying}, {kMetadata, stream}});
    EXPECT_EQ(WaitLines(3), (std::vector<std::string>{"START c=" + id + "&a=Other&t=Second&b=Album&m=&l=&p=https://example.org/s",
                                                      Line("PAUSE", id), Line("RESUME", id)}))
        << mLog.Text();
    EXPECT_EQ(Occurrences(mLog.Text(), "gives no usable length for 'Other - Second'"), 1u);

    // The length arriving later makes it a track that counts: announced
    // again, now with it.
    player.Change({{kMetadata, TrackB()}});
    EXPECT_EQ(WaitLines(4).back(), StartB(id));
}

// Values of the wrong D-Bus type, absurd and huge ones: each is logged once,
// the rest of the metadata is still used, and the bridge goes on.
TEST_F(CBridgeTest, MalformedMetadataIsSurvivedAndLoggedOncePerKind) {
    const QString huge(100000, QLatin1Char('x'));
    struct CCase {
        const char* name;
        std::function<void(QVariantMap&)> spoil;
        std::string fields; // the expected START after "c=ID"
        const char* logged;
    };
    const std::vector<CCase> cases = {
        {"title of the wrong type", [](QVariantMap& m) { m[QStringLiteral("xesam:title")] = 5; },
         "&a=Other&t=&b=Album&m=&l=60&p=https://example.org/s", "Field xesam:title has the wrong type"},
        {"artist as a plain text", [](QVariantMap& m) { m[QStringLiteral("xesam:artist")] = QStringLiteral("Solo"); },
         "&a=Solo&t=Second&b=Album&m=&l=60&p=https://example.org/s", "Field xesam:artist is a text, not a list"},
        {"artists as a list of variants",
         [](QVariantMap& m) {
             m[QStringLiteral("xesam:artist")] = QVariantList{QStringLiteral("V1"), QStringLiteral("V2")};
         },
         "&a=V1, V2&t=Second&b=Album&m=&l=60&p=https://example.org/s", nullptr},
        {"length as a text", [](QVariantMap& m) { m[QStringLiteral("mpris:length")] = QStringLiteral("60000000"); },
         "&a=Other&t=Second&b=Album&m=&l=&p=https://example.org/s", "Field mpris:length has the wrong type"},
        {"length unsigned", [](QVariantMap& m) { m[QStringLiteral("mpris:length")] = qulonglong(60400000); },
         "&a=Other&t=Second&b=Album&m=&l=60&p=https://example.org/s", "Field mpris:length is qulonglong, not a 64-bit integer"},
        {"length as a double", [](QVariantMap& m) { m[QStringLiteral("mpris:length")] = 59.6e6; },
         "&a=Other&t=Second&b=Album&m=&l=60&p=https://example.org/s", "Field mpris:length is double, not a 64-bit integer"},
        {"negative length", [](QVariantMap& m) { m[QStringLiteral("mpris:length")] = qlonglong(-5); },
         "&a=Other&t=Second&b=Album&m=&l=&p=https://example.org/s", "Field mpris:length holds an absurd length (-5 microseconds)"},
        {"endless length",
         [](QVariantMap& m) { m[QStringLiteral("mpris:length")] = std::numeric_limits<qlonglong>::max(); },
         "&a=Other&t=Second&b=Album&m=&l=&p=https://example.org/s", "Field mpris:length holds an absurd length (9223372036854775807"},
        {"huge title", [huge](QVariantMap& m) { m[QStringLiteral("xesam:title")] = huge; },
         "&a=Other&t=" + std::string(1024, 'x') + "&b=Album&m=&l=60&p=https://example.org/s",
         "Field xesam:title is 100000 bytes long, cut to 1024"},
        {"value wrapped in a variant twice",
         [](QVariantMap& m) {
             m[QStringLiteral("xesam:album")] = QVariant::fromValue(QDBusVariant(QStringLiteral("Deep")));
         },
         "&a=Other&t=Second&b=Deep&m=&l=60&p=https://example.org/s", nullptr},
        {"track id as a text and a MusicBrainz id as a list",
         [](QVariantMap& m) {
             m[QStringLiteral("mpris:trackid")] = QStringLiteral("/as/text");
             m[QStringLiteral("xesam:musicBrainzTrackID")] = QStringList{QStringLiteral("mb-1")};
         },
         "&a=Other&t=Second&b=Album&m=mb-1&l=60&p=https://example.org/s", nullptr},
    };
    ASSERT_TRUE(StartBridge());
    int n = 0;
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        QVariantMap metadata = TrackB();
        c.spoil(metadata);
        CFakePlayer& player = Playing(QStringLiteral("odd%1").arg(++n), metadata);
        const std::size_t before = mListener->Count();
        const std::string id = player.PluginId();
        EXPECT_EQ(From(WaitLines(before + 1), before), std::vector<std::string>{"START c=" + id + c.fields});
        // Signalled again: still one record of it.
        player.Signal({{kMetadata, metadata}});
        player.Change({{kStatus, kPaused}});
        WaitLines(before + 2);
        if (c.logged != nullptr) {
            EXPECT_EQ(Occurrences(mLog.Text(), "Player " + id + ": " + c.logged), 1u) << mLog.Text();
        }
        player.Vanish();
        WaitLines(before + 3);
    }

    // Metadata and a status that are no use at all: nothing is sent.
    CFakePlayer broken(QStringLiteral("broken"));
    broken.Set(kMetadata, QStringLiteral("not a map"));
    broken.Set(kStatus, 7);
    ASSERT_TRUE(broken.Appear());
    ASSERT_TRUE(WaitFollowed(broken));
    broken.Signal({{kStatus, QStringLiteral("Dancing")}, {kMetadata, 12}});
    broken.Signal({{kStatus, QStringLiteral("Dancing")}, {kMetadata, 12}});

    // ... and once it has gone, the bridge still serves a tidy player (of
    // the same process: one process is one player).
    broken.Vanish();
    ASSERT_TRUE(PumpUntil([&] { return mBridge->Players().empty(); }));
    const std::size_t before = mListener->Count();
    CFakePlayer& tidy = Playing(QStringLiteral("tidy"), TrackA());
    EXPECT_EQ(From(WaitLines(before + 1), before), std::vector<std::string>{StartA(tidy.PluginId())});
    const std::string log = mLog.Text();
    const std::string id = broken.PluginId();
    EXPECT_EQ(Occurrences(log, "Player " + id + ": Metadata has the wrong type"), 1u) << log;
    EXPECT_EQ(Occurrences(log, "Player " + id + ": PlaybackStatus has the wrong type"), 1u) << log;
    EXPECT_EQ(Occurrences(log, "Player " + id + ": PlaybackStatus 'Dancing' is not a known status"), 1u) << log;
}

TEST_F(CBridgeTest, APlayerVanishingInTheMiddleOfACallIsStoppedAndTheBridgeGoesOn) {
    CFakePlayer& player = Playing(QStringLiteral("flaky"), TrackA());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    WaitLines(1);
    // The next read of its state is never answered: the player is gone.
    player.onGetAll = [&player](const QDBusMessage&) {
        QTimer::singleShot(0, [&player] { player.Vanish(); });
        return true;
    };
    player.Change({{kMetadata, TrackB()}});
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{StartA(id), Line("STOP", id)}));

    CFakePlayer& next = Playing(QStringLiteral("next"), TrackB());
    EXPECT_EQ(WaitLines(3).back(), StartB(next.PluginId()));
}

TEST_F(CBridgeTest, ATrackPlayedAgainFromItsStartAfterItsGoalIsANewPlay) {
    CFakePlayer player(QStringLiteral("repeat"));
    player.Set(kMetadata, TrackB()); // 60 s: goal 30 s
    player.Set(kStatus, kPlaying);
    ASSERT_TRUE(player.Appear());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    WaitLines(1);

    // Back to the start before the goal: the same play goes on.
    Advance(10s);
    player.Seeked(0);
    // After the goal: a new play (a seek back, or a repeat).
    Advance(25s);
    player.Seeked(1000000);
    WaitLines(2);
    // A player that repeats by signalling the same metadata again at the
    // end; the position read then tells that it started over.
    Advance(59s);
    player.Set(kPosition, qlonglong(200000));
    player.Signal({{kMetadata, TrackB()}});
    WaitLines(3);
    // The same metadata in the middle of the track is no repeat.
    Advance(20s);
    player.Signal({{kMetadata, TrackB()}});
    player.Change({{kStatus, kPaused}});
    EXPECT_EQ(WaitLines(4), (std::vector<std::string>{StartB(id), StartB(id), StartB(id), Line("PAUSE", id)}));
}

TEST_F(CBridgeTest, PlayersMatchingMprisIgnoreAreLeftAlone) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "MprisIgnore", "vlc; firefox*");
    }
    ASSERT_TRUE(StartBridge());
    CFakePlayer& browser = Playing(QStringLiteral("firefox.instance_1_77"), TrackA());
    CFakePlayer& player = Playing(QStringLiteral("music"), TrackB());
    EXPECT_EQ(WaitLines(1), std::vector<std::string>{StartB(player.PluginId())});
    browser.Change({{kStatus, kPaused}});
    player.Change({{kStatus, kPaused}});
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{StartB(player.PluginId()), Line("PAUSE", player.PluginId())}));
    EXPECT_EQ(browser.StateReads(), 0);
    EXPECT_TRUE(mLog.Contains("Ignoring player org.mpris.MediaPlayer2.firefox.instance_1_77 (MprisIgnore)"));
}

TEST_F(CBridgeTest, ASecondBridgeOnTheSameBusIsRefused) {
    ASSERT_TRUE(StartBridge());
    CListenerOutbox outbox(mBase);
    CMprisBridge second(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second")), outbox);
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(mLog.Contains("Another bridge already serves this session bus (org.vortlebox.MprisBridge is taken)"));
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}

TEST_F(CBridgeTest, TheLatestStateReachesAListenerThatWasAwayOrForgotTheTrack) {
    mListener.reset(); // not there yet
    CFakePlayer& player = Playing(QStringLiteral("patient"), TrackA());
    ASSERT_TRUE(StartBridge());
    const std::string id = player.PluginId();
    ASSERT_TRUE(WaitFollowed(player));
    player.Change({{kStatus, kPaused}});
    player.Change({{kStatus, kPlaying}});
    player.Change({{kStatus, kPaused}});
    ASSERT_TRUE(PumpUntil([&] { return mLog.Contains("No listener answers on ports"); }));
    mListener = std::make_unique<CRecordingListener>(mBase);
    ASSERT_TRUE(mListener->Listening());
    EXPECT_EQ(WaitLines(2), (std::vector<std::string>{StartA(id), Line("PAUSE", id)}));

    // Restarted while the track was paused: a new listener knows nothing,
    // so the track is told again before it resumes.
    mListener.reset();
    player.Change({{kStatus, kPlaying}});
    ASSERT_TRUE(PumpUntil([&] { return Occurrences(mLog.Text(), "No listener answers on ports") == 2; }));
    mListener = std::make_unique<CRecordingListener>(mBase);
    EXPECT_EQ(WaitLines(1), std::vector<std::string>{StartA(id)});

    // A listener that refuses the RESUME because it forgot the track gets
    // the track again.
    mListener->ReplyTo("RESUME", "ERROR: RESUME received without a preceding START");
    player.Change({{kStatus, kPaused}});
    // Delivered before the track plays on: a pause and a resume that are
    // both still waiting cancel out.
    ASSERT_EQ(WaitLines(2), (std::vector<std::string>{StartA(id), Line("PAUSE", id)}));
    player.Change({{kStatus, kPlaying}});
    EXPECT_EQ(WaitLines(4), (std::vector<std::string>{StartA(id), Line("PAUSE", id), Line("RESUME", id), StartA(id)}));
}

} // namespace
