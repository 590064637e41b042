#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvo {

// The engine's request, as the backend keeps it; the core only hands it back.
using PermissionRequestId = std::uint64_t;

struct PermissionRequest {
    PermissionRequestId id = 0;
    // One spelling of the asking origin, the same for its requests and its documents.
    std::string originKey;
    // The origin as the prompt names it (see permissionQuestion).
    Url origin;
    bool hasPort = false;
    MediaCaptureType type = MediaCaptureType::camera;
};

// What the prompts ask of the backend.
class PermissionPromptView {
public:
    virtual ~PermissionPromptView() = default;
    // Puts up the one prompt; the backend reports its end through userAnswered.
    virtual void showPrompt(const std::string& question) = 0;
    // Takes the prompt down unanswered.
    virtual void closePrompt() = 0;
    virtual void answer(PermissionRequestId id, bool granted) = 0;
    // Forgets a request left unanswered: the engine withdrew it, or its origin has no documents left.
    virtual void drop(PermissionRequestId id) = 0;
};

// The media permission requests of one web view that the policy leaves to the
// user: one prompt at a time, the others waiting in order. The user's answers
// hold for this run, except for a screen capture, since each may share
// something else. When the last document of an origin goes, its prompts go
// unanswered and unremembered, as the engine does not withdraw them itself.
// Destroyed with requests pending, it answers none: they go with the page.
class PermissionPrompts {
public:
    explicit PermissionPrompts(PermissionPromptView& view) : view_(view) {}

    // A media request, with the policy's decision for it.
    void requested(const PermissionRequest& request, PermissionDecision policy);
    // What the user picked from the engine's list for the screen capture
    // request that follows; nothing when the list was dropped.
    void capturePicked(std::optional<CaptureSource> source) { picked_ = std::move(source); }
    // A document of the origin came or went.
    void documentPresence(const std::string& originKey, bool present);
    // The engine withdrew its request.
    void withdrawn(const std::string& originKey, MediaCaptureType type);
    // The prompt shown was answered; closing it any other way denies.
    void userAnswered(bool granted);
    // Shows the next prompt unless one is shown. The backend calls it once an
    // answered prompt has gone from the screen.
    void showNext();

private:
    using Key = std::pair<std::string, MediaCaptureType>;
    struct Pending {
        Key key;
        std::string question;
        // The request and any that repeated it while it was pending.
        std::vector<PermissionRequestId> ids;
    };
    void withdraw(const std::function<bool(const Key&)>& withdrawn);

    PermissionPromptView& view_;
    std::map<Key, bool> answers_;
    std::optional<Pending> shown_;
    std::deque<Pending> waiting_;
    std::optional<CaptureSource> picked_;
    // How many documents of each origin the page holds.
    std::map<std::string, int> documents_;
};

} // namespace orvo
