#pragma once

#include "update/ComponentInfo.h"

#include <string>

/// The plug-in for one music player. Its name is the player's name, which is
/// also the name of its key below "Software\\Fenwave\\Vortlebox\\Plugins" in
/// the settings store (present when installed, with the installed version in
/// "Version"). It is installed into a folder relative to the player's, and
/// supports player versions from a minimum to a maximum (either may be empty:
/// no bound). The base path stays empty; the player's executable is what
/// runs and is closed.
class CPluginInfo : public CComponentInfo {
public:
    static constexpr const char* kRegistryKeyPrefix = "Software\\Fenwave\\Vortlebox\\Plugins\\";

    /// The player's folder + plug-in folder + "/".
    std::string GetInstallDir() const override;
    /// IsPluginInstalled, cached.
    bool IsInstalled() override;
    /// Against the installed version in the settings store.
    bool IsVersionNewer() override;
    bool IsRunning() override;
    void Clear() override;
    bool Kill() override;

    /// Replaces all fields (as read from the update information; player path
    /// already made absolute) and forgets the computed answers.
    void Set(const std::string& playerName, const std::string& playerPath, const std::string& downloadUrl,
             const std::string& version, const std::string& pluginFolder, const std::string& installerArgs,
             const std::string& minPlayerVersion, const std::string& maxPlayerVersion);

    /// Whether the plug-in's key exists in the settings store (not cached).
    bool IsPluginInstalled();
    /// The player was found elsewhere: replaces its path and forgets whether
    /// it is present.
    void SetPlayerPath(const std::string& path);
    /// The player's executable exists and VersionMatch holds (cached).
    bool IsPlayerPresent();
    /// Whether the player's version lies within the supported range, bounds
    /// included. An unreadable player version matches only when neither bound
    /// is set.
    bool VersionMatch();

    std::string GetPlayerName() const { return mPlayerName; }
    std::string GetPlayerPath() const { return mPlayerPath; }
    std::string GetPluginFolder() const { return mPluginFolder; }
    std::string GetMinVersion() const { return mMinVersion; }
    std::string GetMaxVersion() const { return mMaxVersion; }
    /// The player path after its last "/".
    std::string GetPlayerExeFileName() const;

private:
    std::string RegistryKey() const { return kRegistryKeyPrefix + mPlayerName; }

    std::string mPlayerName;
    std::string mPlayerPath;
    std::string mPluginFolder;
    std::string mMinVersion;
    std::string mMaxVersion;
    std::uint8_t mPlayerPresent = kUnknown;
};
