#include "platform/qt/single_instance.h"

#include "app/launch_request.h"
#include "platform/qt/qt_application.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::qt {

namespace {

// Whether `path` is a folder (not a link to one) that belongs to this user
// and that no one else may enter or write to.
bool isPrivateFolder(const QByteArray& path) {
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

QString defaultDirectory() {
    // The runtime directory is private to the user and to the session.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir() &&
        QFileInfo(runtime).ownerId() == ::getuid())
        return runtime;
    // Without one, a folder of our own in the temporary directory: in the
    // shared directory itself another user could plant a lock or a socket in
    // our place. A folder that is not ours, or not private, is never used.
    const QByteArray folder =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/orvo-%1").arg(::getuid()));
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return isPrivateFolder(folder) ? QFile::decodeName(folder) : QString();
}

// Whether the process at the other end of the connection runs as this user.
// The kernel records the peer's credentials when it connects, so a peer
// cannot claim someone else's; the socket file's mode is only the first
// fence (a shared temporary directory or a changed mode would open it).
bool peerIsThisUser(const QLocalSocket& socket) {
    const qintptr fd = socket.socketDescriptor();
    if (fd < 0)
        return false;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return false;
    return credentials.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(QString directory) {
    if (directory.isEmpty())
        directory = defaultDirectory();
    // No safe place: run without the single-instance guard rather than in
    // a place another user controls.
    if (directory.isEmpty())
        return;
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

SingleInstance::Role SingleInstance::start(const QByteArray& token) {
    if (lockPath_.isEmpty())
        return Role::primary;
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
    delivered_ = sendRaise(QByteArray::fromStdString(launchRequest(token.toStdString())));
    return Role::secondary;
}

bool SingleInstance::sendRaise(const QByteArray& request) {
    // The running instance may hold the lock but not listen yet; give it a
    // few seconds.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(500)) {
            // In the temporary directory another user could have put a
            // socket of their own in our instance's place.
            if (!peerIsThisUser(socket))
                return false;
            socket.write(request);
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
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        open_.erase(std::remove(open_.begin(), open_.end(), nullptr), open_.end());
        if (open_.size() >= kMaxOpenConnections) {
            if (QLocalSocket* oldest = open_.front()) {
                oldest->abort();
                oldest->deleteLater();
            }
            open_.pop_front();
        }
        open_.push_back(socket);
        // A peer gets one request's worth of bytes; anything longer or
        // different is dropped.
        socket->setReadBufferSize(static_cast<qint64>(kMaxLaunchRequestLength) + 1);
        connect(socket, &QLocalSocket::readyRead, this,
                [this, socket] { guarded("reading a launch request", [&] { readRequest(socket); }); });
    }
}

void SingleInstance::readRequest(QLocalSocket* socket) {
    // The bytes stay in the socket until they are a request or can no longer
    // become one; one answer, and the connection ends whatever it held.
    const QByteArray data = socket->peek(static_cast<qint64>(kMaxLaunchRequestLength) + 1);
    const ParsedLaunchRequest request = parseLaunchRequest(std::string_view(data.constData(), data.size()));
    if (request.state == ParsedLaunchRequest::State::incomplete)
        return;
    socket->abort();
    socket->deleteLater();
    if (request.state == ParsedLaunchRequest::State::complete && onRaise_)
        onRaise_(QString::fromStdString(request.token));
}

} // namespace orvo::qt
