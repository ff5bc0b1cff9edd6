#pragma once

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace jnettest {

/// Polls a request until it reports 1 or -1; 0 if that takes longer than
/// the (generous) bound, which the caller reports as a failure.
template <class Request>
int RunToEnd(Request& request, std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    int result;
    while ((result = request.run()) == 0) {
        if (std::chrono::steady_clock::now() > until)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}

/// Polls a request to its end while consuming its body as it arrives, as a
/// caller that expects bodies bigger than the receive buffer does; 0 when
/// that takes longer than the bound.
template <class Request>
int RunReading(Request& request, std::string& body,
               std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    char buffer[1000];
    int result;
    while ((result = request.run()) == 0) {
        body.append(buffer, request.getBytes(buffer, sizeof buffer));
        if (std::chrono::steady_clock::now() > until)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::size_t n;
    while ((n = request.getBytes(buffer, sizeof buffer)) > 0)
        body.append(buffer, n);
    return result;
}

/// Consumes every buffered body byte.
template <class Request> std::string TakeBody(Request& request) {
    std::string body;
    char buffer[777];
    std::size_t n;
    while ((n = request.getBytes(buffer, sizeof buffer)) > 0)
        body.append(buffer, n);
    return body;
}

/// The text split after each "\r\n", so that a mismatch shows line by line.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        end = end == std::string::npos ? text.size() : end + 2;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

} // namespace jnettest
