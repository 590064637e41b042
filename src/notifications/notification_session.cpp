#include "notifications/notification_session.h"

#include "platform/diagnostics.h"

#include <algorithm>
#include <cassert>
#include <memory>

namespace orvo::freedesktop {

namespace {

// Bounds for state that a misbehaving server could otherwise grow without
// end: notifications it never reports as closed, and posts waiting for a
// capabilities answer or a Notify reply that does not come. Both are far
// above what a day of calls produces.
constexpr std::size_t kMaxLiveNotifications = 256;
constexpr std::size_t kMaxWaitingPosts = 256;
// Notify calls out at once. A bus holds only so many unanswered calls of one
// connection and refuses the rest (a dbus-daemon without the usual session
// limits does so within a burst of a hundred or two), which would lose a call
// that a page posts among many while the server is slow; past this many,
// posts wait for replies instead.
constexpr std::size_t kMaxNotifiesInFlight = 32;
// Actions on ids not known yet, kept while Notify replies are outstanding.
constexpr std::size_t kMaxEarlyActions = 16;
// Real activation tokens are a few dozen characters; anything longer is not one.
constexpr std::size_t kMaxActivationToken = 1024;

} // namespace

NotificationSession::NotificationSession(NotificationBus& bus, SoundPlayer& player, std::string desktopEntry)
    : bus_(bus), desktopEntry_(std::move(desktopEntry)), sounds_(player) {}

Ticket NotificationSession::nextTicket() {
    return Ticket{++lastTicket_};
}

void NotificationSession::post(const NotificationRequest& request) {
    // Posts go out in order: behind the ones already waiting.
    if (capabilitiesKnown_ && waiting_.empty() && outstanding_.size() < kMaxNotifiesInFlight) {
        sendNotify(request);
        return;
    }
    if (waiting_.size() >= kMaxWaitingPosts) {
        // Room for a call is made at the expense of the oldest ordinary post.
        const auto ordinary =
            std::find_if(waiting_.begin(), waiting_.end(),
                         [](const NotificationRequest& r) { return !isCallNotification(r); });
        const bool call = isCallNotification(request);
        explain(DiagnosticTopic::notifications, [&] {
            const std::string what = !call ? "a notification dropped"
                                     : ordinary != waiting_.end()
                                         ? "the oldest ordinary notification dropped for a call"
                                         : "a call dropped";
            return what + ": " + std::to_string(kMaxWaitingPosts) + " posts wait for the server already";
        });
        if (!call || ordinary == waiting_.end())
            return;
        waiting_.erase(ordinary);
    }
    waiting_.push_back(request);
    if (!capabilitiesKnown_)
        queryServer();
}

void NotificationSession::sendWaiting() {
    while (!waiting_.empty() && outstanding_.size() < kMaxNotifiesInFlight) {
        const NotificationRequest request = std::move(waiting_.front());
        waiting_.pop_front();
        sendNotify(request);
    }
}

void NotificationSession::queryServer() {
    if (capabilitiesQuestion_)
        return;
    capabilitiesQuestion_ = nextTicket();
    bus_.getCapabilities(*capabilitiesQuestion_);
}

void NotificationSession::capabilitiesReplied(Ticket ticket,
                                              std::optional<std::vector<std::string>> capabilities) {
    // An answer from a server that has since been replaced says nothing
    // about the current one.
    if (ticket != capabilitiesQuestion_)
        return;
    capabilitiesQuestion_.reset();
    // No server, or one that does not answer: the waiting posts still go
    // out, in the plainest shape, and the next post asks again.
    capabilitiesKnown_ = capabilities.has_value();
    capabilities_ = capabilities ? std::move(*capabilities) : std::vector<std::string>{};
    sendWaiting();
}

void NotificationSession::sendNotify(const NotificationRequest& request) {
    Posted posted{request, notifyArguments(request, categories_, capabilities_, desktopEntry_)};
    sounds_.posted(request, capabilities_);
    if (isCallNotification(request) && posted.arguments.actions.empty()) {
        explain(DiagnosticTopic::notifications, [&] {
            return std::string("a call posted without Answer and Decline: the server ") +
                   (capabilitiesKnown_ ? "shows no actions" : "did not tell what it shows");
        });
    }
    const Ticket ticket = nextTicket();
    const NotifyArguments arguments = posted.arguments;
    outstanding_.emplace(ticket, std::move(posted));
    bus_.notify(arguments, ticket);
}

void NotificationSession::notifyReplied(Ticket ticket, std::uint32_t id) {
    const auto found = outstanding_.find(ticket);
    if (found == outstanding_.end())
        return;
    std::optional<Posted> posted = std::move(found->second);
    outstanding_.erase(found);
    // An id handed out by a server that has gone since could belong to
    // another application's notification now.
    if (posted) {
        posted_.insert_or_assign(id, std::move(*posted));
        // Servers count ids upwards, so the smallest is the oldest. Its token
        // goes with it, or tokens would outgrow the notifications kept.
        while (posted_.size() > kMaxLiveNotifications) {
            activationTokens_.erase(posted_.begin()->first);
            posted_.erase(posted_.begin());
        }
        // The user may have acted on it before its id came back to us.
        std::vector<std::string> keys;
        for (auto it = earlyActions_.begin(); it != earlyActions_.end();) {
            if (it->first == id) {
                keys.push_back(std::move(it->second));
                it = earlyActions_.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& key : keys)
            handleAction(id, key);
    }
    notifyAnswered();
}

void NotificationSession::notifyAnswered() {
    // Early actions wait only while a reply may still claim them.
    if (outstanding_.empty())
        earlyActions_.clear();
    sendWaiting();
}

void NotificationSession::notifyFailed(Ticket ticket, std::string_view error) {
    const auto found = outstanding_.find(ticket);
    if (found == outstanding_.end())
        return;
    // A refused post is dropped: the shell neither retries nor reports it.
    if (found->second) {
        explain(DiagnosticTopic::notifications,
                [&] { return "the server refused a notification: " + std::string(error); });
    }
    outstanding_.erase(found);
    notifyAnswered();
}

void NotificationSession::actionInvoked(std::uint32_t id, const std::string& key) {
    if (posted_.find(id) != posted_.end()) {
        handleAction(id, key);
        return;
    }
    explain(DiagnosticTopic::notifications, [&] {
        return "action for notification " + std::to_string(id) +
               " held or ignored: not one of ours, or settled";
    });
    // Perhaps ours, with its Notify reply still on the way: kept until the
    // replies are in. Otherwise another application's, or one already
    // settled.
    if (!outstanding_.empty()) {
        if (earlyActions_.size() >= kMaxEarlyActions)
            earlyActions_.pop_front();
        earlyActions_.emplace_back(id, key);
    }
}

void NotificationSession::handleAction(std::uint32_t id, const std::string& key) {
    const auto found = posted_.find(id);
    if (found == posted_.end())
        return;
    // A key the notification was not posted with (Answer on an ordinary
    // notification, say) comes from a confused or hostile server.
    if (!offersAction(found->second.arguments, key)) {
        explain(DiagnosticTopic::notifications, [&] {
            return "action " + pageExcerpt(key) + " ignored: notification " + std::to_string(id) +
                   " did not offer it";
        });
        return;
    }
    sounds_.answered(found->second.request.identifier);
    const bool close = closesAfterAction(found->second.arguments, key);
    // Settled: a second click on the same notification must not act again
    // while the server is still taking it away.
    if (close)
        posted_.erase(found);

    std::string token;
    if (auto t = activationTokens_.find(id); t != activationTokens_.end()) {
        token = std::move(t->second);
        activationTokens_.erase(t);
    }
    if (delegate_) {
        NotificationCenterDelegate& delegate = *delegate_;
        bus_.withActivationToken(token, [&] {
            // The delegate promises exactly one call of the completion. The
            // session has nothing to do in it, so a missing call costs
            // nothing; a repeated one is a fault of the caller.
            auto calls = std::make_shared<int>(0);
            delegate.didReceiveNotificationResponse(actionIdentifierForKey(key), [calls] { ++*calls; });
            assert(*calls <= 1);
        });
    }
    if (close)
        bus_.closeNotification(id);
}

void NotificationSession::activationToken(std::uint32_t id, const std::string& token) {
    // Only for a notification of ours, and one token each: the map can grow
    // no larger than the notifications on screen.
    if (posted_.count(id) == 0 || token.size() > kMaxActivationToken)
        return;
    activationTokens_.insert_or_assign(id, token);
}

void NotificationSession::notificationClosed(std::uint32_t id) {
    // A dismissal is not a response the shell acts on; its sound stops, and
    // the notification is forgotten.
    if (const auto found = posted_.find(id); found != posted_.end()) {
        sounds_.closed(found->second.request.identifier);
        posted_.erase(found);
    }
    activationTokens_.erase(id);
}

void NotificationSession::serverChanged(bool hadOwner, bool hasOwner) {
    // A new (or no) server: its ids and capabilities are not the old one's.
    // Answers still outstanding from the old one are ignored.
    for (auto& [ticket, posted] : outstanding_)
        posted.reset();
    capabilitiesQuestion_.reset();
    // The old server's notifications went with it, and so do their sounds.
    if (hadOwner)
        sounds_.serverGone();
    posted_.clear();
    activationTokens_.clear();
    earlyActions_.clear();
    capabilitiesKnown_ = false;
    capabilities_.clear();
    if (hasOwner || !waiting_.empty())
        queryServer();
}

} // namespace orvo::freedesktop
