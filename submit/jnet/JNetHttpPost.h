#pragma once

#include "submit/jnet/JNetHttpGet.h"

#include <string_view>

/// An HTTP/1.x POST of a form body ("application/x-www-form-urlencoded"),
/// driven by run() like JNetHttpGet.
///
///   JNetHttpPost post(nullptr, 16384, proxy);
///   post.addHeader("Accept: */*");
///   post.setBody(body.data(), body.size());
///   post.connect(url, 0);
///   while ((r = post.run()) == 0) sleep;
///
/// Replies 200, 206 and 500 are read (a leading "100 Continue" reply is
/// skipped); 301 and 302 are followed with a fresh POST of the same body.
/// The reply is complete when the server closes the connection or, with a
/// "Content-Length:" header, as soon as that many body bytes have arrived.
class JNetHttpPost : private JNetHttpGet {
public:
    JNetHttpPost(JNetResolver* resolver, std::size_t receiveBufferSize, std::string_view proxy);
    ~JNetHttpPost() override;

    /// The form body sent after the headers, followed by "\r\n".
    void setBody(const char* text, std::size_t length);
    void setBody(std::string_view text) { setBody(text.data(), text.size()); }
    void connect(std::string_view url, int httpMinorVersion);

    using JNetHttpGet::addHeader;
    using JNetHttpGet::base64;
    using JNetHttpGet::bytesAvailable;
    using JNetHttpGet::errorText;
    using JNetHttpGet::getBytes;
    using JNetHttpGet::proxyCredentials;
    using JNetHttpGet::proxyHost;
    using JNetHttpGet::proxyPort;
    using JNetHttpGet::replyCode;
    using JNetHttpGet::replyHeaders;
    using JNetHttpGet::run;
    using JNetHttpGet::setTimeLimits;
    using JNetHttpGet::statusLine;
};
