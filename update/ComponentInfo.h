#pragma once

#include <cstdint>
#include <string>

/// One installable piece of software as the update information describes
/// it: its name, the full path of its main executable, where its installer
/// (".exe") or library (".dll") is fetched, the newest version offered and
/// the arguments its installer is given. A value type, copied freely; copies
/// keep the answers already computed, which stay until Clear.
///
/// The base behaviour suits a program found by its executable: installed
/// when the file exists, its installed version read from the file's version
/// information, running when a process of that executable runs.
class CComponentInfo {
public:
    /// The tri-state answers: not yet computed, false, true.
    static constexpr std::uint8_t kUnknown = 255;
    static constexpr std::uint8_t kFalse = 0;
    static constexpr std::uint8_t kTrue = 1;

    CComponentInfo() = default;
    virtual ~CComponentInfo() = default;
    CComponentInfo(const CComponentInfo&) = default;
    CComponentInfo& operator=(const CComponentInfo&) = default;

    /// The folder that receives a downloaded library and is given to an
    /// installer: the path up to and including its last "/".
    virtual std::string GetInstallDir() const;
    /// Whether the component is installed (cached).
    virtual bool IsInstalled();
    /// Whether the offered version is greater than the installed one (cached).
    /// A missing installed version counts as 0.0.0.0.
    virtual bool IsVersionNewer();
    /// Whether a process of the component's executable runs.
    virtual bool IsRunning();
    /// Empties every field and forgets the computed answers.
    virtual void Clear();
    /// Closes or ends every running process of the component's executable.
    /// True when none is left running.
    virtual bool Kill();

    /// Replaces the five fields (as read from the update information; path
    /// already made absolute) and forgets the computed answers.
    void Set(const std::string& name, const std::string& path, const std::string& downloadUrl,
             const std::string& version, const std::string& installerArgs);

    std::string GetName() const { return mName; }
    std::string GetPath() const { return mPath; }
    std::string GetDownloadURL() const { return mDownloadUrl; }
    std::string GetVersion() const { return mVersion; }
    std::string GetInstallerArgs() const { return mInstallerArgs; }
    /// The path after its last "/".
    std::string GetExeFileName() const;
    /// The download URL after its last "/".
    std::string GetDownloadFileName() const;
    /// The download file name after its last ".", lower-cased; "" when the
    /// file name has no ".".
    std::string GetDownloadExt() const;

    /// The string value "Version" of a key of the settings store (opened
    /// without creating it). Any failure, a value longer than 38 characters
    /// included, is logged and gives "".
    static std::string GetRegVersion(const std::string& key);

    /// The longest installed-version text GetRegVersion accepts.
    static constexpr std::size_t kMaxRegVersionLength = 38;

protected:
    /// Computes and caches IsVersionNewer against the installed version text.
    bool CacheNewer(const std::string& installedVersion);
    /// Whether a process of that executable runs.
    static bool IsExecutableRunning(const std::string& executableName);
    /// Ends every process of that executable; true when none is left.
    static bool KillExecutable(const std::string& executableName);
    /// Whether something other than a folder exists at path.
    static bool FileExists(const std::string& path);

    std::uint8_t mInstalled = kUnknown;
    std::uint8_t mNewer = kUnknown;
    std::string mName;
    std::string mPath;
    std::string mDownloadUrl;
    std::string mVersion;
    std::string mInstallerArgs;
};
