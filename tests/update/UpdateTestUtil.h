#pragma once

// Shared by the tests of the update records, the getter and the updater.

#include "app/ProgramVersion.h"
#include "settings/RegistryUtils.h"
#include "tests/support/TestEnv.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace UpdateTest {

/// Where the update information of this program's version is served.
inline std::string InfoPath() {
    return "/plugins/vbx/upg.win." + std::to_string(kProgramVersionFields[0]) + "." +
           std::to_string(kProgramVersionFields[1]);
}

/// One record line of the update information.
inline std::string Record(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty())
            line += ",";
        line += "\"";
        for (char c : field)
            line += c == '"' ? std::string("\"\"") : std::string(1, c);
        line += "\"";
    }
    return line + "\n";
}

/// Single-quotes a text for a shell script.
inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline void WriteRegString(const std::string& key, const std::string& name, const std::string& value) {
    CRegistryKey handle = CRegistryUtils::OpenKey(key, true);
    CRegistryUtils::WriteString(handle, name, value);
}

inline void CreateRegKey(const std::string& key) {
    CRegistryUtils::OpenKey(key, true);
}

inline void WriteExecutable(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, content);
    ::chmod(path.c_str(), 0755);
}

/// Waits (polling) until the file exists and is not empty.
inline bool WaitForFile(const std::string& path,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (!ReadFile(path).empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !ReadFile(path).empty();
}

/// A stand-in package database for player executables: dpkg-query is
/// answered by a script that knows only files whose content holds a line
/// "#version X", and gives them version X. Every other file is owned by no
/// package and so has no version information.
class CFakePackages {
public:
    explicit CFakePackages(CTestEnvironment& env) {
        const std::string script = mDir.File("dpkg-query");
        WriteExecutable(script, R"SH(#!/bin/sh
case "$1" in
--search)
    v=$(sed -n 's/^#version //p' "$3" 2>/dev/null | head -n 1)
    [ -n "$v" ] || exit 1
    name=fake-$(basename "$3" | tr -c 'a-z0-9\n' 'x')
    printf '%s\n' "$v" > "$(dirname "$0")/$name"
    printf '%s: %s\n' "$name" "$3"
    ;;
--show)
    [ -f "$(dirname "$0")/$4" ] || exit 1
    printf '%s\nfake\nA Maintainer <a@example.org>\nA player\n' "$(cat "$(dirname "$0")/$4")"
    ;;
*)
    exit 1
    ;;
esac
)SH");
        const char* path = std::getenv("PATH");
        env.Env().Set("PATH", mDir.Path() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    }

    /// Writes a player executable of that version ("" = owned by no package).
    static void WritePlayer(const std::string& path, const std::string& version) {
        WriteExecutable(path,
                        "#!/bin/sh\n" + (version.empty() ? std::string() : "#version " + version + "\n"));
    }

private:
    CTempDir mDir;
};

} // namespace UpdateTest
