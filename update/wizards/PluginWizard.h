#pragma once

#include "app/ManualResetEvent.h"
#include "app/WorkerThread.h"
#include "update/ComponentInfo.h"
#include "update/FileDownloader.h"
#include "update/InstallerRunner.h"
#include "update/PluginInfo.h"
#include "update/RadioInfo.h"
#include "update/UpdateInfoGetter.h"
#include "update/wizards/WizardSheet.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class CSettingsManager;
class CWizardCheckListPage;
class CWizardInfoPage;
class CWizardLoginPage;
class CWizardProgressPage;
class CWizardRadioPage;
class Vortler;

/// The configuration wizard: logs a new user in, finds the installed music
/// players that have a plug-in (from the update information), lets the user
/// pick the plug-ins to install, offers the radio application, closes running
/// players, and downloads and runs the installers.
///
/// Modes (flags): MODE_LOGIN (the first run; passed as all three), MODE_PLUGIN
/// ("Get Plugin...") and MODE_RADIO ("Get Radio..." or a radio link). The
/// eight pages keep their order; the mode picks the first page shown.
///
/// Detection and the download run each take a worker thread; workers move
/// the wizard only by posted presses and never touch a widget. Cancel stops
/// the downloads and waits for both workers, so none outlives the wizard. The
/// first run is marked done only when the download run has completed, so a
/// cancelled first run comes back at the next start.
class CPluginWizard : public CWizardSheet {
    Q_OBJECT
public:
    enum EMode : int { MODE_LOGIN = 1, MODE_PLUGIN = 2, MODE_RADIO = 4, MODE_FIRST_RUN = 7 };
    enum EPage : int {
        PAGE_WELCOME = 1,
        PAGE_LOGIN,
        PAGE_DETECTION,
        PAGE_SEARCHING,
        PAGE_SELECTION,
        PAGE_RADIO,
        PAGE_DOWNLOADING,
        PAGE_DONE,
    };

    /// client answers the login page's verification; settings receive the
    /// new user and the end of the first run.
    CPluginWizard(int modes, CSettingsManager& settings, Vortler& client, QWidget* parent = nullptr);
    /// Stops and joins the workers and stops observing the downloaders.
    ~CPluginWizard() override;

    /// The mode flags; MODE_RADIO is dropped when the radio turns out to be
    /// installed and current.
    int Modes() const noexcept { return mModes; }
    /// Whether a worker thread has been started and not yet joined.
    bool HasWorkers() const noexcept { return mDetector.IsStarted() || mDownloader.IsStarted(); }

    CWizardInfoPage& WelcomePage() const { return *mpWelcome; }
    CWizardLoginPage& LoginPage() const { return *mpLogin; }
    CWizardInfoPage& DetectionPage() const { return *mpDetection; }
    CWizardProgressPage& SearchingPage() const { return *mpSearching; }
    CWizardCheckListPage& SelectionPage() const { return *mpSelection; }
    CWizardRadioPage& RadioPage() const { return *mpRadio; }
    CWizardProgressPage& DownloadingPage() const { return *mpDownloading; }
    CWizardInfoPage& DonePage() const { return *mpDone; }

    /// Opens the "Add Player" dialog (window-modal); a player added there is
    /// listed ticked, " (plugin not installed)".
    void AddPlayer();

    /// The entry suffixes of the selection page.
    static constexpr const char* kNotInstalled = " (plugin not installed)";
    static constexpr const char* kNewVersion = " (new plugin version available)";
    static constexpr const char* kInstalled = " (plugin installed)";

protected:
    int OnWizardNext() override;
    bool OnWizardFinish() override;
    void OnCancel() override;
    void OnRefresh() override;

private:
    void CreatePages();
    int LoginNext();
    bool StoreUser(const std::string& name, const std::string& hash, bool remember);
    void StartDetector();
    void DetectorThreadMain();
    void FillSelection();
    int SelectionNext();
    int RadioNext();
    int DownloadPlugins();
    bool CheckIfRunning();
    void StartDownloader(void (CPluginWizard::*body)());
    void RadioFetchThreadMain();
    void ContinueRadioRun();
    void DownloaderThreadMain();
    void DownloadingNext();
    void ShowErrorAndCancel(const QString& text, int onPage);
    void StopWorkers();
    bool IsCancelling() const noexcept { return mbCancelling.load(); }

    CSettingsManager& mSettings;
    Vortler& mClient;
    int mModes;

    CWizardInfoPage* mpWelcome = nullptr;
    CWizardLoginPage* mpLogin = nullptr;
    CWizardInfoPage* mpDetection = nullptr;
    CWizardProgressPage* mpSearching = nullptr;
    CWizardCheckListPage* mpSelection = nullptr;
    CWizardRadioPage* mpRadio = nullptr;
    CWizardProgressPage* mpDownloading = nullptr;
    CWizardInfoPage* mpDone = nullptr;

    CUpdateInfoGetter mInfoDowner;
    CFileDownloader mFileDowner;
    CInstallerRunner mInstallers;
    CWorkerThread mDetector;
    CWorkerThread mDownloader;
    std::atomic<bool> mbCancelling{false};

    // Written by a worker only while it runs and read here only once it has
    // handed over by a posted press; the UI thread leaves them alone meanwhile.
    std::vector<CPluginInfo> mPlugins;
    CRadioInfo mRadio;
    std::vector<CComponentInfo*> mTasks;

    // Progress of the download run, read by the refresh.
    std::mutex mMutex;
    int mTaskIndex = 0;
    int mTaskCount = 0;
    bool mbFetchingRadio = false;
};
