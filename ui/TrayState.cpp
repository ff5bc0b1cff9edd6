#include "ui/TrayState.h"

#include "res/StringTable.h"
#include "settings/User.h"
#include "ui/StatusTexts.h"

namespace {

std::string Tip(const std::string& name, int textId) {
    return CTrayState::CutToCharacters(name + std::string(CStringTable::Get(textId)), CTrayState::kMaxTipLength);
}

} // namespace

CTrayState CTrayState::Derive(const CUser& user, int statusCode) {
    CTrayState state;
    state.colour = user.colour;
    if (!user.submitPlays) {
        state.kind = kDisabled;
        state.tip = Tip(user.name, IDS_TIP_DISABLED);
    } else if (CStatusTexts::IsUserProblem(statusCode)) {
        state.kind = kCaching;
        state.tip = Tip(user.name, IDS_TIP_CACHING);
    } else {
        state.kind = kNormal;
        state.tip = Tip(user.name, IDS_TIP_VORTLING);
    }
    return state;
}

CTrayState CTrayState::Initial(const CUser& user) {
    return Derive(user, -1);
}

std::string CTrayState::CutToCharacters(const std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every byte but a continuation byte (10xxxxxx) starts a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == maxChars)
                return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}
