#include "update/wizards/PluginWizard.h"

#include "app/Logger.h"
#include "res/StringTable.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/Vortler.h"
#include "ui/MessageBox.h"
#include "ui/UserVerifier.h"
#include "update/wizards/AddPlayerDialog.h"
#include "update/AutoUpdater.h"
#include "update/ConnectionException.h"
#include "update/wizards/WizardCheckListPage.h"
#include "update/wizards/WizardInfoPage.h"
#include "update/wizards/WizardLoginPage.h"
#include "update/wizards/WizardPictures.h"
#include "update/wizards/WizardProgressPage.h"
#include "update/wizards/WizardRadioPage.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>

#include <algorithm>
#include <strings.h>

namespace {

/// The caption of the wizard's own message boxes.
const QString kBoxCaption = QStringLiteral("Vortlebox");

/// Logs the end of a worker on every way out of its body.
class CFinishingLog {
public:
    explicit CFinishingLog(const char* text) : mText(text) {}
    ~CFinishingLog() { VBX_LOG(3, mText); }
    CFinishingLog(const CFinishingLog&) = delete;
    CFinishingLog& operator=(const CFinishingLog&) = delete;

private:
    const char* mText;
};

} // namespace

CPluginWizard::CPluginWizard(int modes, CSettingsManager& settings, Vortler& client, QWidget* parent)
    : CWizardSheet(IDS_WIZARD_CAPTION, parent), mSettings(settings), mClient(client), mModes(modes) {
    setObjectName(QStringLiteral("pluginWizard"));
    setPixmap(QWizard::LogoPixmap, CWizardPictures::Header(devicePixelRatioF()));
    CreatePages();
    mInfoDowner.AddObserver(this);
    mFileDowner.AddObserver(this);

    if ((mModes & MODE_LOGIN) != 0) {
        setStartId(PAGE_WELCOME);
    } else if ((mModes & MODE_PLUGIN) != 0) {
        setStartId(PAGE_DETECTION);
    } else {
        setStartId(PAGE_RADIO);
        mpRadio->SetText(Text(IDS_RADIO_INSTALL));
    }
}

CPluginWizard::~CPluginWizard() {
    mbCancelling.store(true);
    StopWorkers();
    mInfoDowner.RemoveObserver(this);
    mFileDowner.RemoveObserver(this);
}

void CPluginWizard::CreatePages() {
    mpWelcome = new CWizardInfoPage(true, this);
    mpWelcome->setObjectName(QStringLiteral("welcomePage"));
    mpWelcome->SetHeader(Text(IDS_WIZARD_HEADER));
    mpWelcome->SetInfo(Text(IDS_WIZARD_WELCOME));

    mpLogin = new CWizardLoginPage(this);
    mpLogin->setObjectName(QStringLiteral("loginPage"));

    // The first page in plug-in mode, an inner page otherwise.
    mpDetection = new CWizardInfoPage((mModes & MODE_LOGIN) == 0, this);
    mpDetection->setObjectName(QStringLiteral("detectionPage"));
    mpDetection->SetHeader(Text(IDS_DETECTION_HEADER));
    mpDetection->SetSubTitle(Text(IDS_DETECTION_SUBTITLE));
    mpDetection->SetInfo(Text(IDS_DETECTION_INFO));

    mpSearching = new CWizardProgressPage(Text(IDS_SEARCHING_HEADER), Text(IDS_SEARCHING_INFO), this);
    mpSearching->setObjectName(QStringLiteral("searchingPage"));

    mpSelection = new CWizardCheckListPage(Text(IDS_SELECTION_HEADER), Text(IDS_SELECTION_SUBTITLE),
                                           Text(IDS_SELECTION_INFO), this);
    mpSelection->setObjectName(QStringLiteral("selectionPage"));
    mpSelection->ShowAddButton();
    connect(mpSelection, &CWizardCheckListPage::addClicked, this, &CPluginWizard::AddPlayer);

    mpRadio = new CWizardRadioPage(this);
    mpRadio->setObjectName(QStringLiteral("radioPage"));

    mpDownloading = new CWizardProgressPage(Text(IDS_DOWNLOADING_HEADER), Text(IDS_DOWNLOADING_INFO), this);
    mpDownloading->setObjectName(QStringLiteral("downloadingPage"));

    mpDone = new CWizardInfoPage(true, this);
    mpDone->setObjectName(QStringLiteral("donePage"));
    mpDone->SetHeader(Text(IDS_DONE_HEADER));
    mpDone->SetInfo(Text((mModes & MODE_LOGIN) != 0    ? IDS_DONE_LOGIN
                         : (mModes & MODE_PLUGIN) != 0 ? IDS_DONE_PLUGIN
                                                       : IDS_DONE_RADIO));

    setPage(PAGE_WELCOME, mpWelcome);
    setPage(PAGE_LOGIN, mpLogin);
    setPage(PAGE_DETECTION, mpDetection);
    setPage(PAGE_SEARCHING, mpSearching);
    setPage(PAGE_SELECTION, mpSelection);
    setPage(PAGE_RADIO, mpRadio);
    setPage(PAGE_DOWNLOADING, mpDownloading);
    setPage(PAGE_DONE, mpDone);
}

