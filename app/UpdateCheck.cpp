#include "app/UpdateCheck.h"

#include "app/Logger.h"
#include "update/ConnectionException.h"

#include <QMetaObject>

CUpdateCheck::CUpdateCheck(QObject* parent) : QObject(parent) {}

CUpdateCheck::~CUpdateCheck() {
    Stop();
}

void CUpdateCheck::Start() {
    if (mbRunning || mbStopped)
        return;
    mbRunning = true;
    const long id = mWorker.Start([this] { Run(); });
    VBX_LOG(3, "UpdateCheckThread started at: " << static_cast<const void*>(&mWorker) << " ID: " << id << "\n");
}

void CUpdateCheck::Stop() {
    mbStopped = true;
    mWorker.Stop([this] { mUpdater.Cancel(); });
    mbRunning = false;
}

void CUpdateCheck::Run() {
    CResult result;
    try {
        result.found = mUpdater.CheckForUpdates();
    } catch (const CConnectionException& e) {
        VBX_LOG(2, "Update check failed. Exception: " << e.what() << "\n");
        result.failed = true;
        result.error = e.what();
    } catch (const std::exception& e) {
        VBX_LOG(1, "Update check failed. Exception: " << e.what() << "\n");
        result.failed = true;
        result.error = e.what();
    }
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            // A Stop meanwhile has already given up on this check.
            if (!mbRunning)
                return;
            mbRunning = false;
            emit finished(result);
        },
        Qt::QueuedConnection);
}
