#include "submit/jnet/JNetHttpGet.h"

#include "app/EncodingUtils.h"

#include <algorithm>
#include <new>

namespace {

constexpr std::size_t kLineBuffer = 4096;
constexpr std::size_t kMinimumReceiveBuffer = 4096;
constexpr int kMaxRedirects = 10;

// "1".."65535" -> the port; anything else -> 0.
std::uint16_t parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return 0;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + unsigned(c - '0');
    }
    return value <= 65535 ? std::uint16_t(value) : 0;
}

// The number after the first space, 0 if there is none.
int statusCode(const std::string& statusLine) {
    const std::size_t space = statusLine.find(' ');
    if (space == std::string::npos)
        return 0;
    int code = 0;
    for (std::size_t i = space + 1; i < statusLine.size() && i < space + 10; ++i) {
        const char c = statusLine[i];
        if (c < '0' || c > '9')
            break;
        code = code * 10 + (c - '0');
    }
    return code;
}

} // namespace

JNetHttpGet::JNetHttpGet(JNetResolver* resolver, std::size_t receiveBufferSize, std::string_view proxy)
    : mResolver(resolver), mReceiveBufferSize(std::max(receiveBufferSize, kMinimumReceiveBuffer)) {
    std::string_view rest = proxy;
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        mProxyCredentials.assign(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
    const std::size_t colon = rest.find(':');
    mProxyHost.assign(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
        mProxyPort = parsePort(rest.substr(colon + 1));
        mProxyValid = mProxyPort != 0;
    }
    if (mProxyHost.empty()) {
        // No host: a direct connection, and the credentials go nowhere.
        mProxyCredentials.clear();
        mProxyPort = 80;
    }
}

JNetHttpGet::~JNetHttpGet() = default;

void JNetHttpGet::addHeader(std::string_view line) {
    if (line.find_first_of("\r\n") != std::string_view::npos)
        return;
    mExtraHeaders.append(line);
    mExtraHeaders.append("\r\n");
}

void JNetHttpGet::setTimeLimits(std::chrono::milliseconds connectLimit,
                                std::chrono::milliseconds totalLimit) {
    mConnectLimit = std::max(connectLimit, std::chrono::milliseconds(0));
    mTotalLimit = std::max(totalLimit, std::chrono::milliseconds(0));
}

void JNetHttpGet::setPostBody(std::string_view body) {
    mBody.assign(body);
}

std::string JNetHttpGet::base64(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16 |
                                std::uint32_t(std::uint8_t(bytes[i + 1])) << 8 | std::uint8_t(bytes[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (left == 2)
            v |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += left == 2 ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

bool JNetHttpGet::parseUrl(std::string_view text, Url& url) {
    // Blanks and control characters would break the request line or smuggle
    // header lines into the request.
    for (char c : text) {
        if (std::uint8_t(c) <= 0x20 || std::uint8_t(c) == 0x7f)
            return false;
    }
    url = Url{};
    url.full.assign(text);
    std::string_view rest = text;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos)
        rest.remove_prefix(scheme + 3);
    const std::size_t slash = rest.find('/');
    url.path = slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    std::string_view authority = rest.substr(0, slash);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        url.credentials.assign(authority.substr(0, at));
        authority.remove_prefix(at + 1);
    }
    const std::size_t colon = authority.find(':');
    url.host.assign(authority.substr(0, colon));
    url.port = colon == std::string_view::npos ? 80 : parsePort(authority.substr(colon + 1));
    return !url.host.empty() && url.port != 0;
}

int JNetHttpGet::fail(std::string text) {
    mState = kFailed;
    mErrorText = std::move(text);
    mConnection.reset();
    return -1;
}

void JNetHttpGet::restartClock() {
    mRedirects = 0;
    mStarted = std::chrono::steady_clock::now();
}

void JNetHttpGet::connect(std::string_view url, int httpMinorVersion, std::string_view method) {
    restartClock();
    startRequest(url, httpMinorVersion, method, false);
}

void JNetHttpGet::startRequest(std::string_view url, int httpMinorVersion, std::string_view method,
                               bool post) {
    mConnection.reset();
    mPost = post;
    mMethod.assign(method);
    mState = kStatus;
    mSkippingInterim = false;
    mStatusLine.clear();
    mHeaders.clear();
    mErrorText.clear();
    mContentLength = -1;
    mBodyConsumed = 0;
    mConnectionStarted = std::chrono::steady_clock::now();

    if (!parseUrl(url, mUrl)) {
        fail("invalid URL");
        return;
    }
    if (!mProxyValid) {
        fail("invalid proxy");
        return;
    }
    const bool viaProxy = !mProxyHost.empty();

    std::string request;
    try {
        const int minor = (httpMinorVersion % 10 + 10) % 10;
        request =
            mMethod + " " + (viaProxy ? mUrl.full : mUrl.path) + " HTTP/1." + std::to_string(minor) + "\r\n";
        request += "Host:" + mUrl.host + "\r\n";
        if (!mUrl.credentials.empty())
            request += "Authorization: Basic " + base64(mUrl.credentials) + "\r\n";
        if (viaProxy && !mProxyCredentials.empty())
            request += "Proxy-Authorization: Basic " + base64(mProxyCredentials) + "\r\n";
        if (mPost) {
            request += "Content-Type: application/x-www-form-urlencoded\r\n";
            if (!mBody.empty())
                request += "Content-Length:" + std::to_string(mBody.size()) + "\r\n";
        }
        request += mExtraHeaders;
        request += "\r\n";
        if (mPost) {
            request += mBody;
            request += "\r\n";
        }
    } catch (const std::bad_alloc&) {
        fail("error allocating memory");
        return;
    }

    try {
        mConnection = std::make_unique<JNetConnection>(mResolver, request.size() + 4, mReceiveBufferSize);
    } catch (const std::bad_alloc&) {
        fail("could not create connection object");
        return;
    }
    if (viaProxy)
        mConnection->connect(mProxyHost, mProxyPort);
    else
        mConnection->connect(mUrl.host, mUrl.port);
    mConnection->sendString(request);
}

bool JNetHttpGet::nextLine(std::string& line) {
    const std::size_t buffered = mConnection->bytesAvailable();
    if (buffered == 0)
        return false;
    // A line longer than the line buffer is taken in pieces, and an
    // unterminated last line counts once the peer has closed; otherwise
    // either would wait forever.
    const bool closed = mConnection->state() == JNetConnection::kClosed;
    if (mConnection->linesAvailable() == 0 && !closed && buffered < kLineBuffer - 1)
        return false;
    char buffer[kLineBuffer];
    mConnection->receiveLine(buffer, sizeof buffer);
    line.assign(buffer);
    return true;
}

int JNetHttpGet::handleStatusLine(const std::string& line) {
    mStatusLine = line;
    const int code = statusCode(line);
    if (mPost && code == 100) {
        mSkippingInterim = true;
        return 0;
    }
    if (code == 200 || code == 206 || (mPost && code == 500)) {
        mState = kHeaders;
        return 0;
    }
    if (code == 301 || code == 302) {
        mState = kRedirect;
        return 0;
    }
    return fail(line);
}

bool JNetHttpGet::bodyComplete() const {
    return mContentLength >= 0 &&
           mBodyConsumed + mConnection->bytesAvailable() >= static_cast<unsigned long long>(mContentLength);
}

int JNetHttpGet::run() {
    if (mState == kFailed || !mConnection)
        return -1;

    bool ranAgain = false;
    mConnection->run();
    for (;;) {
        if (mConnection->state() == JNetConnection::kError)
            return fail(mConnection->errorText());
        std::string line;
        if (mState == kBody || !nextLine(line)) {
            if (mState == kStatus && !ranAgain && mConnection->state() == JNetConnection::kConnected) {
                // The reply may be on its way right behind the request.
                ranAgain = true;
                mConnection->run();
                continue;
            }
            break;
        }
        switch (mState) {
        case kStatus:
            if (mSkippingInterim) {
                // The headers of an interim reply end with an empty line.
                if (line.empty())
                    mSkippingInterim = false;
            } else if (!line.empty() && handleStatusLine(line) < 0) {
                return -1;
            }
            break;
        case kRedirect:
            // The headers ended without a Location: an error without a text
            // of its own.
            if (line.empty())
                return fail(std::string());
            if (CEncodingUtils::StartsWithIgnoringCase(line, "Location:")) {
                std::size_t begin = 9;
                while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t'))
                    ++begin;
                std::size_t end = line.size();
                while (end > begin && (line[end - 1] == ' ' || line[end - 1] == '\t'))
                    --end;
                if (++mRedirects > kMaxRedirects)
                    return fail("too many redirects");
                const std::string target = line.substr(begin, end - begin);
                startRequest(target, 0, mPost ? "POST" : "GET", mPost);
                return mState == kFailed ? -1 : 0;
            }
            break;
        case kHeaders:
            if (line.empty()) {
                mState = kBody;
                break;
            }
            if (CEncodingUtils::StartsWithIgnoringCase(line, "Content-Length:")) {
                std::size_t i = 15;
                while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                    ++i;
                long long length = 0;
                bool valid = i < line.size();
                for (; i < line.size() && valid; ++i) {
                    if (line[i] < '0' || line[i] > '9' || length > 1'000'000'000'000LL)
                        valid = false;
                    else
                        length = length * 10 + (line[i] - '0');
                }
                mContentLength = valid ? length : -1;
            }
            mHeaders.push_back(std::move(line));
            break;
        case kFailed:
        case kBody:
            break;
        }
    }

    // A peer that closes ends the request, whatever part of the reply was
    // being read (a redirect's headers included).
    if (mConnection->state() == JNetConnection::kClosed)
        return 1;
    if (mPost && mState == kBody && bodyComplete())
        return 1;

    const auto now = std::chrono::steady_clock::now();
    const JNetConnection::State connectionState = mConnection->state();
    if (mConnectLimit.count() > 0 && now - mConnectionStarted >= mConnectLimit &&
        (connectionState == JNetConnection::kResolving || connectionState == JNetConnection::kConnecting))
        return fail("timed out connecting to host");
    if (mTotalLimit.count() > 0 && now - mStarted >= mTotalLimit)
        return fail("timed out waiting for the server");
    return 0;
}

int JNetHttpGet::replyCode() const {
    return statusCode(mStatusLine);
}

std::size_t JNetHttpGet::getBytes(void* buffer, std::size_t length) {
    if (mState != kBody || !mConnection)
        return 0;
    const std::size_t n = mConnection->receiveBytes(buffer, length);
    mBodyConsumed += n;
    return n;
}

std::size_t JNetHttpGet::bytesAvailable() const {
    return mState == kBody && mConnection ? mConnection->bytesAvailable() : 0;
}
