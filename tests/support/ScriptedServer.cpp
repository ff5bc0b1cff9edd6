#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {

constexpr auto kReadLimit = std::chrono::seconds(10);
constexpr auto kDrainLimit = std::chrono::seconds(5);

// The value of a "Content-Length:" header in the head, or 0.
std::size_t contentLength(const std::string& head) {
    std::size_t at = 0;
    while ((at = head.find('\n', at)) != std::string::npos) {
        ++at;
        static const char kName[] = "Content-Length:";
        if (strncasecmp(head.c_str() + at, kName, sizeof kName - 1) == 0)
            return std::size_t(std::strtoull(head.c_str() + at + sizeof kName - 1, nullptr, 10));
    }
    return 0;
}

} // namespace

CScriptedServer::Script CScriptedServer::SendInPieces(const std::string& bytes, std::size_t pieceSize,
                                                      std::chrono::milliseconds gap) {
    Script steps;
    const std::size_t size = pieceSize == 0 ? 1 : pieceSize;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        if (at != 0)
            steps.push_back(Step::Pause(gap));
        steps.push_back(Step::Send(bytes.substr(at, size)));
    }
    return steps;
}

CScriptedServer::CScriptedServer(std::vector<Script> scripts) : mScripts(std::move(scripts)) {
    if (mScripts.empty())
        mScripts.emplace_back();
    mListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mListenFd < 0 || mWakeFd < 0)
        throw std::runtime_error("scripted server: socket/eventfd failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(mListenFd, 16) != 0 ||
        ::getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(mListenFd);
        ::close(mWakeFd);
        throw std::runtime_error("scripted server: bind/listen failed");
    }
    mPort = ntohs(address.sin_port);
    mThread = std::thread(&CScriptedServer::Serve, this);
}

CScriptedServer::~CScriptedServer() {
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mStop.store(true);
    }
    mChanged.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(mWakeFd, &one, sizeof one);
    mThread.join();
    ::close(mListenFd);
    ::close(mWakeFd);
}

std::string CScriptedServer::HostPort() const {
    return "127.0.0.1:" + std::to_string(mPort);
}

std::string CScriptedServer::Url(const std::string& path) const {
    return "http://" + HostPort() + path;
}

std::size_t CScriptedServer::Connections() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mReceived.size();
}

std::string CScriptedServer::Received(std::size_t connection) const {
    std::lock_guard<std::mutex> guard(mMutex);
    return connection < mReceived.size() ? mReceived[connection] : std::string();
}

bool CScriptedServer::WaitForFinished(std::size_t connections, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, timeout, [&] { return mFinished >= connections; });
}

bool CScriptedServer::WaitReadable(int fd, std::chrono::steady_clock::time_point until) const {
    for (;;) {
        if (mStop.load())
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, int(left.count()));
        if (ready < 0 && errno != EINTR)
            return false;
        if (mStop.load())
            return false;
        if (ready > 0 && fds[0].revents != 0)
            return true;
    }
}

void CScriptedServer::Serve() {
    std::size_t index = 0;
    while (!mStop.load()) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (mStop.load())
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mReceived.emplace_back();
        }
        mChanged.notify_all();
        Play(fd, index);
        Finish(fd, index);
        ++index;
    }
}

long CScriptedServer::ReceiveOnce(int fd, std::size_t index) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
        std::lock_guard<std::mutex> guard(mMutex);
        mReceived[index].append(buffer, std::size_t(n));
    }
    return long(n);
}

bool CScriptedServer::ReadRequest(int fd, std::size_t index) {
    const auto until = std::chrono::steady_clock::now() + kReadLimit;
    for (;;) {
        const std::string received = Received(index);
        std::size_t headEnd = received.find("\r\n\r\n");
        std::size_t endLength = 4;
        if (headEnd == std::string::npos) {
            headEnd = received.find("\n\n");
            endLength = 2;
        }
        if (headEnd != std::string::npos &&
            received.size() >= headEnd + endLength + contentLength(received.substr(0, headEnd + 1)))
            return true;
        if (!WaitReadable(fd, until) || ReceiveOnce(fd, index) <= 0)
            return false;
    }
}

bool CScriptedServer::SendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

void CScriptedServer::Play(int fd, std::size_t index) {
    const Script& script = mScripts[std::min(index, mScripts.size() - 1)];
    for (const Step& step : script) {
        if (mStop.load())
            return;
        switch (step.kind) {
        case Step::Kind::ReadRequest:
            if (!ReadRequest(fd, index))
                return;
            break;
        case Step::Kind::Send:
            if (!SendAll(fd, step.bytes))
                return;
            break;
        case Step::Kind::Pause: {
            pollfd wake{mWakeFd, POLLIN, 0};
            ::poll(&wake, 1, int(step.duration.count()));
            break;
        }
        case Step::Kind::Hold: {
            std::unique_lock<std::mutex> lock(mMutex);
            mChanged.wait(lock, [this] { return mReleased || mStop.load(); });
            break;
        }
        case Step::Kind::Close:
            return;
        }
    }
}

void CScriptedServer::Release() {
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mReleased = true;
    }
    mChanged.notify_all();
}

void CScriptedServer::Finish(int fd, std::size_t index) {
    ::shutdown(fd, SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + kDrainLimit;
    while (WaitReadable(fd, until) && ReceiveOnce(fd, index) > 0) {
    }
    ::close(fd);
    {
        std::lock_guard<std::mutex> guard(mMutex);
        ++mFinished;
    }
    mChanged.notify_all();
}
