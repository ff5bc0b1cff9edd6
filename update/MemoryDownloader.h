#pragma once

#include "update/Downloader.h"

#include <cstdint>
#include <mutex>
#include <string>

/// Fetches a small document (the update information) into a string with the
/// program's own HTTP client, polling it every 100 ms. The time-out is
/// counted in polls, and the progress is the share of that time-out used up,
/// not of the bytes received. On failure the status text holds the reason.
class CMemoryDownloader : public CDownloader {
public:
    CMemoryDownloader() = default;
    ~CMemoryDownloader() override = default;
    CMemoryDownloader(const CMemoryDownloader&) = delete;
    CMemoryDownloader& operator=(const CMemoryDownloader&) = delete;

    /// Blocks until the body has arrived, the request failed, timeoutSeconds
    /// (times 10 polls) ran out or Cancel was called. response is replaced
    /// only on DOWNLOAD_OK. A timeoutSeconds of 0 or less fails at once with
    /// the time-out text.
    std::uint8_t Download(const std::string& url, std::string& response, int timeoutSeconds);

    /// Makes a running Download stop within one poll (100 ms).
    void Cancel();

    int GetProgress() override;
    std::string GetStatusText() override;

private:
    void SetStatusText(const std::string& text);

    std::recursive_mutex mMutex;
    int mProgress = 0;
    std::string mStatusText;
    bool mbCancelled = false;
};
