#pragma once

#include "app/ManualResetEvent.h"
#include "app/WorkerThread.h"
#include "update/wizards/WizardSheet.h"

#include <functional>
#include <thread>
#include <vector>

class CAutoUpdater;
class CComponentInfo;
class CWizardCheckListPage;
class CWizardInfoPage;
class CWizardProgressPage;

/// Shows what the last update check found, lets the user pick what to
/// update, closes programs in the way, downloads and installs on a worker
/// thread, and, when the program itself was updated, starts the external
/// updater and asks for the program to be shut down.
///
/// The updater (and its list of updates) belongs to the caller and outlives
/// the wizard. The worker moves the wizard only by posted presses; Cancel
/// stops the run and waits for the worker, so it never outlives the wizard.
class CUpdateWizard : public CWizardSheet {
    Q_OBJECT
public:
    enum EPage : int { PAGE_UPDATES = 1, PAGE_PROGRESS, PAGE_DONE };

    /// Asked once the external updater runs: the program is to shut down in
    /// order, so that the updater can replace it. Called on the window's
    /// thread after the wizard has closed.
    using ShutdownRequest = std::function<void()>;

    explicit CUpdateWizard(QWidget* parent = nullptr);
    /// Stops and joins the worker and stops observing the updater.
    ~CUpdateWizard() override;

    /// Set before the wizard is shown; not owned.
    void SetUpdater(CAutoUpdater* updater);
    void SetShutdownRequest(ShutdownRequest request);

    bool HasWorker() const noexcept { return mDowner.IsStarted(); }

    CWizardCheckListPage& UpdatesPage() const { return *mpUpdates; }
    CWizardProgressPage& ProgressPage() const { return *mpProgress; }
    CWizardInfoPage& DonePage() const { return *mpDone; }

    static constexpr const char* kPluginSuffix = " plugin";
    static constexpr const char* kNotInstalled = " (not installed)";
    static constexpr const char* kNewVersion = " (new version)";

protected:
    void OnStart() override;
    int OnWizardNext() override;
    void OnCancel() override;
    void OnRefresh() override;

private:
    void FillUpdates();
    bool PrepareDownload();
    void ThreadMain();
    void ProgressNext();
    void DoneNext();
    void Observe(bool observe);

    CAutoUpdater* mpUpdater = nullptr;
    ShutdownRequest mShutdown;
    CWizardCheckListPage* mpUpdates = nullptr;
    CWizardProgressPage* mpProgress = nullptr;
    CWizardInfoPage* mpDone = nullptr;
    CWorkerThread mDowner;
    bool mbObserving = false;
    /// Whether the updater reports failed installer starts to this wizard.
    bool mbReportingFailures = false;
    /// The ticked entries of the run; read by the worker while it runs.
    std::vector<CComponentInfo*> mTasks;
};
