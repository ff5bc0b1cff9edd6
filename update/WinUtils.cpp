#include "update/WinUtils.h"

#include "app/Logger.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    return path;
}

} // namespace

std::string CWinUtils::GetProgramFilesPath() {
    const char* dir = std::getenv("VORTLEBOX_PROGRAM_FILES");
    if (dir == nullptr)
        return "/";
    if (*dir != '/') {
        VBX_LOG(1, "Couldn't get Program Files dir, is this possibly Win 9x?\n");
        throw std::logic_error("Couldn't get Program Files dir.");
    }
    return WithSlash(dir);
}

std::string CWinUtils::GetTempFolder() {
    const char* dir = std::getenv("TMPDIR");
    return WithSlash(dir != nullptr && *dir != '\0' ? dir : "/tmp");
}

void CWinUtils::CreateFolderPath(const std::string& path) {
    if (path.empty())
        return;
    // Failures are left to whoever uses the folder.
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

void CWinUtils::Trim(std::string& text) {
    size_t first = text.find_first_not_of(" \t\n\f\r");
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(" \t");
    text = text.substr(first, last - first + 1);
}

std::vector<std::string> CWinUtils::SplitQuoted(const std::string& line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        size_t open = line.find('"', pos);
        if (open == std::string::npos || open + 1 >= line.size())
            break;
        std::string field;
        bool closed = false;
        size_t i = open + 1;
        while (i < line.size()) {
            if (line[i] == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    field.push_back('"');
                    i += 2;
                    continue;
                }
                closed = true;
                break;
            }
            field.push_back(line[i++]);
        }
        if (!closed)
            break;
        fields.push_back(std::move(field));
        pos = i + 1;
    }
    return fields;
}

void CWinUtils::StripBracketed(std::string& text) {
    while (true) {
        size_t open = text.find('[');
        if (open == std::string::npos || open + 1 >= text.size())
            break;
        size_t close = text.find(']', open + 1);
        if (close == std::string::npos)
            break;
        text.erase(open, close - open + 1);
    }
}
