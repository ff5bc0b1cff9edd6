#include "settings/User.h"
#include "ui/TrayState.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CUser User(const std::string& name, bool submits, int colour = 1) {
    CUser user;
    user.name = name;
    user.submitPlays = submits;
    user.colour = colour;
    return user;
}

TEST(TrayStateTest, DisabledOutranksCachingWhichOutranksNormal) {
    struct Case {
        bool submits;
        int status;
        CTrayState::EKind kind;
        const char* tip;
    };
    const Case cases[] = {
        {true, 4, CTrayState::kNormal, "bob is vortling"},
        {true, 11, CTrayState::kNormal, "bob is vortling"},
        // Connection trouble also caches, but only a refused user or
        // password shows the caching icon.
        {true, 9, CTrayState::kNormal, "bob is vortling"},
        {true, 8, CTrayState::kCaching, "bob's tracks are being cached for later submission"},
        {true, 14, CTrayState::kCaching, "bob's tracks are being cached for later submission"},
        {true, 16, CTrayState::kCaching, "bob's tracks are being cached for later submission"},
        {false, 16, CTrayState::kDisabled, "bob has disabled vortling"},
        {false, 4, CTrayState::kDisabled, "bob has disabled vortling"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const CTrayState state = CTrayState::Derive(User("bob", c.submits, 3), c.status);
        EXPECT_EQ(state.kind, c.kind);
        EXPECT_EQ(state.tip, c.tip);
        EXPECT_EQ(state.colour, 3);
    }
    EXPECT_EQ(CTrayState::Initial(User("bob", true)).kind, CTrayState::kNormal);
    EXPECT_EQ(CTrayState::Initial(User("bob", false)).kind, CTrayState::kDisabled);
}

TEST(TrayStateTest, TheTipIsCutToSixtyThreeCharactersNeverInsideOne) {
    // A 60-character name keeps the first three characters of the suffix.
    const std::string sixty(60, 'n');
    EXPECT_EQ(CTrayState::Derive(User(sixty, true), 4).tip, sixty + " is");

    // "é" takes two bytes: 40 of them are 40 characters, 80 bytes.
    std::string accented;
    for (int i = 0; i < 40; ++i)
        accented += "\xC3\xA9";
    const std::string tip = CTrayState::Derive(User(accented, false), 4).tip;
    EXPECT_EQ(tip, accented + std::string(" has disabled vortling").substr(0, 23));

    struct Case {
        std::string text;
        std::size_t max;
        std::string cut;
    };
    const Case cases[] = {
        {"abc", 3, "abc"},
        {"abcd", 3, "abc"},
        {"", 3, ""},
        {"a\xE2\x82\xAC" "b", 2, "a\xE2\x82\xAC"},             // a three-byte character kept whole
        {"\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5", 1, "\xF0\x9F\x8E\xB5"}, // and a four-byte one
        {"ab", 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CTrayState::CutToCharacters(c.text, c.max), c.cut) << c.text;
}

} // namespace
