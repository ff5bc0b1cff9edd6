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
#include <vector>

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

/// A run of consecutive ports of 127.0.0.1 that this test holds itself,
/// each by a socket bound to it and not listening (a connection there is
/// refused), or listening once Listen() said so. The run starts at a port
/// the system hands out, and another is tried when a port of the run is
/// taken, so that no test depends on a fixed port being free.
///
/// Held ports are taken for anyone else, the program's listener included.
/// Shared ones are bound with SO_REUSEADDR: a server of the test that does
/// the same (the recording listener) can listen there and go away again
/// while the port stays held.
class CHeldPorts {
public:
    explicit CHeldPorts(int count, bool shared = false) : mShared(shared) {
        for (int attempt = 0; attempt < 50 && static_cast<int>(mSockets.size()) < count; ++attempt) {
            mSockets.clear();
            CUniqueFd first = Bind(0);
            sockaddr_in bound{};
            socklen_t size = sizeof bound;
            if (!first.IsValid() || ::getsockname(first.Get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0)
                continue;
            mBase = ntohs(bound.sin_port);
            if (mBase + count - 1 > 65535)
                continue;
            mSockets.push_back(std::move(first));
            for (int i = 1; i < count; ++i) {
                CUniqueFd next = Bind(static_cast<uint16_t>(mBase + i));
                if (!next.IsValid())
                    break;
                mSockets.push_back(std::move(next));
            }
        }
        if (static_cast<int>(mSockets.size()) < count)
            throw std::runtime_error("no run of " + std::to_string(count) + " free ports found");
    }
    uint16_t Base() const noexcept { return mBase; }
    uint16_t Port(int i) const noexcept { return static_cast<uint16_t>(mBase + i); }
    /// Makes the i-th port accept connections (which nobody serves).
    void Listen(int i) { ::listen(mSockets.at(static_cast<std::size_t>(i)).Get(), 4); }

private:
    CUniqueFd Bind(uint16_t port) const {
        CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        if (mShared)
            ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = Loopback(port);
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            return CUniqueFd();
        return fd;
    }

    bool mShared;
    uint16_t mBase = 0;
    std::vector<CUniqueFd> mSockets;
};

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
