#pragma once

#include "update/UpdateLock.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <string>

class QLocalServer;
class QLocalSocket;

/// Makes sure only one copy of the program runs for a user, and lets a later
/// copy hand a "fenwave:" link to the running one.
///
/// The guard is an flock'ed file named kGuardName in $XDG_RUNTIME_DIR (or
/// the user data folder), held for the life of the process. Beside it the
/// running copy listens on a local socket of the same name plus ".socket"
/// (when that path is too long for a socket, a name in the abstract
/// namespace made from it; either way only peers of the same user are
/// talked to), where it answers two questions, each one line:
///   kAreYouMe     answered with kAreYouMe: "this is the running copy";
///   kFenwaveLink  not answered: "a link was opened" (linkOpened is emitted).
///
/// A copy that is ending stops answering first: a copy started meanwhile
/// waits (up to kGuardWaitMs) for the guard and runs once it has it.
class CInstanceGuard : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kGuardName = "Vortlebox-7BC5FBA0-A70A-406e-A50B-235D5AFE67FB";
    static constexpr const char* kAreYouMe = "WM_ARE_YOU_ME-381A591C-C2AC-4e18-9DE0-D46D16E4D814";
    static constexpr const char* kFenwaveLink = "WM_FENWAVE_LINK-381A591C-C2AC-4e18-9DE0-D46D16E4D814";
    /// How long a later copy waits for the running copy's answer.
    static constexpr int kAnswerTimeoutMs = 200;
    /// How long a copy that got no answer waits for the guard of a copy
    /// that is ending.
    static constexpr int kGuardWaitMs = 10000;
    /// The longest path a local socket can have (sun_path less its NUL).
    static constexpr std::size_t kMaxSocketPath = 107;

    explicit CInstanceGuard(QObject* parent = nullptr);
    ~CInstanceGuard() override;

    /// The single-instance test: takes the guard, or finds that another copy
    /// holds it. In that case the running copy is asked whether it is the
    /// program, and if it answers and postLink is set it is told that a link
    /// was opened: true. A copy that does not answer within
    /// kAnswerTimeoutMs is ending (or hangs): the guard is waited for up to
    /// kGuardWaitMs, and false once it is taken. Any thread; no event loop
    /// needed.
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
    /// The socket's path, or its name in the abstract namespace when the
    /// path would not fit (UsesAbstractName).
    static QString SocketPath();
    static bool UsesAbstractName();

signals:
    /// A later copy was started with a "fenwave:" link.
    void linkOpened();

private:
    /// Asks the copy holding the guard whether it runs (and hands it the
    /// link); true if it answered.
    bool AskRunningCopy(bool postLink);
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);

    CUpdateLock mLock;
    QLocalServer* mpServer = nullptr;
    std::string mError;
};
