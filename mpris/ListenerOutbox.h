#pragma once

#include "mpris/PluginLine.h"
#include "player/PlayerListener.h"
#include "app/UniqueFd.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

/// Delivers command lines to the Vortlebox listener as a plug-in does: one
/// connection per line, one reply line ("OK" or "ERROR: ..."), on 127.0.0.1
/// at the first port that answers like the listener, of the base port and
/// the ten after it (or at the one port it was given). Everything runs on the event loop of the owning thread
/// with non-blocking sockets, so a slow or missing listener never holds up
/// the bridge.
///
/// Lines wait in a queue while the listener is busy or away, reduced per
/// plug-in to what still matters: a START or STOP replaces everything queued
/// before it, a PAUSE and a RESUME in a row cancel out. While the listener is
/// away the queue is retried with growing pauses (at most kMaxRetryMs
/// apart); when nothing is queued no timer runs at all.
class CListenerOutbox : public QObject {
    Q_OBJECT

public:
    /// The base port and the ones the listener moves on to when it is taken.
    static constexpr int kPortCount = CPlayerListener::kPortRetries + 1;
    static constexpr int kConnectTimeoutMs = 2000;
    static constexpr int kReplyTimeoutMs = 10000;
    static constexpr int kFirstRetryMs = 250;
    static constexpr int kMaxRetryMs = 30000;

    using LostHandler = std::function<void()>;
    using RefusedHandler =
        std::function<void(const std::string& pluginId, CPluginLine::ECode code, const std::string& reply)>;

    /// The listener is looked for at portCount ports from basePort on; 1
    /// when the port is known for sure (the program that started the bridge
    /// told it).
    explicit CListenerOutbox(std::uint16_t basePort, int portCount = kPortCount, QObject* parent = nullptr);
    ~CListenerOutbox() override;

    /// Queues one line of the plug-in and starts delivering.
    void Send(const std::string& pluginId, CPluginLine::ECode code, std::string line);

    /// Called once each time the listener is found gone (no port answers),
    /// after which the owner sends each plug-in's whole state again: a
    /// listener that comes back may have been restarted and know nothing.
    void SetLostHandler(LostHandler handler) { mLost = std::move(handler); }
    /// Called when the listener refused a line with "ERROR: ...".
    void SetRefusedHandler(RefusedHandler handler) { mRefused = std::move(handler); }

    /// Nothing queued, nothing on its way.
    bool IsIdle() const noexcept { return mQueue.empty() && !mInFlight; }
    /// Lines waiting (the one on its way not counted).
    std::size_t Queued() const noexcept { return mQueue.size(); }
    /// Runs the event loop until idle or the time is up; true when idle.
    bool WaitUntilIdle(int timeoutMs);

private:
    struct CItem {
        std::string pluginId;
        CPluginLine::ECode code;
        std::string line;
    };
    enum class EPhase { Idle, Connecting, Sending, Receiving };

    void Kick();
    void TryPort();
    void NextPort();
    void StartSending();
    void WriteSome();
    void OnWritable();
    void OnReadable();
    void OnTimeout();
    void Finish(const std::string& reply);
    void AttemptFailed();
    void Requeue(CItem item);
    void CloseSocket() noexcept;
    std::uint16_t CurrentPort() const noexcept { return mPortOrder[mPortIndex]; }

    const std::uint16_t mBasePort;
    const int mPortCount;
    std::optional<std::uint16_t> mKnownPort;
    std::deque<CItem> mQueue;
    std::optional<CItem> mInFlight;
    std::vector<std::uint16_t> mPortOrder;
    std::size_t mPortIndex = 0;
    EPhase mPhase = EPhase::Idle;
    CUniqueFd mSocket;
    QSocketNotifier* mReadNotifier = nullptr;
    QSocketNotifier* mWriteNotifier = nullptr;
    QTimer mTimeout;
    QTimer mRetry;
    std::string mOut;
    std::string mReply;
    int mRetryMs = 0;
    bool mbLost = false;
    bool mbResending = false;
    LostHandler mLost;
    RefusedHandler mRefused;
};