// --- Next, page by page ------------------------------------------------------

int CPluginWizard::OnWizardNext() {
    switch (currentId()) {
    case PAGE_WELCOME:
        SetWizardButtons(kBack | kNext);
        return kNextInOrder;
    case PAGE_LOGIN:
        return LoginNext();
    case PAGE_DETECTION:
        SetWizardButtons(kNoButtons);
        StartDetector();
        return kNextInOrder;
    case PAGE_SEARCHING:
        FillSelection();
        SetWizardButtons(kNext);
        return kNextInOrder;
    case PAGE_SELECTION:
        return SelectionNext();
    case PAGE_RADIO:
        return RadioNext();
    case PAGE_DOWNLOADING:
        DownloadingNext();
        return kNextInOrder;
    default:
        return kStay;
    }
}

int CPluginWizard::LoginNext() {
    const QString name = mpLogin->UserName();
    const QString password = mpLogin->Password();
    if (name.isEmpty() || password.isEmpty()) {
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Field Empty"),
                          QStringLiteral("Please enter a username and a password."));
        return kStay;
    }
    const std::string user = name.toStdString();
    const std::string hash = CUserVerifier::PasswordHash(password);
    if (CUserVerifier::Verify(this, mClient, user, hash) != CUserVerifier::kAccepted)
        return kStay;
    if (!StoreUser(user, hash, mpLogin->RememberPassword()))
        return kStay;
    SetWizardButtons(kBack | kNext);
    return kNextInOrder;
}

bool CPluginWizard::StoreUser(const std::string& name, const std::string& hash, bool remember) {
    const CUser user = mSettings.NewUser(name, hash, remember);
    try {
        std::string current = name;
        try {
            mSettings.AddUser(user);
        } catch (const CSettingsManager::CUserExistsException&) {
            // The account is known already (perhaps under another case of
            // its name): it keeps its options and takes the password just
            // verified.
            for (int index = 0; index < mSettings.GetNumUsers(); ++index) {
                CUser existing = mSettings.GetUser(index);
                if (strcasecmp(existing.name.c_str(), name.c_str()) == 0) {
                    existing.passwordHash = hash;
                    existing.rememberPassword = remember;
                    mSettings.UpdateUser(existing);
                    current = existing.name;
                    break;
                }
            }
        }
        mSettings.SetCurrentUser(current);
        mSettings.Save();
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(1, "RegistryException: " << e.what() << "\n");
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Registry Error"),
                          QString::fromStdString(e.what()));
        return false;
    } catch (const std::exception& e) {
        VBX_LOG(1, "Couldn't store the user: " << e.what() << "\n");
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Registry Error"),
                          QString::fromStdString(e.what()));
        return false;
    }
    return true;
}

// --- detection -----------------------------------------------------------------

void CPluginWizard::StartDetector() {
    mDetector.Stop([] {});
    const long id = mDetector.Start([this] { DetectorThreadMain(); });
    VBX_LOG(3, "DetectPlayerThread starting at: " << ClockTime() << " ID: " << id << "\n");
}

