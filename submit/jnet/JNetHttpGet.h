#pragma once

#include "submit/jnet/JNetConnection.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// An HTTP/1.x GET (or any body-less method) request, driven by run().
///
/// Typical use, on one thread:
///   JNetHttpGet get(nullptr, 16384, proxy);
///   get.addHeader("Accept: */*");
///   get.connect(url, 0, "GET");
///   while ((r = get.run()) == 0) sleep;          // r == 1: done, -1: errorText()
///   n = get.getBytes(buf, sizeof buf);
///
/// Replies 200 and 206 are read; 301 and 302 are followed through their
/// "Location:" header with a fresh request of HTTP minor version 0; a
/// redirect whose headers end without one is an error with an empty error
/// text. The reply is complete when the server closes the connection, at
/// whatever point of the reply that happens. A body bigger
/// than the receive buffer waits in the socket: read it with getBytes()
/// between calls of run(), or run() reports 0 until a time limit ends it.
///
/// Error texts: "invalid URL", "invalid proxy", "creating socket", "empty
/// hostname", "resolving hostname", "connecting to host", "connecting to host
/// (calling select())", "error allocating memory", "could not create
/// connection object", "too many redirects" (more than 10), the two time-out
/// texts of setTimeLimits(), and the status line itself for a status code
/// this request does not read.
class JNetHttpGet {
public:
    /// resolver: shared resolver, or nullptr to let the connection own one.
    /// receiveBufferSize: at least 4096 is used.
    /// proxy: "[user:password@]host[:port]" (port 80 when absent), or "" for
    /// a direct connection.
    JNetHttpGet(JNetResolver* resolver, std::size_t receiveBufferSize, std::string_view proxy);
    virtual ~JNetHttpGet();
    JNetHttpGet(const JNetHttpGet&) = delete;
    JNetHttpGet& operator=(const JNetHttpGet&) = delete;

    /// Appends one header line (without its line end) to every request this
    /// object sends. A line containing CR or LF is ignored.
    void addHeader(std::string_view line);

    /// Optional time limits, counted from connect(); zero (the default)
    /// means none. connectLimit bounds resolving and connecting (error
    /// "timed out connecting to host"), totalLimit the whole exchange,
    /// redirects included (error "timed out waiting for the server").
    void setTimeLimits(std::chrono::milliseconds connectLimit, std::chrono::milliseconds totalLimit);

    /// Starts the request; a failure shows at the next run().
    void connect(std::string_view url, int httpMinorVersion, std::string_view method = "GET");

    /// -1 error (see errorText()), 0 still working, 1 finished.
    int run();

    /// The number after the first space of the reply's status line, 0 if none.
    int replyCode() const;
    /// Copies and consumes up to length body bytes; 0 before the body.
    std::size_t getBytes(void* buffer, std::size_t length);
    /// Body bytes buffered and not yet consumed; 0 before the body.
    std::size_t bytesAvailable() const;

    const std::string& errorText() const noexcept { return mErrorText; }
    /// The reply's status line, without its line end.
    const std::string& statusLine() const noexcept { return mStatusLine; }
    /// The reply's header lines in order, without line ends.
    const std::vector<std::string>& replyHeaders() const noexcept { return mHeaders; }

    /// The proxy as parsed at construction (empty host: none).
    const std::string& proxyHost() const noexcept { return mProxyHost; }
    std::uint16_t proxyPort() const noexcept { return mProxyPort; }
    const std::string& proxyCredentials() const noexcept { return mProxyCredentials; }

    /// RFC 4648 Base64 with "=" padding.
    static std::string base64(std::string_view bytes);

protected:
    /// For the POST request object.
    void setPostBody(std::string_view body);
    /// A caller's new request: the time limits and the redirect count start over.
    void restartClock();
    void startRequest(std::string_view url, int httpMinorVersion, std::string_view method, bool post);
    bool mPost = false;

private:
    enum RequestState { kFailed = -1, kStatus = 0, kRedirect = 1, kHeaders = 2, kBody = 3 };

    struct Url {
        std::string full, host, path, credentials;
        std::uint16_t port = 80;
    };
    static bool parseUrl(std::string_view text, Url& url);

    int fail(std::string text);
    bool nextLine(std::string& line);
    int handleStatusLine(const std::string& line);
    bool bodyComplete() const;

    JNetResolver* mResolver;
    std::size_t mReceiveBufferSize;
    std::string mProxyHost;
    std::uint16_t mProxyPort = 80;
    bool mProxyValid = true;
    std::string mProxyCredentials;
    std::string mExtraHeaders; // each line followed by "\r\n"
    std::string mBody;

    std::unique_ptr<JNetConnection> mConnection;
    Url mUrl;
    std::string mMethod;
    RequestState mState = kFailed;
    bool mSkippingInterim = false; // inside the headers of a 100 reply
    int mRedirects = 0;
    std::string mStatusLine;
    std::vector<std::string> mHeaders;
    std::string mErrorText;
    long long mContentLength = -1;
    std::size_t mBodyConsumed = 0;

    std::chrono::milliseconds mConnectLimit{0};
    std::chrono::milliseconds mTotalLimit{0};
    std::chrono::steady_clock::time_point mStarted;
    std::chrono::steady_clock::time_point mConnectionStarted;
};
