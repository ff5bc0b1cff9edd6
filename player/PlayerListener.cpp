#include "player/PlayerListener.h"

#include "app/Logger.h"
#include "settings/SettingsManager.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kLoopback = "127.0.0.1";
const char* const kStopLine = "EXIT c=tst";

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = ::inet_addr(kLoopback);
    return address;
}

// Milliseconds left until the deadline, at least 0, for poll.
int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is readable, or the deadline passes; returns 0 when
// readable, else the error number (EAGAIN for the time-out).
int WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        const int ms = RemainingMs(deadline);
        if (ms <= 0)
            return EAGAIN;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, ms);
        if (ready > 0)
            return 0;
        if (ready == 0)
            return EAGAIN;
        if (errno != EINTR)
            return errno;
    }
}

void SetTimeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0)
        VBX_LOG(1, "Set socket timeout failed. Socket error: " << errno);
}

// Accept failures that concern one connection only (pending network errors
// of the new connection, signals), after which accepting goes on.
bool IsTransientAcceptError(int error) {
    switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETDOWN:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// Connects to the listener at port within the time-out; returns the error
// number, 0 on success.
int ConnectWithin(int fd, uint16_t port, std::chrono::milliseconds timeout) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    const sockaddr_in address = LoopbackAddress(port);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const auto deadline = Clock::now() + timeout;
            error = EAGAIN;
            for (;;) {
                pollfd entry{fd, POLLOUT, 0};
                const int ready = ::poll(&entry, 1, RemainingMs(deadline));
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready > 0) {
                    socklen_t size = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                        error = errno;
                } else if (ready < 0) {
                    error = errno;
                }
                break;
            }
        }
    }
    if (error == 0 && ::fcntl(fd, F_SETFL, flags) != 0)
        error = errno;
    return error;
}

} // namespace

CPlayerListener::CPlayerListener(uint16_t basePort, ConnectionFactory factory)
    : mBasePort(basePort), mFactory(std::move(factory)), mReplies{{0, "OK"}, {1, "ERROR"}}, mPort(basePort) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        mWakeRead.Reset(fds[0]);
        mWakeWrite.Reset(fds[1]);
    } else {
        VBX_LOG(1,
                "Couldn't create wake-up pipe, stopping relies on the EXIT line. Error: " << errno << "\n");
    }
}

CPlayerListener::~CPlayerListener() = default;

void CPlayerListener::StartListening() {
    VBX_TRACE();
    CUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.IsValid())
        throw CNetworkException("Could not create listening socket. Socket error: " + std::to_string(errno));

    // Connections closed in an earlier run linger in TIME_WAIT on the port;
    // they must not push the listener to another port. A socket that really
    // listens there still makes the bind fail.
    const int on = 1;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    auto tryBind = [&](uint32_t port) {
        mPort = static_cast<uint16_t>(port);
        const sockaddr_in address = LoopbackAddress(static_cast<uint16_t>(port));
        return ::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                                      : errno;
    };

    int error = tryBind(mBasePort);
    if (error == 0 && mBasePort == 0) {
        // Any free port: the system's choice is the one to report.
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            throw CNetworkException("Could not bind listening socket. Socket error: " + std::to_string(errno));
        mPort = ntohs(bound.sin_port);
    } else if (error == EADDRINUSE) {
        for (int retry = 1; retry <= kPortRetries && error != 0; ++retry) {
            const uint32_t port = uint32_t{mBasePort} + static_cast<uint32_t>(retry);
            if (port > 65535)
                break;
            error = tryBind(port);
        }
        if (error != 0) {
            VBX_LOG(1, "Ran 10 iterations without finding a good port\n");
            throw CNetworkException("Could not bind listening socket. Socket error: " +
                                    std::to_string(error));
        }
    } else if (error != 0) {
        throw CNetworkException("Could not bind listening socket. Socket error: " + std::to_string(error));
    }
    VBX_LOG(3, "Listener bound to port " << mPort.load() << "\n");

    if (::listen(socket.Get(), 1) != 0)
        throw CNetworkException("Could not start listening on socket. Socket error: " +
                                std::to_string(errno));
    mListenSocket = std::move(socket);
}

