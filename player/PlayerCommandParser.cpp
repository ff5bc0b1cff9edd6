#include "player/PlayerCommandParser.h"

namespace {
const char* const kBlanks = " \t";
}

CPlayerCommandParser::CPlayerCommandParser() {
    mCommands["START"] = CPlayerCommand::START;
    mCommands["STOP"] = CPlayerCommand::STOP;
    mCommands["PAUSE"] = CPlayerCommand::PAUSE;
    mCommands["RESUME"] = CPlayerCommand::RESUME;
    mCommands["EXIT"] = CPlayerCommand::EXIT;
}

void CPlayerCommandParser::Parse(std::string line, CPlayerCommand& command) const {
    command.command = ParseCommand(line);
    ParseArgs(line, command.fields);
}

int32_t CPlayerCommandParser::ParseCommand(std::string& text) const {
    const size_t start = text.find_first_not_of(kBlanks);
    if (start == std::string::npos)
        throw CParseException("Command string seems to be empty");
    const size_t space = text.find(' ', start);
    if (space == std::string::npos)
        throw CParseException("Command doesn't seem to be followed by a space followed by arguments");

    std::string word = text.substr(start, space - start);
    for (char& c : word)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    auto it = mCommands.find(word);
    if (it == mCommands.end())
        throw CParseException("Command '" + word + "' isn't a valid command");

    text.erase(0, space);
    return it->second;
}

void CPlayerCommandParser::ParseArgs(const std::string& text,
                                     std::map<signed char, std::string>& fields) const {
    size_t pos = text.find_first_not_of(kBlanks);
    if (pos == std::string::npos)
        throw CParseException("No arguments found in command. All commands need at least the plugin ID.");

    const size_t end = text.size();
    while (pos < end) {
        const char id = text[pos++];
        if (pos >= end || text[pos] != '=')
            throw CParseException(std::string("Missing equals (=) after field identifier '") + id + "'");
        ++pos;

        std::string value;
        while (pos < end) {
            if (text[pos] == '&') {
                if (pos + 1 < end && text[pos + 1] == '&') {
                    value.push_back('&');
                    pos += 2;
                } else {
                    ++pos;
                    break;
                }
            } else {
                value.push_back(text[pos++]);
            }
        }

        const auto key = static_cast<signed char>(id);
        if (fields.count(key) != 0)
            throw CParseException(std::string("Field identifier '") + id + "' occurred twice in request");
        fields.emplace(key, std::move(value));
    }
}
