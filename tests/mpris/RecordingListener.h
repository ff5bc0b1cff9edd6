#pragma once

#include "app/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// A stand-in for the Vortlebox listener on 127.0.0.1: serves one line per
/// connection like the real one, records each line exactly as received
/// (without its line feed) and answers with the reply set ("OK" unless
/// told otherwise). Runs on a thread of its own, so the test's event loop
/// stays free for the bridge.
class CRecordingListener {
public:
    /// Listens on the port; Listening() tells whether it could be taken.
    explicit CRecordingListener(std::uint16_t port);
    ~CRecordingListener();
    CRecordingListener(const CRecordingListener&) = delete;
    CRecordingListener& operator=(const CRecordingListener&) = delete;

    bool Listening() const noexcept { return mSocket.IsValid(); }
    std::vector<std::string> Lines() const;
    std::size_t Count() const;
    /// The reply line (without line feed) for every later line whose text
    /// starts with prefix; "" restores "OK".
    void ReplyTo(const std::string& prefix, const std::string& reply);

private:
    void Serve();

    CUniqueFd mSocket;
    std::atomic<bool> mbStop{false};
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
    std::string mReplyPrefix;
    std::string mReply;
    std::thread mThread;
};
