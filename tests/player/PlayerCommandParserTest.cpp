#include "player/PlayerCommandParser.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Fields = std::map<signed char, std::string>;

CPlayerCommand ParseOk(const std::string& line) {
    CPlayerCommandParser parser;
    CPlayerCommand command;
    parser.Parse(line, command);
    return command;
}

std::string Refusal(const std::string& line) {
    CPlayerCommandParser parser;
    CPlayerCommand command;
    try {
        parser.Parse(line, command);
    } catch (const CPlayerCommandParser::CParseException& e) {
        return e.what();
    }
    return "<accepted>";
}

} // namespace

TEST(PlayerCommandParserTest, CommandWords) {
    struct Case {
        std::string line;
        int32_t code;
    } cases[] = {
        {"start c=x", CPlayerCommand::START},    {"START c=x", CPlayerCommand::START},
        {"Start c=x", CPlayerCommand::START},    {"STOP c=x", CPlayerCommand::STOP},
        {"  STOP \t c=x", CPlayerCommand::STOP}, {"\tPAUSE c=x", CPlayerCommand::PAUSE},
        {"resume c=x", CPlayerCommand::RESUME},  {"EXIT c=tst", CPlayerCommand::EXIT},
    };
    for (const auto& c : cases) {
        CPlayerCommand command = ParseOk(c.line);
        EXPECT_EQ(command.command, c.code) << c.line;
        EXPECT_EQ(command.fields, (Fields{{'c', c.line.back() == 't' ? "tst" : "x"}})) << c.line;
    }
}

TEST(PlayerCommandParserTest, RefusalTextsAreExact) {
    struct Case {
        std::string line;
        std::string text;
    } cases[] = {
        {"", "Command string seems to be empty"},
        {" \t \t", "Command string seems to be empty"},
        {"START", "Command doesn't seem to be followed by a space followed by arguments"},
        {"START\tc=x", "Command doesn't seem to be followed by a space followed by arguments"},
        {"FOO c=x", "Command 'FOO' isn't a valid command"},
        {"foo c=x", "Command 'FOO' isn't a valid command"},
        {"st\xC3\xA4rt c=x", "Command 'ST\xC3\xA4RT' isn't a valid command"},
        {"STOP ", "No arguments found in command. All commands need at least the plugin ID."},
        {"STOP \t  ", "No arguments found in command. All commands need at least the plugin ID."},
        {"STOP c", "Missing equals (=) after field identifier 'c'"},
        {"STOP cx", "Missing equals (=) after field identifier 'c'"},
        {"STOP c=x& a=y", "Missing equals (=) after field identifier ' '"},
        {"STOP c=1&c=2", "Field identifier 'c' occurred twice in request"},
        {"START c=1&a=x&a=y", "Field identifier 'a' occurred twice in request"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Refusal(c.line), c.text) << "line: [" << c.line << "]";
}

TEST(PlayerCommandParserTest, FieldValues) {
    struct Case {
        std::string line;
        Fields fields;
    } cases[] = {
        {"STOP c=a&&b", {{'c', "a&b"}}},
        {"STOP c=a&&&t=u", {{'c', "a&"}, {'t', "u"}}},
        {"STOP c=x&", {{'c', "x"}}},
        {"STOP c=", {{'c', ""}}},
        {"STOP c==x", {{'c', "=x"}}},
        {"STOP c=a b\tc", {{'c', "a b\tc"}}},
        {"STOP c=x&&", {{'c', "x&"}}},
        {"PAUSE a=x", {{'a', "x"}}},
        {"START c=x&z=1", {{'c', "x"}, {'z', "1"}}},
        {"START c=tst&a=Some Artist&t=Rock && Roll&b=&m=&l=215&p=C:\\Music\\song.mp3",
         {{'c', "tst"},
          {'a', "Some Artist"},
          {'t', "Rock & Roll"},
          {'b', ""},
          {'m', ""},
          {'l', "215"},
          {'p', "C:\\Music\\song.mp3"}}},
        {"START c=\xC3\xA9&a=Bj\xC3\xB6rk", {{'c', "\xC3\xA9"}, {'a', "Bj\xC3\xB6rk"}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseOk(c.line).fields, c.fields) << c.line;
}

TEST(PlayerCommandParserTest, ParseLeavesTheCallersLineAlone) {
    CPlayerCommandParser parser;
    const std::string line = "STOP c=x";
    std::string copy = line;
    CPlayerCommand command;
    parser.Parse(copy, command);
    EXPECT_EQ(copy, line);
}

TEST(PlayerCommandParserTest, ParseCommandLeavesTheSpaceThatEndedTheWord) {
    CPlayerCommandParser parser;
    std::string text = "  stop   c=x";
    EXPECT_EQ(parser.ParseCommand(text), CPlayerCommand::STOP);
    EXPECT_EQ(text, "   c=x");
}

TEST(PlayerCommandParserTest, HighByteIdentifiersAreKeptAsSignedChars) {
    CPlayerCommand command = ParseOk("STOP \xFF=1&c=2");
    ASSERT_EQ(command.fields.size(), 2u);
    // Ordered as signed chars: 0xFF (-1) comes before 'c'.
    EXPECT_EQ(command.fields.begin()->first, static_cast<signed char>(-1));
    EXPECT_EQ(command.Get('c'), "2");
    EXPECT_TRUE(command.Has('c'));
    EXPECT_FALSE(command.Has('a'));
}
