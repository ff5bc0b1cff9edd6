#include "update/FileDownloader.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"
#include "res/StringTable.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <strings.h>

namespace {

// Error code logged for the cache eviction that cannot happen here: the
// entry is not found.
constexpr int kNoCacheEntry = ENOENT;

// Without these a peer that accepts and then stays silent would hold the
// download until it is cancelled.
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kLowSpeedBytes = 1;
constexpr long kLowSpeedSeconds = 60;
constexpr long kMaxRedirects = 10;

/// Starts libcurl once per process, before the first handle.
void EnsureCurlStarted() {
    static const bool started = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)started;
}

struct CurlEasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlUrlDeleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

/// One part of a parsed URL, or "" if it has none.
std::string UrlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr)
        return {};
    std::string result(text);
    curl_free(text);
    return result;
}

/// The scheme and host of an absolute URL; false if it is not one.
bool ParseUrl(const std::string& text, std::string& scheme, std::string& host) {
    CurlUrl url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    scheme = UrlPart(url.get(), CURLUPART_SCHEME);
    host = UrlPart(url.get(), CURLUPART_HOST);
    return true;
}

/// A redirect target resolved against the URL it came from.
std::string ResolveUrl(const std::string& base, const std::string& location) {
    CurlUrl url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return location;
    return UrlPart(url.get(), CURLUPART_URL);
}

bool IsHttpScheme(const std::string& scheme) {
    return strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0;
}

/// The target's name with the suffix, shortened where the name would grow
/// longer than a folder entry may be.
std::string PartName(const std::string& target, const std::string& suffix) {
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t nameLength = target.size() - nameStart;
    if (nameLength + suffix.size() <= NAME_MAX)
        return target + suffix;
    return target.substr(0, nameStart + NAME_MAX - suffix.size()) + suffix;
}

/// The file the data goes into until it is complete. Removed on the way out
/// unless Commit has renamed it to the target.
class CPartFile {
public:
    explicit CPartFile(const std::string& target) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100 && mFd < 0; ++attempt) {
            mPath = PartName(target, ".part-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
            // Owner only: the program's downloads are its own files.
            mFd = open(mPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (mFd < 0 && errno != EEXIST)
                break;
        }
        if (mFd < 0)
            mPath.clear();
    }
    ~CPartFile() {
        if (mFd >= 0)
            close(mFd);
        if (!mPath.empty())
            unlink(mPath.c_str());
    }
    CPartFile(const CPartFile&) = delete;
    CPartFile& operator=(const CPartFile&) = delete;

    bool IsOpen() const noexcept { return mFd >= 0; }
    const std::string& Path() const noexcept { return mPath; }

    bool Write(const char* data, size_t size) noexcept {
        while (size > 0) {
            const ssize_t written = write(mFd, data, size);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += written;
            size -= static_cast<size_t>(written);
        }
        return true;
    }

    /// Flushes the data to disk and gives the file the target's name.
    bool Commit(const std::string& target) {
        const bool synced = fsync(mFd) == 0;
        const bool closed = close(mFd) == 0;
        mFd = -1;
        if (!synced || !closed || rename(mPath.c_str(), target.c_str()) != 0)
            return false;
        mPath.clear();
        return true;
    }

private:
    int mFd = -1;
    std::string mPath;
};

/// The state one transfer's callbacks share.
struct STransfer {
    CFileDownloader* downloader = nullptr;
    CPartFile* file = nullptr;
    std::string url;          // the URL being fetched right now (changes on redirects)
    int responseCode = 0;     // of the response whose headers are being read
    bool dataStarted = false; // the first body bytes have been reported
    curl_off_t lastNow = -1;
    curl_off_t lastTotal = -1;
};

/// Fits a byte count and its total into the 32 bits of a progress report,
/// keeping their ratio.
void ScaleToProgress(curl_off_t now, curl_off_t total, std::uint32_t& progress, std::uint32_t& progressMax) {
    constexpr curl_off_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (now < 0)
        now = 0;
    if (total < 0)
        total = 0;
    while (now > kMax || total > kMax) {
        now /= 2;
        total /= 2;
    }
    progress = static_cast<std::uint32_t>(now);
    progressMax = static_cast<std::uint32_t>(total);
}

