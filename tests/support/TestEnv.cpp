#include "tests/support/TestEnv.h"

#include "app/Logger.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

CTempDir::CTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vbx-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    mPath = pattern;
}

CTempDir::~CTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

CScopedEnv::~CScopedEnv() {
    for (auto& [name, value] : mSaved) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

void CScopedEnv::Remember(const std::string& name) {
    if (mSaved.count(name))
        return;
    const char* old = std::getenv(name.c_str());
    mSaved[name] = old ? std::optional<std::string>(old) : std::nullopt;
}

void CScopedEnv::Set(const std::string& name, const std::string& value) {
    Remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void CScopedEnv::Unset(const std::string& name) {
    Remember(name);
    ::unsetenv(name.c_str());
}

CTestEnvironment::CTestEnvironment() {
    for (const char* sub : {"/config", "/data", "/run", "/tmp", "/home"})
        std::filesystem::create_directories(Root() + sub);
    ::chmod(RuntimeDir().c_str(), 0700);
    mEnv.Set("HOME", Root() + "/home");
    mEnv.Set("XDG_CONFIG_HOME", ConfigHome());
    mEnv.Set("XDG_DATA_HOME", DataHome());
    mEnv.Set("XDG_RUNTIME_DIR", RuntimeDir());
    mEnv.Set("TMPDIR", TempDir());
}

CLogCapture::CLogCapture() : mPath(mDir.File("test.log")) {
    CLogger::Instance().Open(mPath, true);
    CLogger::Instance().SetLevel(4);
}

CLogCapture::~CLogCapture() {
    CLogger::Instance().SetLevel(0);
    CLogger::Instance().Close();
}

std::string CLogCapture::Text() const {
    return ReadFile(mPath);
}

bool CLogCapture::Contains(const std::string& text) const {
    return Text().find(text) != std::string::npos;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string BinDir() {
    const char* dir = std::getenv("VBX_BIN_DIR");
    return dir && *dir ? dir : VBX_DEFAULT_BIN_DIR;
}

std::string SourceDir() {
    const char* dir = std::getenv("VBX_SOURCE_DIR");
    return dir && *dir ? dir : VBX_DEFAULT_SOURCE_DIR;
}