void CPluginWizard::DetectorThreadMain() {
    CFinishingLog finishing("DetectPlayerThread finishing.\n");
    try {
        std::vector<CPluginInfo> plugins;
        CRadioInfo radio;
        if (!mInfoDowner.GetPluginInfo(plugins, true) || !mInfoDowner.GetRadioInfo(radio, false) ||
            IsCancelling()) {
            VBX_LOG(3, "Player detector cancelled\n");
            return;
        }
        // The answers the selection page shows, worked out here rather than
        // on the window's thread: each may ask the package database.
        for (CPluginInfo& plugin : plugins) {
            if (IsCancelling())
                return;
            if (plugin.IsPlayerPresent()) {
                plugin.IsInstalled();
                plugin.IsVersionNewer();
            }
        }
        radio.IsInstalled();
        radio.IsVersionNewer();
        mPlugins = std::move(plugins);
        mRadio = radio;
        PressNext(PAGE_SEARCHING);
    } catch (const CConnectionException& e) {
        VBX_LOG(2, "CConnectionException: " << e.what() << "\n");
        ShowErrorAndCancel(Text(IDS_NO_CONNECTION) + QStringLiteral("\n\n") + QString::fromStdString(e.what()),
                           PAGE_SEARCHING);
    }
}

void CPluginWizard::FillSelection() {
    mpSelection->Clear();
    for (std::size_t index = 0; index < mPlugins.size(); ++index) {
        CPluginInfo& plugin = mPlugins[index];
        if (!plugin.IsPlayerPresent())
            continue;
        const QString player = QString::fromStdString(plugin.GetPlayerName());
        const int key = static_cast<int>(index);
        if (!plugin.IsInstalled())
            mpSelection->AddEntry(player + QLatin1String(kNotInstalled), true, key);
        else if (plugin.IsVersionNewer())
            mpSelection->AddEntry(player + QLatin1String(kNewVersion), true, key);
        else
            mpSelection->AddEntry(player + QLatin1String(kInstalled), false, key);
    }
}

void CPluginWizard::AddPlayer() {
    QStringList players;
    for (const CPluginInfo& plugin : mPlugins)
        players << QString::fromStdString(plugin.GetPlayerName());
    auto* dialog = new CAddPlayerDialog(players, this);
    dialog->setObjectName(QStringLiteral("addPlayerDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        const int index = dialog->PlayerIndex();
        if (index < 0 || static_cast<std::size_t>(index) >= mPlugins.size())
            return;
        CPluginInfo& plugin = mPlugins[static_cast<std::size_t>(index)];
        plugin.SetPlayerPath(dialog->Location().toStdString());
        mpSelection->SetEntry(QString::fromStdString(plugin.GetPlayerName()) + QLatin1String(kNotInstalled), true,
                              index);
    });
    dialog->open();
}

// --- the download run ------------------------------------------------------------

int CPluginWizard::SelectionNext() {
    if (mRadio.IsInstalled() && !mRadio.IsVersionNewer())
        mModes &= ~MODE_RADIO;
    if ((mModes & MODE_RADIO) != 0) {
        mpRadio->SetText(Text(mRadio.IsInstalled() ? IDS_RADIO_UPGRADE : IDS_RADIO_INSTALL));
        SetWizardButtons(kBack | kNext);
        return PAGE_RADIO;
    }
    // Without the radio page, on as from it.
    return RadioNext();
}

int CPluginWizard::RadioNext() {
    const int buttons = WizardButtons();
    SetWizardButtons(kNoButtons);
    const int target = DownloadPlugins();
    if (target == kStay)
        SetWizardButtons(buttons);
    return target;
}

int CPluginWizard::DownloadPlugins() {
    mTasks.clear();
    if ((mModes & (MODE_LOGIN | MODE_PLUGIN)) != 0) {
        for (const int key : mpSelection->CheckedKeys())
            mTasks.push_back(&mPlugins[static_cast<std::size_t>(key)]);
    }
    const bool radio = (mModes & MODE_RADIO) != 0 && mpRadio->IsChecked();
    if (radio && (mModes & (MODE_LOGIN | MODE_PLUGIN)) == 0) {
        // Radio mode found out nothing yet: the radio's information is
        // fetched first, on the download run's thread, while the downloading
        // page shows how that goes. The run goes on in ContinueRadioRun.
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mbFetchingRadio = true;
        }
        StartDownloader(&CPluginWizard::RadioFetchThreadMain);
        return PAGE_DOWNLOADING;
    }
    if (radio)
        mTasks.push_back(&mRadio);
    if (!CheckIfRunning())
        return kStay;
    StartDownloader(&CPluginWizard::DownloaderThreadMain);
    return PAGE_DOWNLOADING;
}

