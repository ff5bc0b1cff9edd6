#include "submit/jnet/JNetHttpGet.h"
#include "submit/jnet/JNetHttpPost.h"

#include "tests/submit/jnet/JNetTestUtil.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

using namespace std::chrono_literals;
using jnettest::Lines;
using jnettest::RunToEnd;
using jnettest::TakeBody;
using Step = CScriptedServer::Step;

namespace {

const std::string kOkReply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello body";

CScriptedServer::Script Answer(const std::string& reply) {
    return {Step::ReadRequest(), Step::Send(reply)};
}

// What the server received once the client is gone.
std::string ReceivedAfter(CScriptedServer& server, std::size_t connection = 0) {
    EXPECT_TRUE(server.WaitForFinished(connection + 1));
    return server.Received(connection);
}

struct RequestTextCase {
    const char* name;
    // Builds the URL and the proxy string from the server's "127.0.0.1:PORT".
    std::function<std::string(const std::string&)> url;
    std::function<std::string(const std::string&)> proxy;
    int minor;
    const char* method;
    std::function<std::string(const std::string&)> expected;
};

TEST(JNetHttpGetTest, SendsTheExactRequestText) {
    const std::string headers = "User-Agent: test agent\r\nAccept: */*\r\nConnection: Close\r\n\r\n";
    auto none = [](const std::string&) { return std::string(); };
    const std::vector<RequestTextCase> cases = {
        {"path", [](auto& hp) { return "http://" + hp + "/path"; }, none, 0, "GET",
         [&](auto&) { return "GET /path HTTP/1.0\r\nHost:127.0.0.1\r\n" + headers; }},
        {"no path", [](auto& hp) { return "http://" + hp; }, none, 0, "GET",
         [&](auto&) { return "GET / HTTP/1.0\r\nHost:127.0.0.1\r\n" + headers; }},
        {"no scheme, query kept", [](auto& hp) { return hp + "/a/b?c=d&e=%20"; }, none, 0, "GET",
         [&](auto&) { return "GET /a/b?c=d&e=%20 HTTP/1.0\r\nHost:127.0.0.1\r\n" + headers; }},
        {"minor version modulo ten", [](auto& hp) { return "http://" + hp + "/v"; }, none, 11, "HEAD",
         [&](auto&) { return "HEAD /v HTTP/1.1\r\nHost:127.0.0.1\r\n" + headers; }},
        {"credentials", [](auto& hp) { return "http://joe:s3cr:et@" + hp + "/private"; }, none, 0, "GET",
         [&](auto&) {
             return "GET /private HTTP/1.0\r\nHost:127.0.0.1\r\nAuthorization: Basic " +
                    JNetHttpGet::base64("joe:s3cr:et") + "\r\n" + headers;
         }},
        {"proxy", [](auto&) { return std::string("http://fenwave.invalid:8080/x?y=1"); },
         [](auto& hp) { return hp; }, 0, "GET",
         [&](auto&) {
             return "GET http://fenwave.invalid:8080/x?y=1 HTTP/1.0\r\nHost:fenwave.invalid\r\n" + headers;
         }},
        {"proxy with credentials", [](auto&) { return std::string("http://fenwave.invalid/hs"); },
         [](auto& hp) { return "pxuser:pxpass@" + hp; }, 0, "GET",
         [&](auto&) {
             return "GET http://fenwave.invalid/hs HTTP/1.0\r\nHost:fenwave.invalid\r\nProxy-Authorization: "
                    "Basic " +
                    JNetHttpGet::base64("pxuser:pxpass") + "\r\n" + headers;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedServer server({Answer(kOkReply)});
        const std::string hostPort = server.HostPort();
        {
            JNetHttpGet get(nullptr, 16384, c.proxy(hostPort));
            get.addHeader("User-Agent: test agent");
            get.addHeader("X-Injected: a\r\nEvil: b"); // ignored: carries a line end
            get.addHeader("X-Injected: a\n");          // ignored
            get.addHeader("Accept: */*");
            get.addHeader("Connection: Close");
            get.connect(c.url(hostPort), c.minor, c.method);
            ASSERT_EQ(RunToEnd(get), 1) << get.errorText();
            EXPECT_EQ(get.replyCode(), 200);
            EXPECT_EQ(TakeBody(get), "hello body");
        }
        EXPECT_EQ(Lines(ReceivedAfter(server)), Lines(c.expected(hostPort)));
    }
}

TEST(JNetHttpGetTest, Base64FollowsRfc4648) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00\x80", 4), "//4AgA=="},
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(JNetHttpGet::base64(in), out) << in;
}

TEST(JNetHttpGetTest, ParsesTheProxyString) {
    struct Case {
        const char* proxy;
        const char* host;
        int port;
        const char* credentials;
    };
    const Case cases[] = {
        {"", "", 80, ""},
        {"proxy.invalid:3128", "proxy.invalid", 3128, ""},
        {"proxy.invalid", "proxy.invalid", 80, ""},
        {"u:p@proxy.invalid", "proxy.invalid", 80, "u:p"},
        {"u:p@ss@proxy.invalid:8080", "proxy.invalid", 8080, "u:p@ss"},
        {"u:p@", "", 80, ""}, // no host: direct, credentials unused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proxy);
        JNetHttpGet get(nullptr, 0, c.proxy);
        EXPECT_EQ(get.proxyHost(), c.host);
        EXPECT_EQ(get.proxyPort(), c.port);
        EXPECT_EQ(get.proxyCredentials(), c.credentials);
    }
}

TEST(JNetHttpGetTest, RefusesBadUrlsAndProxies) {
    struct Case {
        const char* url;
        const char* proxy;
        const char* error;
    };
    const Case cases[] = {
        {"http:///x", "", "invalid URL"},
        {"http://", "", "invalid URL"},
        {"", "", "invalid URL"},
        {"http://127.0.0.1:0/", "", "invalid URL"},
        {"http://127.0.0.1:70000/", "", "invalid URL"},
        {"http://127.0.0.1:12ab/", "", "invalid URL"},
        {"http://127.0.0.1:/", "", "invalid URL"},
        {"http://user@/x", "", "invalid URL"},
        {"http://127.0.0.1/a b", "", "invalid URL"},
        {"http://127.0.0.1/a\r\nX-Smuggled: 1", "", "invalid URL"},
        {"http://127.0.0.1/", "proxy.invalid:99999", "invalid proxy"},
        {"http://127.0.0.1/", "proxy.invalid:x", "invalid proxy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        JNetHttpGet get(nullptr, 16384, c.proxy);
        get.connect(c.url, 0, "GET");
        EXPECT_EQ(get.run(), -1);
        EXPECT_EQ(get.errorText(), c.error);
        EXPECT_EQ(get.run(), -1) << "stays failed";
        JNetHttpPost post(nullptr, 16384, c.proxy);
        post.setBody("a=b");
        post.connect(c.url, 0);
        EXPECT_EQ(post.run(), -1);
        EXPECT_EQ(post.errorText(), c.error);
    }
}

TEST(JNetHttpPostTest, SendsTheExactRequestText) {
    struct Case {
        std::string body;
        std::string contentLength; // the line, or "" when absent
    };
    const std::vector<Case> cases = {
        {"u=abc&s=12", "Content-Length:10\r\n"},
        {"", ""},
        {std::string("a\0b", 3), "Content-Length:3\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        CScriptedServer server({Answer("HTTP/1.0 200 OK\r\n\r\nOK\n")});
        {
            JNetHttpPost post(nullptr, 16384, "");
            post.addHeader("User-Agent: test agent");
            post.addHeader("Accept: */*");
            post.setBody(c.body.data(), c.body.size());
            post.connect(server.Url("/submit.php"), 0);
            ASSERT_EQ(RunToEnd(post), 1) << post.errorText();
            EXPECT_EQ(TakeBody(post), "OK\n");
        }
        const std::string expected = "POST /submit.php HTTP/1.0\r\nHost:127.0.0.1\r\n"
                                     "Content-Type: application/x-www-form-urlencoded\r\n" +
                                     c.contentLength + "User-Agent: test agent\r\nAccept: */*\r\n\r\n" +
                                     c.body + "\r\n";
        EXPECT_EQ(Lines(ReceivedAfter(server)), Lines(expected));
    }
}

TEST(JNetHttpTest, FollowsRedirectsToTheNewUrl) {
    for (const char* status : {"HTTP/1.1 302 Found", "HTTP/1.1 301 Moved Permanently"}) {
        for (bool post : {false, true}) {
            SCOPED_TRACE(std::string(status) + (post ? " POST" : " GET"));
            CScriptedServer target({Answer("HTTP/1.0 200 OK\r\n\r\nmoved here")});
            CScriptedServer first({Answer(std::string(status) + "\r\nServer: x\r\nlocation:   " +
                                          target.Url("/y") + "  \r\n\r\nignored")});
            std::string body;
            if (post) {
                JNetHttpPost request(nullptr, 16384, "");
                request.addHeader("Accept: */*");
                request.setBody("k=v");
                request.connect(first.Url("/x"), 1);
                ASSERT_EQ(RunToEnd(request), 1) << request.errorText();
                body = TakeBody(request);
            } else {
                JNetHttpGet request(nullptr, 16384, "");
                request.addHeader("Accept: */*");
                request.connect(first.Url("/x"), 1, "GET");
                ASSERT_EQ(RunToEnd(request), 1) << request.errorText();
                EXPECT_EQ(request.replyCode(), 200);
                body = TakeBody(request);
            }
            EXPECT_EQ(body, "moved here");
            const std::string method = post ? "POST" : "GET";
            EXPECT_EQ(ReceivedAfter(first).rfind(method + " /x HTTP/1.1\r\n", 0), 0u);
            std::string expected = method + " /y HTTP/1.0\r\nHost:127.0.0.1\r\n";
            if (post)
                expected += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length:3\r\n";
            expected += "Accept: */*\r\n\r\n";
            if (post)
                expected += "k=v\r\n";
            EXPECT_EQ(Lines(ReceivedAfter(target)), Lines(expected));
        }
    }
}

TEST(JNetHttpTest, RedirectWithoutLocation) {
    {
        // The headers end without a Location: an error with no text.
        CScriptedServer server({Answer("HTTP/1.0 301 Moved Permanently\r\nServer: x\r\n\r\n")});
        JNetHttpGet get(nullptr, 16384, "");
        get.connect(server.Url("/"), 0, "GET");
        EXPECT_EQ(RunToEnd(get), -1);
        EXPECT_EQ(get.errorText(), "");
    }
    {
        // The connection ends inside the headers: the request is finished,
        // with the redirect's status and no body.
        CScriptedServer server({Answer("HTTP/1.0 302 Found\r\nServer: x\r\n")});
        JNetHttpPost post(nullptr, 16384, "");
        post.connect(server.Url("/"), 0);
        EXPECT_EQ(RunToEnd(post), 1) << post.errorText();
        EXPECT_EQ(post.replyCode(), 302);
        EXPECT_EQ(post.errorText(), "");
        EXPECT_EQ(TakeBody(post), "");
    }
}

TEST(JNetHttpTest, EndlessRedirectsStop) {
    // Through a proxy every request reaches the same server, which answers
    // each with another redirect.
    CScriptedServer proxy({Answer("HTTP/1.0 302 Found\r\nLocation: http://loop.invalid/again\r\n\r\n")});
    JNetHttpGet get(nullptr, 16384, proxy.HostPort());
    get.connect("http://loop.invalid/start", 0, "GET");
    EXPECT_EQ(RunToEnd(get), -1);
    EXPECT_EQ(get.errorText(), "too many redirects");
    EXPECT_EQ(proxy.Connections(), 11u);
    EXPECT_EQ(proxy.Received(1).rfind("GET http://loop.invalid/again HTTP/1.0\r\n", 0), 0u);
}

struct StatusCase {
    const char* name;
    bool post;
    CScriptedServer::Script script;
    int result;
    int code;
    std::string error;
    std::string body;
};

TEST(JNetHttpTest, HandlesStatusCodes) {
    const std::vector<StatusCase> cases = {
        {"GET 404", false, Answer("HTTP/1.0 404 Not Found\r\n\r\nmissing"), -1, 404, "HTTP/1.0 404 Not Found",
         ""},
        {"GET 500", false, Answer("HTTP/1.0 500 Internal Server Error\r\n\r\nx"), -1, 500,
         "HTTP/1.0 500 Internal Server Error", ""},
        {"GET 100", false, Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nx"), -1, 100,
         "HTTP/1.1 100 Continue", ""},
        {"GET 206", false, Answer("HTTP/1.1 206 Partial Content\r\n\r\npart"), 1, 206, "", "part"},
        {"GET garbage status", false, Answer("garbage\r\n\r\n"), -1, 0, "garbage", ""},
        {"GET 404 without line end", false, Answer("HTTP/1.0 404 Not Found"), -1, 404,
         "HTTP/1.0 404 Not Found", ""},
        {"GET blank line before status", false, Answer("\r\nHTTP/1.0 200 OK\r\n\r\nx"), 1, 200, "", "x"},
        {"GET LF line ends", false, Answer("HTTP/1.0 200 OK\nA: b\n\nbody\nmore"), 1, 200, "", "body\nmore"},
        {"POST 500 read like 200", true, Answer("HTTP/1.0 500 Internal Server Error\r\n\r\nFAILED oops\n"), 1,
         500, "", "FAILED oops\n"},
        {"POST 100 then 200, one piece", true,
         Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n"), 1,
         200, "", "OK\n"},
        {"POST 100 with headers then 200", true,
         Answer("HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\n\r\nOK\n"), 1, 200, "",
         "OK\n"},
        {"POST 404", true, Answer("HTTP/1.1 404 Not Found\r\n\r\n"), -1, 404, "HTTP/1.1 404 Not Found", ""},
        {"POST 200 with Content-Length", true, Answer("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nOK\n"), 1,
         200, "", "OK\n"},
        {"peer closes before answering", false, {Step::ReadRequest(), Step::Close()}, 1, 0, "", ""},
        {"peer closes at once", true, {Step::Close()}, 1, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedServer server({c.script});
        int result;
        std::string body;
        if (c.post) {
            JNetHttpPost post(nullptr, 16384, "");
            post.setBody("a=1");
            post.connect(server.Url("/p"), 0);
            result = RunToEnd(post);
            EXPECT_EQ(post.replyCode(), c.code);
            EXPECT_EQ(post.errorText(), c.error);
            body = TakeBody(post);
        } else {
            JNetHttpGet get(nullptr, 16384, "");
            get.connect(server.Url("/g"), 0, "GET");
            result = RunToEnd(get);
            EXPECT_EQ(get.replyCode(), c.code);
            EXPECT_EQ(get.errorText(), c.error);
            body = TakeBody(get);
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(body, c.body);
    }
}

// A POST reply with a Content-Length is complete when that much body is
// there, even if the server keeps the connection open.
TEST(JNetHttpPostTest, ContentLengthEndsTheReplyWithoutAClose) {
    CScriptedServer server({{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nO"),
                             Step::Pause(50ms), Step::Send("K\n"), Step::Pause(60s)}});
    JNetHttpPost post(nullptr, 16384, "");
    post.setTimeLimits(0ms, 30s);
    post.setBody("a=1");
    post.connect(server.Url("/"), 0);
    ASSERT_EQ(RunToEnd(post), 1) << post.errorText();
    EXPECT_EQ(TakeBody(post), "OK\n");
}

// Replies that arrive in small pieces, with line ends split between pieces,
// read exactly as if they came at once.
TEST(JNetHttpTest, RepliesInPiecesReadTheSame) {
    const std::string reply =
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nX-A: 1\r\nX-B: 2\r\n\r\nline one\r\nOK\n";
    for (std::size_t piece : {1u, 2u, 16u, 17u}) {
        SCOPED_TRACE(piece);
        CScriptedServer::Script script = {Step::ReadRequest()};
        for (auto& step : CScriptedServer::SendInPieces(reply, piece, 3ms))
            script.push_back(step);
        CScriptedServer server({script});
        JNetHttpPost post(nullptr, 16384, "");
        post.setBody("a=1");
        post.connect(server.Url("/p"), 0);
        ASSERT_EQ(RunToEnd(post), 1) << post.errorText();
        EXPECT_EQ(post.replyCode(), 200);
        EXPECT_EQ(post.replyHeaders(), (std::vector<std::string>{"X-A: 1", "X-B: 2"}));
        EXPECT_EQ(TakeBody(post), "line one\r\nOK\n");
    }
}

TEST(JNetHttpTest, StatusLineSplitBetweenCrAndLf) {
    CScriptedServer server({{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r"), Step::Pause(100ms),
                             Step::Send("\nX-A: 1\r\n\r\nbody")}});
    JNetHttpGet get(nullptr, 16384, "");
    get.connect(server.Url("/"), 0, "GET");
    ASSERT_EQ(RunToEnd(get), 1) << get.errorText();
    EXPECT_EQ(get.replyHeaders(), std::vector<std::string>{"X-A: 1"});
    EXPECT_EQ(TakeBody(get), "body");
}

TEST(JNetHttpTest, LinesLongerThanTheLineBufferDoNotOverflow) {
    const std::string longValue(10000, 'v');
    const std::string longReason(5000, 'r');
    struct Case {
        const char* name;
        std::string reply;
        int result;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"long header", "HTTP/1.0 200 OK\r\nX-Long: " + longValue + "\r\n\r\nbody", 1, "body"},
        {"long status line", "HTTP/1.0 200 " + longReason + "\r\n\r\nbody", 1, "body"},
        {"long error status", "HTTP/1.0 404 " + longReason + "\r\n\r\n", -1, ""},
        {"no line end at all", std::string(20000, 'z'), -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedServer server({Answer(c.reply)});
        JNetHttpGet get(nullptr, 4096, "");
        get.connect(server.Url("/"), 0, "GET");
        EXPECT_EQ(RunToEnd(get), c.result) << get.errorText().substr(0, 80);
        EXPECT_LT(get.errorText().size(), 4096u);
        EXPECT_EQ(TakeBody(get), c.body);
    }
}

// A body far bigger than the receive buffer passes through the ring buffer
// while the caller reads it in pieces.
TEST(JNetHttpTest, BodyBiggerThanTheReceiveBufferWrapsAround) {
    std::string body;
    for (int i = 0; i < 60000; ++i)
        body += char('A' + (i * 7 + i / 91) % 26);
    for (bool post : {false, true}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        CScriptedServer server({Answer("HTTP/1.0 200 OK\r\n\r\n" + body)});
        std::unique_ptr<JNetHttpGet> get;
        std::unique_ptr<JNetHttpPost> postRequest;
        std::string received;
        char piece[1000];
        const auto until = std::chrono::steady_clock::now() + 15s;
        int result = 0;
        auto step = [&](auto& request) {
            result = request.run();
            EXPECT_LE(request.bytesAvailable(), 4096u);
            const std::size_t n = request.getBytes(piece, sizeof piece);
            received.append(piece, n);
        };
        if (post) {
            postRequest = std::make_unique<JNetHttpPost>(nullptr, 100, "");
            postRequest->connect(server.Url("/"), 0);
            while (result == 0 && std::chrono::steady_clock::now() < until)
                step(*postRequest);
            received += TakeBody(*postRequest);
        } else {
            get = std::make_unique<JNetHttpGet>(nullptr, 100, "");
            get->connect(server.Url("/"), 0, "GET");
            while (result == 0 && std::chrono::steady_clock::now() < until)
                step(*get);
            received += TakeBody(*get);
        }
        EXPECT_EQ(result, 1);
        EXPECT_EQ(received.size(), body.size());
        EXPECT_TRUE(received == body);
    }
}

TEST(JNetHttpTest, TimeLimitsEndASilentExchange) {
    // The server accepts and reads the request, then says nothing.
    CScriptedServer server({{Step::ReadRequest(), Step::Pause(60s)}});
    {
        JNetHttpGet get(nullptr, 16384, "");
        get.setTimeLimits(5s, 200ms);
        get.connect(server.Url("/"), 0, "GET");
        EXPECT_EQ(RunToEnd(get), -1);
        EXPECT_EQ(get.errorText(), "timed out waiting for the server");
    }
    {
        JNetHttpPost post(nullptr, 16384, "");
        post.setTimeLimits(0ms, 200ms);
        post.setBody("a=1");
        post.connect(server.Url("/"), 0);
        EXPECT_EQ(RunToEnd(post), -1);
        EXPECT_EQ(post.errorText(), "timed out waiting for the server");
    }
}

// A listening socket whose queue of one is taken: further connects stay in
// progress, as with a host that does not answer.
class CFullBacklog {
public:
    CFullBacklog() {
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(mListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(mListen, 0);
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&address), &length);
        mPort = ntohs(address.sin_port);
        mFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(mFiller, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~CFullBacklog() {
        ::close(mFiller);
        ::close(mListen);
    }
    std::uint16_t Port() const { return mPort; }

private:
    int mListen = -1;
    int mFiller = -1;
    std::uint16_t mPort = 0;
};

TEST(JNetHttpTest, ConnectTimeLimitEndsAConnectThatHangs) {
    CFullBacklog backlog;
    JNetHttpGet get(nullptr, 16384, "");
    get.setTimeLimits(200ms, 0ms);
    get.connect("http://127.0.0.1:" + std::to_string(backlog.Port()) + "/", 0, "GET");
    EXPECT_EQ(RunToEnd(get), -1);
    EXPECT_EQ(get.errorText(), "timed out connecting to host");
}

TEST(JNetHttpTest, WithoutTimeLimitsASlowServerIsAwaited) {
    CScriptedServer server({{Step::ReadRequest(), Step::Pause(300ms), Step::Send(kOkReply)}});
    JNetHttpGet get(nullptr, 16384, "");
    get.setTimeLimits(0ms, 0ms);
    get.connect(server.Url("/"), 0, "GET");
    ASSERT_EQ(RunToEnd(get), 1) << get.errorText();
    EXPECT_EQ(TakeBody(get), "hello body");
}

TEST(JNetHttpTest, NameResolutionFailureAndLocalhost) {
    {
        JNetHttpGet get(nullptr, 16384, "");
        get.connect("http://nonexistent.invalid/x", 0, "GET");
        EXPECT_EQ(RunToEnd(get), -1);
        EXPECT_EQ(get.errorText(), "resolving hostname");
    }
    {
        CScriptedServer server({Answer(kOkReply)});
        JNetHttpGet get(nullptr, 16384, "");
        get.connect("http://localhost:" + std::to_string(server.Port()) + "/x", 0, "GET");
        ASSERT_EQ(RunToEnd(get), 1) << get.errorText();
        EXPECT_EQ(TakeBody(get), "hello body");
        EXPECT_NE(server.Received(0).find("Host:localhost\r\n"), std::string::npos);
    }
}

TEST(JNetHttpTest, ClosedPortFailsToConnect) {
    int port;
    {
        CScriptedServer gone(std::vector<CScriptedServer::Script>{});
        port = gone.Port();
    }
    JNetHttpGet get(nullptr, 16384, "");
    get.connect("http://127.0.0.1:" + std::to_string(port) + "/", 0, "GET");
    EXPECT_EQ(RunToEnd(get), -1);
    EXPECT_EQ(get.errorText(), "connecting to host");
}

} // namespace
