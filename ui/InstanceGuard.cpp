#include "ui/InstanceGuard.h"

#include "app/Logger.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

#include <cerrno>
#include <cstring>

namespace {

// A question is one short line; a peer that sends more is not one of us.
constexpr qint64 kMaxLine = 256;

QByteArray Line(const char* message) {
    return QByteArray(message) + '\n';
}

} // namespace

CInstanceGuard::CInstanceGuard(QObject* parent) : QObject(parent) {}

CInstanceGuard::~CInstanceGuard() {
    StopListening();
}

std::string CInstanceGuard::LockPath() {
    return CUpdateLock::PathFor(kGuardName);
}

QString CInstanceGuard::SocketPath() {
    return QString::fromStdString(LockPath() + ".socket");
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

    QLocalSocket socket;
    QElapsedTimer timer;
    timer.start();
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kAnswerTimeoutMs))
        return true; // the running copy is still starting or hangs
    socket.write(Line(kAreYouMe));
    if (!socket.waitForBytesWritten(kAnswerTimeoutMs))
        return true;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaxLine) {
        const qint64 left = kAnswerTimeoutMs - timer.elapsed();
        if (left <= 0 || !socket.waitForReadyRead(static_cast<int>(left)))
            break;
        answer += socket.readAll();
    }
    if (answer == Line(kAreYouMe) && postLink) {
        socket.write(Line(kFenwaveLink));
        socket.waitForBytesWritten(kAnswerTimeoutMs);
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kAnswerTimeoutMs);
    return true;
}

bool CInstanceGuard::Listen() {
    if (mpServer != nullptr)
        return true;
    if (!mLock.IsHeld()) {
        mError = "The single-instance guard is not held";
        return false;
    }
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left behind by a copy that died: the guard is ours now, so
    // nobody else answers there.
    QLocalServer::removeServer(SocketPath());
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