bool CPluginWizard::CheckIfRunning() {
    std::vector<CComponentInfo*> running;
    std::vector<std::string> names;
    for (CComponentInfo* task : mTasks) {
        if (task->IsRunning()) {
            running.push_back(task);
            names.push_back(task->GetName());
        }
    }
    if (running.empty())
        return true;
    if (!AskToCloseRunning(names))
        return false;
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    for (CComponentInfo* component : running) {
        if (!component->Kill())
            VBX_LOG(1, "Couldn't kill process: " << component->GetName() << "\n");
    }
    QGuiApplication::restoreOverrideCursor();
    return true;
}

void CPluginWizard::StartDownloader(void (CPluginWizard::*body)()) {
    // A previous run has handed over its last press already.
    mDownloader.Stop([] {});
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mTaskIndex = 0;
        mTaskCount = 0;
    }
    const long id = mDownloader.Start([this, body] { (this->*body)(); });
    VBX_LOG(3, "DownloadPluginsThread starting at: " << ClockTime() << " ID: " << id << "\n");
}

void CPluginWizard::RadioFetchThreadMain() {
    CFinishingLog finishing("DownloaderThread finishing.\n");
    try {
        CRadioInfo radio;
        if (!mInfoDowner.GetRadioInfo(radio, true) || IsCancelling()) {
            VBX_LOG(3, "Detector cancelled as part of radio wizard mode\n");
            return;
        }
        radio.IsInstalled();
        radio.IsVersionNewer();
        mRadio = radio;
        Post([this] { ContinueRadioRun(); }, PAGE_DOWNLOADING);
    } catch (const CConnectionException& e) {
        VBX_LOG(3, "CConnectionException when detecting as part of radio wiz mode: " << e.what() << "\n");
        ShowErrorAndCancel(Text(IDS_NO_CONNECTION) + QStringLiteral("\n\n") + QString::fromStdString(e.what()),
                           PAGE_DOWNLOADING);
    }
}

void CPluginWizard::ContinueRadioRun() {
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mbFetchingRadio = false;
    }
    mTasks.push_back(&mRadio);
    if (!CheckIfRunning()) {
        // Back to the radio page, where Next was pressed.
        PressBack(PAGE_DOWNLOADING);
        return;
    }
    StartDownloader(&CPluginWizard::DownloaderThreadMain);
}

void CPluginWizard::DownloaderThreadMain() {
    CFinishingLog finishing("DownloaderThread finishing.\n");
    const std::vector<CComponentInfo*> tasks = mTasks;
    const int count = static_cast<int>(tasks.size());
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mTaskCount = count;
        mTaskIndex = 0;
    }
    VBX_LOG(3, "We have " << count << " download tasks\n");
    const auto cancelled = [this] { return IsCancelling(); };
    CInstallerRunner::CRun run(mInstallers);

    for (int index = 0; index < count; ++index) {
        if (cancelled())
            return;
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mTaskIndex = index;
        }
        CComponentInfo& task = *tasks[static_cast<std::size_t>(index)];
        std::string localPath;
        try {
            localPath = mInstallers.LocalPath(task);
        } catch (const CConnectionException&) {
            // Logged where the folder could not be made.
        }
        if (localPath.empty()) {
            // Nothing of that kind can be installed: said, rather than left
            // waiting on a page that never moves.
            ShowErrorAndCancel(Text(IDS_DOWNLOAD_FAILED), PAGE_DOWNLOADING);
            return;
        }
        VBX_LOG(3, "Will download " << task.GetDownloadURL() << " to '" << localPath << "'\n");
        const std::uint8_t result = mFileDowner.Download(task.GetDownloadURL(), localPath, true);
        if (result == DOWNLOAD_CANCELLED || cancelled())
            return;
        if (result != DOWNLOAD_OK) {
            VBX_LOG(2, "Downloader returned error status, displaying error msg\n");
            ShowErrorAndCancel(Text(IDS_DOWNLOAD_FAILED), PAGE_DOWNLOADING);
            return;
        }
        if (task.GetDownloadExt() != "exe")
            continue; // the library is in place
        Post([this] { setCursor(Qt::WaitCursor); });
        const int error = mInstallers.Run(task, localPath, cancelled);
        Post([this] { unsetCursor(); });
        if (error != 0) {
            const QString text = QString::fromStdString(CInstallerRunner::FailedText(task.GetDownloadFileName()));
            Post([this, text] { CMessageBox::Show(this, QMessageBox::Critical, kBoxCaption, text); });
        }
    }
    if (!cancelled())
        PressNext(PAGE_DOWNLOADING);
}

