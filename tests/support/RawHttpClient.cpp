#include "tests/support/RawHttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

/// Closes the socket on every way out.
class CSocketGuard {
public:
    explicit CSocketGuard(int fd) noexcept : mFd(fd) {}
    ~CSocketGuard() {
        if (mFd >= 0)
            ::close(mFd);
    }
    CSocketGuard(const CSocketGuard&) = delete;
    CSocketGuard& operator=(const CSocketGuard&) = delete;
    int Get() const noexcept { return mFd; }

private:
    int mFd;
};

[[noreturn]] void Fail(const std::string& what, int error) {
    throw std::runtime_error("raw HTTP client: " + what +
                             (error ? std::string(": ") + std::strerror(error) : ""));
}

int MillisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, MillisLeft(deadline));
        if (r > 0)
            return;
        if (r == 0)
            Fail("time-out", 0);
        if (errno != EINTR)
            Fail("poll", errno);
    }
}

} // namespace

std::string CRawHttpClient::Exchange(std::uint16_t port, const std::string& bytes,
                                     std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    CSocketGuard sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0)
        Fail("socket", errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Fail("connect to port " + std::to_string(port), errno);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        WaitFor(sock.Get(), POLLOUT, deadline);
        ssize_t n = ::send(sock.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("send", errno);
        sent += static_cast<std::size_t>(n);
    }
    std::string received;
    for (;;) {
        WaitFor(sock.Get(), POLLIN, deadline);
        char buf[16384];
        ssize_t n = ::recv(sock.Get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("recv", errno);
        if (n == 0)
            return received;
        received.append(buf, static_cast<std::size_t>(n));
    }
}

CRawHttpClient::CReply CRawHttpClient::Parse(const std::string& raw) {
    CReply reply;
    reply.raw = raw;
    auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        reply.body = raw;
        return reply;
    }
    reply.body = raw.substr(headEnd + 4);
    std::size_t pos = 0;
    bool first = true;
    while (pos < headEnd) {
        auto eol = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, eol - pos);
        pos = eol + 2;
        if (first) {
            first = false;
            reply.statusLine = line;
            auto sp = line.find(' ');
            if (sp != std::string::npos)
                reply.status = std::atoi(line.c_str() + sp + 1);
            continue;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        auto value = line.find_first_not_of(" \t", colon + 1);
        reply.headers.emplace_back(line.substr(0, colon),
                                   value == std::string::npos ? std::string() : line.substr(value));
    }
    return reply;
}

CRawHttpClient::CReply CRawHttpClient::Request(std::uint16_t port, const std::string& method,
                                               const std::string& target, const std::string& body,
                                               const CHeaders& headers, std::chrono::milliseconds timeout) {
    std::string request =
        method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& [name, value] : headers)
        request += name + ": " + value + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    return Parse(Exchange(port, request, timeout));
}

std::string CRawHttpClient::FormEncode(const std::string& value) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : value) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_' || c == '.') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
