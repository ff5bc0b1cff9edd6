#include "metadata/MetaDataGetter.h"

#include "app/EncodingUtils.h"
#include "app/FormEncode.h"
#include "app/Logger.h"
#include "app/UserFolders.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "settings/SettingsManager.h"
#include "update/ConnectionException.h"
#include "update/WinUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

constexpr std::size_t kMaxNameLength = 255;
const char* const kVortleboxKey = "Software\\Fenwave\\Vortlebox";

/// A host of the settings store; its default when the store cannot be read,
/// so that a broken store costs the pictures, not the program.
/// A string of the settings store, or the fallback when it is missing or the
/// store cannot be read. Nothing is written.
std::string ReadSetting(const std::string& name, const std::string& fallback) {
    try {
        CRegistryKey key = CRegistryUtils::OpenKey(kVortleboxKey, false);
        return CRegistryUtils::ReadString(key, name);
    } catch (const CRegistryUtils::CRegistryException&) {
        return fallback;
    }
}

bool FileIsThere(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

CMetaDataGetter::CMetaDataGetter() {
    const std::string webService = CServerHosts::GetOrDefault(CServerHosts::kWebServiceHost);
    mTrackQuery = "http://" + webService + "/vbx/metadata.php?";
    mArtistQuery = "http://" + webService + "/vbx/artistmetadata.php?";
    mWikiPrefix = "http://" + CServerHosts::GetOrDefault(CServerHosts::kWebSiteHost) + "/music/";
    mNoCoverUrl = ReadSetting(kNoCoverUrlValue, "http://" + webService + "/images/no_cover.jpg");
}

bool CMetaDataGetter::GetMetaData(CTrackMetaData& record) {
    mbCancelled = false;
    RequestStarted();
    const std::time_t now = std::time(nullptr);
    const std::time_t since = now - mLastRequest;
    VBX_LOG(4, "GetMetaData '" << record.GetTrack() << "'. since: " << since);
    mLastRequest = now;

    const long long spacing = mRequestSpacing.count();
    if (since < spacing) {
        // A clock set back makes since negative: wait the spacing, no more.
        const long long wait = (spacing - static_cast<long long>(std::max<std::time_t>(since, 0))) * 1000;
        VBX_LOG(4, "Waiting for: " << wait);
        // The flag is read after the reset: a Cancel since the start of the
        // request either set it already or sets the event after the reset.
        mWakeEvent.Reset();
        if (!mbCancelled)
            mWakeEvent.WaitFor(std::chrono::milliseconds(wait));
        if (mbCancelled) {
            VBX_LOG(4, "Wait was cancelled. Returning.\n");
            return false;
        }
        VBX_LOG(4, "Wait timed out. Querying.\n");
    }

    DownloadInfo(record);
    if (!mbCancelled) {
        GetAlbumPicture(record);
        if (!mbCancelled)
            GetArtistPicture(record);
    }
    return !mbCancelled;
}

void CMetaDataGetter::RequestStarted() {}

void CMetaDataGetter::Cancel() {
    VBX_TRACE();
    mbCancelled = true;
    mFileDownloader.Cancel();
    mMemoryDownloader.Cancel();
    mWakeEvent.Set();
}

bool CMetaDataGetter::DownloadAnswer(const std::string& url, const std::string& file) {
    const std::uint8_t result = mFileDownloader.Download(url, file, false);
    if (result == DOWNLOAD_CANCELLED)
        return false;
    if (result == DOWNLOAD_FAILED) {
        VBX_LOG(2, "File downloader returned error status, throwing\n");
        throw CConnectionException(mFileDownloader.GetStatusText());
    }
    return true;
}

void CMetaDataGetter::DownloadInfo(CTrackMetaData& record) {
    const std::string trackUrl = mTrackQuery + "artist=" + formEncode(record.GetArtist()) + "&" +
                                 "track=" + formEncode(record.GetTrack()) + "&" +
                                 "album=" + formEncode(record.GetAlbum());
    const std::string trackFile = GetCacheFileName(trackUrl);
    VBX_LOG(3, "Requesting track metadata for " << record.GetArtist() << " - " << record.GetTrack() << " ["
                                                << record.GetAlbum() << "]\n");
    VBX_LOG(3, trackUrl << "\n");
    if (!DownloadAnswer(trackUrl, trackFile))
        return;
    ParseTrackResponse(trackFile, record);

    // The artist as the track answer spelled it.
    const std::string artistUrl = mArtistQuery + "artist=" + formEncode(record.GetArtist());
    const std::string artistFile = GetCacheFileName(artistUrl);
    VBX_LOG(3, "Requesting artist metadata for " << record.GetArtist() << "\n");
    VBX_LOG(3, artistUrl << "\n");
    if (!DownloadAnswer(artistUrl, artistFile))
        return;
    ParseArtistResponse(artistFile, record);
}

void CMetaDataGetter::ParseTrackResponse(const std::string& file, CTrackMetaData& record) {
    std::string text;
    if (!ReadFileInto(file, text))
        return;
    const std::vector<std::string> fields = SplitQuotedFields(text);
    if (fields.size() != 5) {
        VBX_LOG(1,
                "The metadata response didn't contain the correct number of entries. Resp: " << text << "\n");
        return;
    }
    record.SetArtist(fields[0]);
    record.SetTrack(fields[1]);
    record.SetAlbum(fields[2]);
    record.SetTags(CEncodingUtils::ToLowerAscii(fields[3]));
    record.SetAlbumPicUrl(fields[4]);
}

void CMetaDataGetter::ParseArtistResponse(const std::string& file, CTrackMetaData& record) {
    std::string text;
    if (!ReadFileInto(file, text))
        return;
    const std::vector<std::string> fields = SplitQuotedFields(text);
    if (fields.size() != 4) {
        VBX_LOG(1,
                "The metadata response didn't contain the correct number of entries. Resp: " << text << "\n");
        return;
    }
    record.SetSimilar(fields[1]);
    record.SetDescription(StripBrackets(fields[2]));
    record.SetWikiLink(mWikiPrefix + formEncode(record.GetArtist()) + "/+wiki");
    record.SetArtistPicUrl(fields[3]);
}

namespace {

/// A cached picture's path as the record keeps it: UTF-8.
std::string PathToUtf8(const std::string& path) {
    // Room for the longest UTF-8 form of an 8-bit text, so no path is cut.
    std::string buffer(std::max<std::size_t>(1040, path.size() * 4 + 4), '\0');
    const int written =
        CEncodingUtils::AnsiToUtf8(path.c_str(), buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return buffer;
}

} // namespace

void CMetaDataGetter::GetAlbumPicture(CTrackMetaData& record) {
    const std::string& url = record.GetAlbumPicUrl();
    if (url.empty() || url == mNoCoverUrl) {
        record.SetAlbumPicFile(kNoAlbumPicture);
        return;
    }
    const std::string file = GetCacheFileName(url);
    if (DownloadPicture(url, file))
        record.SetAlbumPicFile(PathToUtf8(file));
}

void CMetaDataGetter::GetArtistPicture(CTrackMetaData& record) {
    const std::string& url = record.GetArtistPicUrl();
    if (url.empty()) {
        record.SetArtistPicFile(kNoArtistPicture);
        return;
    }
    const std::string file = GetCacheFileName(url);
    if (DownloadPicture(url, file))
        record.SetArtistPicFile(PathToUtf8(file));
}

bool CMetaDataGetter::DownloadPicture(const std::string& url, const std::string& file) {
    if (FileIsThere(file))
        return true;
    VBX_LOG(3, "Will download " << url << " to " << file << "\n");
    return DownloadAnswer(url, file);
}

std::string CMetaDataGetter::GetCacheDir() {
    const std::string userDir = CSettingsManager::Instance().GetUserDir();
    const std::size_t slash = userDir.rfind('/');
    return (slash == std::string::npos ? std::string() : userDir.substr(0, slash + 1)) + "Cache/";
}

std::string CMetaDataGetter::GetCacheFileName(const std::string& url) {
    const std::string dir = GetCacheDir();
    // Its file names spell out what was played: owner only.
    CUserFolders::CreatePrivateFolder(dir);

    const std::size_t scheme = url.find("://");
    std::string name = scheme == std::string::npos ? url : url.substr(scheme + 3);
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '?', '_');

    std::string path = dir + name;
    if (path.size() > kMaxCachePath) {
        if (dir.size() < kMaxCachePath)
            path.resize(kMaxCachePath);
        else // a folder this deep must not be cut into: cut the name alone
            path.resize(dir.size() + std::min(name.size(), kMaxNameLength));
    }
    return path;
}

bool CMetaDataGetter::ReadFileInto(const std::string& file, std::string& text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        VBX_LOG(2, "Couldn't open metadata file '" << file << "'.\n");
        return false;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content.empty()) {
        VBX_LOG(2, "No metadata in file '" << file << "'.\n");
        return false;
    }
    text = std::move(content);
    return true;
}

std::vector<std::string> CMetaDataGetter::SplitQuotedFields(const std::string& text) {
    return CWinUtils::SplitQuoted(text);
}

std::string CMetaDataGetter::StripBrackets(const std::string& text) {
    std::string result = text;
    CWinUtils::StripBracketed(result);
    return result;
}
