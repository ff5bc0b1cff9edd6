#pragma once

#include "app/ManualResetEvent.h"
#include "metadata/TrackMetaData.h"
#include "update/FileDownloader.h"
#include "update/MemoryDownloader.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

/// Fetches the facts and pictures of a track and its artist from the web
/// service's two query pages, keeps every answer and picture as a file in the
/// cache folder ($XDG_DATA_HOME/Fenwave/Cache/), and fills a CTrackMetaData.
///
/// Requests start at least 5 seconds apart. GetMetaData runs on one worker
/// thread at a time; Cancel may come from any thread and ends a running or
/// waiting request at once. Pictures stay cached for good; answers are
/// fetched again every time.
class CMetaDataGetter {
public:
    /// Store value (under "Software\\Fenwave\\Vortlebox") of the picture
    /// address the web service gives albums without a cover.
    static constexpr const char* kNoCoverUrlValue = "NoCoverUrl";
    /// Shipped pictures shown when there is none to download.
    static constexpr const char* kNoAlbumPicture = "no_album.jpg";
    static constexpr const char* kNoArtistPicture = "no_artist.jpg";
    /// Longest cache file path.
    static constexpr std::size_t kMaxCachePath = 255;

    /// Reads the web service and web site hosts and the no-cover address
    /// from the settings store; they stay fixed for the getter's life.
    CMetaDataGetter();
    virtual ~CMetaDataGetter() = default;
    CMetaDataGetter(const CMetaDataGetter&) = delete;
    CMetaDataGetter& operator=(const CMetaDataGetter&) = delete;

    /// Fills the record, whose artist, track and album are set, on the
    /// calling thread. True when it ran to the end, false when cancelled.
    /// Throws CConnectionException (with the downloader's status text) when
    /// a download fails.
    bool GetMetaData(CTrackMetaData& record);

    /// Makes a running or waiting GetMetaData stop as soon as possible.
    void Cancel();

    /// The least time between the starts of two requests (5 s).
    void SetRequestSpacing(std::chrono::seconds spacing) noexcept { mRequestSpacing = spacing; }

    // The steps of a request, open for tests.

    /// Downloads and parses the track answer and then the artist answer.
    void DownloadInfo(CTrackMetaData& record);
    /// A track answer of exactly 5 fields replaces artist, track and album
    /// and sets tags (lower case) and the album picture URL; anything else
    /// leaves the record as it was.
    void ParseTrackResponse(const std::string& file, CTrackMetaData& record);
    /// An artist answer of exactly 4 fields sets similar, the description
    /// (without [bracketed] spans), the wiki link and the artist picture URL.
    void ParseArtistResponse(const std::string& file, CTrackMetaData& record);
    void GetAlbumPicture(CTrackMetaData& record);
    void GetArtistPicture(CTrackMetaData& record);
    /// Downloads unless the file is there already. False when cancelled.
    bool DownloadPicture(const std::string& url, const std::string& file);

    /// The cache file of a URL: the URL without its scheme, "/" and "?" made
    /// "_", in the cache folder (created if missing), cut to kMaxCachePath
    /// characters (so two long URLs may share one file).
    static std::string GetCacheFileName(const std::string& url);
    /// The cache folder, ending in "/".
    static std::string GetCacheDir();
    /// The whole file; false (logged) when it cannot be opened or is empty.
    static bool ReadFileInto(const std::string& file, std::string& text);
    /// The double-quoted fields of an answer; a doubled quote inside a field
    /// stands for one, text between fields is ignored, an unterminated field
    /// is dropped.
    static std::vector<std::string> SplitQuotedFields(const std::string& text);
    /// Removes every "[...]" span; brackets do not nest.
    static std::string StripBrackets(const std::string& text);

    const std::string& TrackQueryAddress() const noexcept { return mTrackQuery; }
    const std::string& ArtistQueryAddress() const noexcept { return mArtistQuery; }
    const std::string& NoCoverUrl() const noexcept { return mNoCoverUrl; }

protected:
    /// Called by GetMetaData once the request has begun (a Cancel from then
    /// on ends it); does nothing here. Lets a test cancel at that moment.
    virtual void RequestStarted();

private:
    /// Downloads one answer; false when cancelled, throws when it failed.
    bool DownloadAnswer(const std::string& url, const std::string& file);

    CFileDownloader mFileDownloader;
    CMemoryDownloader mMemoryDownloader;
    std::time_t mLastRequest = 0;
    std::chrono::seconds mRequestSpacing{5};
    std::atomic<bool> mbCancelled{false};
    CManualResetEvent mWakeEvent;

    std::string mTrackQuery;
    std::string mArtistQuery;
    std::string mWikiPrefix;
    std::string mNoCoverUrl;
};
