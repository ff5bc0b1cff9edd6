#pragma once

#include "app/Observable.h"

#include <cstdint>
#include <string>

/// The result byte of a download.
enum EDownloadResult : std::uint8_t {
    DOWNLOAD_OK = 0,        ///< data fetched
    DOWNLOAD_CANCELLED = 1, ///< Cancel was called during the download
    DOWNLOAD_FAILED = 2,    ///< network or server failure
};

/// What a window watches while something downloads: a percentage and a
/// one-line status text. Observers are told, on the downloading thread,
/// whenever either changes; both getters may be called from any thread.
class CDownloader : public Observable {
public:
    virtual ~CDownloader() = default;
    /// The current progress, 0 to 100.
    virtual int GetProgress() = 0;
    /// A copy of the current status text.
    virtual std::string GetStatusText() = 0;
};
