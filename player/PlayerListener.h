#pragma once

#include "app/ManualResetEvent.h"
#include "app/Observable.h"
#include "app/UniqueFd.h"
#include "player/PlayerCommandParser.h"
#include "player/PlayerConnection.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

/// The server for music-player plug-ins: a TCP socket on 127.0.0.1 only,
/// serving one connection at a time. Each connection carries one command
/// line, which is parsed, applied to the CPlayerConnection of the sending
/// plug-in and answered with "OK" or "ERROR: " and the refusal text.
/// Observers are notified on the listener thread after every applied
/// command.
///
/// Start() is the body of the listener thread; Stop() ends it from another
/// thread. One peer cannot hold the listener: reading a command line takes at
/// most 5 s and 64 KiB, and draining a connection at its close at most 5 s.
class CPlayerListener : public Observable {
public:
    /// The socket cannot be set up or connections cannot be accepted.
    class CNetworkException : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };
    /// The peer is not the local machine.
    class CBadClientException : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };

    /// Makes the connection of a plug-in id seen for the first time.
    using ConnectionFactory = std::function<std::shared_ptr<CPlayerConnection>(const std::string& pluginId)>;

    static constexpr uint16_t kDefaultPort = 33367;
    /// Moves the first port, for running copies side by side; plug-ins look
    /// for the listener from the same port.
    static constexpr const char* kPortVariable = "VORTLEBOX_LISTENER_PORT";
    /// The first port: kPortVariable when it holds a port number, else
    /// kDefaultPort. 0 stands for any free port the system hands out (tests,
    /// copies side by side): GetPort() then tells which one it was.
    static uint16_t BasePortFromEnvironment() noexcept {
        const char* text = std::getenv(kPortVariable);
        if (text != nullptr && *text != '\0') {
            char* end = nullptr;
            const long port = std::strtol(text, &end, 10);
            if (*end == '\0' && port >= 0 && port <= 65535)
                return static_cast<uint16_t>(port);
        }
        return kDefaultPort;
    }
    /// Further ports tried after the first when it is in use.
    static constexpr int kPortRetries = 10;
    /// Bytes asked for by each receive of a command line.
    static constexpr std::size_t kReceiveChunk = 1023;
    /// The longest command line accepted.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    /// Time for a peer to deliver its line, and time for it to close.
    static constexpr std::chrono::milliseconds kReceiveTimeout{5000};
    static constexpr std::chrono::milliseconds kShutdownTimeout{5000};
    /// Unexpected bytes drained at a connection's close before giving up.
    static constexpr std::size_t kMaxDrainBytes = 64 * 1024;
    /// How long a plug-in that has stopped (or never started a track) keeps
    /// its state: a RESUME within it plays its track again; afterwards the
    /// state is freed, so that plug-in ids that come and go (a browser's,
    /// a second player's, with a process id in them) never pile up.
    static constexpr std::chrono::milliseconds kIdleForget{10 * 60 * 1000};

    /// Connections come from factory, or are made for the process's settings
    /// manager and web submitter when it is empty. A basePort of 0 takes
    /// any free port.
    explicit CPlayerListener(uint16_t basePort = kDefaultPort, ConnectionFactory factory = {});
    ~CPlayerListener();
    CPlayerListener(const CPlayerListener&) = delete;
    CPlayerListener& operator=(const CPlayerListener&) = delete;

    /// Sets up the socket and serves commands until EXIT or Stop. Throws
    /// CNetworkException with a text for the user when the socket cannot be
    /// set up or accepting fails.
    void Start();
    /// Makes Start return (by an EXIT line, or failing that by waking the
    /// loop), waits until the loop has ended and stops every stopwatch.
    /// Returns at once when the loop never started listening. False when the
    /// loop did not end within 30 s (its thread must not be waited for
    /// without limit then).
    bool Stop();

    /// The connection of the plug-in whose START was accepted last; null
    /// before the first and when that START carried an empty plug-in id.
    /// Safe from any thread.
    std::shared_ptr<CPlayerConnection> GetCurrentConnection() const;
    std::string GetCurrentPluginId() const;
    /// The connection of that plug-in id, created if needed.
    std::shared_ptr<CPlayerConnection> GetConnection(const std::string& pluginId);
    /// The port bound, or last tried.
    uint16_t GetPort() const noexcept { return mPort.load(); }
    bool IsListening() const noexcept { return mbListening.load(); }

    /// Called on the listener thread once the socket listens, with the port
    /// it bound (for a peer that must know it). Set before Start.
    void SetListeningHandler(std::function<void(uint16_t port)> handler) { mListeningHandler = std::move(handler); }

    /// How long Stop waits for the loop to end after asking it to.
    static constexpr std::chrono::milliseconds kLoopEndWait{30000};
    /// Replaces kLoopEndWait (tests).
    void SetLoopEndWait(std::chrono::milliseconds wait) noexcept { mLoopEndWait = wait; }
    /// Replaces kIdleForget (benchmarks, tests). Set before Start.
    void SetIdleForget(std::chrono::milliseconds idle) noexcept { mIdleForget = idle; }
    /// The plug-ins whose state is kept now.
    std::size_t ConnectionCount() const;

    /// Applies one parsed command; throws CPlayerConnection::CBadCommandException.
    /// A START of a track that another plug-in is counting right now (a
    /// player heard twice, through a plug-in and a proxy) makes this one a
    /// mirror of it, which counts nothing.
    void HandleCommand(const CPlayerCommand& command);

    /// Receives one line ended by a line feed, at most kMaxLineLength bytes,
    /// within timeout; throws CNetworkException.
    static void ReceiveLine(int socket, std::string& line,
                            std::chrono::milliseconds timeout = kReceiveTimeout);
    /// Sends the line and a line feed; throws CNetworkException.
    static void SendLine(int socket, const std::string& line);
    /// Shuts down sending, drains what the peer still sends (bounded by
    /// kShutdownTimeout and kMaxDrainBytes), then closes. Never throws.
    static void ShutDownConnection(CUniqueFd& socket) noexcept;

