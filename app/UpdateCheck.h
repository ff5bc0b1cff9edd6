#pragma once

#include "app/WorkerThread.h"
#include "update/AutoUpdater.h"

#include <QObject>

#include <string>

/// The check for newer versions of the program, its plug-ins and the radio,
/// run by a worker so the program's thread never waits on the network. The
/// result comes back on the owner's thread (finished). The auto-updater it
/// checks with is the one the update wizard then installs with.
class CUpdateCheck : public QObject {
    Q_OBJECT
public:
    struct CResult {
        /// A newer version of installed software is there.
        bool found = false;
        /// The check itself failed; error says why.
        bool failed = false;
        std::string error;
    };

    explicit CUpdateCheck(QObject* parent = nullptr);
    /// Stops a check still running.
    ~CUpdateCheck() override;

    /// Starts a check, unless one is running (its result answers this one
    /// too). Nothing once Stop was called.
    void Start();
    bool IsRunning() const noexcept { return mbRunning; }
    /// Cancels a running check and waits for its worker; no check starts
    /// afterwards.
    void Stop();

    CAutoUpdater& Updater() noexcept { return mUpdater; }

signals:
    /// On the owner's thread, once a check has ended.
    void finished(const CUpdateCheck::CResult& result);

private:
    void Run();

    CAutoUpdater mUpdater;
    CWorkerThread mWorker;
    // The owner's thread only.
    bool mbRunning = false;
    bool mbStopped = false;
};
