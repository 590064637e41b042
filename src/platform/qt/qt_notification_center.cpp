#include "platform/qt/qt_notification_center.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_conversions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMetaType>
#include <QStringList>
#include <QVariantMap>

#include <limits>
#include <optional>
#include <utility>

namespace orvo::qt {

namespace {

// libdbus's "no time-out".
constexpr int kNoReplyTimeout = std::numeric_limits<int>::max();

QDBusMessage methodCall(const char* method) {
    return QDBusMessage::createMethodCall(
        toQString(freedesktop::kServiceName), toQString(freedesktop::kObjectPath),
        toQString(freedesktop::kInterfaceName), QString::fromLatin1(method));
}

bool hasType(const QVariant& value, QMetaType::Type type) {
    return value.metaType().id() == type;
}

// The notification id and the text of a server signal that carries exactly
// (uint32 id, string text): ActionInvoked and ActivationToken.
std::optional<std::pair<uint, QString>> idAndText(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() != 2 || !hasType(args[0], QMetaType::UInt) || !hasType(args[1], QMetaType::QString))
        return std::nullopt;
    return std::pair{args[0].toUInt(), args[1].toString()};
}

std::string desktopEntry() {
    const QString name = QGuiApplication::desktopFileName();
    return name.isEmpty() ? std::string("orvo") : name.toStdString();
}

QVariantMap hintsMap(const freedesktop::NotifyHints& hints) {
    QVariantMap map;
    // A byte, not an int: servers read an urgency of any other type as normal.
    map.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(static_cast<uchar>(hints.urgency)));
    if (!hints.category.empty())
        map.insert(QStringLiteral("category"), toQString(hints.category));
    if (!hints.soundName.empty())
        map.insert(QStringLiteral("sound-name"), toQString(hints.soundName));
    if (!hints.desktopEntry.empty())
        map.insert(QStringLiteral("desktop-entry"), toQString(hints.desktopEntry));
    if (hints.suppressSound)
        map.insert(QStringLiteral("suppress-sound"), true);
    return map;
}

} // namespace

QtNotificationCenter::QtNotificationCenter(QObject* parent)
    : QObject(parent), session_(*this, player_, desktopEntry()) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = toQString(freedesktop::kServiceName);
    const QString path = toQString(freedesktop::kObjectPath);
    const QString interface = toQString(freedesktop::kInterfaceName);
    // Subscribed before the first Notify, so no response can slip past. The
    // slots take the raw message and check the argument types themselves.
    bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(QDBusMessage)));
    bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(QDBusMessage)));
    // Servers that speak version 1.2 send the desktop's proof of the user's
    // click right before the action, so that the window may take the focus.
    bus.connect(service, path, interface, QStringLiteral("ActivationToken"), this,
                SLOT(onActivationToken(QDBusMessage)));

    auto* watcher = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &QtNotificationCenter::onServiceOwnerChanged);
}

QtNotificationCenter::~QtNotificationCenter() = default;

void QtNotificationCenter::setDelegate(NotificationCenterDelegate* delegate) {
    session_.setDelegate(delegate);
}

// The freedesktop service has no authorization step; the closest thing is
// learning what the server can show, which the posts need.
void QtNotificationCenter::requestAuthorization() {
    session_.queryServer();
}

void QtNotificationCenter::setNotificationCategories(const std::vector<NotificationCategory>& categories) {
    session_.setCategories(categories);
}

void QtNotificationCenter::addNotificationRequest(const NotificationRequest& request) {
    session_.post(request);
}

void QtNotificationCenter::getCapabilities(freedesktop::Ticket ticket) {
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(methodCall("GetCapabilities")), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, ticket](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        guarded("reading the server's capabilities", [&] {
            const QDBusPendingReply<QStringList> reply = *w;
            if (reply.isError()) {
                session_.capabilitiesReplied(ticket, std::nullopt);
                return;
            }
            std::vector<std::string> capabilities;
            for (const QString& capability : reply.value())
                capabilities.push_back(capability.toStdString());
            session_.capabilitiesReplied(ticket, std::move(capabilities));
        });
    });
}

void QtNotificationCenter::notify(const freedesktop::NotifyArguments& args, freedesktop::Ticket ticket) {
    QStringList actions;
    for (const std::string& item : args.actions)
        actions.append(toQString(item));
    QDBusMessage message = methodCall("Notify");
    message << toQString(args.appName) << static_cast<uint>(args.replacesId) << toQString(args.appIcon)
            << toQString(args.summary) << toQString(args.body) << actions << hintsMap(args.hints)
            << static_cast<int>(args.expireTimeout);

    // No time-out: a server that stalls still shows the notification when it
    // goes on, and the user's Answer on it must then find its id. A reply
    // that comes after a time-out would be dropped, and with it the call.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, kNoReplyTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, ticket](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        guarded("reading a Notify reply", [&] {
            const QDBusPendingReply<uint> reply = *w;
            if (reply.isError())
                session_.notifyFailed(ticket, reply.error().message().toStdString());
            else
                session_.notifyReplied(ticket, reply.value());
        });
    });
}

void QtNotificationCenter::closeNotification(std::uint32_t id) {
    QDBusMessage message = methodCall("CloseNotification");
    message << static_cast<uint>(id);
    // The reply carries nothing the shell needs; without a watcher it is
    // discarded when it arrives.
    QDBusConnection::sessionBus().asyncCall(message);
}

void QtNotificationCenter::withActivationToken(const std::string& token,
                                               const std::function<void()>& respond) {
    const ActivationTokenScope tokenScope(QString::fromStdString(token));
    guarded("completing a notification response", respond);
}

void QtNotificationCenter::onActionInvoked(const QDBusMessage& message) {
    guarded("handling a notification action", [&] {
        const auto signal = idAndText(message);
        if (!signal) {
            qCDebug(loggingCategory(DiagnosticTopic::notifications))
                << "ActionInvoked ignored: not (id, key) but" << message.signature();
            return;
        }
        session_.actionInvoked(signal->first, signal->second.toStdString());
    });
}

void QtNotificationCenter::onActivationToken(const QDBusMessage& message) {
    guarded("taking an activation token", [&] {
        if (const auto signal = idAndText(message))
            session_.activationToken(signal->first, signal->second.toStdString());
    });
}

void QtNotificationCenter::onNotificationClosed(const QDBusMessage& message) {
    guarded("handling a closed notification", [&] {
        const QVariantList args = message.arguments();
        if (args.size() != 2 || !hasType(args[0], QMetaType::UInt) || !hasType(args[1], QMetaType::UInt))
            return;
        session_.notificationClosed(args[0].toUInt());
    });
}

void QtNotificationCenter::onServiceOwnerChanged(const QString&, const QString& oldOwner,
                                                 const QString& newOwner) {
    guarded("following the notification server",
            [&] { session_.serverChanged(!oldOwner.isEmpty(), !newOwner.isEmpty()); });
}

} // namespace orvo::qt
