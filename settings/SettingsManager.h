#pragma once

#include "app/Observable.h"
#include "settings/IgnoreList.h"
#include "settings/ProxySettings.h"
#include "settings/RegistryKey.h"
#include "settings/User.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

/// Every persistent setting of the program: the user accounts (sorted by
/// name, byte order), the current user, the first-run flag and the proxy.
/// Restore loads them from the settings store and Save writes them back;
/// AddUser, UpdateUser, DeleteUser and SetProxySettings write at once.
/// Observers are told after every change of users, current user or proxy,
/// on the changing thread and without the manager's lock held.
///
/// The program uses the one instance of Instance(); tests make their own.
class CSettingsManager : public Observable {
public:
    /// No user of that name, or no current user.
    class CUserNotFoundException : public std::exception {
    public:
        const char* what() const noexcept override { return "CUserNotFoundException"; }
    };
    /// A user of that name exists already.
    class CUserExistsException : public std::exception {
    public:
        const char* what() const noexcept override { return "CUserExistsException"; }
    };

    static constexpr std::size_t kMaxUsers = 100;

    /// The process-wide instance.
    static CSettingsManager& Instance();

    CSettingsManager();
    virtual ~CSettingsManager();
    CSettingsManager(const CSettingsManager&) = delete;
    CSettingsManager& operator=(const CSettingsManager&) = delete;

    /// Loads users, current user, first-run flag and proxy, creating missing
    /// keys and values with their defaults; writes "Path".
    virtual void Restore();
    /// Writes every user, the current user's name, "FirstRun", "Version" and
    /// the proxy.
    virtual void Save();
    /// Throws CRegistryUtils::CRegistryException ("Maximum number of users
    /// exceeded." at 100 users; also for a name that is empty or holds a
    /// backslash) or CUserExistsException (also for a name differing only in
    /// ASCII case, which the store cannot keep apart).
    virtual void AddUser(const CUser& user);
    virtual int GetNumUsers() const;
    /// The user at that position; CUserNotFoundException when out of range.
    virtual CUser GetUser(int index) const;
    virtual CUser GetUser(const std::string& name) const;
    /// The name of the current user as stored, read without loading (or
    /// creating) anything; "" when none is stored. Throws
    /// CRegistryUtils::CRegistryException when the store cannot be read.
    static std::string StoredCurrentUser();
    virtual CUser GetCurrentUser() const;
    /// An unknown name leaves nobody current. Reaches the store with Save.
    virtual void SetCurrentUser(const std::string& name);
    /// Deletes the user's key with its subkeys and the user.
    virtual void DeleteUser(const std::string& name);
    virtual void UpdateUser(const CUser& user);
    /// $XDG_DATA_HOME/Fenwave/Vortlebox (default ~/.local/share/...), created
    /// with its parents, each folder made owner only; "" on failure.
    virtual std::string GetUserDir();

    /// The store value that switches hearing the desktop's players (the
    /// MPRIS bridge) on or off; on when missing.
    static constexpr const char* kMprisBridgeValue = "MprisBridge";
    /// Read from the store each time, as other programs (the bridge, the
    /// store tool) share it.
    bool IsMprisBridgeOn() const;
    /// Stores whether players are heard and which are kept out, and tells
    /// the observers (the bridge's supervisor acts on it at once).
    void SetMprisChoices(bool bridgeOn, const CIgnoreList& ignore);

    CProxySettings GetProxySettings() const;
    void SetProxySettings(const CProxySettings& proxy);
    /// The smallest colour no user has, or a random one when all are used.
    int GetFreeColour() const;
    /// A user logging in for the first time: a free colour, plays submitted
    /// and recent tracks shown.
    CUser NewUser(const std::string& name, const std::string& passwordHash, bool rememberPassword) const;
    bool IsFirstRun() const;
    void FirstRunDone();

    /// Writes the user's values into its open key.
    void WriteUserSettings(const CRegistryKey& key, const CUser& user);
    /// Reads the values of the user's open key, storing defaults for missing ones.
    CUser ReadUserSettings(const CRegistryKey& key, const std::string& name);

    /// The ExclusionDirs text: each directory in double quotes (inner ones
    /// doubled) followed by one space.
    static std::string JoinExclusionDirs(const std::vector<std::string>& dirs);
    static std::vector<std::string> SplitExclusionDirs(const std::string& text);

private:
    void SortKeepingCurrent();
    int IndexOf(const std::string& name) const;

    std::vector<CUser> mUsers;
    std::int32_t mCurrentUser = -1;
    CProxySettings mProxy;
    bool mbFirstRun = true;
    mutable std::recursive_mutex mMutex;
};
