#include "settings/SettingsManager.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"
#include "app/ProgramVersion.h"
#include "app/UserFolders.h"
#include "settings/RegistryUtils.h"
#include "update/WinUtils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <random>
#include <unistd.h>

namespace {

using CRegistryException = CRegistryUtils::CRegistryException;

const char* const kFenwaveKey = "Software\\Fenwave";
const char* const kProgramKey = "Software\\Fenwave\\Vortlebox";
const char* const kUsersKey = "Software\\Fenwave\\Users";
// String resource 111.
const char* const kUserDirName = "Fenwave/Vortlebox";

// A user name is one key name: an empty one or one holding a backslash would
// address (and could delete) some other key.
bool IsValidUserName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace

CSettingsManager& CSettingsManager::Instance() {
    static CSettingsManager manager;
    return manager;
}

CSettingsManager::CSettingsManager() {
    mUsers.reserve(5);
}

CSettingsManager::~CSettingsManager() = default;

std::string CSettingsManager::JoinExclusionDirs(const std::vector<std::string>& dirs) {
    std::string text;
    for (const std::string& dir : dirs) {
        text.push_back('"');
        for (char c : dir) {
            if (c == '"')
                text.push_back('"');
            text.push_back(c);
        }
        text += "\" ";
    }
    return text;
}

std::vector<std::string> CSettingsManager::SplitExclusionDirs(const std::string& text) {
    return CWinUtils::SplitQuoted(text);
}

void CSettingsManager::WriteUserSettings(const CRegistryKey& key, const CUser& user) {
    VBX_LOG(3, "Writing user settings for: " << user.name << "\n");
    CRegistryUtils::WriteString(key, "Password", user.passwordHash);
    CRegistryUtils::WriteString(key, "ExclusionDirs", JoinExclusionDirs(user.exclusionDirs));
    CRegistryUtils::WriteNumber(key, "Icon", static_cast<std::uint32_t>(user.colour));
    CRegistryUtils::WriteBool(key, "RememberPass", user.rememberPassword);
    CRegistryUtils::WriteBool(key, "LogToProfile", user.submitPlays);
    CRegistryUtils::WriteBool(key, "DisplayRecent", user.displayRecent);
}

CUser CSettingsManager::ReadUserSettings(const CRegistryKey& key, const std::string& name) {
    VBX_LOG(3, "Reading user settings for: " << name << "\n");
    // Every value in one read; one that is missing or of another type is
    // read on its own, which stores its default or fails as it should.
    const std::vector<CRegistryValue> values = CRegistryUtils::ListValues(key);
    auto stored = [&](const char* valueName, CRegistryValue::EType type) -> const CRegistryValue* {
        for (const CRegistryValue& value : values)
            if (value.type == type && CEncodingUtils::EqualsIgnoringCase(value.name, valueName))
                return &value;
        return nullptr;
    };
    auto text = [&](const char* valueName) {
        const CRegistryValue* value = stored(valueName, CRegistryValue::EType::String);
        return value != nullptr ? value->text : CRegistryUtils::ReadString(key, valueName, true, "");
    };
    auto number = [&](const char* valueName) {
        const CRegistryValue* value = stored(valueName, CRegistryValue::EType::Number);
        return value != nullptr ? value->number : CRegistryUtils::ReadNumber(key, valueName, 0);
    };
    CUser user;
    user.name = name;
    user.passwordHash = text("Password");
    user.exclusionDirs = SplitExclusionDirs(text("ExclusionDirs"));
    user.colour = static_cast<std::int32_t>(number("Icon"));
    user.rememberPassword = number("RememberPass") != 0;
    user.submitPlays = number("LogToProfile") != 0;
    user.displayRecent = number("DisplayRecent") != 0;
    return user;
}

void CSettingsManager::Restore() {
    VBX_TRACE();
    std::vector<CUser> users;
    CRegistryKey usersKey = CRegistryUtils::OpenKey(kUsersKey, true);
    std::vector<std::string> names;
    CRegistryUtils::ListSubkeys(usersKey, names);
    for (const std::string& name : names) {
        CRegistryKey userKey = CRegistryUtils::OpenKey(usersKey, name, false);
        users.push_back(ReadUserSettings(userKey, name));
        CRegistryUtils::CloseKey(userKey);
    }
    std::stable_sort(users.begin(), users.end(),
                     [](const CUser& a, const CUser& b) { return a.name < b.name; });

    std::string current = CRegistryUtils::ReadString(usersKey, "CurrentUser", true, "");
    VBX_LOG(3, "Current user: " << current << "\n");
    CRegistryUtils::CloseKey(usersKey);
    int currentIndex;
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mUsers = std::move(users);
        mCurrentUser = currentIndex = IndexOf(current);
    }
    if (currentIndex < 0)
        VBX_LOG(3, "Didn't find the current user as a subkey. No big deal, just overwrite it next time.\n");

