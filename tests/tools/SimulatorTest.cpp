#include "tests/support/FenwaveSimulator.h"
#include "tests/support/RawHttpClient.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

namespace {

using ERole = CFenwaveSimulator::ERole;
using EMode = CFenwaveSimulator::EMode;

class SimulatorTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            sim = new CFenwaveSimulator({{"alice", "secret"}, {"bob", "p@ss word"}});
        } catch (const std::exception& e) {
            startError = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(sim, nullptr) << startError;
        sim->Reset();
    }

    static CRawHttpClient::CReply Get(ERole role, const std::string& target) {
        return CRawHttpClient::Request(sim->Port(role), "GET", target);
    }
    static std::string Handshake(const std::string& user, const std::string& version = "0.1") {
        return Get(ERole::Submit,
                   "/?hs=true&p=1.1&c=vbx&v=" + version + "&u=" + CRawHttpClient::FormEncode(user))
            .body;
    }
    /// The challenge line of a successful handshake reply.
    static std::string ChallengeOf(const std::string& reply) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(reply, m, std::regex("^[A-Z]+[^\n]*\n([^\n]*)\n")));
        return m.size() > 1 ? m[1].str() : "";
    }
    static std::string Submit(const std::string& body) {
        return CRawHttpClient::Request(sim->SubmitPort(), "POST", "/submit/", body).body;
    }
    static std::string Entry(int n, const std::string& artist, const std::string& title,
                             const std::string& time, const std::string& length,
                             const std::string& album = "", const std::string& id = "") {
        auto e = [](const std::string& v) { return CRawHttpClient::FormEncode(v); };
        std::string i = std::to_string(n);
        return "&a[" + i + "]=" + e(artist) + "&b[" + i + "]=" + e(album) + "&t[" + i + "]=" + e(title) +
               "&i[" + i + "]=" + e(time) + "&l[" + i + "]=" + length + "&m[" + i + "]=" + e(id);
    }

    static CFenwaveSimulator* sim;
    static std::string startError;
};

CFenwaveSimulator* SimulatorTest::sim = nullptr;
std::string SimulatorTest::startError;

TEST_F(SimulatorTest, HandshakeGivesFreshChallengeAndSubmitUrl) {
    std::string first = Handshake("alice");
    std::string expected =
        "^UPTODATE\n[0-9a-f]{32}\nhttp://127\\.0\\.0\\.1:" + std::to_string(sim->SubmitPort()) +
        "/submit/\nINTERVAL 1\n$";
    EXPECT_TRUE(std::regex_match(first, std::regex(expected))) << first;
    EXPECT_NE(ChallengeOf(first), ChallengeOf(Handshake("alice")));
}

TEST_F(SimulatorTest, HandshakeReplies) {
    sim->SetOutdatedVersion("0.0.9", "http://127.0.0.1/new");
    struct {
        std::string target;
        std::string expectedPattern;
    } cases[] = {
        {"/?hs=true&p=1.1&c=vbx&v=0.1&u=carol", "^BADUSER\n$"},
        {"/?hs=true&p=1.1&c=vbx&v=0.0.9&u=alice",
         "^UPDATE http://127\\.0\\.0\\.1/new\n[0-9a-f]{32}\nhttp://[^\n]+\n"},
        {"/?hs=true&p=1.1&c=vbx&v=0.1&u=p%40ss", "^BADUSER\n$"},
        {"/?hs=true&p=1.1&c=vbx&v=0.1&u=bob", "^UPTODATE\n"},
        {"/?hs=true&p=1.2&c=vbx&v=0.1&u=alice", "^FAILED [^\n]+\n$"},
        {"/?hs=true&p=1.1&v=0.1&u=alice", "^FAILED [^\n]+\n$"},
    };
    for (const auto& c : cases) {
        auto reply = Get(ERole::Submit, c.target);
        EXPECT_EQ(reply.status, 200) << c.target;
        EXPECT_TRUE(std::regex_search(reply.body, std::regex(c.expectedPattern)))
            << c.target << ": " << reply.body;
    }
}

