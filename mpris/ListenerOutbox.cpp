#include "mpris/ListenerOutbox.h"

#include "app/Logger.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

bool IsPauseOrResume(CPluginLine::ECode code) noexcept {
    return code == CPluginLine::kPause || code == CPluginLine::kResume;
}

} // namespace

CListenerOutbox::CListenerOutbox(std::uint16_t basePort, int portCount, QObject* parent)
    : QObject(parent), mBasePort(basePort), mPortCount(std::max(portCount, 1)) {
    mTimeout.setSingleShot(true);
    mRetry.setSingleShot(true);
    connect(&mTimeout, &QTimer::timeout, this, &CListenerOutbox::OnTimeout);
    connect(&mRetry, &QTimer::timeout, this, &CListenerOutbox::Kick);
}

CListenerOutbox::~CListenerOutbox() {
    CloseSocket();
}

void CListenerOutbox::Send(const std::string& pluginId, CPluginLine::ECode code, std::string line) {
    if (code == CPluginLine::kStart || code == CPluginLine::kStop) {
        std::erase_if(mQueue, [&](const CItem& item) { return item.pluginId == pluginId; });
        mQueue.push_back({pluginId, code, std::move(line)});
    } else {
        auto last = mQueue.end();
        for (auto it = mQueue.begin(); it != mQueue.end(); ++it)
            if (it->pluginId == pluginId)
                last = it;
        if (last != mQueue.end() && IsPauseOrResume(last->code)) {
            // Both still waiting: the later one decides, and a PAUSE and a
            // RESUME together change nothing on the listener's side.
            const bool cancels = last->code != code;
            mQueue.erase(last);
            if (!cancels)
                mQueue.push_back({pluginId, code, std::move(line)});
        } else {
            mQueue.push_back({pluginId, code, std::move(line)});
        }
    }
    // A change is worth a try at once, also while waiting to retry; the
    // pauses between retries keep growing if the listener is still away.
    if (mbResending)
        return;
    mRetry.stop();
    Kick();
}

void CListenerOutbox::Kick() {
    if (mInFlight || mQueue.empty() || mRetry.isActive())
        return;
    mInFlight = std::move(mQueue.front());
    mQueue.pop_front();
    mPortOrder.clear();
    if (mKnownPort)
        mPortOrder.push_back(*mKnownPort);
    for (int i = 0; i < mPortCount; ++i) {
        const int port = mBasePort + i;
        if (port > 65535)
            break;
        if (!mKnownPort || port != *mKnownPort)
            mPortOrder.push_back(static_cast<std::uint16_t>(port));
    }
    mPortIndex = 0;
    TryPort();
}