    CRegistryKey programKey = CRegistryUtils::OpenKey(kProgramKey, true);
    try {
        CRegistryUtils::ReadString(programKey, "FirstRun");
    } catch (const CRegistryException& e) {
        if (e.Code() != ENOENT)
            throw;
        VBX_LOG(4, "First run value wasn't found in registry, it will be defaulted to 1.\n");
    }
    bool firstRun = CRegistryUtils::ReadString(programKey, "FirstRun", true, "1") == "1";
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mbFirstRun = firstRun;
    }
    VBX_LOG(4, "mbFirstRun: " << firstRun << "\n");
    std::string path = CUserFolders::ProgramPath();
    if (path.empty())
        VBX_LOG(2, "Couldn't resolve the program's own path, \"Path\" left as it was.\n");
    else
        CRegistryUtils::WriteString(programKey, "Path", path);
    CRegistryUtils::CloseKey(programKey);

    CRegistryKey fenwaveKey = CRegistryUtils::OpenKey(kFenwaveKey, true);
    CProxySettings proxy;
    proxy.host = CRegistryUtils::ReadString(fenwaveKey, "ProxyHost", true, "");
    proxy.port = static_cast<std::int32_t>(CRegistryUtils::ReadNumber(fenwaveKey, "ProxyPort", 0));
    proxy.user = CRegistryUtils::ReadString(fenwaveKey, "ProxyUser", true, "");
    proxy.password = CRegistryUtils::ReadString(fenwaveKey, "ProxyPass", true, "");
    proxy.enabled = CRegistryUtils::ReadBool(fenwaveKey, "ProxyEnabled", false);
    CRegistryUtils::CloseKey(fenwaveKey);
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mProxy = proxy;
}

void CSettingsManager::Save() {
    VBX_TRACE();
    std::vector<CUser> users;
    int current;
    bool firstRun;
    CProxySettings proxy;
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        users = mUsers;
        current = mCurrentUser;
        firstRun = mbFirstRun;
        proxy = mProxy;
    }

    CRegistryKey usersKey = CRegistryUtils::OpenKey(kUsersKey, true);
    for (size_t i = 0; i < users.size(); ++i) {
        CRegistryKey userKey = CRegistryUtils::OpenKey(usersKey, users[i].name, true);
        WriteUserSettings(userKey, users[i]);
        CRegistryUtils::CloseKey(userKey);
        if (static_cast<int>(i) == current)
            CRegistryUtils::WriteString(usersKey, "CurrentUser", users[i].name);
    }
    CRegistryUtils::CloseKey(usersKey);

    CRegistryKey programKey = CRegistryUtils::OpenKey(kProgramKey, true);
    CRegistryUtils::WriteString(programKey, "FirstRun", firstRun ? "1" : "0");
    VBX_LOG(4, "Just wrote first run to registry, mbFirstRun: " << firstRun << "\n");
    CRegistryUtils::WriteString(programKey, "Version", kProgramFileVersion);
    CRegistryUtils::CloseKey(programKey);

    CRegistryKey fenwaveKey = CRegistryUtils::OpenKey(kFenwaveKey, true);
    CRegistryUtils::WriteString(fenwaveKey, "ProxyHost", proxy.host);
    CRegistryUtils::WriteNumber(fenwaveKey, "ProxyPort", static_cast<std::uint32_t>(proxy.port));
    CRegistryUtils::WriteString(fenwaveKey, "ProxyUser", proxy.user);
    CRegistryUtils::WriteString(fenwaveKey, "ProxyPass", proxy.password);
    CRegistryUtils::WriteBool(fenwaveKey, "ProxyEnabled", proxy.enabled);
    CRegistryUtils::CloseKey(fenwaveKey);
}

