// Feeds arbitrary bytes to the plug-in command parser: it must either fill a
// command or refuse with a parse exception, and a parsed command must hold
// only what the line carried.
#include "player/PlayerCommandParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CPlayerCommandParser parser;
    const std::string line(reinterpret_cast<const char*>(data), size);
    CPlayerCommand command;
    try {
        parser.Parse(line, command);
    } catch (const CPlayerCommandParser::CParseException&) {
        return 0;
    }
    if (command.command < CPlayerCommand::START || command.command > CPlayerCommand::EXIT)
        std::abort();
    size_t valueBytes = 0;
    for (const auto& field : command.fields)
        valueBytes += field.second.size() + 2; // identifier and "="
    if (valueBytes > line.size())
        std::abort();
    return 0;
}
