#pragma once

#include "submit/jnet/JNetResolver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// One non-blocking TCP connection with a send and a receive ring buffer.
///
/// Nothing blocks: connect() only starts; run() resolves, connects, sends
/// what is queued and receives what has arrived, a step at a time, and is
/// called repeatedly by the owner. Failures put the connection into state
/// kError with a short English text.
class JNetConnection {
public:
    enum State : int {
        kError = 0,      ///< errorText() says why
        kIdle = 1,       ///< no connection
        kResolving = 2,  ///< resolving the host name / starting the connect
        kConnecting = 3, ///< connect in progress
        kConnected = 4,
        kClosing = 5, ///< sending what is queued, then closing
        kClosed = 6,  ///< by the peer, by a receive error or by close()
    };

    /// With no resolver the connection creates and owns one of
    /// JNetResolver::kConnectionEntries entries. Both buffers are allocated
    /// here (std::bad_alloc if that fails).
    JNetConnection(JNetResolver* resolver, std::size_t sendBufferSize, std::size_t receiveBufferSize);
    ~JNetConnection();
    JNetConnection(const JNetConnection&) = delete;
    JNetConnection& operator=(const JNetConnection&) = delete;

    /// Closes any previous connection at once and starts a new one.
    void connect(std::string_view host, std::uint16_t port);

    /// One step of work. Negative limits mean no limit beyond the buffers;
    /// sent and received report the bytes moved in this call.
    void run(int maxSend, int maxReceive, int& sent, int& received);
    void run();

    /// Without quick, a connected connection first sends what is queued.
    void close(bool quick);

    /// Queues bytes; 0, or -1 (nothing queued) when the send buffer lacks room.
    int send(const void* bytes, std::size_t length);
    int sendString(std::string_view text);

    /// Copy (peek) or copy and consume (receive) up to length buffered bytes;
    /// both return the number of bytes copied.
    std::size_t peekBytes(void* buffer, std::size_t length) const;
    std::size_t receiveBytes(void* buffer, std::size_t length);
    /// Received bytes waiting in the buffer.
    std::size_t bytesAvailable() const noexcept { return mRecvCount; }

    /// Complete lines buffered; CR, LF, CR LF and LF CR each end one line. A
    /// line end that is the last buffered byte waits for the next byte (it
    /// may be the first half of a pair) unless the connection is closed or
    /// the buffer is full.
    int linesAvailable() const;
    /// Consumes one line and its end, stores it without the end, NUL
    /// terminated, at most maximum - 1 characters. Returns 0 for a whole
    /// line, 1 when the buffered bytes or the room ran out first.
    int receiveLine(char* buffer, std::size_t maximum);

    State state() const noexcept { return mState; }
    const std::string& errorText() const noexcept { return mErrorText; }

private:
    class CSocket; // owns the file descriptor

    void fail(const char* text);
    void closeSocket() noexcept;
    void sendQueued(int maxSend, int& sent);
    void receiveAvailable(int maxReceive, int& received);
    unsigned char recvAt(std::size_t offset) const noexcept;

    std::unique_ptr<JNetResolver> mOwnedResolver;
    JNetResolver* mResolver;
    std::unique_ptr<CSocket> mSocket;
    std::uint32_t mAddress = 0; // network order
    bool mAddressKnown = false;
    std::uint16_t mPort = 0;
    std::string mHost;
    std::vector<unsigned char> mRecvBuffer;
    std::size_t mRecvStart = 0;
    std::size_t mRecvCount = 0;
    std::vector<unsigned char> mSendBuffer;
    std::size_t mSendStart = 0;
    std::size_t mSendCount = 0;
    State mState = kIdle;
    std::string mErrorText;
};
