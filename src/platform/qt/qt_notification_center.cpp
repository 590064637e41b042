#include "platform/qt/qt_notification_center.h"

#include "platform/qt/qt_application.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMetaType>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <limits>
#include <memory>

namespace orvo::qt {

namespace {

// Bounds for state that a misbehaving server could otherwise grow without
// end: notifications it never reports as closed, and posts waiting for a
// capabilities answer that does not come. Both are far above what a day of
// calls produces.
constexpr std::size_t kMaxLiveNotifications = 256;
constexpr std::size_t kMaxWaitingPosts = 64;
// Actions on ids not known yet, kept while Notify replies are outstanding.
constexpr std::size_t kMaxEarlyActions = 16;
// libdbus's "no time-out".
constexpr int kNoReplyTimeout = std::numeric_limits<int>::max();

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QDBusMessage methodCall(const char* method) {
    return QDBusMessage::createMethodCall(qs(freedesktop::kServiceName), qs(freedesktop::kObjectPath),
                                          qs(freedesktop::kInterfaceName), QString::fromLatin1(method));
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
        map.insert(QStringLiteral("category"), qs(hints.category));
    if (!hints.soundName.empty())
        map.insert(QStringLiteral("sound-name"), qs(hints.soundName));
    if (!hints.desktopEntry.empty())
        map.insert(QStringLiteral("desktop-entry"), qs(hints.desktopEntry));
    if (hints.suppressSound)
        map.insert(QStringLiteral("suppress-sound"), true);
    return map;
}

} // namespace

QtNotificationCenter::QtNotificationCenter(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = qs(freedesktop::kServiceName);
    const QString path = qs(freedesktop::kObjectPath);
    const QString interface = qs(freedesktop::kInterfaceName);
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
    delegate_ = delegate;
}

// The freedesktop service has no authorization step; the closest thing is
// learning what the server can show, which the posts need.
void QtNotificationCenter::requestAuthorization() {
    queryServer();
}

void QtNotificationCenter::setNotificationCategories(const std::vector<NotificationCategory>& categories) {
    categories_ = categories;
}

void QtNotificationCenter::addNotificationRequest(const NotificationRequest& request) {
    if (capabilitiesKnown_) {
        sendNotify(request);
        return;
    }
    if (waiting_.size() >= kMaxWaitingPosts) {
        // Room for a call is made at the expense of the oldest ordinary post.
        const auto ordinary =
            std::find_if(waiting_.begin(), waiting_.end(),
                         [](const NotificationRequest& r) { return !freedesktop::isCallNotification(r); });
        if (!freedesktop::isCallNotification(request) || ordinary == waiting_.end())
            return;
        waiting_.erase(ordinary);
    }
    waiting_.push_back(request);
    queryServer();
}

void QtNotificationCenter::queryServer() {
    if (capabilitiesPending_)
        return;
    capabilitiesPending_ = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    const unsigned generation = generation_;

    auto* capabilities = new QDBusPendingCallWatcher(bus.asyncCall(methodCall("GetCapabilities")), this);
    connect(capabilities, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* watcher) {
                watcher->deleteLater();
                guarded("reading the server's capabilities", [&] {
                    // An answer from a server that has since been replaced
                    // says nothing about the current one.
                    if (generation == generation_)
                        onCapabilitiesReply(watcher);
                });
            });
}

void QtNotificationCenter::onCapabilitiesReply(QDBusPendingCallWatcher* watcher) {
    capabilitiesPending_ = false;
    const QDBusPendingReply<QStringList> reply = *watcher;
    capabilities_.clear();
    if (reply.isError()) {
        // No server, or one that does not answer. The waiting posts still go
        // out, in the plainest shape; the next post asks again.
        capabilitiesKnown_ = false;
    } else {
        for (const QString& capability : reply.value())
            capabilities_.push_back(capability.toStdString());
        capabilitiesKnown_ = true;
    }
    std::vector<NotificationRequest> waiting;
    waiting.swap(waiting_);
    for (const NotificationRequest& request : waiting)
        sendNotify(request);
}

void QtNotificationCenter::sendNotify(const NotificationRequest& request) {
    Posted posted{request, freedesktop::notifyArguments(request, categories_, capabilities_, desktopEntry())};
    const freedesktop::NotifyArguments& args = posted.arguments;
    sounds_.posted(request, capabilities_);

    QStringList actions;
    for (const std::string& item : args.actions)
        actions.append(qs(item));
    if (freedesktop::isCallNotification(request) && actions.isEmpty())
        qCDebug(loggingCategory(DiagnosticTopic::notifications))
            << "a call posted without Answer and Decline: the server"
            << (capabilitiesKnown_ ? "shows no actions" : "did not tell what it shows");

    QDBusMessage message = methodCall("Notify");
    message << qs(args.appName) << static_cast<uint>(args.replacesId) << qs(args.appIcon) << qs(args.summary)
            << qs(args.body) << actions << hintsMap(args.hints) << static_cast<int>(args.expireTimeout);

    const unsigned generation = generation_;
    // No time-out: a server that stalls still shows the notification when it
    // goes on, and the user's Answer on it must then find its id. A reply
    // that comes after a time-out would be dropped, and with it the call.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, kNoReplyTimeout), this);
    ++outstandingNotifies_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation, posted = std::move(posted)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                guarded("reading a Notify reply", [&] {
                    if (outstandingNotifies_ > 0)
                        --outstandingNotifies_;
                    // An id handed out by a server that has gone since could
                    // belong to another application's notification now.
                    if (generation == generation_)
                        onNotifyReply(w, posted);
                    if (outstandingNotifies_ == 0)
                        earlyActions_.clear();
                });
            });
}

