#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// MD5 message digest (RFC 1321), fed incrementally.
class CMd5 {
public:
    using Digest = std::array<std::uint8_t, 16>;

    CMd5() noexcept { Reset(); }

    void Reset() noexcept;
    void Update(const void* bytes, std::size_t length) noexcept;
    void Update(std::string_view text) noexcept { Update(text.data(), text.size()); }
    /// Pads, returns the digest and starts over.
    Digest Final() noexcept;

    /// The 32 lowercase hexadecimal characters of a digest.
    static std::string Hex(const Digest& digest);

private:
    void Transform(const std::uint8_t block[64]) noexcept;

    std::uint64_t mBitCount = 0;
    std::uint32_t mState[4] = {};
    std::uint8_t mBuffer[64] = {};
};

/// The 32 lowercase hexadecimal characters of the MD5 of the bytes. Used for
/// password hashes, challenge responses (md5Hex(hash + challenge)) and
/// verification tokens (md5Hex(hash + timeText)).
std::string md5Hex(const void* bytes, std::size_t length);
std::string md5Hex(std::string_view text);
