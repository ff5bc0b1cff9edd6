#include "update/wizards/UpdateWizard.h"

#include "app/Logger.h"
#include "res/StringTable.h"
#include "ui/MessageBox.h"
#include "update/AppInfo.h"
#include "update/AutoUpdater.h"
#include "update/ConnectionException.h"
#include "update/wizards/WizardCheckListPage.h"
#include "update/wizards/WizardInfoPage.h"
#include "update/wizards/WizardPictures.h"
#include "update/wizards/WizardProgressPage.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {

const QString kUpdateBoxCaption = QStringLiteral("Vortlebox");
constexpr const char* kRadioName = "Fenwave Radio";

} // namespace

CUpdateWizard::CUpdateWizard(QWidget* parent) : CWizardSheet(IDS_UPDATE_CAPTION, parent) {
    setObjectName(QStringLiteral("updateWizard"));
    setPixmap(QWizard::LogoPixmap, CWizardPictures::Header(devicePixelRatioF()));
    mpUpdates = new CWizardCheckListPage(Text(IDS_UPDATES_HEADER), Text(IDS_UPDATES_SUBTITLE),
                                         Text(IDS_UPDATES_INFO), this);
    mpUpdates->setObjectName(QStringLiteral("updatesPage"));
    mpProgress = new CWizardProgressPage(Text(IDS_DOWNLOADING_HEADER), Text(IDS_DOWNLOADING_INFO), this);
    mpProgress->setObjectName(QStringLiteral("progressPage"));
    mpDone = new CWizardInfoPage(true, this);
    mpDone->setObjectName(QStringLiteral("donePage"));
    setPage(PAGE_UPDATES, mpUpdates);
    setPage(PAGE_PROGRESS, mpProgress);
    setPage(PAGE_DONE, mpDone);
    setStartId(PAGE_UPDATES);
}

CUpdateWizard::~CUpdateWizard() {
    if (mpUpdater != nullptr) {
        mDowner.Stop([this] { mpUpdater->Cancel(); });
        Observe(false);
        if (mbReportingFailures)
            mpUpdater->SetInstallFailedHandler({});
    }
}

void CUpdateWizard::SetUpdater(CAutoUpdater* updater) {
    mpUpdater = updater;
}

void CUpdateWizard::SetShutdownRequest(ShutdownRequest request) {
    mShutdown = std::move(request);
}

void CUpdateWizard::Observe(bool observe) {
    if (mpUpdater == nullptr || observe == mbObserving)
        return;
    if (observe)
        mpUpdater->AddObserver(this);
    else
        mpUpdater->RemoveObserver(this);
    mbObserving = observe;
}

void CUpdateWizard::OnStart() {
    FillUpdates();
}

void CUpdateWizard::FillUpdates() {
    mpUpdates->Clear();
    if (mpUpdater == nullptr)
        return;
    const std::vector<CComponentInfo*>& updates = mpUpdater->GetUpdates();
    for (std::size_t index = 0; index < updates.size(); ++index) {
        CComponentInfo& component = *updates[index];
        const std::string name = component.GetName();
        QString text = QString::fromStdString(name);
        if (name != CAppInfo::kName && name != kRadioName)
            text += QLatin1String(kPluginSuffix);
        if (!component.IsInstalled())
            mpUpdates->AddEntry(text + QLatin1String(kNotInstalled), false, static_cast<int>(index));
        else if (component.IsVersionNewer())
            mpUpdates->AddEntry(text + QLatin1String(kNewVersion), true, static_cast<int>(index));
    }
}

int CUpdateWizard::OnWizardNext() {
    switch (currentId()) {
    case PAGE_UPDATES:
        if (!PrepareDownload())
            return kStay;
        SetWizardButtons(kNoButtons);
        return kNextInOrder;
    case PAGE_PROGRESS:
        ProgressNext();
        return kNextInOrder;
    case PAGE_DONE:
        DoneNext();
        return kStay;
    default:
        return kStay;
    }
}