void CPlayerListener::Start() {
    mbStarted = true;
    struct CLoopDoneGuard {
        CManualResetEvent& event;
        ~CLoopDoneGuard() { event.Set(); }
    } loopDone{mLoopDone};

    try {
        StartListening();
    } catch (const CNetworkException& e) {
        VBX_LOG(1, "CNetworkException: " << e.what());
        throw CNetworkException(std::string("Something is seriously wrong with the network subsystem.\n") +
                                "The application could not open a socket and start listening " +
                                "for submissions from player plugins.\n\nDetails:\n" + e.what());
    }
    mbListening = true;
    if (mListeningHandler)
        mListeningHandler(mPort.load());

    while (mbKeepRunning && !mbStopRequested) {
        std::string peerAddress;
        try {
            if (!AcceptConnection(peerAddress))
                break;
        } catch (const CNetworkException& e) {
            VBX_LOG(1, "CNetworkException: " << e.what());
            throw CNetworkException(
                std::string("Something is seriously wrong with the network subsystem.\n") +
                "The application could not start accepting submissions " +
                "from player plugins.\n\nDetails:\n" + e.what());
        }
        ServeConnection(peerAddress);
    }

    VBX_LOG(3, "CPlayerListener shutting down thread\n");
    mListenSocket.Reset();
}

bool CPlayerListener::AcceptConnection(std::string& peerAddress) {
    VBX_TRACE();
    for (;;) {
        pollfd entries[2] = {{mListenSocket.Get(), POLLIN, 0}, {mWakeRead.Get(), POLLIN, 0}};
        // Asleep until a peer comes, or a stopped plug-in is due to be freed.
        const int ready = ::poll(entries, 2, ForgetIdle());
        if (ready == 0)
            continue;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            mListenSocket.Reset();
            throw CNetworkException("Accept socket connection failed. Socket error: " +
                                    std::to_string(error));
        }
        if (entries[1].revents != 0 || mbStopRequested)
            return false;

        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int fd =
            ::accept4(mListenSocket.Get(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (IsTransientAcceptError(error)) {
                VBX_LOG(2, "Accept failed for one connection, going on. Socket error: " << error << "\n");
                continue;
            }
            mListenSocket.Reset();
            throw CNetworkException("Accept socket connection failed. Socket error: " +
                                    std::to_string(error));
        }
        mConnectionSocket.Reset(fd);
        SetTimeout(fd, SO_RCVTIMEO, kReceiveTimeout);
        // A reply must not wait forever for a peer that reads nothing.
        SetTimeout(fd, SO_SNDTIMEO, kReceiveTimeout);
        char text[INET_ADDRSTRLEN] = {};
        peerAddress = ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) != nullptr ? text : "";
        return true;
    }
}

void CPlayerListener::ServeConnection(const std::string& peerAddress) {
    try {
        std::string line;
        ReceiveLine(mConnectionSocket.Get(), line);
        if (peerAddress != kLoopback)
            throw CBadClientException("Only connections from localhost are accepted.");
        CPlayerCommand command;
        mParser.Parse(line, command);
        HandleCommand(command);
        SendLine(mConnectionSocket.Get(), mReplies.at(0));
    } catch (const CNetworkException& e) {
        VBX_LOG(1, "CNetworkException: " << e.what());
    } catch (const CBadClientException& e) {
        VBX_LOG(1, "BadClientException: " << e.what());
        SendErrorResponse(e.what());
    } catch (const CPlayerCommandParser::CParseException& e) {
        VBX_LOG(1, "ParseException: " << e.what());
        SendErrorResponse(e.what());
    } catch (const CPlayerConnection::CBadCommandException& e) {
        VBX_LOG(1, "BadCommandException: " << e.what());
        SendErrorResponse(e.what());
    } catch (const std::exception& e) {
        // Anything else (the settings store failing, no memory) costs this
        // command only, not the listener thread.
        VBX_LOG(1, "Exception: " << e.what() << "\n");
        SendErrorResponse(e.what());
    }
    ShutDownConnection(mConnectionSocket);
}

