#pragma once

#include "update/UpdateLock.h"

#include <QObject>
#include <QString>

#include <string>

class QLocalServer;
class QLocalSocket;

/// Makes sure only one copy of the program runs for a user, and lets a later
/// copy hand a "fenwave:" link to the running one.
///
/// The guard is an flock'ed file named kGuardName in $XDG_RUNTIME_DIR (or
/// the user data folder), held for the life of the process. Beside it the
/// running copy listens on a local socket of the same name plus ".socket",
/// where it answers two questions, each one line:
///   kAreYouMe     answered with kAreYouMe: "this is the running copy";
///   kFenwaveLink  not answered: "a link was opened" (linkOpened is emitted).
class CInstanceGuard : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kGuardName = "Vortlebox-7BC5FBA0-A70A-406e-A50B-235D5AFE67FB";
    static constexpr const char* kAreYouMe = "WM_ARE_YOU_ME-381A591C-C2AC-4e18-9DE0-D46D16E4D814";
    static constexpr const char* kFenwaveLink = "WM_FENWAVE_LINK-381A591C-C2AC-4e18-9DE0-D46D16E4D814";
    /// How long a later copy waits for the running copy's answer.
    static constexpr int kAnswerTimeoutMs = 200;

    explicit CInstanceGuard(QObject* parent = nullptr);
    ~CInstanceGuard() override;

    /// The single-instance test: takes the guard, or finds that another copy
    /// holds it. In that case the running copy is asked whether it is the
    /// program, and if it answers and postLink is set it is told that a link
    /// was opened. True if another copy runs. The answer never blocks longer
    /// than kAnswerTimeoutMs; a copy that does not answer is left alone.
    /// Any thread; no event loop needed.
    bool IsAnotherRunning(bool postLink);

    /// Starts answering later copies (only while the guard is held). False,
    /// with the reason in ErrorText(), if the socket cannot be set up.
    bool Listen();
    /// Stops answering.
    void StopListening();
    bool IsListening() const;

    bool IsHeld() const noexcept { return mLock.IsHeld(); }
    /// Why the guard could not be taken or the socket set up; "" if it
    /// could. A guard file that cannot be opened at all leaves the program
    /// running unguarded rather than never starting.
    const std::string& ErrorText() const noexcept { return mError; }

    static std::string LockPath();
    static QString SocketPath();

signals:
    /// A later copy was started with a "fenwave:" link.
    void linkOpened();

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);

    CUpdateLock mLock;
    QLocalServer* mpServer = nullptr;
    std::string mError;
};
