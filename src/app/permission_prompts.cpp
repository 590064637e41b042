#include "app/permission_prompts.h"

#include "app/web_view_policies.h"

#include <algorithm>

namespace orvo {

void PermissionPrompts::requested(const PermissionRequest& request, PermissionDecision policy) {
    std::optional<CaptureSource> source;
    if (request.type == MediaCaptureType::screen)
        source = std::exchange(picked_, std::nullopt);
    if (policy != PermissionDecision::prompt) {
        view_.answer(request.id, policy == PermissionDecision::grant);
        return;
    }
    Pending pending{{request.originKey, request.type},
                    permissionQuestion(request.origin, request.hasPort, request.type, source),
                    {request.id}};
    if (auto known = answers_.find(pending.key); known != answers_.end()) {
        view_.answer(request.id, known->second);
        return;
    }
    // A request that repeats one asked or waiting (for a screen, with the same
    // pick) is answered with it.
    const auto same = [&](const Pending& p) {
        return p.key == pending.key && p.question == pending.question;
    };
    if (shown_ && same(*shown_)) {
        shown_->ids.push_back(request.id);
        return;
    }
    if (auto repeated = std::ranges::find_if(waiting_, same); repeated != waiting_.end()) {
        repeated->ids.push_back(request.id);
        return;
    }
    waiting_.push_back(std::move(pending));
    showNext();
}

void PermissionPrompts::documentPresence(const std::string& originKey, bool present) {
    int& count = documents_[originKey];
    count = std::max(0, count + (present ? 1 : -1));
    if (count > 0)
        return;
    documents_.erase(originKey);
    if (!present)
        withdraw([&](const Key& key) { return key.first == originKey; });
}

void PermissionPrompts::withdrawn(const std::string& originKey, MediaCaptureType type) {
    withdraw([&](const Key& key) { return key == Key{originKey, type}; });
}

void PermissionPrompts::withdraw(const std::function<bool(const Key&)>& withdrawn) {
    std::vector<PermissionRequestId> dropped;
    const auto take = [&](const Pending& p) {
        dropped.insert(dropped.end(), p.ids.begin(), p.ids.end());
        return true;
    };
    std::erase_if(waiting_, [&](const Pending& p) { return withdrawn(p.key) && take(p); });
    const bool closing = shown_ && withdrawn(shown_->key) && take(*shown_);
    if (closing)
        shown_.reset();
    for (PermissionRequestId id : dropped)
        view_.drop(id);
    if (closing) {
        view_.closePrompt();
        showNext();
    }
}

void PermissionPrompts::userAnswered(bool granted) {
    if (!shown_)
        return;
    const Pending answered = std::move(*std::exchange(shown_, std::nullopt));
    // A screen is shared only on a fresh answer, as each request may share something else.
    if (answered.key.second != MediaCaptureType::screen)
        answers_[answered.key] = granted;
    for (PermissionRequestId id : answered.ids)
        view_.answer(id, granted);
}

void PermissionPrompts::showNext() {
    if (shown_ || waiting_.empty())
        return;
    shown_ = std::move(waiting_.front());
    waiting_.pop_front();
    view_.showPrompt(shown_->question);
}

} // namespace orvo
