#include "update/VersionResource.h"

#include "app/Logger.h"
#include "app/ProgramVersion.h"
#include "app/UniqueFd.h"
#include "update/Version.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <link.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

const std::array<std::string_view, CVersionResource::kStringCount> CVersionResource::kStringNames = {
    "CompanyName", "FileDescription", "FileVersion", "InternalName",    "LegalCopyright", "OriginalFileName",
    "ProductName", "ProductVersion",  "Comments",    "LegalTrademarks", "PrivateBuild",   "SpecialBuild"};

namespace {

/// How long the package database may take to answer one question.
constexpr int kQueryTimeoutMs = 10000;
/// More output than any answer about one file or package can hold.
constexpr std::size_t kMaxQueryOutput = 1 << 20;

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

std::optional<std::string> RealPath(const std::string& path) {
    std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

/// Runs dpkg-query with args (no shell: the arguments go to it as they are)
/// and gives what it wrote to its standard output, or nullopt if it could
/// not be run or did not finish in time.
std::optional<std::string> RunQuery(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        VBX_LOG(1, "Couldn't create a pipe: " << std::strerror(errno) << "\n");
        return std::nullopt;
    }
    CUniqueFd readEnd(fds[0]);
    CUniqueFd writeEnd(fds[1]);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("dpkg-query"));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The child starts with no blocked signals and the default SIGPIPE,
    // whatever this process has set for itself.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, "dpkg-query", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    writeEnd.Reset();
    if (rc != 0) {
        VBX_LOG(1, "Couldn't run dpkg-query: " << std::strerror(rc) << "\n");
        return std::nullopt;
    }

    std::string output;
    bool complete = false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kQueryTimeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd pfd{readEnd.Get(), POLLIN, 0};
        int n = ::poll(&pfd, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        char buf[4096];
        ssize_t got = ::read(readEnd.Get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0) {
            complete = true;
            break;
        }
        if (got < 0 || output.size() + static_cast<std::size_t>(got) > kMaxQueryOutput)
            break;
        output.append(buf, static_cast<std::size_t>(got));
    }
    if (!complete) {
        VBX_LOG(1, "dpkg-query didn't answer properly, stopping it\n");
        ::kill(pid, SIGKILL);
    }
    readEnd.Reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!complete)
        return std::nullopt;
    return output;
}

/// The path as a search pattern that matches only itself.
std::string EscapePattern(const std::string& path) {
    std::string pattern;
    for (char c : path) {
        if (c == '*' || c == '?' || c == '[' || c == '\\')
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

bool IsPackageName(std::string_view name) {
    if (name.empty())
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '+' || c == '-' || c == ':';
    });
}

/// The package that owns exactly this path, or "". Lines that are not of the
/// form "package[, package...]: path" (diversion notes, say) are skipped.
std::string FindOwner(const std::string& path) {
    auto output = RunQuery({"--search", "--", EscapePattern(path)});
    if (!output)
        return {};
    std::size_t start = 0;
    while (start < output->size()) {
        std::size_t end = output->find('\n', start);
        if (end == std::string::npos)
            end = output->size();
        std::string_view line(output->data() + start, end - start);
        start = end + 1;
        std::size_t colon = line.find(": ");
        if (colon == std::string_view::npos || line.substr(colon + 2) != path)
            continue;
        std::string_view first = line.substr(0, std::min(colon, line.find(", ")));
        if (IsPackageName(first))
            return std::string(first);
    }
    return {};
}

/// Where Debian's merged /usr lets the same file be reached without "/usr":
/// "/usr/bin/dash" is also "/bin/dash" when "/bin" leads to "/usr/bin".
std::optional<std::string> WithoutUsr(const std::string& path) {
    constexpr std::string_view kUsr = "/usr/";
    if (!path.starts_with(kUsr))
        return std::nullopt;
    std::size_t slash = path.find('/', kUsr.size());
    if (slash == std::string::npos)
        return std::nullopt;
    std::string top = path.substr(kUsr.size() - 1, slash - (kUsr.size() - 1));
    auto target = RealPath(top);
    if (!target || *target != "/usr" + top)
        return std::nullopt;
    return top + path.substr(slash);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

uint32_t Word(int32_t high, int32_t low) {
    auto half = [](int32_t v) { return static_cast<uint32_t>(std::clamp<int32_t>(v, 0, 0xFFFF)); };
    return (half(high) << 16) | half(low);
}

} // namespace

void CVersionResource::Reset() {
    mFixed = SFixedFileInfo{};
    for (std::string& s : mStrings)
        s.clear();
}

bool CVersionResource::Open(const std::string& path) {
    VBX_TRACE();
    Reset();
    if (path.empty() || path.find('\n') != std::string::npos) {
        VBX_LOG(3, "No version information for '" << path << "'\n");
        return false;
    }
    auto resolved = RealPath(path);
    struct stat st {};
    if (!resolved || ::stat(resolved->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        VBX_LOG(3, "No file at " << path << ", so no version information\n");
        return false;
    }
    if (SameFile(*resolved, "/proc/self/exe")) {
        FillOwnVersion(*resolved);
        return true;
    }
    std::error_code ec;
    std::string given = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec)
        given = path;
    if (!FillFromPackage(given, *resolved)) {
        Reset();
        VBX_LOG(3, "No package owns " << path << ", so no version information\n");
        return false;
    }
    VBX_LOG(3, "Version of " << path << ": " << mStrings[kFileVersion] << " (package "
                             << mStrings[kProductName] << ")\n");
    return true;
}

