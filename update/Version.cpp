#include "update/Version.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace {

/// atoi of one piece, without its undefined behaviour on overflow: the value
/// saturates at the 32-bit limits instead.
int32_t ReadPiece(std::string_view piece) noexcept {
    std::size_t i = 0;
    while (i < piece.size() && std::isspace(static_cast<unsigned char>(piece[i])))
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
        negative = piece[i] == '-';
        ++i;
    }
    // One past the limit is the magnitude of INT32_MIN.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10 + (piece[i] - '0');
        if (value > kLimit)
            value = kLimit;
    }
    if (negative)
        return static_cast<int32_t>(-value);
    return static_cast<int32_t>(value == kLimit ? kLimit - 1 : value);
}

} // namespace

CVersion::CVersion(std::string_view text) noexcept {
    std::size_t field = 0;
    std::size_t start = 0;
    while (field < kFieldCount && start <= text.size() && !text.empty()) {
        std::size_t end = text.find_first_of(".,", start);
        if (end == std::string_view::npos)
            end = text.size();
        mFields[field++] = ReadPiece(text.substr(start, end - start));
        start = end + 1;
    }
}

CVersion::CVersion(const char* text) noexcept
    : CVersion(text ? std::string_view(text) : std::string_view()) {}

int CVersion::Compare(const CVersion& other) const noexcept {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (mFields[i] != other.mFields[i])
            return mFields[i] < other.mFields[i] ? -1 : 1;
    }
    return 0;
}

std::string CVersion::ToString() const {
    std::string text;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i)
            text += '.';
        text += std::to_string(mFields[i]);
    }
    return text;
}