void CPluginWizard::DownloadingNext() {
    SetWizardButtons(kFinish);
    EnableCancel(false);
    mSettings.FirstRunDone();
    if (std::find(mTasks.begin(), mTasks.end(), &mRadio) != mTasks.end())
        mpDone->SetCheck(Text(IDS_LAUNCH_RADIO), true);
}

void CPluginWizard::ShowErrorAndCancel(const QString& text, int onPage) {
    Post(
        [this, text] {
            CMessageBox::Show(this, QMessageBox::Critical, kBoxCaption, text);
            reject();
        },
        onPage);
}

// --- the end ---------------------------------------------------------------------

bool CPluginWizard::OnWizardFinish() {
    // Both workers have handed over their last press by now.
    StopWorkers();
    if (mpDone->IsChecked()) {
        const QString path = QString::fromStdString(mRadio.GetPath());
        VBX_LOG(3, "Launching radio from OnWizFinish: " << mRadio.GetPath() << "\n");
        if (!QProcess::startDetached(path, {}, QFileInfo(path).absolutePath()))
            VBX_LOG(1, "Couldn't launch the radio " << mRadio.GetPath() << "\n");
    }
    try {
        mSettings.Save();
    } catch (const std::exception& e) {
        VBX_LOG(1, "Couldn't save the settings: " << e.what() << "\n");
    }
    return true;
}

void CPluginWizard::OnCancel() {
    mbCancelling.store(true);
    const auto cancelDownloads = [this] {
        mInfoDowner.Cancel();
        mFileDowner.Cancel();
    };
    switch (currentId()) {
    case PAGE_SEARCHING:
        mInfoDowner.Cancel();
        VBX_LOG(4, "mInfoDowner.Cancel called, waiting for thread to finish\n");
        mDetector.Stop(cancelDownloads);
        VBX_LOG(4, "mDetector thread finished\n");
        break;
    case PAGE_DOWNLOADING:
        cancelDownloads();
        VBX_LOG(4, "mInfoDowner.Cancel & mFileDowner.Cancel called, waiting for thread to finish\n");
        StopWorkers();
        VBX_LOG(4, "mFileDowner thread finished\n");
        break;
    default:
        break;
    }
    StopWorkers();
    CloseCancelled();
}

void CPluginWizard::StopWorkers() {
    const auto cancelDownloads = [this] {
        mInfoDowner.Cancel();
        mFileDowner.Cancel();
    };
    mDetector.Stop(cancelDownloads);
    mDownloader.Stop(cancelDownloads);
}

void CPluginWizard::OnRefresh() {
    switch (currentId()) {
    case PAGE_SEARCHING:
        mpSearching->SetProgress(mInfoDowner.GetProgress());
        mpSearching->SetStatusText(QString::fromStdString(mInfoDowner.GetStatusText()));
        break;
    case PAGE_DOWNLOADING: {
        bool fetching = false;
        int index = 0;
        int count = 0;
        {
            std::lock_guard<std::mutex> guard(mMutex);
            fetching = mbFetchingRadio;
            index = mTaskIndex;
            count = mTaskCount;
        }
        if (fetching) {
            mpDownloading->SetProgress(0);
            mpDownloading->SetStatusText(QString::fromStdString(mInfoDowner.GetStatusText()));
        } else {
            mpDownloading->SetStatusText(QString::fromStdString(mFileDowner.GetStatusText()));
            mpDownloading->SetProgress(CAutoUpdater::CombinedProgress(index, count, mFileDowner.GetProgress()));
        }
        break;
    }
    default:
        break;
    }
}