TEST_F(SimulatorTest, SubmissionWithRightResponseIsRecordedDecoded) {
    std::string challenge = ChallengeOf(Handshake("alice"));
    std::string response = sim->Token("alice", challenge);
    ASSERT_EQ(response.size(), 32u);
    std::string body =
        "u=alice&s=" + response +
        Entry(0, "AC/DC & Friends", "Caf\xe9 Song", "2006-05-01 12:34:56", "200", "Live", "mb-1") +
        Entry(1, "Second", "T\"wo", "2006-05-01 12:40:00", "30");
    EXPECT_EQ(Submit(body), "OK\n");

    auto entries = sim->SubmittedEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].user, "alice");
    EXPECT_EQ(entries[0].index, 0);
    EXPECT_EQ(entries[0].artist, "AC/DC & Friends");
    EXPECT_EQ(entries[0].title, "Caf\xe9 Song");
    EXPECT_EQ(entries[0].album, "Live");
    EXPECT_EQ(entries[0].playTime, "2006-05-01 12:34:56");
    EXPECT_EQ(entries[0].length, "200");
    EXPECT_EQ(entries[0].trackId, "mb-1");
    EXPECT_EQ(entries[1].index, 1);
    EXPECT_EQ(entries[1].title, "T\"wo");
    EXPECT_EQ(entries[1].album, "");

    // The challenge stays valid until the next handshake.
    EXPECT_EQ(Submit("u=alice&s=" + response + Entry(0, "Third", "Three", "2006-05-01 13:00:00", "90")),
              "OK\n");
    EXPECT_EQ(sim->SubmittedEntries().size(), 3u);
}

TEST_F(SimulatorTest, RefusedSubmissionsRecordNothing) {
    std::string challenge = ChallengeOf(Handshake("alice"));
    std::string right = sim->Token("alice", challenge);
    std::string wrong = sim->Token("bob", challenge);
    std::string good = Entry(0, "A", "T", "2006-05-01 12:34:56", "200");
    struct {
        std::string body;
        std::string expectedPattern;
    } cases[] = {
        {"u=alice&s=" + wrong + good, "^BADAUTH\n$"},
        {"u=alice&s=" + right.substr(0, 31) + (right.back() == '0' ? "1" : "0") + good, "^BADAUTH\n$"},
        {"u=carol&s=" + right + good, "^BADAUTH\n$"},
        {"u=bob&s=" + sim->Token("bob", challenge) + good, "^BADAUTH\n$"}, // bob never handshook
        {"s=" + right + good, "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + "&a[0]=A&b[0]=&t[0]=T&i[0]=2006-05-01+12%3a34%3a56&m[0]=",
         "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + Entry(0, "A", "T", "yesterday", "200"), "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + Entry(0, "A", "T", "2006-05-01 12:34:56", "2x0"), "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + Entry(1, "A", "T", "2006-05-01 12:34:56", "200"), "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + good + "&x[0]=1", "^FAILED [^\n]+\n$"},
        {"u=alice&s=" + right + good + good, "^FAILED [^\n]+\n$"},
    };
    for (const auto& c : cases) {
        std::string reply = Submit(c.body);
        EXPECT_TRUE(std::regex_match(reply, std::regex(c.expectedPattern))) << c.body << ": " << reply;
    }
    EXPECT_TRUE(sim->SubmittedEntries().empty());
}

