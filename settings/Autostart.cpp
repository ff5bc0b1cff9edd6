#include "settings/Autostart.h"

#include "app/Logger.h"
#include "app/UserFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

/// Whether a desktop entry says Hidden=true in its [Desktop Entry] group.
bool IsHidden(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    bool inEntry = false;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[')
            inEntry = line == "[Desktop Entry]";
        else if (inEntry && line.rfind("Hidden", 0) == 0) {
            const std::size_t equals = line.find('=');
            if (equals == std::string::npos)
                continue;
            std::string value = line.substr(equals + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            std::string key = line.substr(0, equals);
            key.erase(key.find_last_not_of(" \t") + 1);
            if (key == "Hidden")
                return value == "true";
        }
    }
    return false;
}

/// Writes the text aside and renames it over the path, owner only.
void WriteEntry(const std::string& path, const std::string& text) {
    const std::string folder = path.substr(0, path.rfind('/'));
    if (const int error = CUserFolders::CreatePrivateFolder(folder); error != 0)
        throw std::runtime_error("Couldn't make " + folder + ": " + std::strerror(error));
    const std::string aside = path + ".new";
    {
        std::ofstream file(aside, std::ios::trunc);
        file << text;
        file.close();
        if (!file)
            throw std::runtime_error("Couldn't write " + aside);
    }
    ::chmod(aside.c_str(), 0600);
    if (std::rename(aside.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(aside.c_str());
        throw std::runtime_error("Couldn't write " + path + ": " + std::strerror(error));
    }
}

/// A program path as the Exec key of a desktop entry takes it: quoted, with
/// the characters that have a meaning inside quotes escaped.
std::string ExecQuoted(const std::string& program) {
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += "\\\\";
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

std::string CAutostart::UserEntryPath() {
    const std::string config = CUserFolders::ConfigHome();
    return config.empty() ? std::string() : config + "/autostart/" + kEntryName;
}

std::string CAutostart::SystemEntryPath() {
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::stringstream folders(dirs != nullptr && *dirs != '\0' ? dirs : "/etc/xdg");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty() || folder.front() != '/')
            continue;
        const std::string path = folder + "/autostart/" + kEntryName;
        if (Exists(path))
            return path;
    }
    return {};
}

bool CAutostart::IsEnabled() {
    const std::string own = UserEntryPath();
    if (!own.empty() && Exists(own))
        return !IsHidden(own);
    const std::string system = SystemEntryPath();
    return !system.empty() && !IsHidden(system);
}

void CAutostart::SetEnabled(bool enabled, const std::string& program) {
    const std::string own = UserEntryPath();
    if (own.empty())
        throw std::runtime_error("No configuration folder for the autostart entry");
    if (!enabled) {
        // The rule for turning a system-wide entry off: the same name, hidden.
        WriteEntry(own, "[Desktop Entry]\nType=Application\nName=Vortlebox\nHidden=true\n");
        VBX_LOG(3, "Vortlebox no longer starts at login (" << own << ")\n");
        return;
    }
    const std::string system = SystemEntryPath();
    if (!system.empty() && !IsHidden(system)) {
        if (std::remove(own.c_str()) != 0 && errno != ENOENT)
            throw std::runtime_error("Couldn't remove " + own + ": " + std::strerror(errno));
        VBX_LOG(3, "Vortlebox starts at login (" << system << ")\n");
        return;
    }
    WriteEntry(own, "[Desktop Entry]\nType=Application\nName=Vortlebox\nComment=Keeps track of what you listen to\n"
                    "Exec=" + ExecQuoted(program) + "\nIcon=vortlebox\nTerminal=false\nNoDisplay=true\n"
                    "X-GNOME-Autostart-enabled=true\n");
    VBX_LOG(3, "Vortlebox starts at login (" << own << ")\n");
}
