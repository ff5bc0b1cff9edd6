#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// A tiny blocking HTTP/1.0 client over a plain socket, for tests: it owns
/// no state, sends one request to 127.0.0.1 and reads the reply until the
/// server closes the connection. Independent of the program's own client,
/// so that it can check that one.
class CRawHttpClient {
public:
    using CHeaders = std::vector<std::pair<std::string, std::string>>;

    struct CReply {
        /// The number of the status line, 0 if the reply had none.
        int status = 0;
        std::string statusLine;
        CHeaders headers;
        std::string body;
        /// Every byte received, unparsed.
        std::string raw;
    };

    /// Sends "METHOD TARGET HTTP/1.0", a Host line, the given headers, a
    /// Content-Length line when a body is given, and the body. Throws
    /// std::runtime_error on a socket failure or when the whole exchange
    /// takes longer than `timeout`.
    static CReply Request(std::uint16_t port, const std::string& method, const std::string& target,
                          const std::string& body = {}, const CHeaders& headers = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// Sends the bytes as they are and returns everything received until
    /// the peer closes (throws as Request does).
    static std::string Exchange(std::uint16_t port, const std::string& bytes,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// Splits received bytes into status, headers and body.
    static CReply Parse(const std::string& raw);
    /// Form-encodes a value: letters, digits, "-", "_", "." kept, space as
    /// "+", every other byte as "%" and two lowercase hex digits.
    static std::string FormEncode(const std::string& value);
};
