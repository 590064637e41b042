// ORVO's side of the conversation with the freedesktop notification server:
// which posts wait for the server's capabilities, which ids are ours, which
// actions count, and what a replaced server takes with it. The backend only
// carries the calls and signals over the bus.
#pragma once

#include "notifications/freedesktop.h"
#include "notifications/notification_sounds.h"
#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvo::freedesktop {

// Names one bus call; its reply comes back with it, so that the session can
// tell which post an id belongs to and whether the server that answers is
// still the one it asked.
enum class Ticket : std::uint64_t {};

// What the session needs of the bus. Every call returns at once; a reply, if
// any, comes later to the session's `capabilitiesReplied`, `notifyReplied` or
// `notifyFailed` with the call's ticket.
class NotificationBus {
public:
    virtual ~NotificationBus() = default;
    virtual void getCapabilities(Ticket ticket) = 0;
    virtual void notify(const NotifyArguments& arguments, Ticket ticket) = 0;
    // The reply carries nothing the session needs.
    virtual void closeNotification(std::uint32_t id) = 0;
    // Runs `respond` with the desktop's proof of the user's click (empty:
    // none) on offer to the window activations made during it, and only then.
    virtual void withActivationToken(const std::string& token, const std::function<void()>& respond) = 0;
};

class NotificationSession {
public:
    // `desktopEntry` is the application's desktop file name without ".desktop".
    NotificationSession(NotificationBus& bus, SoundPlayer& player, std::string desktopEntry);
    NotificationSession(const NotificationSession&) = delete;
    NotificationSession& operator=(const NotificationSession&) = delete;

    // What the notification centre is asked.
    void setDelegate(NotificationCenterDelegate* delegate) { delegate_ = delegate; }
    void setCategories(const std::vector<NotificationCategory>& categories) { categories_ = categories; }
    // Learns what the server can show, unless a question is already out.
    void queryServer();
    void post(const NotificationRequest& request);

    // The replies: the capabilities (none when the call failed), and the id
    // of a posted notification or why the server refused it.
    void capabilitiesReplied(Ticket ticket, std::optional<std::vector<std::string>> capabilities);
    void notifyReplied(Ticket ticket, std::uint32_t id);
    void notifyFailed(Ticket ticket, std::string_view error);

    // The server's signals, and its name changing owner.
    void actionInvoked(std::uint32_t id, const std::string& key);
    void activationToken(std::uint32_t id, const std::string& token);
    void notificationClosed(std::uint32_t id);
    void serverChanged(bool hadOwner, bool hasOwner);

private:
    // A notification the server shows for us, kept until it is closed.
    struct Posted {
        NotificationRequest request;
        NotifyArguments arguments;
    };

    Ticket nextTicket();
    void sendNotify(const NotificationRequest& request);
    // Sends waiting posts, in order, as far as the calls out at once allow.
    void sendWaiting();
    // After a Notify reply or refusal: what waited on it goes on.
    void notifyAnswered();
    void handleAction(std::uint32_t id, const std::string& key);

    NotificationBus& bus_;
    const std::string desktopEntry_;
    NotificationCenterDelegate* delegate_ = nullptr;
    std::vector<NotificationCategory> categories_;
    // The notifications' sounds, for servers that play none.
    NotificationSounds sounds_;

    std::uint64_t lastTicket_ = 0;
    // What the server can do. Until its first answer, posts wait in
    // `waiting_`, so that no notification goes out in a shape the server
    // cannot show (or turns into a dialog); so do posts beyond the Notify
    // calls that may be out at once.
    std::vector<std::string> capabilities_;
    bool capabilitiesKnown_ = false;
    std::optional<Ticket> capabilitiesQuestion_;
    std::deque<NotificationRequest> waiting_;

    std::map<std::uint32_t, Posted> posted_;
    // The activation token the server sent for a notification, just before
    // the action it belongs to.
    std::map<std::uint32_t, std::string> activationTokens_;
    // Notify calls whose reply has not come yet. A server change in between
    // makes their ids meaningless: their posts are then forgotten (nullopt),
    // but the calls still count as outstanding until they are answered.
    std::map<Ticket, std::optional<Posted>> outstanding_;
    // Actions that arrived meanwhile for ids not known yet.
    std::deque<std::pair<std::uint32_t, std::string>> earlyActions_;
};

} // namespace orvo::freedesktop
