#pragma once

#include "player/PlayerCommand.h"

#include <map>
#include <stdexcept>
#include <string>

/// Turns one line received from a plug-in into a CPlayerCommand:
///   [blanks] WORD " " [blanks] id "=" value { "&" id "=" value }
/// where "&&" inside a value is one literal "&". Refusals carry the exact
/// text the plug-in gets back after "ERROR: ".
class CPlayerCommandParser {
public:
    class CParseException : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };

    CPlayerCommandParser();

    /// Fills command from line; throws CParseException on a malformed line.
    void Parse(std::string line, CPlayerCommand& command) const;

    /// Reads and removes the command word; the text then starts with the
    /// space that ended it.
    int32_t ParseCommand(std::string& text) const;
    /// Reads the fields that follow the command word.
    void ParseArgs(const std::string& text, std::map<signed char, std::string>& fields) const;

private:
    std::map<std::string, int32_t> mCommands;
};
