#include "app/InstanceGuard.h"

#include "app/Logger.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A question is one short line; a peer that sends more is not one of us.
constexpr qint64 kMaxLine = 256;

QByteArray Line(const char* message) {
    return QByteArray(message) + '\n';
}

/// FNV-1a: a short, stable stand-in for a long path.
std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

/// Whether the peer of a connected local socket runs as this user.
bool IsOwnUser(qintptr descriptor) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return descriptor >= 0 &&
           ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::geteuid();
}

} // namespace

CInstanceGuard::CInstanceGuard(QObject* parent) : QObject(parent) {}

CInstanceGuard::~CInstanceGuard() {
    StopListening();
}

std::string CInstanceGuard::LockPath() {
    return CUpdateLock::PathFor(kGuardName);
}

bool CInstanceGuard::UsesAbstractName() {
    return LockPath().size() + std::strlen(".socket") > kMaxSocketPath;
}

QString CInstanceGuard::SocketPath() {
    const std::string path = LockPath() + ".socket";
    if (!UsesAbstractName())
        return QString::fromStdString(path);
    // The guard's place in a name that always fits; peers are checked to be
    // this user's, as the abstract namespace has no file permissions.
    return QStringLiteral("vortlebox-%1-%2")
        .arg(::geteuid())
        .arg(static_cast<qulonglong>(Fnv1a(path)), 16, 16, QLatin1Char('0'));
}

bool CInstanceGuard::IsAnotherRunning(bool postLink) {
    const int error = mLock.Acquire(kGuardName, 0);
    if (error == 0)
        return false;
    if (error != EWOULDBLOCK) {
        // Nothing tells that another copy runs: this one runs unguarded.
        mError = "Couldn't take the single-instance guard " + LockPath() + ": " + std::strerror(error);
        return false;
    }
    if (AskRunningCopy(postLink))
        return true;
    // No answer: the copy holding the guard is ending (it stops answering
    // first) and lets go of it soon.
    return mLock.Acquire(kGuardName, kGuardWaitMs) != 0;
}

bool CInstanceGuard::AskRunningCopy(bool postLink) {
    QLocalSocket socket;
    if (UsesAbstractName())
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    QElapsedTimer timer;
    timer.start();
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kAnswerTimeoutMs) || !IsOwnUser(socket.socketDescriptor()))
        return false;
    socket.write(Line(kAreYouMe));
    if (!socket.waitForBytesWritten(kAnswerTimeoutMs))
        return false;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaxLine) {
        const qint64 left = kAnswerTimeoutMs - timer.elapsed();
        if (left <= 0 || !socket.waitForReadyRead(static_cast<int>(left)))
            break;
        answer += socket.readAll();
    }
    const bool answered = answer == Line(kAreYouMe);
    if (answered && postLink) {
        socket.write(Line(kFenwaveLink));
        socket.waitForBytesWritten(kAnswerTimeoutMs);
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kAnswerTimeoutMs);
    return answered;
}

bool CInstanceGuard::Listen() {
    if (mpServer != nullptr)
        return true;
    if (!mLock.IsHeld()) {
        mError = "The single-instance guard is not held";
        return false;
    }
    auto* server = new QLocalServer(this);
    if (UsesAbstractName()) {
        server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    } else {
        server->setSocketOptions(QLocalServer::UserAccessOption);
        // A socket left behind by a copy that died: the guard is ours now,
        // so nobody else answers there.
        QLocalServer::removeServer(SocketPath());
    }
    if (!server->listen(SocketPath())) {
        mError = "Couldn't listen on " + SocketPath().toStdString() + ": " + server->errorString().toStdString();
        delete server;
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, &CInstanceGuard::OnNewConnection);
    mpServer = server;
    return true;
}

void CInstanceGuard::StopListening() {
    if (mpServer == nullptr)
        return;
    mpServer->close();
    delete mpServer;
    mpServer = nullptr;
}

bool CInstanceGuard::IsListening() const {
    return mpServer != nullptr && mpServer->isListening();
}

void CInstanceGuard::OnNewConnection() {
    while (QLocalSocket* socket = mpServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!IsOwnUser(socket->socketDescriptor())) {
            VBX_LOG(1, "A peer of another user on the single-instance socket, connection closed\n");
            socket->disconnectFromServer();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        // Bytes may have come with the connection.
        if (socket->bytesAvailable() > 0)
            OnReadyRead(socket);
    }
}

void CInstanceGuard::OnReadyRead(QLocalSocket* socket) {
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxLine + 1).trimmed();
        if (line == kAreYouMe) {
            socket->write(Line(kAreYouMe));
            socket->flush();
        } else if (line == kFenwaveLink) {
            VBX_LOG(3, "Fenwave link message received from another copy\n");
            // Its handler asks the user: not from inside this socket's
            // handler.
            QMetaObject::invokeMethod(this, [this] { emit linkOpened(); }, Qt::QueuedConnection);
        } else {
            VBX_LOG(2, "Unknown message on the single-instance socket ignored\n");
            socket->disconnectFromServer();
            return;
        }
    }
    if (socket->bytesAvailable() > kMaxLine) {
        VBX_LOG(2, "Overlong message on the single-instance socket, connection closed\n");
        socket->disconnectFromServer();
    }
}
