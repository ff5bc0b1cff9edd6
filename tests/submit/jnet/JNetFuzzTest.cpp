#include "submit/jnet/JNetHttpGet.h"
#include "submit/jnet/JNetHttpPost.h"

#include "tests/submit/jnet/JNetTestUtil.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;

namespace {

// Replies stitched together from pieces of HTTP and random bytes, so that
// status lines, redirects, headers and line ends meet in odd ways.
std::string GarbageReply(std::mt19937& random) {
    static const char* const kPieces[] = {
        "HTTP/1.0 ",
        "HTTP/1.1 ",
        "200",
        "206",
        "100",
        "301",
        "302",
        "404",
        "500",
        " OK",
        " ",
        "\r",
        "\n",
        "\r\n",
        "\n\r",
        "\r\n\r\n",
        "Location:",
        "Location: http://fuzz.invalid/next",
        "Location: ",
        "Content-Length: ",
        "Content-Length: 5",
        "99999999999999999999999",
        "-5",
        "@",
        ":",
        "://",
        "/",
    };
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> count(0, 40);
    static const char* const kStarts[] = {
        "", "HTTP/1.0 200 OK\r\n", "HTTP/1.1 100 Continue\r\n", "HTTP/1.0 302 Found\r\n", "HTTP/1.0 500 x\n",
    };
    std::string reply =
        kStarts[std::uniform_int_distribution<std::size_t>(0, std::size(kStarts) - 1)(random)];
    const int parts = count(random);
    for (int i = 0; i < parts; ++i) {
        const int k = kind(random);
        if (k < 6) {
            reply += kPieces[piece(random)];
        } else if (k < 9) {
            for (int n = count(random); n > 0; --n)
                reply += char(byte(random));
        } else {
            reply += std::string(std::size_t(count(random)) * 150, char('a' + byte(random) % 26));
        }
    }
    return reply;
}

// Garbage never crashes, never overruns a buffer (the sanitizers watch) and
// always ends in 1 or -1. Every connection, redirects included, goes to the
// scripted server through the proxy setting, so no name is ever looked up.
TEST(JNetFuzzTest, GarbageRepliesEndCleanly) {
    std::mt19937 random(20061201);
    std::vector<CScriptedServer::Script> scripts;
    std::vector<std::string> replies;
    for (int i = 0; i < 120; ++i) {
        replies.push_back(GarbageReply(random));
        if (i % 3 == 0)
            scripts.push_back(CScriptedServer::SendInPieces(replies.back(), 1 + i % 50, 0ms));
        else
            scripts.push_back({Step::ReadRequest(), Step::Send(replies.back())});
    }
    CScriptedServer server(scripts);
    int bodies = 0, completed = 0;
    for (int i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        int result;
        std::string body, error;
        if (i % 2 == 0) {
            JNetHttpGet get(nullptr, 4096, server.HostPort());
            get.setTimeLimits(5s, 10s);
            get.connect("http://fuzz.invalid/" + std::to_string(i), 0, "GET");
            result = jnettest::RunReading(get, body);
            EXPECT_LT(get.errorText().size(), 4096u);
            error = get.errorText();
        } else {
            JNetHttpPost post(nullptr, 4096, "u:p@" + server.HostPort());
            post.setTimeLimits(5s, 10s);
            post.setBody("a=1&b=2");
            post.connect("http://fuzz.invalid/" + std::to_string(i), 0);
            result = jnettest::RunReading(post, body);
            EXPECT_LT(post.errorText().size(), 4096u);
            error = post.errorText();
        }
        EXPECT_TRUE(result == 1 || result == -1) << result;
        // The server always ends the connection, so nothing may stall.
        EXPECT_EQ(error.find("timed out"), std::string::npos) << error;
        if (result == 1)
            ++completed;
        // Whatever body was read is a piece of one of the replies.
        if (!body.empty()) {
            EXPECT_TRUE(std::any_of(replies.begin(), replies.end(), [&](const std::string& reply) {
                return reply.find(body) != std::string::npos;
            }));
            ++bodies;
        }
    }
    std::cout << "completed " << completed << ", with body " << bodies << " of 60\n";
}

} // namespace
