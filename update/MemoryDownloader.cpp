#include "update/MemoryDownloader.h"

#include "app/Logger.h"
#include "submit/jnet/JNetHttpGet.h"

#include <chrono>
#include <thread>

namespace {

constexpr std::size_t kReceiveBufferSize = 16384;
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr int kPollsPerSecond = 10;
const char* const kTimedOutText = "The connection timed out when trying to retrieve info from fenwave.\n";

/// Moves the body bytes the request holds so far to the end of body, so that
/// the request's receive buffer never fills up and stalls a large reply.
void Drain(JNetHttpGet& request, std::string& body) {
    char chunk[4096];
    while (request.bytesAvailable() > 0) {
        const std::size_t got = request.getBytes(chunk, sizeof chunk);
        if (got == 0)
            break;
        body.append(chunk, got);
    }
}

} // namespace

std::uint8_t CMemoryDownloader::Download(const std::string& url, std::string& response, int timeoutSeconds) {
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mbCancelled = false;
        mProgress = 0;
        mStatusText = "Retrieving information from Fenwave...";
    }
    NotifyObservers();

    const int pollLimit = timeoutSeconds > 0 ? timeoutSeconds * kPollsPerSecond : 0;
    if (pollLimit == 0) {
        VBX_LOG(2, "Time-out of " << timeoutSeconds << " seconds, not downloading " << url << "\n");
        SetStatusText(kTimedOutText);
        return DOWNLOAD_FAILED;
    }

    JNetHttpGet request(nullptr, kReceiveBufferSize, "");
    request.addHeader("User-Agent:Vortlebox (Mozilla)");
    request.addHeader("Accept: */*");
    request.addHeader("Connection: Close");
    request.connect(url, 0, "GET");

    std::string body;
    int polls = 0;
    for (;;) {
        const int state = request.run();
        Drain(request, body);
        if (state == 1)
            break;
        if (state == -1) {
            SetStatusText("Connection error: " + request.errorText());
            return DOWNLOAD_FAILED;
        }
        std::this_thread::sleep_for(kPollInterval);
        {
            std::lock_guard<std::recursive_mutex> guard(mMutex);
            ++polls;
            mProgress = static_cast<int>(static_cast<double>(polls) / static_cast<double>(pollLimit) * 100.0);
            if (mbCancelled)
                return DOWNLOAD_CANCELLED;
        }
        NotifyObservers();
        if (polls >= pollLimit)
            break;
    }

    VBX_LOG(3, "Download took: " << polls << " iterations\n");
    if (polls == pollLimit) {
        SetStatusText(kTimedOutText);
        return DOWNLOAD_FAILED;
    }

    Drain(request, body);
    const std::size_t n = body.size();
    VBX_LOG(3, "Got " << n << " bytes worth of info\n");
    // The document is text: it ends at its first zero byte.
    const std::size_t zero = body.find('\0');
    if (zero != std::string::npos)
        body.resize(zero);
    VBX_LOG(4, "Response:\n" << body << "\n");
    response = body;
    return DOWNLOAD_OK;
}

void CMemoryDownloader::Cancel() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    VBX_LOG(4, "CMemoryDownloader::Cancel, setting mbCancelled to true\n");
    mbCancelled = true;
}

int CMemoryDownloader::GetProgress() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mProgress;
}

std::string CMemoryDownloader::GetStatusText() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mStatusText;
}

void CMemoryDownloader::SetStatusText(const std::string& text) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mStatusText = text;
}
