#pragma once

#include "update/Downloader.h"

#include <cstdint>
#include <mutex>
#include <string>

/// Fetches an http or https URL into a local file on the calling thread,
/// reporting each phase of the transfer (looking up, connecting, sending the
/// request, redirecting, downloading) as a status text and the bytes received
/// as a percentage. Cancel, from any thread, aborts the transfer at its next
/// progress report.
///
/// The data goes into a temporary file beside the target, which is renamed to
/// the target only once the transfer has succeeded: a failed or cancelled
/// download leaves no half file under the target's name, and an existing
/// target is replaced only by a complete new one. The file is its owner's
/// alone (0600). The target's folder must exist.
class CFileDownloader : public CDownloader {
public:
    /// Result of a progress report, and the name under which a transfer's
    /// outcome is logged.
    using HRESULT = std::uint32_t;
    static constexpr HRESULT S_OK = 0;
    static constexpr HRESULT S_FALSE = 1;
    static constexpr HRESULT E_PENDING = 0x8000000A;
    static constexpr HRESULT E_NOTIMPL = 0x80004001;
    static constexpr HRESULT E_NOINTERFACE = 0x80004002;
    static constexpr HRESULT E_ABORT = 0x80004004;
    static constexpr HRESULT E_FAIL = 0x80004005;
    static constexpr HRESULT E_UNEXPECTED = 0x8000FFFF;
    static constexpr HRESULT E_ACCESSDENIED = 0x80070005;
    static constexpr HRESULT E_HANDLE = 0x80070006;
    static constexpr HRESULT E_OUTOFMEMORY = 0x8007000E;
    static constexpr HRESULT E_INVALIDARG = 0x80070057;

    /// Phases of a transfer, as passed to OnProgress.
    enum EStatusCode : std::uint32_t {
        STATUS_FINDINGRESOURCE = 1,
        STATUS_CONNECTING = 2,
        STATUS_REDIRECTING = 3,
        STATUS_BEGINDOWNLOADDATA = 4,
        STATUS_DOWNLOADINGDATA = 5,
        STATUS_ENDDOWNLOADDATA = 6,
        STATUS_CACHEFILENAMEAVAILABLE = 10,
        STATUS_SENDINGREQUEST = 11,
    };

    CFileDownloader() = default;
    ~CFileDownloader() override = default;
    CFileDownloader(const CFileDownloader&) = delete;
    CFileDownloader& operator=(const CFileDownloader&) = delete;

    /// Blocks until the transfer ends. evictFromCache asks for a fresh copy;
    /// there is no shared download cache on this system, so it only logs.
    /// DOWNLOAD_CANCELLED whenever Cancel was called during the call, even if
    /// the transfer completed.
    std::uint8_t Download(const std::string& url, const std::string& localPath, bool evictFromCache);

    /// Makes a running Download stop at its next progress report.
    void Cancel();

    /// One progress report of the running transfer: stores the percentage
    /// and the status text built from the phase, then notifies observers
    /// (outside the lock). Returns E_ABORT, changing nothing, once Cancel was
    /// called; else S_OK. statusText may be null.
    HRESULT OnProgress(std::uint32_t progress, std::uint32_t progressMax, std::uint32_t statusCode,
                       const char* statusText);

    int GetProgress() override;
    std::string GetStatusText() override;

    /// The name of a result for the log ("S_OK", "E_ABORT", ...), "" for one
    /// outside the known set.
    static std::string HResultName(HRESULT result);

    /// Whether Cancel was called since the current Download began.
    bool IsCancelled();

private:
    std::recursive_mutex mMutex;
    int mProgress = 0;
    std::string mStatusText;
    bool mbCancelled = false;
};
