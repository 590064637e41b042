#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QLocalSocket;

namespace orvo::qt {

// One ORVO per user. The first instance holds a lock file and listens on a
// local socket; a later launch finds the lock taken, asks the first one to
// come to the front and ends. Both ends talk only to a process of the same
// user, whatever the socket file's permissions allow.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role { primary, secondary };

    // Connections that have not sent their message yet; a newer one pushes
    // the oldest out, so idle peers cannot pile up.
    static constexpr std::size_t kMaxOpenConnections = 8;

    // `directory` holds the lock and the socket; empty picks the user's
    // runtime directory, else a private folder of the user's in the
    // temporary directory; without either, every launch runs on its own.
    explicit SingleInstance(QString directory = {});
    ~SingleInstance() override;

    // Takes the lock and starts listening, or, when another instance holds
    // it, delivers the raise request to that one, with `token` (the desktop's
    // startup id or activation token for this launch) when it can travel.
    Role start(const QByteArray& token = {});
    // For a secondary: whether the running instance got the request.
    bool delivered() const { return delivered_; }

    // Called with the token of the launch that asked, empty when it had none.
    void setRaiseHandler(std::function<void(const QString& token)> handler) { onRaise_ = std::move(handler); }

private:
    void acceptConnections();
    void readRequest(QLocalSocket* socket);
    bool sendRaise(const QByteArray& request);

    QString lockPath_;
    QString serverName_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    std::function<void(const QString&)> onRaise_;
    std::deque<QPointer<QLocalSocket>> open_;
    bool delivered_ = false;
};

} // namespace orvo::qt
