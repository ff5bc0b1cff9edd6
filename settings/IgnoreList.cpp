#include "settings/IgnoreList.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"

#include <fnmatch.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace {

bool IsSeparator(char c) {
    return c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/// Whether the pattern can match a bus name: letters, digits, "_", "-" and
/// "." besides the wildcards, and every "[" closed.
bool IsBusNamePattern(const std::string& pattern) {
    bool inSet = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || c == '.';
        if (inSet) {
            if (c == ']')
                inSet = false;
            else if (!plain && c != '!' && c != '^')
                return false;
        } else if (c == '[') {
            inSet = true;
        } else if (!plain && c != '*' && c != '?') {
            return false;
        }
    }
    return !inSet;
}

bool Matches(const std::string& pattern, const std::string& name) {
    return !name.empty() && ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

/// Logs each invalid pattern once per process.
void LogInvalid(const std::vector<std::string>& invalid) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    std::lock_guard<std::mutex> guard(mutex);
    for (const std::string& pattern : invalid) {
        if (logged.size() < 256 && logged.insert(pattern).second)
            VBX_LOG(1, CIgnoreList::kValue << ": '" << pattern << "' is not a bus-name pattern, left out\n");
    }
}

} // namespace

CIgnoreList::CIgnoreList(const std::string& text) {
    std::string current;
    for (const char c : text + ";") {
        if (!IsSeparator(c)) {
            current += c;
            continue;
        }
        if (!current.empty())
            (IsBusNamePattern(current) ? mPatterns : mInvalid).push_back(current);
        current.clear();
    }
}

CIgnoreList CIgnoreList::FromStore() {
    try {
        CRegistryKey key = CRegistryUtils::OpenKey(kKey, true);
        const std::string text = CRegistryUtils::ReadString(key, kValue, true, kDefault);
        CRegistryUtils::CloseKey(key);
        CIgnoreList list(text);
        LogInvalid(list.mInvalid);
        return list;
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException: " << e.what() << "\n");
        return CIgnoreList();
    }
}

std::string CIgnoreList::PlayerName(const std::string& busName) {
    const std::string prefix = kMprisPrefix;
    std::string name = busName.rfind(prefix, 0) == 0 ? busName.substr(prefix.size()) : busName;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.compare(dot + 1, 8, "instance") == 0)
        name.erase(dot);
    return name;
}

bool CIgnoreList::Ignores(const std::string& busName) const {
    const std::string prefix = kMprisPrefix;
    const std::string shortName = busName.rfind(prefix, 0) == 0 ? busName.substr(prefix.size()) : std::string();
    const std::string playerName = PlayerName(busName);
    return std::any_of(mPatterns.begin(), mPatterns.end(), [&](const std::string& pattern) {
        return Matches(pattern, busName) || Matches(pattern, shortName) || Matches(pattern, playerName);
    });
}

std::string CIgnoreList::Text() const {
    std::string text;
    for (const std::string& pattern : mPatterns)
        text += (text.empty() ? "" : "; ") + pattern;
    return text;
}

CIgnoreList CIgnoreList::With(const std::string& busName, bool counted) const {
    CIgnoreList list;
    for (const std::string& pattern : mPatterns) {
        if (counted && CIgnoreList(pattern).Ignores(busName))
            continue;
        list.mPatterns.push_back(pattern);
    }
    if (!counted && !list.Ignores(busName))
        list.mPatterns.push_back(PlayerName(busName));
    return list;
}
