#include "app/FormEncode.h"

void appendFormEncoded(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '_' || byte == '.') {
            out += c;
        } else if (byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        }
    }
}

std::string formEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    appendFormEncoded(out, text);
    return out;
}
