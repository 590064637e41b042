#pragma once

#include "notifications/freedesktop.h"
#include "notifications/notification_sounds.h"
#include "platform/platform.h"
#include "platform/qt/canberra_sound.h"

#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace orvo::qt {

// The notification centre over the freedesktop notification service on the
// session bus. Every bus call is asynchronous: the GUI thread never waits for
// the server, and a missing server only means that nothing is shown.
class QtNotificationCenter : public QObject, public NotificationCenter {
    Q_OBJECT
public:
    explicit QtNotificationCenter(QObject* parent = nullptr);
    ~QtNotificationCenter() override;

    void setDelegate(NotificationCenterDelegate* delegate) override;
    void requestAuthorization() override;
    void setNotificationCategories(const std::vector<NotificationCategory>& categories) override;
    void addNotificationRequest(const NotificationRequest& request) override;

private slots:
    void onActionInvoked(const QDBusMessage& message);
    void onActivationToken(const QDBusMessage& message);
    void onNotificationClosed(const QDBusMessage& message);
    void onServiceOwnerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);

private:
    // A notification the server shows for us, kept until it is closed.
    struct Posted {
        NotificationRequest request;
        freedesktop::NotifyArguments arguments;
    };

    void queryServer();
    void onCapabilitiesReply(QDBusPendingCallWatcher* watcher);
    void sendNotify(const NotificationRequest& request);
    void onNotifyReply(QDBusPendingCallWatcher* watcher, const Posted& posted);
    void closeNotification(uint id);
    void handleAction(uint id, const QString& key);
    void remember(uint id, const Posted& posted);

    NotificationCenterDelegate* delegate_ = nullptr;
    std::vector<NotificationCategory> categories_;
    // The notifications' sounds, for servers that play none.
    CanberraSound player_;
    freedesktop::NotificationSounds sounds_{player_};

    // What the server can do. Until its first answer, posts wait in
    // `waiting_`, so that no notification goes out in a shape the server
    // cannot show (or turns into a dialog).
    std::vector<std::string> capabilities_;
    bool capabilitiesKnown_ = false;
    bool capabilitiesPending_ = false;
    std::vector<NotificationRequest> waiting_;

    std::map<uint, Posted> posted_;
    // The activation token the server sent for a notification, just before
    // the action it belongs to.
    std::map<uint, QString> activationTokens_;
    // Posts whose Notify reply is outstanding; a server change in between
    // makes their ids meaningless.
    unsigned generation_ = 0;
    // Notify calls whose reply has not come yet, and the actions that arrived
    // meanwhile for ids not known yet.
    unsigned outstandingNotifies_ = 0;
    std::deque<std::pair<uint, QString>> earlyActions_;
};

} // namespace orvo::qt