void CPlayerListener::ReceiveLine(int socket, std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    auto fail = [](int error) {
        throw CNetworkException("Receiving data through socket failed. Socket error: " +
                                std::to_string(error));
    };
    line.clear();
    char buffer[kReceiveChunk];
    bool complete = false;
    while (!complete) {
        if (const int error = WaitReadable(socket, deadline); error != 0)
            fail(error);
        const ssize_t received = ::recv(socket, buffer, sizeof buffer, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        if (received == 0)
            fail(0);
        auto size = static_cast<std::size_t>(received);
        // Only the last byte of a chunk ends the line.
        if (buffer[size - 1] == '\n') {
            --size;
            complete = true;
        }
        if (line.size() + size > kMaxLineLength) {
            VBX_LOG(1, "Command line too long, dropping connection\n");
            throw CNetworkException("Command line longer than " + std::to_string(kMaxLineLength) + " bytes");
        }
        line.append(buffer, size);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    VBX_LOG(3, "Line received: " << line << "\n");
}

void CPlayerListener::SendLine(int socket, const std::string& line) {
    const std::string data = line + "\n";
    VBX_LOG(3, "Sending: " << line << "\n");
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw CNetworkException("Sending of data through socket failed. Socket error: " +
                                    std::to_string(n == 0 ? 0 : errno));
        sent += static_cast<std::size_t>(n);
    }
}

void CPlayerListener::SendErrorResponse(const std::string& text) noexcept {
    try {
        SendLine(mConnectionSocket.Get(), mReplies.at(1) + ": " + text);
    } catch (const CNetworkException& e) {
        VBX_LOG(1, "NetworkException: " << e.what());
    } catch (const std::exception& e) {
        VBX_LOG(1, "Exception: " << e.what() << "\n");
    }
}

void CPlayerListener::ShutDownConnection(CUniqueFd& socket) noexcept {
    VBX_TRACE();
    if (!socket.IsValid())
        return;
    if (::shutdown(socket.Get(), SHUT_WR) != 0)
        VBX_LOG(1, "Socket shutdown failed. Socket error: " << errno);

    const auto deadline = Clock::now() + kShutdownTimeout;
    char buffer[1024];
    std::size_t drained = 0;
    int failure = 0;
    bool failed = false;
    for (;;) {
        if (const int error = WaitReadable(socket.Get(), deadline); error != 0) {
            failed = true;
            failure = error;
            break;
        }
        const ssize_t received = ::recv(socket.Get(), buffer, sizeof buffer, 0);
        if (received == 0)
            break;
        if (received < 0) {
            if (errno == EINTR)
                continue;
            failed = true;
            failure = errno;
            break;
        }
        VBX_LOG(3, "Received " << received << " unexpected bytes during shutdown: "
                               << std::string(buffer, static_cast<std::size_t>(received)) << "\n");
        drained += static_cast<std::size_t>(received);
        if (drained > kMaxDrainBytes) {
            VBX_LOG(1, "Too many unexpected bytes during shutdown, dropping connection\n");
            break;
        }
    }
    if (failed)
        VBX_LOG(1, "Waiting for shutdown confirmation failed. Socket error: " << failure << "\n");
    if (!socket.Reset())
        VBX_LOG(1, "Couldn't close socket. Socket error: " << errno);
}

void CPlayerListener::HandleCommand(const CPlayerCommand& command) {
    if (!command.Has('c'))
        throw CPlayerConnection::CBadCommandException("No plugin ID ('c=') present in message");
    const std::string pluginId = command.Get('c');
    const std::shared_ptr<CPlayerConnection> connection = GetConnection(pluginId);
    // Refused or not, the command tells whether the plug-in is idle now.
    struct CIdleNote {
        CPlayerListener& listener;
        const std::string& id;
        const CPlayerConnection& connection;
        ~CIdleNote() { listener.NoteIdle(id, connection); }
    } note{*this, pluginId, *connection};
    switch (command.command) {
    case CPlayerCommand::START: {
        const std::string mirrorOf = CountingSameTrack(command, *connection);
        connection->OnStart(command, mirrorOf);
        // A mirror is not what the person listens to: the window stays with
        // the plug-in that counts.
        if (mirrorOf.empty()) {
            std::lock_guard<std::mutex> guard(mMutex);
            mCurrentPluginId = pluginId;
            mCurrentConnection = connection;
        }
        break;
    }
    case CPlayerCommand::STOP:
        connection->OnStop(command);
        break;
    case CPlayerCommand::PAUSE:
        connection->OnPause(command);
        break;
    case CPlayerCommand::RESUME:
        connection->OnResume(command);
        break;
    case CPlayerCommand::EXIT:
        mbKeepRunning = false;
        break;
    default:
        break;
    }
    NotifyObservers();
}

std::shared_ptr<CPlayerConnection> CPlayerListener::GetConnection(const std::string& pluginId) {
    std::lock_guard<std::mutex> guard(mMutex);
    auto it = mConnections.find(pluginId);
    if (it != mConnections.end())
        return it->second;
    std::shared_ptr<CPlayerConnection> connection =
        mFactory ? mFactory(pluginId)
                 : std::make_shared<CPlayerConnection>(pluginId, CSettingsManager::Instance());
    mConnections.emplace(pluginId, connection);
    return connection;
}

std::string CPlayerListener::CountingSameTrack(const CPlayerCommand& start,
                                               const CPlayerConnection& connection) const {
    Track track;
    track.Set(start.Get('a'), start.Get('t'), "", "", "", "");
    std::lock_guard<std::mutex> guard(mMutex);
    for (const auto& [id, other] : mConnections) {
        if (other.get() != &connection && other->IsCounting() && other->IsSameTrack(track))
            return id;
    }
    return {};
}

void CPlayerListener::NoteIdle(const std::string& pluginId, const CPlayerConnection& connection) {
    if (connection.GetState() != CPlayerConnection::STOPPED) {
        mIdleSince.erase(pluginId);
        return;
    }
    if (mIdleSince.count(pluginId) != 0)
        return;
    const auto now = IdleClock::now();
    mIdleSince.emplace(pluginId, now);
    mIdleOrder.emplace_back(now, pluginId);
}

int CPlayerListener::ForgetIdle() {
    const auto now = IdleClock::now();
    std::vector<std::shared_ptr<CPlayerConnection>> freed;
    while (!mIdleOrder.empty()) {
        const auto& [since, id] = mIdleOrder.front();
        const auto due = since + mIdleForget;
        const auto known = mIdleSince.find(id);
        if (known != mIdleSince.end() && known->second == since) {
            if (due > now) {
                ReleaseFreed(freed);
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
                return static_cast<int>(std::min<std::int64_t>(left, 24 * 60 * 60 * 1000));
            }
            mIdleSince.erase(known);
            std::lock_guard<std::mutex> guard(mMutex);
            const auto it = mConnections.find(id);
            // The plug-in the window follows stays, stopped or not.
            if (it != mConnections.end() && id != mCurrentPluginId &&
                it->second->GetState() == CPlayerConnection::STOPPED) {
                freed.push_back(std::move(it->second));
                mConnections.erase(it);
            }
        }
        mIdleOrder.pop_front();
    }
    ReleaseFreed(freed);
    return -1;
}

void CPlayerListener::ReleaseFreed(std::vector<std::shared_ptr<CPlayerConnection>>& freed) {
    if (freed.empty())
        return;
    const std::size_t count = freed.size();
    freed.clear();
    // The allocator keeps freed memory for the process; a burst of plug-ins
    // gone (a browser's, a second player's) gives it back to the system.
    ::malloc_trim(0);
    VBX_LOG(4, "Freed the state of " << count << " idle plug-in(s)\n");
}

std::size_t CPlayerListener::ConnectionCount() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mConnections.size();
}