void CSettingsManager::AddUser(const CUser& user) {
    VBX_LOG(3, "Adding user: " << user.name << "\n");
    if (!IsValidUserName(user.name))
        throw CRegistryException("Invalid user name [" + user.name +
                                     "]: a user name must not be empty or hold a backslash.",
                                 EINVAL);
    auto check = [&] {
        if (mUsers.size() >= kMaxUsers)
            throw CRegistryException("Maximum number of users exceeded.");
        for (const CUser& existing : mUsers)
            // The store compares key names without regard to ASCII case.
            if (CEncodingUtils::EqualsIgnoringCase(existing.name, user.name))
                throw CUserExistsException();
    };
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        check();
    }
    CRegistryKey usersKey = CRegistryUtils::OpenKey(kUsersKey, true);
    CRegistryKey userKey = CRegistryUtils::OpenKey(usersKey, user.name, true);
    WriteUserSettings(userKey, user);
    CRegistryUtils::CloseKey(userKey);
    CRegistryUtils::CloseKey(usersKey);
    {
        // Another thread may have added the same name meanwhile.
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        check();
        mUsers.push_back(user);
        SortKeepingCurrent();
    }
    NotifyObservers();
}

int CSettingsManager::GetNumUsers() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return static_cast<int>(mUsers.size());
}

CUser CSettingsManager::GetUser(int index) const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    if (index < 0 || static_cast<size_t>(index) >= mUsers.size())
        throw CUserNotFoundException();
    return mUsers[static_cast<size_t>(index)];
}

CUser CSettingsManager::GetUser(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    int index = IndexOf(name);
    if (index < 0)
        throw CUserNotFoundException();
    return mUsers[static_cast<size_t>(index)];
}

std::string CSettingsManager::StoredCurrentUser() {
    CRegistryKey usersKey;
    try {
        usersKey = CRegistryUtils::OpenKey(kUsersKey, false);
    } catch (const CRegistryException& e) {
        if (e.Code() == ENOENT)
            return std::string();
        throw;
    }
    const std::string name = CRegistryUtils::ReadString(usersKey, "CurrentUser", false, "");
    CRegistryUtils::CloseKey(usersKey);
    return name;
}

CUser CSettingsManager::GetCurrentUser() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    if (mCurrentUser < 0 || static_cast<size_t>(mCurrentUser) >= mUsers.size())
        throw CUserNotFoundException();
    return mUsers[static_cast<size_t>(mCurrentUser)];
}

void CSettingsManager::SetCurrentUser(const std::string& name) {
    VBX_LOG(3, "Setting current user to: " << name << "\n");
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mCurrentUser = IndexOf(name);
    }
    NotifyObservers();
}

void CSettingsManager::DeleteUser(const std::string& name) {
    VBX_LOG(3, "Deleting user: " << name << "\n");
    try {
        if (!IsValidUserName(name))
            throw CRegistryException("Invalid user name [" + name + "]", EINVAL);
        CRegistryKey usersKey = CRegistryUtils::OpenKey(kUsersKey, true);
        CRegistryUtils::DeleteKey(usersKey, name);
        CRegistryUtils::CloseKey(usersKey);
    } catch (const CRegistryException& e) {
        std::string message =
            "Could not update user [" + name + "] in registry. System error: " + std::to_string(e.Code());
        VBX_LOG(1, "CRegistryException when trying to delete user: " << message);
        throw CRegistryException(message, e.Code());
    }
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        std::string current =
            mCurrentUser >= 0 ? mUsers[static_cast<size_t>(mCurrentUser)].name : std::string();
        int index = IndexOf(name);
        if (index >= 0)
            mUsers.erase(mUsers.begin() + index);
        mCurrentUser = current == name ? -1 : IndexOf(current);
    }
    NotifyObservers();
}

void CSettingsManager::UpdateUser(const CUser& user) {
    VBX_LOG(3, "Updating user: " << user.name << "\n");
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        int index = IndexOf(user.name);
        if (index < 0 || !IsValidUserName(user.name))
            throw CUserNotFoundException();
        mUsers[static_cast<size_t>(index)] = user;
    }
    CRegistryKey usersKey = CRegistryUtils::OpenKey(kUsersKey, true);
    CRegistryKey userKey = CRegistryUtils::OpenKey(usersKey, user.name, false);
    WriteUserSettings(userKey, user);
    CRegistryUtils::CloseKey(userKey);
    CRegistryUtils::CloseKey(usersKey);
    NotifyObservers();
}

