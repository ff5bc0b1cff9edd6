#pragma once

#include <map>
#include <optional>
#include <string>

/// A fresh folder under the system's temporary folder, removed with
/// everything in it when the object goes.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return mPath; }
    /// Path() + "/" + name.
    std::string File(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

/// Sets environment variables for the life of the object and puts the old
/// values back afterwards.
class CScopedEnv {
public:
    CScopedEnv() = default;
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;
    void Set(const std::string& name, const std::string& value);
    void Unset(const std::string& name);

private:
    void Remember(const std::string& name);
    std::map<std::string, std::optional<std::string>> mSaved;
};

/// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR and TMPDIR at
/// a fresh temporary folder, so that a test never touches a real user's files.
class CTestEnvironment {
public:
    CTestEnvironment();
    const std::string& Root() const { return mDir.Path(); }
    std::string ConfigHome() const { return Root() + "/config"; }
    std::string DataHome() const { return Root() + "/data"; }
    std::string RuntimeDir() const { return Root() + "/run"; }
    std::string TempDir() const { return Root() + "/tmp"; }
    CScopedEnv& Env() { return mEnv; }

private:
    CTempDir mDir;
    CScopedEnv mEnv;
};

/// Opens the process log on a temporary file at level 4 for the life of the
/// object; closes it and sets the level back to 0 afterwards.
class CLogCapture {
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;
    std::string Text() const;
    const std::string& Path() const { return mPath; }
    /// Whether the log holds the text anywhere.
    bool Contains(const std::string& text) const;

private:
    CTempDir mDir;
    std::string mPath;
};

/// The whole content of a file, or "" if it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

/// Where the build puts its programs (bin/ of the build folder).
std::string BinDir();
/// The root of the source tree.
std::string SourceDir();
