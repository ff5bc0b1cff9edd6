#include "metadata/TrackMetaData.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

/// The folder of the running program, without a trailing "/"; "" if unknown.
std::string ProgramDir() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    const std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

void CTrackMetaData::Clear() {
    *this = CTrackMetaData();
}

std::string CTrackMetaData::PicturePath(const std::string& file) {
    if (file.empty() || file.front() == '/')
        return file;
    std::string candidates[3];
    const std::string programDir = ProgramDir();
    if (!programDir.empty()) {
        candidates[0] = programDir + "/res/" + file;
        candidates[1] = programDir + "/../share/vortlebox/res/" + file;
    }
#ifdef VBX_SOURCE_ROOT
    candidates[2] = std::string(VBX_SOURCE_ROOT) + "/res/" + file;
#endif
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && IsFile(candidate))
            return candidate;
    }
    return file;
}