bool Aborts(CFileDownloader::HRESULT result) {
    return result == CFileDownloader::E_ABORT;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<STransfer*>(user);
    const size_t bytes = size * count;
    return transfer->file->Write(data, bytes) ? bytes : 0;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<STransfer*>(user);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        const size_t space = line.find(' ');
        transfer->responseCode = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
        return bytes;
    }
    const bool isRedirect = transfer->responseCode >= 300 && transfer->responseCode < 400;
    if (isRedirect && strncasecmp(line.c_str(), "Location:", 9) == 0) {
        size_t start = 9;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
            ++start;
        const std::string target = ResolveUrl(transfer->url, line.substr(start));
        transfer->url = target;
        transfer->dataStarted = false;
        if (Aborts(
                transfer->downloader->OnProgress(0, 0, CFileDownloader::STATUS_REDIRECTING, target.c_str())))
            return 0;
    }
    return bytes;
}

curl_socket_t OpenSocketCallback(void* user, curlsocktype purpose, curl_sockaddr* address) {
    auto* transfer = static_cast<STransfer*>(user);
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    char text[INET6_ADDRSTRLEN] = {};
    if (address->family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (address->family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    if (Aborts(transfer->downloader->OnProgress(0, 0, CFileDownloader::STATUS_CONNECTING, text)))
        return CURL_SOCKET_BAD;
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int PrereqCallback(void* user, char*, char*, int, int) {
    auto* transfer = static_cast<STransfer*>(user);
    if (Aborts(transfer->downloader->OnProgress(0, 0, CFileDownloader::STATUS_SENDINGREQUEST, nullptr)))
        return CURL_PREREQFUNC_ABORT;
    return CURL_PREREQFUNC_OK;
}

int ProgressCallback(void* user, curl_off_t downloadTotal, curl_off_t downloadNow, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<STransfer*>(user);
    std::uint32_t progress = 0;
    std::uint32_t progressMax = 0;
    ScaleToProgress(downloadNow, downloadTotal, progress, progressMax);
    const bool changed = downloadNow != transfer->lastNow || downloadTotal != transfer->lastTotal;
    if (downloadNow > 0 && changed) {
        const std::uint32_t code = transfer->dataStarted ? CFileDownloader::STATUS_DOWNLOADINGDATA
                                                         : CFileDownloader::STATUS_BEGINDOWNLOADDATA;
        transfer->dataStarted = true;
        transfer->lastNow = downloadNow;
        transfer->lastTotal = downloadTotal;
        return Aborts(transfer->downloader->OnProgress(progress, progressMax, code, transfer->url.c_str()))
                   ? 1
                   : 0;
    }
    // Nothing new to show; only a cancel needs an answer.
    if (transfer->downloader->IsCancelled())
        return Aborts(transfer->downloader->OnProgress(progress, progressMax, 0, nullptr)) ? 1 : 0;
    return 0;
}

CFileDownloader::HRESULT ResultOf(CURLcode code) {
    switch (code) {
    case CURLE_OK:
        return CFileDownloader::S_OK;
    case CURLE_ABORTED_BY_CALLBACK:
        return CFileDownloader::E_ABORT;
    case CURLE_OUT_OF_MEMORY:
        return CFileDownloader::E_OUTOFMEMORY;
    case CURLE_URL_MALFORMAT:
        return CFileDownloader::E_INVALIDARG;
    default:
        return CFileDownloader::E_FAIL;
    }
}

} // namespace

std::uint8_t CFileDownloader::Download(const std::string& url, const std::string& localPath,
                                       bool evictFromCache) {
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mbCancelled = false;
        mProgress = 0;
    }
    if (evictFromCache)
        VBX_LOG(3, localPath << " not deleted. System error code: " << kNoCacheEntry << "\n");

    const HRESULT result = [&]() -> HRESULT {
        std::string scheme, host;
        if (!ParseUrl(url, scheme, host) || !IsHttpScheme(scheme)) {
            VBX_LOG(2, "Only http and https URLs are downloaded: " << url << "\n");
            return E_INVALIDARG;
        }
        if (localPath.empty() || localPath.back() == '/') {
            VBX_LOG(2, "No file name to download " << url << " to: '" << localPath << "'\n");
            return E_INVALIDARG;
        }
        CPartFile file(localPath);
        if (!file.IsOpen()) {
            const int error = errno;
            VBX_LOG(2, "Couldn't create a file beside " << localPath << ". System error code: " << error
                                                        << "\n");
            return E_ACCESSDENIED;
        }
        EnsureCurlStarted();
        CurlEasy curl(curl_easy_init());
        if (!curl)
            return E_OUTOFMEMORY;

        STransfer transfer;
        transfer.downloader = this;
        transfer.file = &file;
        transfer.url = url;
        char errorBuffer[CURL_ERROR_SIZE] = {};

        CURL* handle = curl.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "Vortlebox (Mozilla)");
        // The user's proxy variables apply, but never to this machine itself.
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, HeaderCallback);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, OpenSocketCallback);
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, PrereqCallback);
        curl_easy_setopt(handle, CURLOPT_PREREQDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

        if (Aborts(OnProgress(0, 0, STATUS_FINDINGRESOURCE, host.c_str())))
            return E_ABORT;
        const CURLcode code = curl_easy_perform(handle);
        if (code != CURLE_OK && IsCancelled())
            return E_ABORT; // whichever callback noticed it first
        if (code != CURLE_OK) {
            VBX_LOG(3, "Transfer of " << url << " failed: "
                                      << (errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code))
                                      << "\n");
            return ResultOf(code);
        }
        if (!file.Commit(localPath)) {
            const int error = errno;
            VBX_LOG(2, "Couldn't store the download as " << localPath << ". System error code: " << error
                                                         << "\n");
            return E_ACCESSDENIED;
        }
        curl_off_t total = 0;
        curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &total);
        std::uint32_t progress = 0;
        std::uint32_t progressMax = 0;
        ScaleToProgress(total, total, progress, progressMax);
        OnProgress(progress, progressMax, STATUS_ENDDOWNLOADDATA, transfer.url.c_str());
        return S_OK;
    }();

    VBX_LOG(3, "URLDownloadToFile returned: " << HResultName(result) << "\n");
    if (IsCancelled())
        return DOWNLOAD_CANCELLED;
    return result == S_OK ? DOWNLOAD_OK : DOWNLOAD_FAILED;
}

