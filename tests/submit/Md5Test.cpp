#include "submit/Md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DigestCase {
    const char* input;
    const char* hex;
};

// The test suite of RFC 1321, appendix A.5.
const DigestCase kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Test, ReproducesTheRfcSuite) {
    for (const auto& c : kRfcSuite) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(md5Hex(c.input), c.hex);
        const std::string text = c.input;
        EXPECT_EQ(md5Hex(text.data(), text.size()), c.hex);
    }
}

TEST(Md5Test, HexIsThirtyTwoLowercaseDigits) {
    for (const auto& c : kRfcSuite) {
        const std::string hex = md5Hex(c.input);
        ASSERT_EQ(hex.size(), 32u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
    }
}

// Feeding the input in chunks of every size, so that pieces straddle the
// 64-byte blocks and the 56-byte padding limit, gives the one-shot digest.
TEST(Md5Test, IncrementalUpdatesEqualOneShot) {
    std::string input;
    for (int i = 0; i < 300; ++i)
        input += char((i * 37 + 11) & 0xff);
    for (std::size_t length : {0u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
        const std::string part = input.substr(0, length);
        const std::string expected = md5Hex(part);
        for (std::size_t chunk : {1u, 3u, 7u, 55u, 63u, 64u, 65u, 200u}) {
            SCOPED_TRACE("length " + std::to_string(length) + " chunk " + std::to_string(chunk));
            CMd5 md5;
            for (std::size_t at = 0; at < part.size(); at += chunk)
                md5.Update(part.data() + at, std::min(chunk, part.size() - at));
            EXPECT_EQ(CMd5::Hex(md5.Final()), expected);
        }
    }
}

TEST(Md5Test, FinalStartsOver) {
    CMd5 md5;
    md5.Update("garbage that must not leak into the next digest");
    md5.Final();
    md5.Update("abc");
    EXPECT_EQ(CMd5::Hex(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Test, BytesAboveSeventyFAreTakenUnsigned) {
    const unsigned char bytes[] = {0xe9, 0xff, 0x80, 0x00, 0x7f};
    CMd5 one;
    one.Update(bytes, sizeof bytes);
    CMd5 split;
    split.Update(bytes, 2);
    split.Update(bytes + 2, 3);
    const std::string hex = CMd5::Hex(one.Final());
    EXPECT_EQ(hex, CMd5::Hex(split.Final()));
    // The NUL inside the input counts: stopping there would give another digest.
    EXPECT_NE(hex, md5Hex(bytes, 3));
}

// The challenge response and the verification token are md5Hex of the
// password hash immediately followed by the challenge (or the time text).
TEST(Md5Test, ChallengeResponseDependsOnBothParts) {
    const std::string hash = md5Hex("secret");
    const std::string other = md5Hex("secret2");
    struct Case {
        std::string hash, challenge;
    };
    const std::vector<Case> cases = {
        {hash, "abc123"}, {hash, "abc124"}, {other, "abc123"}, {hash, "1146487496"}, {hash, "1146487497"}};
    std::vector<std::string> responses;
    for (const auto& c : cases) {
        const std::string response = md5Hex(c.hash + c.challenge);
        EXPECT_EQ(response.size(), 32u);
        for (const auto& earlier : responses)
            EXPECT_NE(response, earlier) << c.hash << " " << c.challenge;
        responses.push_back(response);
    }
    EXPECT_EQ(md5Hex(hash + ""), md5Hex(hash));
    EXPECT_NE(md5Hex(hash + "abc123"), md5Hex("abc123" + hash)) << "order of the parts matters";
}

} // namespace
