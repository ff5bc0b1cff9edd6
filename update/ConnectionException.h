#pragma once

#include <stdexcept>
#include <string>

/// Thrown by the download, update and metadata code when the network fails
/// or downloaded data cannot be used. what() is the one message it carries.
class CConnectionException : public std::runtime_error {
public:
    explicit CConnectionException(const std::string& message) : std::runtime_error(message) {}
};
