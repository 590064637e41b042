#pragma once

#include "notifications/freedesktop.h"
#include "notifications/notification_session.h"
#include "platform/platform.h"
#include "platform/qt/canberra_sound.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QDBusMessage;

namespace orvo::qt {

// The notification centre over the freedesktop notification service on the
// session bus. Every bus call is asynchronous: the GUI thread never waits for
// the server, and a missing server only means that nothing is shown. What the
// calls and signals mean is decided by the session; this class only carries
// them over D-Bus.
class QtNotificationCenter : public QObject, public NotificationCenter, private freedesktop::NotificationBus {
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
    // NotificationBus
    void getCapabilities(freedesktop::Ticket ticket) override;
    void notify(const freedesktop::NotifyArguments& arguments, freedesktop::Ticket ticket) override;
    void closeNotification(std::uint32_t id) override;
    void withActivationToken(const std::string& token, const std::function<void()>& respond) override;

    // The notifications' sounds, for servers that play none; declared before
    // the session, which stops them when it goes.
    CanberraSound player_;
    freedesktop::NotificationSession session_;
};

} // namespace orvo::qt