std::shared_ptr<CPlayerConnection> CPlayerListener::GetCurrentConnection() const {
    std::lock_guard<std::mutex> guard(mMutex);
    // A START with an empty "c" leaves no plug-in to follow.
    if (mCurrentPluginId.empty())
        return nullptr;
    return mCurrentConnection;
}

std::string CPlayerListener::GetCurrentPluginId() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mCurrentPluginId;
}

void CPlayerListener::RequestStop() noexcept {
    mbStopRequested = true;
    if (mWakeWrite.IsValid()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(mWakeWrite.Get(), &byte, 1);
    }
}

bool CPlayerListener::Stop() {
    VBX_TRACE();
    if (!mbListening) {
        // A Start that is about to listen sees the request and returns.
        RequestStop();
        return true;
    }

    {
        CUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int error =
            socket.IsValid() ? ConnectWithin(socket.Get(), mPort.load(), kReceiveTimeout) : errno;
        if (error != 0) {
            VBX_LOG(1, "Couldn't connect to listener to send Stop. Socket error: " << error);
        } else {
            SetTimeout(socket.Get(), SO_SNDTIMEO, kReceiveTimeout);
            try {
                SendLine(socket.Get(), kStopLine);
                std::string reply;
                ReceiveLine(socket.Get(), reply);
            } catch (const std::logic_error& e) {
                VBX_LOG(1, "Exception when seding Stop: " << e.what());
            }
        }
        ShutDownConnection(socket);
    }

    // Whether or not the EXIT line got through, the loop ends after the
    // connection it may be serving.
    RequestStop();
    if (!mLoopDone.WaitFor(mLoopEndWait)) {
        VBX_LOG(1, "Listener loop did not end, stopwatches not stopped\n");
        return false;
    }
    StopAllConnections();
    return true;
}

void CPlayerListener::StopAllConnections() {
    std::vector<std::shared_ptr<CPlayerConnection>> connections;
    {
        std::lock_guard<std::mutex> guard(mMutex);
        for (const auto& entry : mConnections)
            connections.push_back(entry.second);
    }
    const CPlayerCommand empty;
    for (const auto& connection : connections)
        connection->OnStop(empty);
}
