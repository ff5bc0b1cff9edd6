#pragma once

#include "app/Observer.h"
#include "update/ComponentInfo.h"
#include "update/Downloader.h"
#include "update/MemoryDownloader.h"
#include "update/PluginInfo.h"
#include "update/RadioInfo.h"

#include <mutex>
#include <string>
#include <vector>

/// Fetches the update-information file from the static-content host and
/// keeps what it offers: the program's record, the radio application's
/// record and one record per player plug-in, in file order. A request is
/// answered from the kept records unless a download is forced or nothing of
/// that kind is kept yet.
///
/// While the file downloads, the memory downloader's status text is relayed
/// to this object's own observers; the progress stays 0 until the end. One
/// thread at a time uses a getter; Cancel may come from any thread.
class CUpdateInfoGetter : public CDownloader, public Observer {
public:
    static constexpr int kTimeoutSeconds = 10;

    CUpdateInfoGetter();
    ~CUpdateInfoGetter() override;
    CUpdateInfoGetter(const CUpdateInfoGetter&) = delete;
    CUpdateInfoGetter& operator=(const CUpdateInfoGetter&) = delete;

    /// Copies the kept program record into info (its data and computed
    /// answers; info keeps its own class). Downloads first when forced or
    /// when no program record is kept. False only if Cancel was called during
    /// the call. A download or parse failure is thrown as CConnectionException.
    bool GetAppInfo(CComponentInfo& info, bool forceDownload);
    /// The same for the radio record.
    bool GetRadioInfo(CComponentInfo& info, bool forceDownload);
    /// The same for the plug-in records; downloads when none are kept.
    bool GetPluginInfo(std::vector<CPluginInfo>& plugins, bool forceDownload);

    /// Makes a running download stop within one poll.
    void Cancel();

    int GetProgress() override;
    std::string GetStatusText() override;

    /// Takes the update information from a text instead of the host: the
    /// plug-in list is replaced, the program and radio records only when the
    /// text has a record for them. Throws CConnectionException for a bad text;
    /// the records read before the bad line are kept.
    void ParseUpdateInfo(const std::string& text);

    /// "http://" + the static host + "/plugins/vbx/upg.win." + the major and
    /// minor fields of the program's own version. Throws CConnectionException
    /// when the host cannot be read from the settings store.
    static std::string UpdateInfoUrl();

    /// Relays the memory downloader's status text.
    void Update() override;

private:
    void StartRequest();
    bool FinishRequest();
    void DownloadAndParse();
    static std::string ProgramFilesPath();

    CComponentInfo mApp;
    CRadioInfo mRadio;
    std::vector<CPluginInfo> mPlugins;
    CMemoryDownloader mDownloader;

    std::recursive_mutex mMutex;
    int mProgress = 0;
    std::string mStatusText;
    bool mbCancelled = false;
};
