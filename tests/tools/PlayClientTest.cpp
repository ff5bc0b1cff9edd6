#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

/// A one-connection stand-in for the program's player listener: it reads
/// the expected number of bytes (or up to the peer's close), then answers
/// with the scripted pieces, or stays silent until it is destroyed.
class CScriptedListener {
public:
    CScriptedListener(std::size_t expectedBytes, std::vector<std::string> replyPieces, bool silent)
        : mExpected(expectedBytes), mPieces(std::move(replyPieces)), mSilent(silent) {
        mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(mFd, 1) != 0 || ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot set up the scripted listener");
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { Serve(); });
    }
    ~CScriptedListener() {
        {
            std::lock_guard lock(mMutex);
            mEnd = true;
        }
        mWake.notify_all();
        ::shutdown(mFd, SHUT_RDWR);
        mThread.join();
        ::close(mFd);
    }
    CScriptedListener(const CScriptedListener&) = delete;
    CScriptedListener& operator=(const CScriptedListener&) = delete;

    std::uint16_t Port() const { return mPort; }
    /// The bytes received; valid once the client has finished.
    std::string Received() {
        std::lock_guard lock(mMutex);
        return mReceived;
    }

private:
    void Serve() {
        int conn = ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            return;
        std::string got;
        while (got.size() < mExpected) {
            char buf[1024];
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard lock(mMutex);
            mReceived = got;
        }
        if (mSilent) {
            std::unique_lock lock(mMutex);
            mWake.wait(lock, [this] { return mEnd; });
        }
        for (const auto& piece : mPieces) {
            ::send(conn, piece.data(), piece.size(), MSG_NOSIGNAL);
            std::this_thread::yield();
        }
        ::shutdown(conn, SHUT_WR);
        char drain[256];
        while (::recv(conn, drain, sizeof drain, 0) > 0) {
        }
        ::close(conn);
    }

    int mFd = -1;
    std::uint16_t mPort = 0;
    std::size_t mExpected;
    std::vector<std::string> mPieces;
    bool mSilent;
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mEnd = false;
    std::string mReceived;
    std::thread mThread;
};

std::string Play() {
    return BinDir() + "/vortlebox-play";
}

TEST(PlayClientTest, SendsOneLineAndMapsTheReply) {
    struct {
        std::vector<std::string> args;
        std::string expectedLine;
        std::vector<std::string> reply;
        int exitCode;
        std::string out;
        std::string errPart;
    } cases[] = {
        {{"START", "c=demo&a=Artist&t=Title&l=200&p=/music/a.mp3"},
         "START c=demo&a=Artist&t=Title&l=200&p=/music/a.mp3\n",
         {"OK\n"},
         0,
         "OK\n",
         ""},
        {{"FOO", "c=x"},
         "FOO c=x\n",
         {"ERROR: Command 'FOO' isn't a valid command\n"},
         1,
         "ERROR: Command 'FOO' isn't a valid command\n",
         ""},
        {{"STOP", "c=a&&b"}, "STOP c=a&&b\n", {"OK\r\n"}, 0, "OK\n", ""},
        {{"STOP", "c=x"}, "STOP c=x\n", {"O", "K\n"}, 0, "OK\n", ""},
        {{"STOP"},
         "STOP\n",
         {"ERROR: Command doesn't seem to be followed by a space followed by arguments\n"},
         1,
         "ERROR: Command doesn't seem to be followed by a space followed by arguments\n",
         ""},
        {{"--raw", "  stop \t c=x\r"}, "  stop \t c=x\r\n", {"OK\n"}, 0, "OK\n", ""},
        {{"--no-newline", "--raw", "STOP c=x"}, "STOP c=x", {"OK\n"}, 0, "OK\n", ""},
        {{"STOP", "c=x"}, "STOP c=x\n", {"HELLO\n"}, 2, "HELLO\n", "unexpected reply"},
        {{"STOP", "c=x"}, "STOP c=x\n", {}, 2, "", "without a reply"},
    };
    for (const auto& c : cases) {
        CScriptedListener listener(c.expectedLine.size(), c.reply, false);
        std::vector<std::string> argv = {Play(), "--port", std::to_string(listener.Port())};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = CTestProcess::Run(argv);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.expectedLine << result.err;
        EXPECT_EQ(result.out, c.out) << c.expectedLine;
        EXPECT_NE(result.err.find(c.errPart), std::string::npos) << result.err;
        EXPECT_EQ(listener.Received(), c.expectedLine);
    }
}

TEST(PlayClientTest, SilentListenerTimesOut) {
    CScriptedListener listener(9, {"OK\n"}, true);
    auto result = CTestProcess::Run(
        {Play(), "--port", std::to_string(listener.Port()), "--timeout", "1", "STOP", "c=x"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("no reply within 1 s"), std::string::npos) << result.err;
}

TEST(PlayClientTest, UnreachableListenerAndBadUsage) {
    // A port that was just free and has nobody listening on it.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::string freePort = std::to_string(ntohs(addr.sin_port));
    ::close(fd);

    struct {
        std::vector<std::string> args;
        int exitCode;
        std::string errPart;
    } cases[] = {
        {{"--port", freePort, "STOP", "c=x"}, 2, "cannot connect to 127.0.0.1:" + freePort},
        {{}, 2, "usage:"},
        {{"--port", "abc", "STOP", "c=x"}, 2, "--port needs a number"},
        {{"--port", "70000", "STOP", "c=x"}, 2, "--port needs a number"},
        {{"--raw", "a", "b"}, 2, "--raw takes exactly one LINE"},
        {{"--no-newline", "STOP", "c=x"}, 2, "--no-newline needs --raw"},
        {{"--bogus", "STOP", "c=x"}, 2, "unknown option --bogus"},
        {{"--help"}, 0, "usage:"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {Play()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = CTestProcess::Run(argv);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_NE(result.err.find(c.errPart), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

} // namespace
