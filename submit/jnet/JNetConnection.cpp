#include "submit/jnet/JNetConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

/// Owns one socket descriptor; shuts it down and closes it on destruction.
class JNetConnection::CSocket {
public:
    explicit CSocket(int fd) noexcept : mFd(fd) {}
    ~CSocket() {
        ::shutdown(mFd, SHUT_RDWR);
        ::close(mFd);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    int fd() const noexcept { return mFd; }

private:
    int mFd;
};

JNetConnection::JNetConnection(JNetResolver* resolver, std::size_t sendBufferSize,
                               std::size_t receiveBufferSize)
    : mResolver(resolver), mRecvBuffer(std::max<std::size_t>(receiveBufferSize, 1), 0),
      mSendBuffer(std::max<std::size_t>(sendBufferSize, 1), 0) {
    if (mResolver == nullptr) {
        mOwnedResolver = std::make_unique<JNetResolver>(JNetResolver::kConnectionEntries);
        mResolver = mOwnedResolver.get();
    }
}

JNetConnection::~JNetConnection() = default;

void JNetConnection::fail(const char* text) {
    mState = kError;
    mErrorText = text;
    mSocket.reset();
}

void JNetConnection::closeSocket() noexcept {
    mSocket.reset();
}

void JNetConnection::connect(std::string_view host, std::uint16_t port) {
    close(true);
    mErrorText.clear();
    mPort = port;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("creating socket");
        return;
    }
    mSocket = std::make_unique<CSocket>(fd);
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        fail("creating socket");
        return;
    }

    if (host.empty()) {
        fail("empty hostname");
        return;
    }
    // Host names are at most 255 characters; a longer one is refused rather
    // than cut, which would name another host.
    if (host.size() > 255 || host.find('\0') != std::string_view::npos) {
        fail("resolving hostname");
        return;
    }
    mHost.assign(host);
    mState = kResolving;
    in_addr dotted{};
    mAddressKnown = ::inet_pton(AF_INET, mHost.c_str(), &dotted) == 1;
    mAddress = dotted.s_addr;
}

void JNetConnection::run() {
    int sent = 0, received = 0;
    run(-1, -1, sent, received);
}

