#pragma once

#include "app/UniqueFd.h"
#include "player/PlayerListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

/// A port base of this test process, away from the program's own 33367 and
/// below the system's ephemeral ports (32768 and up, where the simulator and
/// every outgoing connection get theirs), so that test processes running side
/// by side rarely meet.
inline uint16_t TestBasePort() {
    return static_cast<uint16_t>(20000 + (::getpid() % 600) * 20);
}

inline sockaddr_in Loopback(uint16_t port, const char* address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ::inet_addr(address);
    return a;
}

/// A socket listening on 127.0.0.1:port, to occupy the port; invalid if the
/// port could not be taken.
inline CUniqueFd OccupyPort(uint16_t port) {
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 1) != 0)
        return CUniqueFd();
    return fd;
}

/// A plug-in's side of one connection.
class CTestClient {
public:
    /// Connects to 127.0.0.1:port, from the source address if given.
    explicit CTestClient(uint16_t port, const char* source = nullptr)
        : mFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (source != nullptr) {
            const sockaddr_in from = Loopback(0, source);
            if (::bind(mFd.Get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
                throw std::runtime_error("bind to source failed");
        }
        const sockaddr_in to = Loopback(port);
        if (::connect(mFd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("connect failed: " + std::to_string(errno));
    }

    bool Send(const std::string& bytes) {
        return ::send(mFd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    void CloseWrite() { ::shutdown(mFd.Get(), SHUT_WR); }

    /// Everything the listener sends until it closes; nullopt if it has not
    /// closed within the bound.
    std::optional<std::string> ReadToEnd(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd entry{mFd.Get(), POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(mFd.Get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return text;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    int Fd() const { return mFd.Get(); }

private:
    CUniqueFd mFd;
};

/// Sends one line (the bytes as given) and returns the whole reply.
inline std::string Exchange(uint16_t port, const std::string& bytes, const char* source = nullptr) {
    CTestClient client(port, source);
    client.Send(bytes);
    return client.ReadToEnd().value_or("<no end>");
}
