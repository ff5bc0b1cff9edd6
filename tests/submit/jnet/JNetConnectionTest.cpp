#include "submit/jnet/JNetConnection.h"

#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;

namespace {

// Runs the connection until the condition holds; false after a generous bound.
bool RunUntil(JNetConnection& connection, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        connection.run();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool RunUntilState(JNetConnection& connection, JNetConnection::State state) {
    return RunUntil(connection, [&] { return connection.state() == state; });
}

TEST(JNetConnectionTest, CountsAndReadsTheFourLineEnds) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> lines;
        std::string rest; // unterminated text after the last line
    };
    const std::vector<Case> cases = {
        {"each kind", "a\rb\nc\r\nd\n\re\r\n", {"a", "b", "c", "d", "e"}, ""},
        {"empty CRLF lines", "\r\n\r\n", {"", ""}, ""},
        {"LF LF is two", "\n\n", {"", ""}, ""},
        {"CR CR is two", "\r\r", {"", ""}, ""},
        {"LFCR pairs", "\n\r\n\r", {"", ""}, ""},
        {"CRLF then LF", "x\r\n\ny", {"x", ""}, "y"},
        {"LFCR then CR", "p\n\r\rq\n", {"p", "", "q"}, ""},
        {"no line end", "tail", {}, "tail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedServer server({{Step::Send(c.bytes)}});
        JNetConnection connection(nullptr, 64, 4096);
        connection.connect("127.0.0.1", server.Port());
        ASSERT_TRUE(RunUntilState(connection, JNetConnection::kClosed));
        EXPECT_EQ(connection.bytesAvailable(), c.bytes.size());
        EXPECT_EQ(connection.linesAvailable(), int(c.lines.size()));
        char buffer[4096];
        for (const auto& line : c.lines) {
            EXPECT_EQ(connection.receiveLine(buffer, sizeof buffer), 0);
            EXPECT_EQ(std::string(buffer), line);
        }
        EXPECT_EQ(connection.linesAvailable(), 0);
        if (!c.rest.empty()) {
            EXPECT_EQ(connection.receiveLine(buffer, sizeof buffer), 1);
            EXPECT_EQ(std::string(buffer), c.rest);
        }
        EXPECT_EQ(connection.bytesAvailable(), 0u);
    }
}

// A CR at the end of what has arrived may be the first half of a CR LF; the
// line counts only once the next byte is there, so no empty line appears.
TEST(JNetConnectionTest, LineEndAtTheEndOfTheDataWaitsForItsPartner) {
    CScriptedServer server({{Step::Send("line\r"), Step::ReadRequest(), Step::Send("\nnext\r\n")}});
    JNetConnection connection(nullptr, 64, 4096);
    connection.connect("127.0.0.1", server.Port());
    ASSERT_TRUE(RunUntil(connection, [&] { return connection.bytesAvailable() == 5; }));
    EXPECT_EQ(connection.linesAvailable(), 0);
    ASSERT_EQ(connection.sendString("go\r\n\r\n"), 0);
    ASSERT_TRUE(RunUntil(connection, [&] { return connection.bytesAvailable() > 5; }));
    ASSERT_TRUE(RunUntil(connection, [&] { return connection.linesAvailable() == 2; }));
    char buffer[64];
    EXPECT_EQ(connection.receiveLine(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "line");
    EXPECT_EQ(connection.receiveLine(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "next");
}

TEST(JNetConnectionTest, ReceiveLineStopsAtTheRoomGiven) {
    CScriptedServer server({{Step::Send("abcdef\nxyz\n")}});
    JNetConnection connection(nullptr, 64, 4096);
    connection.connect("127.0.0.1", server.Port());
    ASSERT_TRUE(RunUntilState(connection, JNetConnection::kClosed));
    char buffer[8] = "#######";
    EXPECT_EQ(connection.receiveLine(buffer, 4), 1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#') << "nothing written past the maximum";
    EXPECT_EQ(connection.receiveLine(buffer, 4), 0) << "the line end fits exactly";
    EXPECT_STREQ(buffer, "def");
    EXPECT_EQ(connection.receiveLine(buffer, 4), 0);
    EXPECT_STREQ(buffer, "xyz");
}

TEST(JNetConnectionTest, ReceiveRingWrapsAround) {
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data += char(i * 31 % 251);
    for (std::size_t take : {1u, 7u, 4096u}) {
        for (int maxReceive : {-1, 5, 3000}) {
            SCOPED_TRACE("take " + std::to_string(take) + " maxReceive " + std::to_string(maxReceive));
            CScriptedServer server({{Step::Send(data)}});
            JNetConnection connection(nullptr, 16, 4096);
            connection.connect("127.0.0.1", server.Port());
            std::string received;
            std::vector<char> buffer(take);
            const auto until = std::chrono::steady_clock::now() + 15s;
            while (std::chrono::steady_clock::now() < until) {
                int sent = 0, got = 0;
                connection.run(-1, maxReceive, sent, got);
                if (maxReceive >= 0) {
                    ASSERT_LE(got, maxReceive);
                }
                ASSERT_LE(connection.bytesAvailable(), 4096u);
                std::vector<char> peeked(take);
                const std::size_t peekedCount = connection.peekBytes(peeked.data(), take);
                const std::size_t n = connection.receiveBytes(buffer.data(), take);
                ASSERT_EQ(n, peekedCount);
                ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + long(n), peeked.begin()));
                received.append(buffer.data(), n);
                if (connection.state() == JNetConnection::kClosed && connection.bytesAvailable() == 0)
                    break;
            }
            EXPECT_EQ(received.size(), data.size());
            EXPECT_TRUE(received == data);
        }
    }
}

// The server reads until the empty line, then closes.
TEST(JNetConnectionTest, SendQueuesOnlyWhatFits) {
    CScriptedServer server({{Step::ReadRequest()}});
    {
        JNetConnection connection(nullptr, 10, 4096);
        EXPECT_EQ(connection.state(), JNetConnection::kIdle);
        EXPECT_EQ(connection.sendString("abcdef"), 0);
        EXPECT_EQ(connection.sendString("12345"), -1) << "5 bytes do not fit into the 4 left";
        EXPECT_EQ(connection.sendString("ghij"), 0);
        EXPECT_EQ(connection.send("x", 1), -1);
        connection.connect("127.0.0.1", server.Port());
        // connect() starts afresh: the queue is empty again.
        EXPECT_EQ(connection.sendString("abcdef"), 0);
        ASSERT_TRUE(RunUntilState(connection, JNetConnection::kConnected));
        int sent = 0, received = 0;
        const auto until = std::chrono::steady_clock::now() + 15s;
        int total = 0;
        while (total < 6 && std::chrono::steady_clock::now() < until) {
            connection.run(-1, -1, sent, received);
            total += sent;
        }
        EXPECT_EQ(total, 6);
        // The next piece wraps around the end of the ring.
        EXPECT_EQ(connection.sendString("GH\r\n\r\n"), 0);
        connection.close(false);
        EXPECT_EQ(connection.state(), JNetConnection::kClosing);
        ASSERT_TRUE(RunUntilState(connection, JNetConnection::kClosed));
    }
    ASSERT_TRUE(server.WaitForFinished(1));
    EXPECT_EQ(server.Received(0), "abcdefGH\r\n\r\n");
}

TEST(JNetConnectionTest, MaxSendBoundsEachCall) {
    CScriptedServer server({{Step::ReadRequest()}});
    {
        JNetConnection connection(nullptr, 100, 4096);
        connection.connect("127.0.0.1", server.Port());
        connection.sendString("0123456\r\n\r\n");
        ASSERT_TRUE(RunUntilState(connection, JNetConnection::kConnected));
        int total = 0;
        const auto until = std::chrono::steady_clock::now() + 15s;
        while (total < 11 && std::chrono::steady_clock::now() < until) {
            int sent = 0, received = 0;
            connection.run(3, -1, sent, received);
            ASSERT_LE(sent, 3);
            total += sent;
        }
        EXPECT_EQ(total, 11);
    }
    ASSERT_TRUE(server.WaitForFinished(1));
    EXPECT_EQ(server.Received(0), "0123456\r\n\r\n");
}

TEST(JNetConnectionTest, ReportsConnectFailures) {
    int closedPort;
    {
        CScriptedServer gone(std::vector<CScriptedServer::Script>{});
        closedPort = gone.Port();
    }
    struct Case {
        const char* host;
        int port;
        const char* error;
    };
    const Case cases[] = {
        {"", 80, "empty hostname"},
        {"127.0.0.1", closedPort, "connecting to host"},
        {"nonexistent.invalid", 80, "resolving hostname"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        JNetConnection connection(nullptr, 16, 4096);
        connection.connect(c.host, std::uint16_t(c.port));
        ASSERT_TRUE(RunUntil(connection, [&] { return connection.state() == JNetConnection::kError; }));
        EXPECT_EQ(connection.errorText(), c.error);
    }
}

TEST(JNetConnectionTest, QuickCloseForgetsEverything) {
    CScriptedServer server({{Step::Send("data\n"), Step::Pause(10s)}});
    JNetConnection connection(nullptr, 16, 4096);
    connection.connect("127.0.0.1", server.Port());
    ASSERT_TRUE(RunUntil(connection, [&] { return connection.bytesAvailable() == 5; }));
    connection.sendString("queued");
    connection.close(true);
    EXPECT_EQ(connection.state(), JNetConnection::kClosed);
    EXPECT_EQ(connection.bytesAvailable(), 0u);
    EXPECT_EQ(connection.linesAvailable(), 0);
    // Closing again, quick or not, changes nothing.
    connection.close(false);
    EXPECT_EQ(connection.state(), JNetConnection::kClosed);
}

} // namespace
