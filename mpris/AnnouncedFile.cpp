#include "mpris/AnnouncedFile.h"

#include "app/FormEncode.h"
#include "app/Logger.h"
#include "app/UserFolders.h"
#include "mpris/PluginLine.h"
#include "settings/SettingsManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t kFields = 13;
constexpr std::size_t kMaxEntries = 1024;

std::string Decode(std::string text) {
    for (char& c : text)
        if (c == '+')
            c = ' ';
    return CPluginLine::PercentDecode(text);
}

bool ParseNumber(const std::string& text, std::int64_t& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && at == end;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

} // namespace

std::string CAnnouncedFile::PathFor(const std::string& busId) {
    std::string folder = CUserFolders::RuntimeDir();
    if (folder.empty())
        folder = CSettingsManager::Instance().GetUserDir();
    if (folder.empty() || busId.empty())
        return {};
    return folder + "/vortlebox-mpris-" + formEncode(busId) + ".state";
}

std::vector<CAnnouncedFile::CEntry> CAnnouncedFile::Read() const {
    std::vector<CEntry> entries;
    std::ifstream file(mPath);
    std::string line;
    bool damaged = false;
    while (std::getline(file, line) && entries.size() < kMaxEntries) {
        const std::vector<std::string> f = Split(line);
        CEntry entry;
        std::int64_t mirror = 0;
        std::int64_t length = 0;
        const bool lengthKnown = f.size() == kFields && f[12] != "-";
        if (f.size() != kFields || (f[2] != "playing" && f[2] != "paused") || !ParseNumber(f[3], mirror) ||
            !ParseNumber(f[4], entry.announced.playedMs) || !ParseNumber(f[5], entry.savedAtMs) ||
            (lengthKnown && !ParseNumber(f[12], length)) || f[0].empty() || f[1].empty()) {
            damaged = true;
            continue;
        }
        entry.busName = Decode(f[0]);
        entry.owner = Decode(f[1]);
        entry.announced.paused = f[2] == "paused";
        entry.announced.mirror = mirror != 0;
        CMprisMetadata& track = entry.announced.track;
        track.trackId = Decode(f[6]);
        track.artist = Decode(f[7]);
        track.title = Decode(f[8]);
        track.album = Decode(f[9]);
        track.url = Decode(f[10]);
        track.musicBrainzTrackId = Decode(f[11]);
        if (lengthKnown)
            track.lengthUs = length;
        entries.push_back(std::move(entry));
    }
    if (damaged)
        VBX_LOG(1, "Left out damaged lines of " << mPath << "\n");
    return entries;
}

void CAnnouncedFile::Write(const std::vector<CEntry>& entries) const {
    if (mPath.empty())
        return;
    if (entries.empty()) {
        if (::unlink(mPath.c_str()) != 0 && errno != ENOENT)
            VBX_LOG(1, "Couldn't remove " << mPath << ". Error: " << errno << "\n");
        return;
    }
    std::ostringstream text;
    for (const CEntry& entry : entries) {
        const CMprisMetadata& track = entry.announced.track;
        text << formEncode(entry.busName) << '\t' << formEncode(entry.owner) << '\t'
             << (entry.announced.paused ? "paused" : "playing") << '\t' << (entry.announced.mirror ? 1 : 0) << '\t'
             << entry.announced.playedMs << '\t' << entry.savedAtMs << '\t' << formEncode(track.trackId) << '\t'
             << formEncode(track.artist) << '\t' << formEncode(track.title) << '\t' << formEncode(track.album)
             << '\t' << formEncode(track.url) << '\t' << formEncode(track.musicBrainzTrackId) << '\t';
        if (track.lengthUs)
            text << *track.lengthUs;
        else
            text << '-';
        text << '\n';
    }
    const std::string bytes = text.str();
    const std::string aside = mPath + ".new";
    const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    const int error = written ? 0 : errno;
    if (fd >= 0)
        ::close(fd);
    if (!written || std::rename(aside.c_str(), mPath.c_str()) != 0) {
        VBX_LOG(1, "Couldn't write " << mPath << ". Error: " << (error != 0 ? error : errno) << "\n");
        ::unlink(aside.c_str());
    }
}