bool CUpdateWizard::PrepareDownload() {
    if (mpUpdater == nullptr)
        return false;
    mTasks.clear();
    const std::vector<CComponentInfo*>& updates = mpUpdater->GetUpdates();
    for (const int key : mpUpdates->CheckedKeys())
        mTasks.push_back(updates[static_cast<std::size_t>(key)]);

    std::vector<std::string> names;
    if (mpUpdater->CheckIfRunning(mTasks, names)) {
        // Declined, or not all closed: the user stays on this page, with the
        // ticks as they are.
        if (!AskToCloseRunning(names))
            return false;
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        const bool closed = mpUpdater->KillRunning();
        QGuiApplication::restoreOverrideCursor();
        if (!closed) {
            CMessageBox::Show(this, QMessageBox::Warning, Text(IDS_SHUTDOWN_FAILED_CAPTION),
                              Text(IDS_SHUTDOWN_FAILED));
            return false;
        }
    }

    Observe(true);
    mbReportingFailures = true;
    mpUpdater->SetInstallFailedHandler([this](const std::string& message) {
        const QString text = QString::fromStdString(message);
        Post([this, text] { CMessageBox::Show(this, QMessageBox::Critical, kUpdateBoxCaption, text); });
    });
    // A run that went back after a failure has ended by now.
    mDowner.Stop([] {});
    const long id = mDowner.Start([this] { ThreadMain(); });
    VBX_LOG(3, "DownloaderThread starting at: " << ClockTime() << " ID: " << id << "\n");
    return true;
}

void CUpdateWizard::ThreadMain() {
    const std::vector<CComponentInfo*> tasks = mTasks;
    try {
        if (mpUpdater->DownloadUpdates(tasks))
            PressNext(PAGE_PROGRESS);
    } catch (const std::exception& e) {
        if (dynamic_cast<const CConnectionException*>(&e) != nullptr)
            VBX_LOG(2, "CConnectionException: " << e.what() << "\n");
        else
            VBX_LOG(1, "The download run failed: " << e.what() << "\n");
        Post(
            [this] {
                CMessageBox::Show(this, QMessageBox::Critical, kUpdateBoxCaption, Text(IDS_DOWNLOAD_FAILED));
                PressBack(PAGE_PROGRESS);
            },
            PAGE_PROGRESS);
    }
    VBX_LOG(3, "DownloaderThread finishing.\n");
}

void CUpdateWizard::ProgressNext() {
    Observe(false);
    if (mpUpdater->IsAppUpdatePending()) {
        mpDone->SetHeader(Text(IDS_APP_UPDATE_HEADER));
        mpDone->SetInfo(Text(IDS_APP_UPDATE_INFO));
        SetWizardButtons(kNext);
    } else {
        mpDone->SetHeader(Text(IDS_UPDATE_DONE_HEADER));
        mpDone->SetInfo(Text(IDS_UPDATE_DONE_INFO));
        SetWizardButtons(kFinish);
    }
}

void CUpdateWizard::DoneNext() {
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    const bool launched = mpUpdater->LaunchAppInstaller();
    QGuiApplication::restoreOverrideCursor();
    if (!launched) {
        // Shutting down now would leave nothing to install the update and
        // start the program again.
        CMessageBox::Show(this, QMessageBox::Critical, Text(IDS_HANDOVER_FAILED_CAPTION), Text(IDS_HANDOVER_FAILED));
        CloseCancelled();
        return;
    }
    CloseCancelled();
    if (mShutdown)
        QMetaObject::invokeMethod(QCoreApplication::instance(), mShutdown, Qt::QueuedConnection);
}

void CUpdateWizard::OnCancel() {
    if (mpUpdater != nullptr && mDowner.IsStarted()) {
        mpUpdater->Cancel();
        VBX_LOG(4, "mpUpdater.Cancel called, waiting for thread to finish\n");
        mDowner.Stop([this] { mpUpdater->Cancel(); });
        VBX_LOG(4, "mDowner thread finished\n");
    }
    CloseCancelled();
}

void CUpdateWizard::OnRefresh() {
    if (currentId() != PAGE_PROGRESS || mpUpdater == nullptr)
        return;
    mpProgress->SetProgress(mpUpdater->GetProgress());
    mpProgress->SetStatusText(QString::fromStdString(mpUpdater->GetStatusText()));
}