bool CVersionResource::OpenModule(void* module) {
    VBX_TRACE();
    if (module == nullptr)
        return Open("/proc/self/exe");
    link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        Reset();
        VBX_LOG(1, "Couldn't find the file of a module: " << ::dlerror() << "\n");
        return false;
    }
    // The main program's entry has no name.
    if (map->l_name == nullptr || map->l_name[0] == '\0')
        return Open("/proc/self/exe");
    return Open(map->l_name);
}

uint16_t CVersionResource::GetVersionPart(int index) const noexcept {
    switch (index) {
    case 3:
        return static_cast<uint16_t>(mFixed.fileVersionMS >> 16);
    case 2:
        return static_cast<uint16_t>(mFixed.fileVersionMS & 0xFFFF);
    case 1:
        return static_cast<uint16_t>(mFixed.fileVersionLS >> 16);
    case 0:
        return static_cast<uint16_t>(mFixed.fileVersionLS & 0xFFFF);
    default:
        return 0;
    }
}

std::string CVersionResource::GetString(std::string_view name) const {
    for (std::size_t i = 0; i < kStringCount; ++i) {
        if (kStringNames[i] == name)
            return mStrings[i];
    }
    return {};
}

void CVersionResource::FillOwnVersion(const std::string& exePath) {
    mFixed.signature = kFixedSignature;
    mFixed.structVersion = 0x00010000;
    mFixed.fileVersionMS = (kProgramVersionFields[0] << 16) | (kProgramVersionFields[1] & 0xFFFF);
    mFixed.fileVersionLS = (kProgramVersionFields[2] << 16) | (kProgramVersionFields[3] & 0xFFFF);
    mFixed.productVersionMS = mFixed.fileVersionMS;
    mFixed.productVersionLS = mFixed.fileVersionLS;
    mStrings[kCompanyName] = "Fenwave";
    mStrings[kFileDescription] = "Vortlebox listening tracker";
    mStrings[kFileVersion] = kProgramFileVersion;
    mStrings[kInternalName] = "Vortlebox";
    mStrings[kProductName] = "Vortlebox";
    mStrings[kProductVersion] = kProgramFileVersion;
    VBX_LOG(4, exePath << " is this program, version " << kProgramFileVersion << "\n");
}

bool CVersionResource::FillFromPackage(const std::string& givenPath, const std::string& resolvedPath) {
    // The file that really runs comes first; a link may be registered under
    // its own name, and merged /usr registers many files without "/usr".
    std::vector<std::string> candidates;
    for (const std::string& path : {resolvedPath, givenPath}) {
        auto alias = WithoutUsr(path);
        for (const std::optional<std::string>& p : {std::optional<std::string>(path), alias}) {
            if (p && std::find(candidates.begin(), candidates.end(), *p) == candidates.end())
                candidates.push_back(*p);
        }
    }
    std::string package;
    for (const std::string& candidate : candidates) {
        package = FindOwner(candidate);
        if (!package.empty())
            break;
    }
    if (package.empty())
        return false;

    auto output = RunQuery(
        {"--show", "--showformat=${Version}\n${Package}\n${Maintainer}\n${Description}\n", "--", package});
    if (!output)
        return false;
    std::array<std::string, 4> fields;
    std::size_t start = 0;
    for (std::string& field : fields) {
        if (start >= output->size())
            break;
        std::size_t end = output->find('\n', start);
        if (end == std::string::npos)
            end = output->size();
        field = output->substr(start, end - start);
        start = end + 1;
    }
    const auto& [version, name, maintainer, summary] = fields;
    if (version.empty() || name.empty())
        return false;
    mStrings[kFileVersion] = version;
    mStrings[kProductVersion] = version;
    mStrings[kProductName] = name;
    mStrings[kInternalName] = name;
    mStrings[kCompanyName] = maintainer;
    mStrings[kFileDescription] = summary;
    SetVersionWords(version);
    return true;
}

void CVersionResource::SetVersionWords(const std::string& versionText) {
    // A Debian epoch ("1:2.3-4") orders versions but is not part of the
    // numbers; the words carry the upstream version.
    std::string_view text = versionText;
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                    [](char c) { return c >= '0' && c <= '9'; }))
        text.remove_prefix(colon + 1);
    CVersion version(text);
    mFixed.signature = kFixedSignature;
    mFixed.structVersion = 0x00010000;
    mFixed.fileVersionMS = Word(version.Field(0), version.Field(1));
    mFixed.fileVersionLS = Word(version.Field(2), version.Field(3));
    mFixed.productVersionMS = mFixed.fileVersionMS;
    mFixed.productVersionLS = mFixed.fileVersionLS;
}