private:
    void StartListening();
    /// Waits for a connection or the wake-up; false when woken to stop.
    bool AcceptConnection(std::string& peerAddress);
    void ServeConnection(const std::string& peerAddress);
    void SendErrorResponse(const std::string& text) noexcept;
    void StopAllConnections();
    /// Sets the stop request and wakes the loop.
    void RequestStop() noexcept;
    /// The plug-in counting the same track as the START, other than the
    /// connection itself; "" for none.
    std::string CountingSameTrack(const CPlayerCommand& start, const CPlayerConnection& connection) const;
    /// After a command of the plug-in: a stopped one starts its idle time.
    void NoteIdle(const std::string& pluginId, const CPlayerConnection& connection);
    /// Frees the plug-ins idle for mIdleForget; the time until the next one
    /// is due, or -1 for none (a poll time-out).
    int ForgetIdle();
    /// Lets go of freed plug-ins and returns their memory to the system.
    static void ReleaseFreed(std::vector<std::shared_ptr<CPlayerConnection>>& freed);

    const uint16_t mBasePort;
    const ConnectionFactory mFactory;
    const CPlayerCommandParser mParser;
    const std::map<int, std::string> mReplies;
    std::function<void(uint16_t port)> mListeningHandler;

    CUniqueFd mListenSocket;
    CUniqueFd mConnectionSocket;
    // Written by Stop to wake the loop out of its wait for a connection.
    CUniqueFd mWakeRead;
    CUniqueFd mWakeWrite;

    // Guards the connections and the current plug-in id, for readers on
    // other threads. Never held while a command is applied.
    mutable std::mutex mMutex;
    std::map<std::string, std::shared_ptr<CPlayerConnection>> mConnections;
    std::string mCurrentPluginId;
    std::shared_ptr<CPlayerConnection> mCurrentConnection;

    // Listener thread only: when each stopped plug-in went idle, and the
    // same in the order they did (an entry whose time no longer matches is
    // stale).
    using IdleClock = std::chrono::steady_clock;
    std::chrono::milliseconds mIdleForget = kIdleForget;
    std::chrono::milliseconds mLoopEndWait = kLoopEndWait;
    std::map<std::string, IdleClock::time_point> mIdleSince;
    std::deque<std::pair<IdleClock::time_point, std::string>> mIdleOrder;

    std::atomic<uint16_t> mPort;
    std::atomic<bool> mbListening{false};
    std::atomic<bool> mbKeepRunning{true};
    std::atomic<bool> mbStopRequested{false};
    // Set once Start has left its loop (or never entered it).
    CManualResetEvent mLoopDone{false};
    std::atomic<bool> mbStarted{false};
};