void CListenerOutbox::TryPort() {
    // A loop rather than recursion: each refused port moves on at once.
    for (; mPortIndex < mPortOrder.size(); ++mPortIndex) {
        mSocket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!mSocket.IsValid()) {
            VBX_LOG(1, "Couldn't create a socket. Socket error: " << errno << "\n");
            break;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(CurrentPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int rc = ::connect(mSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (rc == 0) {
            StartSending();
            return;
        }
        if (errno == EINPROGRESS) {
            mPhase = EPhase::Connecting;
            mWriteNotifier = new QSocketNotifier(mSocket.Get(), QSocketNotifier::Write, this);
            connect(mWriteNotifier, &QSocketNotifier::activated, this, &CListenerOutbox::OnWritable);
            mTimeout.start(kConnectTimeoutMs);
            return;
        }
        CloseSocket();
    }
    AttemptFailed();
}

void CListenerOutbox::NextPort() {
    CloseSocket();
    ++mPortIndex;
    TryPort();
}

void CListenerOutbox::StartSending() {
    mPhase = EPhase::Sending;
    mOut = mInFlight->line + "\n";
    mReply.clear();
    if (mReadNotifier == nullptr) {
        mReadNotifier = new QSocketNotifier(mSocket.Get(), QSocketNotifier::Read, this);
        connect(mReadNotifier, &QSocketNotifier::activated, this, &CListenerOutbox::OnReadable);
    }
    mReadNotifier->setEnabled(false);
    mTimeout.start(kReplyTimeoutMs);
    WriteSome();
}

void CListenerOutbox::WriteSome() {
    while (!mOut.empty()) {
        const ssize_t n = ::send(mSocket.Get(), mOut.data(), mOut.size(), MSG_NOSIGNAL);
        if (n > 0) {
            mOut.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (mWriteNotifier == nullptr) {
                mWriteNotifier = new QSocketNotifier(mSocket.Get(), QSocketNotifier::Write, this);
                connect(mWriteNotifier, &QSocketNotifier::activated, this, &CListenerOutbox::OnWritable);
            }
            mWriteNotifier->setEnabled(true);
            return;
        }
        VBX_LOG(3, "Sending to port " << CurrentPort() << " failed. Socket error: " << errno << "\n");
        NextPort();
        return;
    }
    if (mWriteNotifier != nullptr)
        mWriteNotifier->setEnabled(false);
    mPhase = EPhase::Receiving;
    mReadNotifier->setEnabled(true);
}

void CListenerOutbox::OnWritable() {
    if (mPhase == EPhase::Connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(mSocket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        mWriteNotifier->setEnabled(false);
        if (error != 0) {
            NextPort();
            return;
        }
        StartSending();
    } else if (mPhase == EPhase::Sending) {
        WriteSome();
    }
}

void CListenerOutbox::OnReadable() {
    if (mPhase != EPhase::Receiving)
        return;
    char buffer[1024];
    const ssize_t n = ::recv(mSocket.Get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n > 0) {
        mReply.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = mReply.find('\n');
        if (end != std::string::npos) {
            std::string reply = mReply.substr(0, end);
            if (!reply.empty() && reply.back() == '\r')
                reply.pop_back();
            Finish(reply);
        } else if (mReply.size() > 4096) {
            VBX_LOG(2, "Port " << CurrentPort() << " answered with an endless line; not the listener\n");
            NextPort();
        }
        return;
    }
    VBX_LOG(3, "Port " << CurrentPort() << " closed the connection without a reply"
                       << (n < 0 ? ". Socket error: " + std::to_string(errno) : std::string()) << "\n");
    NextPort();
}

void CListenerOutbox::OnTimeout() {
    VBX_LOG(2, "Port " << CurrentPort()
                       << (mPhase == EPhase::Connecting ? " did not accept the connection in time\n"
                                                        : " did not answer in time\n"));
    NextPort();
}

void CListenerOutbox::Finish(const std::string& reply) {
    const std::uint16_t port = CurrentPort();
    const bool ok = reply == "OK";
    const bool refused = reply.rfind("ERROR", 0) == 0;
    if (!ok && !refused) {
        VBX_LOG(2, "Port " << port << " answered '" << reply.substr(0, 200) << "', which is not the listener\n");
        NextPort();
        return;
    }
    CloseSocket();
    CItem item = std::move(*mInFlight);
    mInFlight.reset();
    if (mbLost || !mKnownPort || *mKnownPort != port)
        VBX_LOG(3, "Listener found on port " << port << "\n");
    mKnownPort = port;
    mbLost = false;
    mRetryMs = 0;
    if (ok) {
        VBX_LOG(3, "Line sent: " << item.line << "\n");
    } else {
        VBX_LOG(2, "Listener refused '" << item.line << "': " << reply << "\n");
        if (mRefused)
            mRefused(item.pluginId, item.code, reply);
    }
    Kick();
}

void CListenerOutbox::AttemptFailed() {
    CloseSocket();
    if (mInFlight) {
        CItem item = std::move(*mInFlight);
        mInFlight.reset();
        Requeue(std::move(item));
    }
    if (!mbLost) {
        mbLost = true;
        if (mPortCount == 1)
            VBX_LOG(1, "No listener answers on port " << mBasePort << "; retrying until it does\n");
        else
            VBX_LOG(1, "No listener answers on ports " << mBasePort << " to " << (mBasePort + mPortCount - 1)
                                                      << "; retrying until one does\n");
        if (mLost) {
            // What the handler sends waits for the retry below.
            mbResending = true;
            mLost();
            mbResending = false;
        }
    }
    mRetryMs = mRetryMs == 0 ? kFirstRetryMs : std::min(mRetryMs * 2, kMaxRetryMs);
    mRetry.start(mRetryMs);
}

void CListenerOutbox::Requeue(CItem item) {
    for (auto it = mQueue.begin(); it != mQueue.end(); ++it) {
        if (it->pluginId != item.pluginId)
            continue;
        // A later START or STOP of the plug-in makes this one pointless.
        if (!IsPauseOrResume(it->code))
            return;
        if (IsPauseOrResume(item.code)) {
            if (it->code != item.code)
                mQueue.erase(it);
            return;
        }
    }
    mQueue.push_front(std::move(item));
}

bool CListenerOutbox::WaitUntilIdle(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    // The tick bounds each wait for events, so the deadline is kept.
    QTimer tick;
    tick.start(50);
    QEventLoop loop;
    while (!IsIdle() && clock.elapsed() < timeoutMs)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return IsIdle();
}

void CListenerOutbox::CloseSocket() noexcept {
    mTimeout.stop();
    for (QSocketNotifier** notifier : {&mReadNotifier, &mWriteNotifier}) {
        if (*notifier != nullptr) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    mSocket.Reset();
    mPhase = EPhase::Idle;
}
