#include "app/UserFolders.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsAbsolute(const char* path) {
    return path != nullptr && *path == '/';
}

// An XDG folder variable, or the home folder with the default below it.
std::string BaseFolder(const char* variable, const char* belowHome) {
    const char* value = std::getenv(variable);
    if (IsAbsolute(value))
        return value;
    const std::string home = CUserFolders::Home();
    return home.empty() ? std::string() : home + belowHome;
}

} // namespace

std::string CUserFolders::Home() {
    const char* home = std::getenv("HOME");
    if (IsAbsolute(home))
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        IsAbsolute(result->pw_dir))
        return result->pw_dir;
    return std::string();
}

std::string CUserFolders::ConfigHome() {
    return BaseFolder("XDG_CONFIG_HOME", "/.config");
}

std::string CUserFolders::DataHome() {
    return BaseFolder("XDG_DATA_HOME", "/.local/share");
}

std::string CUserFolders::RuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!IsAbsolute(runtime) || ::stat(runtime, &st) != 0 || !S_ISDIR(st.st_mode))
        return std::string();
    return runtime;
}

int CUserFolders::CreatePrivateFolder(const std::string& path) {
    if (path.empty())
        return ENOENT;
    // Each level from the top: a level that is missing is made, owner only.
    std::size_t end = path.find_first_not_of('/');
    while (end != std::string::npos) {
        end = path.find('/', end);
        const std::string level = path.substr(0, end);
        struct stat st {};
        if (::stat(level.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            // Another process may make it meanwhile.
            if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
                return errno;
        }
        if (end != std::string::npos)
            end = path.find_first_not_of('/', end);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int CUserFolders::MakePrivate(const std::string& path, bool& changed) {
    changed = false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return EPERM;
    if ((st.st_mode & 077) == 0)
        return 0;
    if (::chmod(path.c_str(), st.st_mode & 0700) != 0)
        return errno;
    changed = true;
    return 0;
}

namespace {

std::string OwnExecutable() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace

std::string CUserFolders::ProgramFolder() {
    const std::string path = OwnExecutable();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string CUserFolders::ProgramPath() {
    const std::string path = OwnExecutable();
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && path.compare(slash + 1, std::string::npos, kDesktopProgramName) == 0)
        return path.substr(0, slash + 1) + kProgramName;
    return path;
}
