#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// A TCP server on 127.0.0.1 (a free port) that plays a script of steps on
/// each connection it accepts and records every byte it receives, so that a
/// test can compare a client's request with the expected text and make the
/// server answer, stall, close early or reply in pieces.
///
/// Connections are served one at a time, in the order accepted. Connection i
/// plays scripts[i]; later connections play the last script. After the last
/// step (or a Close step) the server closes its sending side, keeps reading
/// until the client closes (at most a few seconds) and then closes the
/// socket, so the client sees an orderly end and nothing it sent is lost.
///
///   CScriptedServer server({{CScriptedServer::Step::ReadRequest(),
///                            CScriptedServer::Step::Send("HTTP/1.0 200 OK\r\n\r\nhi")}});
///   ... client talks to server.Url("/x") ...
///   server.WaitForFinished(1);
///   EXPECT_EQ(server.Received(0), "GET /x HTTP/1.0\r\n...");
class CScriptedServer {
public:
    struct Step {
        enum class Kind { ReadRequest, Send, Pause, Hold, Close };
        Kind kind = Kind::Close;
        std::string bytes;
        std::chrono::milliseconds duration{0};

        /// Reads up to the empty line after the headers, then as many body
        /// bytes as a "Content-Length:" header announces.
        static Step ReadRequest() { return {Kind::ReadRequest, {}, {}}; }
        /// Sends the bytes.
        static Step Send(std::string bytes) { return {Kind::Send, std::move(bytes), {}}; }
        /// Waits without answering (cut short when the server is destroyed).
        static Step Pause(std::chrono::milliseconds duration) { return {Kind::Pause, {}, duration}; }
        /// Waits without answering until Release() (or the server's end).
        static Step Hold() { return {Kind::Hold, {}, {}}; }
        /// Ends the connection at once; the remaining steps are skipped.
        static Step Close() { return {Kind::Close, {}, {}}; }
    };
    using Script = std::vector<Step>;

    /// The steps that send bytes in pieces of the given size with a pause
    /// between them.
    static Script SendInPieces(const std::string& bytes, std::size_t pieceSize,
                               std::chrono::milliseconds gap);

    explicit CScriptedServer(std::vector<Script> scripts);
    ~CScriptedServer();
    CScriptedServer(const CScriptedServer&) = delete;
    CScriptedServer& operator=(const CScriptedServer&) = delete;

    std::uint16_t Port() const noexcept { return mPort; }
    /// "127.0.0.1:" and the port.
    std::string HostPort() const;
    /// "http://127.0.0.1:PORT" followed by the path.
    std::string Url(const std::string& path = "") const;

    /// Connections accepted so far.
    std::size_t Connections() const;
    /// The bytes received on the connection so far ("" for an unknown one).
    std::string Received(std::size_t connection) const;
    /// Lets every Hold step, present and future, go on.
    void Release();
    /// Waits until this many connections have been served to their end.
    bool WaitForFinished(std::size_t connections,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void Serve();
    void Play(int fd, std::size_t index);
    bool ReadRequest(int fd, std::size_t index);
    /// Waits until fd is readable or the time is up; false when stopping.
    bool WaitReadable(int fd, std::chrono::steady_clock::time_point until) const;
    /// Receives once into the record; 0 at the end, -1 on error, else bytes.
    long ReceiveOnce(int fd, std::size_t index);
    bool SendAll(int fd, const std::string& bytes);
    void Finish(int fd, std::size_t index);

    std::vector<Script> mScripts;
    int mListenFd = -1;
    int mWakeFd = -1;
    std::uint16_t mPort = 0;
    std::atomic<bool> mStop{false};

    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<std::string> mReceived;
    std::size_t mFinished = 0;
    bool mReleased = false;

    std::thread mThread;
};