void CFileDownloader::Cancel() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    VBX_LOG(4, "CFileDownloader::Cancel, setting mbCancelled to true\n");
    mbCancelled = true;
}

bool CFileDownloader::IsCancelled() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mbCancelled;
}

CFileDownloader::HRESULT CFileDownloader::OnProgress(std::uint32_t progress, std::uint32_t progressMax,
                                                     std::uint32_t statusCode, const char* statusText) {
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        if (mbCancelled) {
            VBX_LOG(3, "mbCancelled true, returning E_ABORT\n");
            return E_ABORT;
        }
    }
    const std::string text = statusText != nullptr ? CEncodingUtils::Utf8ToAnsi(statusText) : std::string();
    std::string status;
    switch (statusCode) {
    case STATUS_FINDINGRESOURCE:
        status = std::string(CStringTable::Get(IDS_LOOKING_UP)) + " " + text + "...";
        break;
    case STATUS_CONNECTING:
        status = std::string(CStringTable::Get(IDS_CONNECTING_TO)) + " " + text + "...";
        break;
    case STATUS_REDIRECTING:
        status = std::string(CStringTable::Get(IDS_REDIRECTING_TO)) + " " + text + "...";
        break;
    case STATUS_BEGINDOWNLOADDATA:
    case STATUS_DOWNLOADINGDATA: {
        const size_t slash = text.rfind('/');
        const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
        status = std::string(CStringTable::Get(IDS_DOWNLOADING)) + " " + name + "...";
        break;
    }
    case STATUS_ENDDOWNLOADDATA:
        status = std::string(CStringTable::Get(IDS_DOWNLOADING));
        break;
    case STATUS_CACHEFILENAMEAVAILABLE:
        VBX_LOG(3, "Downloader using cached file\n");
        break;
    case STATUS_SENDINGREQUEST:
        status = std::string(CStringTable::Get(IDS_SENDING_REQUEST));
        break;
    default:
        break;
    }

    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mProgress =
            progressMax == 0
                ? 0
                : static_cast<int>(static_cast<double>(progress) / static_cast<double>(progressMax) * 100.0);
        mStatusText = status;
    }
    NotifyObservers();
    return S_OK;
}

int CFileDownloader::GetProgress() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mProgress;
}

std::string CFileDownloader::GetStatusText() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mStatusText;
}

std::string CFileDownloader::HResultName(HRESULT result) {
    switch (result) {
    case S_OK:
        return "S_OK";
    case S_FALSE:
        return "S_FALSE";
    case E_PENDING:
        return "E_PENDING";
    case E_NOTIMPL:
        return "E_NOTIMPL";
    case E_NOINTERFACE:
        return "E_NOINTERFACE";
    case E_ABORT:
        return "E_ABORT";
    case E_FAIL:
        return "E_FAIL";
    case E_UNEXPECTED:
        return "E_UNEXPECTED";
    case E_ACCESSDENIED:
        return "E_ACCESSDENIED";
    case E_HANDLE:
        return "E_HANDLE";
    case E_OUTOFMEMORY:
        return "E_OUTOFMEMORY";
    case E_INVALIDARG:
        return "E_INVALIDARG";
    default:
        return {};
    }
}
