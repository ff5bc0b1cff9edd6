#include "app/StartupLog.h"

#include "app/UniqueFd.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <vector>

bool CStartupLog::TrimLogFile(const std::string& path, std::uint64_t limit, std::uint64_t keep) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size <= limit)
        return false;

    std::vector<char> tail;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            const std::uint64_t start = size > keep ? size - keep : 0;
            in.seekg(static_cast<std::streamoff>(start));
            tail.resize(static_cast<std::size_t>(size - start));
            in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
            // A failed read keeps whatever arrived.
            tail.resize(static_cast<std::size_t>(in.gcount()));
        }
    }
    const std::string temporary = path + ".trim";
    {
        // The log holds the listening history and handshake tokens: the
        // shortened file is owner only, whatever a stale temporary file had.
        CUniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        std::FILE* out = fd.IsValid() && ::fchmod(fd.Get(), 0600) == 0 ? ::fdopen(fd.Get(), "wb") : nullptr;
        if (out == nullptr) {
            std::remove(temporary.c_str());
            return false;
        }
        fd.Release(); // the stream owns it now
        const bool written = std::fwrite(tail.data(), 1, tail.size(), out) == tail.size();
        if (std::fclose(out) != 0 || !written) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::string CStartupLog::FormatVersionText(const struct utsname* info) {
    unsigned long numbers[3] = {0, 0, 0};
    const char* name = "";
    const char* version = "";
    if (info != nullptr) {
        name = info->sysname;
        version = info->version;
        // "6.1.0-18-amd64": the leading dot-separated numbers.
        const char* p = info->release;
        for (int i = 0; i < 3; ++i) {
            if (*p < '0' || *p > '9')
                break;
            unsigned long value = 0;
            while (*p >= '0' && *p <= '9') {
                value = value * 10 + static_cast<unsigned long>(*p - '0');
                ++p;
            }
            numbers[i] = value;
            if (*p != '.')
                break;
            ++p;
        }
    }
    char text[512];
    std::snprintf(text, sizeof text, "%s %lu.%lu.%lu : %s", name, numbers[0], numbers[1],
                  numbers[2] & 0xFFFFul, version);
    return text;
}

std::string CStartupLog::SystemVersionText() {
    struct utsname info {};
    if (::uname(&info) != 0)
        return FormatVersionText(nullptr);
    return FormatVersionText(&info);
}