TEST_F(SimulatorTest, PasswordCheck) {
    std::string right = sim->Token("bob", "1700000000");
    struct {
        std::string target;
        std::string expected;
    } cases[] = {
        {"/vbx/pwcheck.php?time=1700000000&username=bob&auth=" + right, "OK"},
        {"/vbx/pwcheck.php?time=1700000000&username=carol&auth=" + right, "INVALIDUSER"},
        {"/vbx/pwcheck.php?time=1700000001&username=bob&auth=" + right, "BADPASSWORD"},
        {"/vbx/pwcheck.php?time=1700000000&username=alice&auth=" + right, "BADPASSWORD"},
        {"/vbx/pwcheck.php?time=1700000000&username=bob", "BADPASSWORD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Get(ERole::Web, c.target).body, c.expected) << c.target;
}

TEST_F(SimulatorTest, UsersCanBeAddedAndRemoved) {
    sim->AddUser("carol", "pw");
    EXPECT_EQ(Handshake("carol").substr(0, 9), "UPTODATE\n");
    sim->RemoveUser("alice");
    EXPECT_EQ(Handshake("alice"), "BADUSER\n");
    sim->Reset();
    EXPECT_EQ(Handshake("carol"), "BADUSER\n");
    EXPECT_EQ(Handshake("alice").substr(0, 9), "UPTODATE\n");
}

TEST_F(SimulatorTest, ForcedRepliesLastForTheirCount) {
    sim->ForceReply(true, "BADUSER", 2);
    EXPECT_EQ(Handshake("alice"), "BADUSER\n");
    EXPECT_EQ(Handshake("alice"), "BADUSER\n");
    std::string challenge = ChallengeOf(Handshake("alice"));
    ASSERT_FALSE(challenge.empty());

    std::string body =
        "u=alice&s=" + sim->Token("alice", challenge) + Entry(0, "A", "T", "2006-05-01 12:34:56", "60");
    sim->ForceReply(false, "FAILED Database is down");
    EXPECT_EQ(Submit(body), "FAILED Database is down\n");
    sim->ForceReply(false, "BADAUTH");
    EXPECT_EQ(Submit(body), "BADAUTH\n");
    EXPECT_TRUE(sim->SubmittedEntries().empty());
    EXPECT_EQ(Submit(body), "OK\n");

    // A forced UPDATE still hands out a usable challenge.
    sim->ForceReply(true, "UPDATE http://127.0.0.1/get");
    std::string update = Handshake("alice");
    EXPECT_EQ(update.substr(0, 28), "UPDATE http://127.0.0.1/get\n");
    std::string body2 = "u=alice&s=" + sim->Token("alice", ChallengeOf(update)) +
                        Entry(0, "A", "T", "2006-05-01 12:35:56", "60");
    EXPECT_EQ(Submit(body2), "OK\n");
}

TEST_F(SimulatorTest, ConfiguredSubmitUrlIsHandedOutAndServed) {
    std::string url = "http://" + sim->SubmitHost() + "/other/path";
    sim->SetSubmitUrl(url);
    std::string reply = Handshake("alice");
    EXPECT_NE(reply.find("\n" + url + "\n"), std::string::npos) << reply;
    std::string body = "u=alice&s=" + sim->Token("alice", ChallengeOf(reply)) +
                       Entry(0, "A", "T", "2006-05-01 12:34:56", "60");
    EXPECT_EQ(CRawHttpClient::Request(sim->SubmitPort(), "POST", "/other/path", body).body, "OK\n");
}

TEST_F(SimulatorTest, BehavioursTakeEffectAndResetClearsThem) {
    const std::string target = "/vbx/pwcheck.php?time=1&username=bob&auth=x";
    struct {
        CFenwaveSimulator::CBehaviour behaviour;
        int status;
        std::string body;
        bool http;
    } cases[] = {
        {{.mode = EMode::Status, .status = 500}, 500, "", true},
        {{.mode = EMode::Status, .status = 404}, 404, "", true},
        {{.mode = EMode::Close}, 0, "", false},
        {{.mode = EMode::Garbage}, 0, "", false},
        {{.mode = EMode::Empty}, 200, "", true},
        {{.mode = EMode::Body, .body = "fixed\nanswer"}, 200, "fixed\nanswer", true},
        {{.mode = EMode::Delay, .delaySeconds = 0.2}, 200, "BADPASSWORD", true},
        {{.mode = EMode::Redirect, .location = "http://127.0.0.1:1/x"}, 302, "", true},
    };
    for (const auto& c : cases) {
        sim->SetBehaviour(ERole::Web, "/vbx/", c.behaviour);
        auto reply = Get(ERole::Web, target);
        EXPECT_EQ(reply.status, c.status) << reply.raw;
        EXPECT_EQ(reply.body, c.http ? c.body : reply.raw);
        EXPECT_EQ(reply.raw.rfind("HTTP/1.0 ", 0) == 0, c.http) << reply.raw;
        if (c.behaviour.mode == EMode::Close) {
            EXPECT_EQ(reply.raw, "");
        }
        if (c.behaviour.mode == EMode::Redirect) {
            EXPECT_NE(std::find(reply.headers.begin(), reply.headers.end(),
                                std::pair<std::string, std::string>{"Location", "http://127.0.0.1:1/x"}),
                      reply.headers.end());
        }
        // Other prefixes and other servers are not affected.
        EXPECT_EQ(Get(ERole::Web, "/pics/a.png").status, 200);
        EXPECT_EQ(Handshake("alice").substr(0, 9), "UPTODATE\n");
        sim->Reset();
        EXPECT_EQ(Get(ERole::Web, target).body, "BADPASSWORD");
    }
}

TEST_F(SimulatorTest, CountedBehaviourAndLongestPrefix) {
    sim->SetBehaviour(ERole::Submit, "/", {.mode = EMode::Status, .status = 503, .count = 1});
    sim->SetBehaviour(ERole::Submit, "/?hs=true", {.mode = EMode::Status, .status = 500, .count = 2});
    EXPECT_EQ(Get(ERole::Submit, "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice").status, 500);
    EXPECT_EQ(Get(ERole::Submit, "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice").status, 500);
    EXPECT_EQ(Get(ERole::Submit, "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice").status, 503);
    EXPECT_EQ(Get(ERole::Submit, "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice").status, 200);
    sim->SetBehaviour(ERole::Submit, "/", {.mode = EMode::Status, .status = 500});
    sim->ClearBehaviour(ERole::Submit, "/");
    EXPECT_EQ(Get(ERole::Submit, "/?hs=true&p=1.1&c=vbx&v=0.1&u=alice").status, 200);
}

TEST_F(SimulatorTest, StalledRequestIsRecordedAndNeverAnswered) {
    sim->SetBehaviour(ERole::Static, "/plugins/", {.mode = EMode::Stall});
    EXPECT_THROW(CRawHttpClient::Request(sim->StaticPort(), "GET", "/plugins/vbx/upg.win.1.0", {}, {},
                                         std::chrono::milliseconds(300)),
                 std::runtime_error);
    ASSERT_TRUE(sim->WaitForRequests(ERole::Static, 1));
    EXPECT_EQ(sim->Requests(ERole::Static).at(0).target, "/plugins/vbx/upg.win.1.0");
}

TEST_F(SimulatorTest, RequestRecordCarriesExactHeadAndBody) {
    // Written the way the program's own client writes a POST.
    const std::string head =
        "POST /submit/ HTTP/1.0\r\nHost:127.0.0.1\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length:13\r\n"
        "User-Agent: Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)\r\nAccept: */*\r\n"
        "Connection: Close\r\n\r\n";
    auto reply =
        CRawHttpClient::Parse(CRawHttpClient::Exchange(sim->SubmitPort(), head + "u=alice&s=abc\r\n"));
    EXPECT_EQ(reply.body, "BADAUTH\n");
    CRawHttpClient::Request(sim->WebPort(), "GET", "/vbx/metadata.php?artist=A&track=T&album=", {},
                            {{"X-One", "1"}, {"x-two", "  two  "}});

    auto submit = sim->Requests(ERole::Submit);
    ASSERT_EQ(submit.size(), 1u);
    EXPECT_EQ(submit[0].method, "POST");
    EXPECT_EQ(submit[0].target, "/submit/");
    EXPECT_EQ(submit[0].version, "HTTP/1.0");
    EXPECT_EQ(submit[0].head, head);
    EXPECT_EQ(submit[0].body, "u=alice&s=abc");
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Host", "127.0.0.1"},    {"Content-Type", "application/x-www-form-urlencoded"},
        {"Content-Length", "13"}, {"User-Agent", "Mozilla/5.0 (compatible; libvortler 2.0; vbx 0.1)"},
        {"Accept", "*/*"},        {"Connection", "Close"}};
    EXPECT_EQ(submit[0].headers, expected);
    EXPECT_EQ(submit[0].Header("content-length"), "13");

    auto web = sim->Requests(ERole::Web);
    ASSERT_EQ(web.size(), 1u);
    EXPECT_EQ(web[0].target, "/vbx/metadata.php?artist=A&track=T&album=");
    ASSERT_EQ(web[0].headers.size(), 3u);
    EXPECT_EQ(web[0].headers[1], (std::pair<std::string, std::string>{"X-One", "1"}));
    EXPECT_EQ(web[0].headers[2], (std::pair<std::string, std::string>{"x-two", "two  "}));
    EXPECT_EQ(web[0].body, "");
    EXPECT_TRUE(sim->Requests(ERole::Static).empty());
}

TEST_F(SimulatorTest, MetadataDefaultsAndFixedAnswers) {
    auto track = Get(ERole::Web, "/vbx/metadata.php?artist=Some+%22Band%22&track=Song&album=Best+Of").body;
    std::regex trackAnswer("^\"Some \"\"Band\"\"\"\n\"Song\"\n\"Best Of\"\n\"[^\"]+\"\n\"http://" +
                           std::regex_replace(sim->WebHost(), std::regex("\\."), "\\.") +
                           "/pics/[^\"]+\\.jpg\"\n$");
    EXPECT_TRUE(std::regex_match(track, trackAnswer)) << track;
    auto artist = Get(ERole::Web, "/vbx/artistmetadata.php?artist=Band").body;
    EXPECT_TRUE(std::regex_match(
        artist, std::regex("^\"Band\"\n\"[^\"]+\"\n\"[^\"]*\\[[^\"]*\"\n\"http://[^\"]+\"\n$")))
        << artist;

    sim->SetMetadata("/vbx/metadata.php", CFenwaveSimulator::QuotedFields({"a", "b \"c\"", "d", "e"}));
    sim->SetMetadata("/vbx/metadata.php?artist=X&track=Y&album=Z", "\"only\"");
    EXPECT_EQ(Get(ERole::Web, "/vbx/metadata.php?artist=Q").body, "\"a\"\n\"b \"\"c\"\"\"\n\"d\"\n\"e\"\n");
    EXPECT_EQ(Get(ERole::Web, "/vbx/metadata.php?artist=X&track=Y&album=Z").body, "\"only\"");
}

TEST_F(SimulatorTest, PicturesAreValidImages) {
    struct {
        std::string target;
        std::string magic;
        std::string trailer;
    } cases[] = {
        {"/pics/cover.jpg", "\xff\xd8\xff", "\xff\xd9"},
        {"/pics/cover.png", "\x89PNG\r\n\x1a\n", std::string("IEND\xae\x42\x60\x82", 8)},
        {"/pics/cover.gif", "GIF89a", ";"},
    };
    for (const auto& c : cases) {
        auto reply = Get(ERole::Web, c.target);
        EXPECT_EQ(reply.status, 200) << c.target;
        EXPECT_EQ(reply.body.substr(0, c.magic.size()), c.magic) << c.target;
        ASSERT_GE(reply.body.size(), c.trailer.size());
        EXPECT_EQ(reply.body.substr(reply.body.size() - c.trailer.size()), c.trailer) << c.target;
    }
    EXPECT_NE(Get(ERole::Web, "/pics/a.jpg").body, Get(ERole::Web, "/pics/b.jpg").body);
    EXPECT_EQ(Get(ERole::Web, "/pics/a.bmp").status, 404);
}

TEST_F(SimulatorTest, StaticHostServesUpdateInfoAndFiles) {
    auto info = Get(ERole::Static, "/plugins/vbx/upg.win.1.0");
    EXPECT_EQ(info.status, 200);
    for (const char* section : {"\n[App]\n", "\n[Radio]\n", "\n[Plugins]\n"})
        EXPECT_NE(info.body.find(section), std::string::npos) << section;
    EXPECT_NE(info.body.find("http://" + sim->StaticHost() + "/download/"), std::string::npos);

    sim->SetFile("/plugins/vbx/upg.win.1.0", "[App]\n\"x\",\"y\",\"z\",\"1\",\"\"\n");
    EXPECT_EQ(Get(ERole::Static, "/plugins/vbx/upg.win.1.0").body, "[App]\n\"x\",\"y\",\"z\",\"1\",\"\"\n");
    const std::string binary("\x00\x01\xff plugin", 10);
    sim->SetFile("/download/p.dll", binary);
    EXPECT_EQ(Get(ERole::Static, "/download/p.dll").body, binary);
    sim->SetGeneratedFile("/download/big.exe", 100000, 400000);
    auto big = Get(ERole::Static, "/download/big.exe");
    EXPECT_EQ(big.body.size(), 100000u);
    EXPECT_EQ(big.headers.at(1), (std::pair<std::string, std::string>{"Content-Length", "100000"}));
    sim->RemoveFile("/download/p.dll");
    EXPECT_EQ(Get(ERole::Static, "/download/p.dll")
                  .body.rfind("\x7f"
                              "ELF",
                              0),
              0u);
    EXPECT_EQ(Get(ERole::Static, "/nothing/here").status, 404);
    sim->Reset();
    EXPECT_NE(Get(ERole::Static, "/plugins/vbx/upg.win.1.0").body.find("[Plugins]"), std::string::npos);
}

TEST_F(SimulatorTest, ClientLeavingASlowDownloadDoesNotHurtTheServer) {
    sim->SetGeneratedFile("/download/slow.exe", 1000000, 20000);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(sim->StaticPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /download/slow.exe HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::string head;
    char buf[512];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        head.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_NE(head.find("Content-Length: 1000000\r\n"), std::string::npos) << head;
    ::close(fd);

    EXPECT_EQ(Get(ERole::Static, "/download/a.dll").status, 200);
    EXPECT_EQ(Handshake("alice").substr(0, 9), "UPTODATE\n");
}

TEST_F(SimulatorTest, RecordingInstallerLogsItsCommandLine) {
    CTestEnvironment env;
    std::string log = env.Root() + "/it's installed.log";
    sim->SetFile("/download/plugin-setup.exe", CFenwaveSimulator::RecordingInstaller(log));
    std::string installer = env.Root() + "/plugin-setup.exe";
    WriteFile(installer, Get(ERole::Static, "/download/plugin-setup.exe").body);
    ASSERT_EQ(::chmod(installer.c_str(), 0755), 0);
    EXPECT_EQ(CTestProcess::Run({installer, "/S", "/DIR=\"/opt/player/Plugins/\""}).exitCode, 0);
    EXPECT_EQ(CTestProcess::Run({installer, "again"}).exitCode, 0);
    EXPECT_EQ(ReadFile(log), installer + " /S /DIR=\"/opt/player/Plugins/\"\n" + installer + " again\n");
}

TEST(SimulatorProgramTest, DefaultInstallersRecordTheirCalls) {
    CTestEnvironment env;
    std::string log = env.Root() + "/installers.log";
    CFenwaveSimulator sim;
    sim.SetInstallerLog(log);
    std::string installer = env.Root() + "/radio-setup.exe";
    WriteFile(installer, CRawHttpClient::Request(sim.StaticPort(), "GET", "/download/radio-setup.exe").body);
    ASSERT_EQ(::chmod(installer.c_str(), 0755), 0);
    EXPECT_EQ(CTestProcess::Run({installer, "/S"}).exitCode, 0);
    EXPECT_EQ(ReadFile(log), installer + " /S\n");
}

TEST(SimulatorProgramTest, WritesPortsFileAndEndsCleanlyOnSigterm) {
    CTestEnvironment env;
    std::string portsFile = env.Root() + "/ports.json";
    CTestProcess sim({"/usr/bin/python3", SourceDir() + "/tools/fenwave-sim.py", "--submit-port", "0",
                      "--web-port", "0", "--static-port", "0", "--ports-file", portsFile, "--user", "u:p"},
                     {.pipeStdout = true});
    std::string line;
    ASSERT_TRUE(sim.ReadLine(line, std::chrono::seconds(30)));
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\{"submit": \d+, "web": \d+, "static": \d+\})")))
        << line;
    EXPECT_EQ(ReadFile(portsFile), line + "\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, std::regex(R"("submit": (\d+))")));
    auto port = static_cast<std::uint16_t>(std::stoi(m[1]));
    EXPECT_EQ(CRawHttpClient::Request(port, "GET", "/?hs=true&p=1.1&c=vbx&v=0.1&u=u").body.substr(0, 9),
              "UPTODATE\n");
    EXPECT_EQ(sim.Stop(std::chrono::seconds(20)), 0);
}

TEST(SimulatorProgramTest, RefusesBadUserOption) {
    auto result =
        CTestProcess::Run({"/usr/bin/python3", SourceDir() + "/tools/fenwave-sim.py", "--submit-port", "0",
                           "--web-port", "0", "--static-port", "0", "--user", "nopassword"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--user needs NAME:PASSWORD"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(SimulatorTest, WaitForSubmissionsSeesEntriesFromAnotherThread) {
    std::string challenge = ChallengeOf(Handshake("alice"));
    std::string body =
        "u=alice&s=" + sim->Token("alice", challenge) + Entry(0, "A", "T", "2006-05-01 12:34:56", "60");
    std::string reply;
    std::thread submitter([&] { reply = Submit(body); });
    EXPECT_TRUE(sim->WaitForSubmissions(1));
    submitter.join();
    EXPECT_EQ(reply, "OK\n");
    EXPECT_FALSE(sim->WaitForSubmissions(2, std::chrono::milliseconds(100)));
}

TEST(SimulatorLifetimeTest, StopsWithItsOwner) {
    std::uint16_t port;
    {
        CFenwaveSimulator sim;
        port = sim.WebPort();
        EXPECT_EQ(CRawHttpClient::Request(port, "GET", "/__sim/ping").body, "OK");
    }
    EXPECT_THROW(CRawHttpClient::Request(port, "GET", "/__sim/ping"), std::runtime_error);
}

} // namespace
