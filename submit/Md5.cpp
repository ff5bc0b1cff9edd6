#include "submit/Md5.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline std::uint32_t rotateLeft(std::uint32_t x, int n) noexcept {
    return (x << n) | (x >> (32 - n));
}

} // namespace

void CMd5::Reset() noexcept {
    mBitCount = 0;
    mState[0] = 0x67452301;
    mState[1] = 0xefcdab89;
    mState[2] = 0x98badcfe;
    mState[3] = 0x10325476;
    std::memset(mBuffer, 0, sizeof mBuffer);
}

void CMd5::Transform(const std::uint8_t block[64]) noexcept {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(block[i * 4]) | std::uint32_t(block[i * 4 + 1]) << 8 |
               std::uint32_t(block[i * 4 + 2]) << 16 | std::uint32_t(block[i * 4 + 3]) << 24;

    std::uint32_t a = mState[0], b = mState[1], c = mState[2], d = mState[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t next = d;
        d = c;
        c = b;
        b = b + rotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = next;
    }
    mState[0] += a;
    mState[1] += b;
    mState[2] += c;
    mState[3] += d;
}

void CMd5::Update(const void* bytes, std::size_t length) noexcept {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    std::size_t used = std::size_t(mBitCount / 8 % 64);
    mBitCount += std::uint64_t(length) * 8;
    if (used != 0) {
        const std::size_t take = std::min(length, 64 - used);
        std::memcpy(mBuffer + used, in, take);
        used += take;
        in += take;
        length -= take;
        if (used < 64)
            return;
        Transform(mBuffer);
    }
    for (; length >= 64; in += 64, length -= 64)
        Transform(in);
    if (length != 0)
        std::memcpy(mBuffer, in, length);
}

CMd5::Digest CMd5::Final() noexcept {
    const std::uint64_t bits = mBitCount;
    std::uint8_t lengthBytes[8];
    for (int i = 0; i < 8; ++i)
        lengthBytes[i] = std::uint8_t(bits >> (8 * i));

    static const std::uint8_t kPadding[64] = {0x80};
    const std::size_t used = std::size_t(bits / 8 % 64);
    Update(kPadding, used < 56 ? 56 - used : 120 - used);
    Update(lengthBytes, 8);

    Digest digest;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[i * 4 + j] = std::uint8_t(mState[i] >> (8 * j));
    Reset();
    return digest;
}

std::string CMd5::Hex(const Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

std::string md5Hex(const void* bytes, std::size_t length) {
    CMd5 md5;
    md5.Update(bytes, length);
    return CMd5::Hex(md5.Final());
}

std::string md5Hex(std::string_view text) {
    return md5Hex(text.data(), text.size());
}
