#include "mpris/IgnoreList.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"

#include <fnmatch.h>

CIgnoreList::CIgnoreList(const std::string& text) {
    std::string current;
    for (const char c : text + ";") {
        if (c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!current.empty())
                mPatterns.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
}

CIgnoreList CIgnoreList::FromStore() {
    try {
        CRegistryKey key = CRegistryUtils::OpenKey(kKey, true);
        const std::string text = CRegistryUtils::ReadString(key, kValue, true, std::string());
        CRegistryUtils::CloseKey(key);
        return CIgnoreList(text);
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "CRegistryException: " << e.what() << "\n");
        return CIgnoreList();
    }
}

bool CIgnoreList::Ignores(const std::string& busName) const {
    const std::string prefix = kMprisPrefix;
    const std::string shortName = busName.rfind(prefix, 0) == 0 ? busName.substr(prefix.size()) : std::string();
    for (const std::string& pattern : mPatterns) {
        if (::fnmatch(pattern.c_str(), busName.c_str(), 0) == 0)
            return true;
        if (!shortName.empty() && ::fnmatch(pattern.c_str(), shortName.c_str(), 0) == 0)
            return true;
    }
    return false;
}