std::string CSettingsManager::GetUserDir() {
    const std::string base = CUserFolders::DataHome();
    if (base.empty() || CUserFolders::CreatePrivateFolder(base) != 0 || ::access(base.c_str(), W_OK | X_OK) != 0) {
        VBX_LOG(2, "Couldn't get user dir, is this possibly Win 9x?\n");
        return std::string();
    }
    std::string dir = base + "/" + kUserDirName;
    if (dir.size() >= PATH_MAX) {
        VBX_LOG(2, "User dir path too long, exceeds MAX_PATH\n");
        return std::string();
    }
    // It holds the log and the queue of what was played: owner only.
    CUserFolders::CreatePrivateFolder(dir);
    return dir;
}

CProxySettings CSettingsManager::GetProxySettings() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mProxy;
}

void CSettingsManager::SetProxySettings(const CProxySettings& proxy) {
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mProxy = proxy;
    }
    CRegistryKey key = CRegistryUtils::OpenKey(kFenwaveKey, false);
    CRegistryUtils::WriteString(key, "ProxyHost", proxy.host);
    CRegistryUtils::WriteNumber(key, "ProxyPort", static_cast<std::uint32_t>(proxy.port));
    CRegistryUtils::WriteString(key, "ProxyUser", proxy.user);
    CRegistryUtils::WriteString(key, "ProxyPass", proxy.password);
    CRegistryUtils::WriteBool(key, "ProxyEnabled", proxy.enabled);
    CRegistryUtils::CloseKey(key);
    NotifyObservers();
}

bool CSettingsManager::IsMprisBridgeOn() const {
    CRegistryKey key = CRegistryUtils::OpenKey(kProgramKey, true);
    return CRegistryUtils::ReadNumber(key, kMprisBridgeValue, 1) != 0;
}

void CSettingsManager::SetMprisChoices(bool bridgeOn, const CIgnoreList& ignore) {
    {
        CRegistryKey key = CRegistryUtils::OpenKey(kProgramKey, true);
        CRegistryUtils::WriteNumber(key, kMprisBridgeValue, bridgeOn ? 1 : 0);
        CRegistryUtils::WriteString(key, CIgnoreList::kValue, ignore.Text());
    }
    VBX_LOG(3, "Players chosen: bridge " << (bridgeOn ? "on" : "off") << ", ignoring '" << ignore.Text() << "'\n");
    NotifyObservers();
}

CUser CSettingsManager::NewUser(const std::string& name, const std::string& passwordHash,
                                bool rememberPassword) const {
    CUser user;
    user.name = name;
    user.passwordHash = passwordHash;
    user.rememberPassword = rememberPassword;
    user.colour = GetFreeColour();
    user.submitPlays = true;
    user.displayRecent = true;
    return user;
}

int CSettingsManager::GetFreeColour() const {
    std::vector<int> free = {0, 1, 2, 3, 4};
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        for (const CUser& user : mUsers)
            free.erase(std::remove(free.begin(), free.end(), user.colour), free.end());
    }
    if (free.empty()) {
        VBX_LOG(1, "We ran out of colours, returning random\n");
        thread_local std::mt19937 generator{std::random_device{}()};
        return std::uniform_int_distribution<int>(0, 4)(generator);
    }
    return free.front();
}

bool CSettingsManager::IsFirstRun() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mbFirstRun;
}

void CSettingsManager::FirstRunDone() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mbFirstRun = false;
}

void CSettingsManager::SortKeepingCurrent() {
    std::string current = mCurrentUser >= 0 ? mUsers[static_cast<size_t>(mCurrentUser)].name : std::string();
    bool hadCurrent = mCurrentUser >= 0;
    std::stable_sort(mUsers.begin(), mUsers.end(),
                     [](const CUser& a, const CUser& b) { return a.name < b.name; });
    mCurrentUser = hadCurrent ? IndexOf(current) : -1;
}

int CSettingsManager::IndexOf(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    for (size_t i = 0; i < mUsers.size(); ++i)
        if (mUsers[i].name == name)
            return static_cast<int>(i);
    return -1;
}
