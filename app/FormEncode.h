#pragma once

#include <string>
#include <string_view>

/// Form encoding of every value put into a URL or a form body: letters,
/// digits, "-", "_" and "." stay, a space becomes "+", every other byte
/// (0x80 to 0xFF included) becomes "%" and two lowercase hex digits.
std::string formEncode(std::string_view text);

/// Appends the form encoding of text to out, without a temporary.
void appendFormEncoded(std::string& out, std::string_view text);

/// Undoes formEncode: "+" is a space, "%" and two hex digits a byte; a "%"
/// not followed by two hex digits stays as it is.
std::string formDecode(std::string_view text);

/// The value of a hexadecimal digit (either case); -1 for any other byte.
int hexDigitValue(char c) noexcept;
