#include "update/UpdateInfoGetter.h"

#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "update/ConnectionException.h"
#include "update/UpdateInfoParser.h"
#include "update/VersionResource.h"
#include "update/WinUtils.h"

#include <exception>
#include <optional>

CUpdateInfoGetter::CUpdateInfoGetter() {
    mDownloader.AddObserver(this);
}

CUpdateInfoGetter::~CUpdateInfoGetter() {
    mDownloader.RemoveObserver(this);
}

bool CUpdateInfoGetter::GetAppInfo(CComponentInfo& info, bool forceDownload) {
    VBX_TRACE();
    StartRequest();
    if (forceDownload || mApp.GetName().empty())
        DownloadAndParse();
    info = mApp;
    return FinishRequest();
}

bool CUpdateInfoGetter::GetRadioInfo(CComponentInfo& info, bool forceDownload) {
    VBX_TRACE();
    StartRequest();
    if (forceDownload || mRadio.GetName().empty())
        DownloadAndParse();
    info = mRadio;
    return FinishRequest();
}

bool CUpdateInfoGetter::GetPluginInfo(std::vector<CPluginInfo>& plugins, bool forceDownload) {
    VBX_TRACE();
    StartRequest();
    if (forceDownload || mPlugins.empty())
        DownloadAndParse();
    plugins = mPlugins;
    return FinishRequest();
}

void CUpdateInfoGetter::Cancel() {
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        VBX_LOG(4, "CUpdateInfoGetter::Cancel, setting mbCancelled to true\n");
        mbCancelled = true;
    }
    mDownloader.Cancel();
}

int CUpdateInfoGetter::GetProgress() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mProgress;
}

std::string CUpdateInfoGetter::GetStatusText() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mStatusText;
}

void CUpdateInfoGetter::Update() {
    const std::string status = mDownloader.GetStatusText();
    {
        std::lock_guard<std::recursive_mutex> guard(mMutex);
        mStatusText = status;
    }
    NotifyObservers();
}

void CUpdateInfoGetter::StartRequest() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mbCancelled = false;
    mProgress = 0;
}

bool CUpdateInfoGetter::FinishRequest() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mProgress = 100;
    return !mbCancelled;
}

std::string CUpdateInfoGetter::UpdateInfoUrl() {
    std::string host;
    try {
        host = CServerHosts::Get(CServerHosts::kStaticHost);
    } catch (const std::exception& e) {
        VBX_LOG(1, "Couldn't read the static host: " << e.what() << "\n");
        throw CConnectionException(e.what());
    }
    CVersionResource own;
    own.OpenModule(nullptr);
    return "http://" + host + "/plugins/vbx/upg.win." + std::to_string(own.GetVersionPart(3)) + "." +
           std::to_string(own.GetVersionPart(2));
}

void CUpdateInfoGetter::DownloadAndParse() {
    const std::string url = UpdateInfoUrl();
    std::string response;
    const std::uint8_t result = mDownloader.Download(url, response, kTimeoutSeconds);
    if (result == DOWNLOAD_FAILED)
        throw CConnectionException(mDownloader.GetStatusText());
    // A cancelled download leaves the response empty: the plug-in list is
    // emptied, the other records stay.
    ParseUpdateInfo(response);
}

void CUpdateInfoGetter::ParseUpdateInfo(const std::string& text) {
    mPlugins.clear();
    // Looked up once per file, at its first record.
    std::optional<std::string> programFilesPath;
    CUpdateInfoParser::Parse(text, [&](CUpdateInfoParser::ESection section, std::vector<std::string>& f) {
        if (!programFilesPath)
            programFilesPath = ProgramFilesPath();
        const std::string& programFiles = *programFilesPath;
        switch (section) {
        case CUpdateInfoParser::ESection::App:
            mApp.Clear();
            mApp.Set(f[0], programFiles + f[1], f[2], f[3], f[4]);
            break;
        case CUpdateInfoParser::ESection::Radio:
            mRadio.Clear();
            mRadio.Set(f[0], programFiles + f[1], f[2], f[3], f[4]);
            break;
        case CUpdateInfoParser::ESection::Plugins: {
            CPluginInfo plugin;
            plugin.Set(f[0], programFiles + f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
            mPlugins.push_back(std::move(plugin));
            break;
        }
        case CUpdateInfoParser::ESection::None:
            break;
        }
    });
    VBX_LOG(3, "Got info for " << mPlugins.size() << " plugins\n");
}

std::string CUpdateInfoGetter::ProgramFilesPath() {
    std::string path;
    try {
        path = CWinUtils::GetProgramFilesPath();
    } catch (const std::exception&) {
        path.clear();
    }
    if (path.empty()) {
        VBX_LOG(1, "Couldn't get PF path so trying to fake it.");
        path = "/";
    }
    return path;
}
