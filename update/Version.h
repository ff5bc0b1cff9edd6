#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

/// A four-field version number, most significant field first, as found in
/// the update-information file, in installed versions and in file versions.
///
/// Text is split at every "." or ","; each piece is read like atoi (leading
/// blanks, an optional sign, then digits; none gives 0), so "9.1-1" reads as
/// 9.1.0.0. At most four pieces count, missing ones are 0, and "" is 0.0.0.0.
/// A piece too large for 32 bits is clamped to the 32-bit range.
class CVersion {
public:
    static constexpr std::size_t kFieldCount = 4;

    /// 0.0.0.0.
    constexpr CVersion() noexcept = default;
    constexpr CVersion(int32_t a, int32_t b, int32_t c, int32_t d) noexcept : mFields{a, b, c, d} {}
    explicit CVersion(std::string_view text) noexcept;
    /// A null text reads as the empty text.
    explicit CVersion(const char* text) noexcept;

    /// -1, 0 or 1 as this version is lower than, equal to or greater than
    /// the other, comparing from the most significant field.
    int Compare(const CVersion& other) const noexcept;

    /// "a.b.c.d" in decimal.
    std::string ToString() const;

    /// Field 0 is the most significant; any other index than 0..3 gives 0.
    int32_t Field(std::size_t index) const noexcept { return index < kFieldCount ? mFields[index] : 0; }

    friend constexpr bool operator==(const CVersion&, const CVersion&) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(const CVersion&, const CVersion&) noexcept = default;

private:
    std::array<int32_t, kFieldCount> mFields{};
};
