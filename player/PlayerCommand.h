#pragma once

#include <cstdint>
#include <map>
#include <string>

/// One command line of a player plug-in, parsed: the command code and its
/// fields by one-letter identifier. Values are kept exactly as decoded.
struct CPlayerCommand {
    enum Code : int32_t { START = 0, STOP = 1, PAUSE = 2, RESUME = 3, EXIT = 4 };

    int32_t command = START;
    std::map<signed char, std::string> fields;

    bool Has(char id) const { return fields.count(static_cast<signed char>(id)) != 0; }
    /// The value of a field, empty when it is missing.
    std::string Get(char id) const {
        auto it = fields.find(static_cast<signed char>(id));
        return it == fields.end() ? std::string() : it->second;
    }
};