void QtNotificationCenter::onNotifyReply(QDBusPendingCallWatcher* watcher, const Posted& posted) {
    const QDBusPendingReply<uint> reply = *watcher;
    // A refused post is dropped: the shell neither retries nor reports it.
    if (reply.isError()) {
        qCDebug(loggingCategory(DiagnosticTopic::notifications))
            << "the server refused a notification:" << reply.error().message();
        return;
    }
    const uint id = reply.value();
    remember(id, posted);
    // The user may have acted on it before its id came back to us.
    std::vector<QString> keys;
    for (auto it = earlyActions_.begin(); it != earlyActions_.end();) {
        if (it->first == id) {
            keys.push_back(it->second);
            it = earlyActions_.erase(it);
        } else {
            ++it;
        }
    }
    for (const QString& key : keys)
        handleAction(id, key);
}

void QtNotificationCenter::remember(uint id, const Posted& posted) {
    posted_.insert_or_assign(id, posted);
    // Servers count ids upwards, so the smallest is the oldest.
    while (posted_.size() > kMaxLiveNotifications)
        posted_.erase(posted_.begin());
}

void QtNotificationCenter::closeNotification(uint id) {
    QDBusMessage message = methodCall("CloseNotification");
    message << id;
    // The reply carries nothing the shell needs; without a watcher it is
    // discarded when it arrives.
    QDBusConnection::sessionBus().asyncCall(message);
}

void QtNotificationCenter::onActionInvoked(const QDBusMessage& message) {
    guarded("handling a notification action", [&] {
        const auto signal = idAndText(message);
        if (!signal) {
            qCDebug(loggingCategory(DiagnosticTopic::notifications))
                << "ActionInvoked ignored: not (id, key) but" << message.signature();
            return;
        }
        const auto& [id, key] = *signal;
        if (posted_.find(id) == posted_.end()) {
            qCDebug(loggingCategory(DiagnosticTopic::notifications))
                << "action for notification" << id << "held or ignored: not one of ours, or settled";
            // Perhaps ours, with its Notify reply still on the way: kept
            // until the replies are in. Otherwise another application's, or
            // one already settled.
            if (outstandingNotifies_ > 0) {
                if (earlyActions_.size() >= kMaxEarlyActions)
                    earlyActions_.pop_front();
                earlyActions_.emplace_back(id, key);
            }
            return;
        }
        handleAction(id, key);
    });
}

void QtNotificationCenter::handleAction(uint id, const QString& actionKey) {
    const auto found = posted_.find(id);
    if (found == posted_.end())
        return;
    const std::string key = actionKey.toStdString();
    // A key the notification was not posted with (Answer on an ordinary
    // notification, say) comes from a confused or hostile server.
    if (!freedesktop::offersAction(found->second.arguments, key)) {
        qCDebug(loggingCategory(DiagnosticTopic::notifications))
            << "action" << actionKey.left(80) << "ignored: notification" << id << "did not offer it";
        return;
    }
    sounds_.answered(found->second.request.identifier);
    const bool close = freedesktop::closesAfterAction(found->second.arguments, key);
    if (close) {
        // Settled: a second click on the same notification must not act
        // again while the server is still taking it away.
        posted_.erase(found);
    }

    QString token;
    if (auto t = activationTokens_.find(id); t != activationTokens_.end()) {
        token = t->second;
        activationTokens_.erase(t);
    }
    if (delegate_) {
        const ActivationTokenScope tokenScope(token);
        // The delegate promises exactly one call of the completion. The
        // centre has nothing to do in it, so a missing call costs nothing;
        // a repeated one is a fault of the caller.
        auto calls = std::make_shared<int>(0);
        guarded("completing a notification response", [&] {
            delegate_->didReceiveNotificationResponse(freedesktop::actionIdentifierForKey(key),
                                                      [calls] { ++*calls; });
            Q_ASSERT(*calls <= 1);
        });
    }
    if (close)
        closeNotification(id);
}

void QtNotificationCenter::onActivationToken(const QDBusMessage& message) {
    guarded("taking an activation token", [&] {
        const auto signal = idAndText(message);
        if (!signal)
            return;
        const auto& [id, token] = *signal;
        // Only for a notification of ours, and one token each: the map can
        // grow no larger than the notifications on screen.
        if (posted_.count(id) == 0 || token.size() > 1024)
            return;
        activationTokens_.insert_or_assign(id, token);
    });
}

void QtNotificationCenter::onNotificationClosed(const QDBusMessage& message) {
    guarded("handling a closed notification", [&] {
        const QVariantList args = message.arguments();
        if (args.size() != 2 || !hasType(args[0], QMetaType::UInt) || !hasType(args[1], QMetaType::UInt))
            return;
        // A dismissal is not a response the shell acts on; its sound stops,
        // and the notification is forgotten.
        if (const auto found = posted_.find(args[0].toUInt()); found != posted_.end()) {
            sounds_.closed(found->second.request.identifier);
            posted_.erase(found);
        }
        activationTokens_.erase(args[0].toUInt());
    });
}

void QtNotificationCenter::onServiceOwnerChanged(const QString&, const QString& oldOwner,
                                                 const QString& newOwner) {
    guarded("following the notification server", [&] {
        // A new (or no) server: its ids and capabilities are not the old
        // one's. Answers still outstanding from the old one are ignored.
        ++generation_;
        // The old server's notifications went with it, and so do their sounds.
        if (!oldOwner.isEmpty())
            sounds_.serverGone();
        posted_.clear();
        activationTokens_.clear();
        earlyActions_.clear();
        capabilitiesKnown_ = false;
        capabilitiesPending_ = false;
        capabilities_.clear();
        if (!newOwner.isEmpty() || !waiting_.empty())
            queryServer();
    });
}

} // namespace orvo::qt