void JNetConnection::run(int maxSend, int maxReceive, int& sent, int& received) {
    sent = 0;
    received = 0;
    switch (mState) {
    case kResolving: {
        if (!mAddressKnown) {
            const int result = mResolver ? mResolver->resolve(mHost, mAddress) : -1;
            if (result == 1)
                return;
            if (result != 0) {
                fail("resolving hostname");
                return;
            }
            mAddressKnown = true;
        }
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(mPort);
        remote.sin_addr.s_addr = mAddress;
        if (::connect(mSocket->fd(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0)
            mState = kConnected;
        else if (errno == EINPROGRESS || errno == EAGAIN || errno == EINTR)
            mState = kConnecting;
        else
            fail("connecting to host");
        return;
    }
    case kConnecting: {
        pollfd p{mSocket->fd(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, 0);
        if (ready < 0) {
            if (errno != EINTR)
                fail("connecting to host (calling select())");
            return;
        }
        if (ready == 0)
            return;
        int error = 0;
        socklen_t length = sizeof error;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
            ::getsockopt(mSocket->fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            fail("connecting to host");
            return;
        }
        if ((p.revents & POLLOUT) != 0)
            mState = kConnected;
        return;
    }
    case kConnected:
    case kClosing:
        sendQueued(maxSend, sent);
        receiveAvailable(maxReceive, received);
        if (mState == kClosing && mSendCount == 0) {
            mState = kClosed;
            closeSocket();
        }
        return;
    case kError:
    case kIdle:
    case kClosed:
        return;
    }
}

void JNetConnection::sendQueued(int maxSend, int& sent) {
    std::size_t budget = maxSend < 0 ? mSendCount : std::min<std::size_t>(mSendCount, std::size_t(maxSend));
    // At most two pieces: up to the end of the ring, then from its start.
    for (int piece = 0; piece < 2 && budget > 0; ++piece) {
        const std::size_t contiguous = std::min(budget, mSendBuffer.size() - mSendStart);
        const ssize_t n = ::send(mSocket->fd(), mSendBuffer.data() + mSendStart, contiguous, MSG_NOSIGNAL);
        if (n <= 0)
            return; // would block or failed: tried again on the next call
        mSendStart = (mSendStart + std::size_t(n)) % mSendBuffer.size();
        mSendCount -= std::size_t(n);
        budget -= std::size_t(n);
        sent += int(n);
        if (std::size_t(n) < contiguous)
            return;
    }
}

void JNetConnection::receiveAvailable(int maxReceive, int& received) {
    if (!mSocket)
        return;
    const std::size_t capacity = mRecvBuffer.size();
    std::size_t budget = capacity - mRecvCount;
    if (maxReceive >= 0)
        budget = std::min<std::size_t>(budget, std::size_t(maxReceive));
    for (int piece = 0; piece < 2 && budget > 0; ++piece) {
        const std::size_t end = (mRecvStart + mRecvCount) % capacity;
        const std::size_t contiguous = std::min(budget, capacity - end);
        const ssize_t n = ::recv(mSocket->fd(), mRecvBuffer.data() + end, contiguous, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            mState = kClosed;
            return;
        }
        if (n < 0)
            return;
        mRecvCount += std::size_t(n);
        budget -= std::size_t(n);
        received += int(n);
        if (std::size_t(n) < contiguous)
            return;
    }
}

void JNetConnection::close(bool quick) {
    if (!quick && mState == kConnected) {
        mState = kClosing;
        return;
    }
    if (!quick && mState != kResolving && mState != kConnecting)
        return;
    mState = kClosed;
    closeSocket();
    mRecvStart = mRecvCount = 0;
    mSendStart = mSendCount = 0;
    mHost.clear();
    mAddress = 0;
    mAddressKnown = false;
}

int JNetConnection::send(const void* bytes, std::size_t length) {
    const std::size_t capacity = mSendBuffer.size();
    if (length > capacity - mSendCount)
        return -1;
    if (length == 0)
        return 0;
    const auto* in = static_cast<const unsigned char*>(bytes);
    const std::size_t end = (mSendStart + mSendCount) % capacity;
    const std::size_t first = std::min(length, capacity - end);
    std::memcpy(mSendBuffer.data() + end, in, first);
    std::memcpy(mSendBuffer.data(), in + first, length - first);
    mSendCount += length;
    return 0;
}

int JNetConnection::sendString(std::string_view text) {
    return send(text.data(), text.size());
}

unsigned char JNetConnection::recvAt(std::size_t offset) const noexcept {
    return mRecvBuffer[(mRecvStart + offset) % mRecvBuffer.size()];
}

std::size_t JNetConnection::peekBytes(void* buffer, std::size_t length) const {
    const std::size_t n = std::min(length, mRecvCount);
    if (n == 0)
        return 0;
    const std::size_t first = std::min(n, mRecvBuffer.size() - mRecvStart);
    auto* out = static_cast<unsigned char*>(buffer);
    std::memcpy(out, mRecvBuffer.data() + mRecvStart, first);
    std::memcpy(out + first, mRecvBuffer.data(), n - first);
    return n;
}

std::size_t JNetConnection::receiveBytes(void* buffer, std::size_t length) {
    const std::size_t n = peekBytes(buffer, length);
    mRecvStart = (mRecvStart + n) % mRecvBuffer.size();
    mRecvCount -= n;
    return n;
}

int JNetConnection::linesAvailable() const {
    // No more bytes can come to complete a pair when the connection is over
    // or the buffer is full.
    const bool final = mState != kConnected && mState != kClosing;
    const bool settled = final || mRecvCount == mRecvBuffer.size();
    int lines = 0;
    for (std::size_t i = 0; i < mRecvCount; ++i) {
        const unsigned char c = recvAt(i);
        if (c != '\r' && c != '\n')
            continue;
        if (i + 1 < mRecvCount) {
            const unsigned char next = recvAt(i + 1);
            if ((next == '\r' || next == '\n') && next != c)
                ++i;
            ++lines;
        } else if (settled) {
            ++lines;
        }
    }
    return lines;
}

int JNetConnection::receiveLine(char* buffer, std::size_t maximum) {
    if (maximum == 0)
        return 1;
    std::size_t stored = 0;
    while (mRecvCount > 0) {
        const unsigned char c = recvAt(0);
        if (c == '\r' || c == '\n') {
            mRecvStart = (mRecvStart + 1) % mRecvBuffer.size();
            --mRecvCount;
            if (mRecvCount > 0) {
                const unsigned char next = recvAt(0);
                if ((next == '\r' || next == '\n') && next != c) {
                    mRecvStart = (mRecvStart + 1) % mRecvBuffer.size();
                    --mRecvCount;
                }
            }
            buffer[stored] = '\0';
            return 0;
        }
        if (stored + 1 >= maximum)
            break;
        mRecvStart = (mRecvStart + 1) % mRecvBuffer.size();
        --mRecvCount;
        buffer[stored++] = char(c);
    }
    buffer[stored] = '\0';
    return 1;
}
