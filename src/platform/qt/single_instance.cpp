#include "platform/qt/single_instance.h"

#include "platform/qt/qt_application.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cstring>
#include <unistd.h>

namespace orvo::qt {

namespace {

constexpr qint64 kMessageLength = sizeof(SingleInstance::kRaiseMessage) - 1;

QString defaultDirectory() {
    // The runtime directory is private to the user and to the session; the
    // temporary directory is the fallback that Qt's local sockets use too.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir() &&
        QFileInfo(runtime).ownerId() == ::getuid())
        return runtime;
    return QDir::tempPath();
}

} // namespace

SingleInstance::SingleInstance(QString directory) {
    if (directory.isEmpty())
        directory = defaultDirectory();
    const QString base = QStringLiteral("orvo-%1").arg(::getuid());
    lockPath_ = QDir(directory).filePath(base + QStringLiteral(".lock"));
    serverName_ = QDir(directory).filePath(base + QStringLiteral(".sock"));
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this,
            [this] { guarded("accepting a launch request", [this] { acceptConnections(); }); });
}

SingleInstance::~SingleInstance() {
    server_.close();
}

SingleInstance::Role SingleInstance::start() {
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // Only a lock whose owner process is gone is stale, never one that is
    // merely old: ORVO runs for weeks.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        // A socket left behind by a crashed instance would make listen fail.
        QLocalServer::removeServer(serverName_);
        server_.listen(serverName_);
        return Role::primary;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
        // The lock cannot be made at all (an unwritable directory, say): run
        // rather than refuse to start.
        lock_.reset();
        return Role::primary;
    }
    lock_.reset();
    delivered_ = sendRaise();
    return Role::secondary;
}

bool SingleInstance::sendRaise() {
    // The running instance may hold the lock but not listen yet; give it a
    // few seconds.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(500)) {
            socket.write(kRaiseMessage, kMessageLength);
            const bool written = socket.waitForBytesWritten(2000);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState)
                socket.waitForDisconnected(1000);
            return written;
        }
        QThread::msleep(250);
    }
    return false;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        // A peer gets a few bytes; anything longer or different is dropped.
        socket->setReadBufferSize(kMessageLength + 1);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            guarded("reading a launch request", [&] {
                if (socket->bytesAvailable() < kMessageLength)
                    return;
                const QByteArray data = socket->read(kMessageLength + 1);
                socket->abort();
                socket->deleteLater();
                if (data == QByteArray(kRaiseMessage, kMessageLength) && onRaise_)
                    onRaise_();
            });
        });
    }
}

} // namespace orvo::qt
