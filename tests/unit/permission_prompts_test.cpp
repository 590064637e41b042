#include "app/permission_prompts.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace orvo {
namespace {

using T = MediaCaptureType;
using Log = std::vector<std::string>;

struct FakePromptView : PermissionPromptView {
    explicit FakePromptView(Log& log) : log(log) {}
    void showPrompt(const std::string& question) override { log.push_back("show " + question); }
    void closePrompt() override { log.push_back("close"); }
    void answer(PermissionRequestId id, bool granted) override {
        log.push_back("answer " + std::to_string(id) + (granted ? " yes" : " no"));
    }
    void drop(PermissionRequestId id) override { log.push_back("drop " + std::to_string(id)); }
    Log& log;
};

// The page's side, for the origins "https://a", "https://b" and so on, and the user's.
struct Page {
    explicit Page(Log& log) : view(log) {}
    Page& ask(PermissionRequestId id, const std::string& host, T type,
              PermissionDecision policy = PermissionDecision::prompt) {
        prompts.requested({id, "https://" + host, {"https://" + host + "/", "https", host}, false, type},
                          policy);
        return *this;
    }
    Page& documents(const std::string& host, std::initializer_list<bool> presence) {
        for (bool present : presence)
            prompts.documentPresence("https://" + host, present);
        return *this;
    }
    // The user answers the prompt shown, and it goes from the screen.
    Page& user(bool granted) {
        prompts.userAnswered(granted);
        prompts.showNext();
        return *this;
    }
    FakePromptView view;
    PermissionPrompts prompts{view};
};

TEST(PermissionPrompts, OneAtATimeRememberedUntilTheDocumentsGo) {
    struct Row {
        const char* name;
        std::function<void(Page&)> steps;
        Log log;
    };
    const std::string camA = "show a wants to use your camera", camB = "show b wants to use your camera";
    const Row rows[] = {
        {"remembered answer reused without a prompt, per origin",
         [](Page& p) { p.ask(1, "a", T::camera).user(false).ask(2, "a", T::camera).ask(3, "b", T::camera); },
         {camA, "answer 1 no", "answer 2 no", camB}},
        {"policy answers at once, even behind a prompt",
         [](Page& p) { p.ask(1, "a", T::camera).ask(2, "b", T::microphone, PermissionDecision::grant); },
         {camA, "answer 2 yes"}},
        {"screen capture asked every time, naming what was picked",
         [](Page& p) {
             p.prompts.capturePicked(CaptureSource{true, "Notes"});
             p.ask(1, "a", T::screen).prompts.capturePicked(CaptureSource{false, "HDMI"});
             p.ask(2, "a", T::screen).user(true).user(true).ask(3, "a", T::screen);
         },
         {"show a wants to share the window \u201cNotes\u201d", "answer 1 yes",
          "show a wants to share the screen \u201cHDMI\u201d", "answer 2 yes",
          "show a wants to share your whole screen"}},
        {"repeat of the shown or a waiting request: one prompt, both answered",
         [](Page& p) {
             p.ask(1, "a", T::camera).ask(2, "b", T::camera).ask(3, "a", T::camera).ask(4, "b", T::camera);
             p.user(false).user(true);
         },
         {camA, "answer 1 no", "answer 3 no", camB, "answer 2 yes", "answer 4 yes"}},
        {"queue in order, the next only once the answered one has gone",
         [](Page& p) {
             p.ask(1, "a", T::camera).ask(2, "a", T::microphone).ask(3, "b", T::camera);
             p.prompts.showNext();
             p.prompts.userAnswered(true);
             p.ask(4, "c", T::camera, PermissionDecision::deny).prompts.showNext();
             p.user(true);
         },
         {camA, "answer 1 yes", "answer 4 no", "show a wants to use your microphone", "answer 2 yes", camB}},
        {"shown prompt withdrawn: closed, the next shown, nothing remembered",
         [](Page& p) {
             p.ask(1, "a", T::camera).ask(2, "b", T::camera).documents("a", {true, false});
             p.user(true).ask(3, "a", T::camera).user(true);
         },
         {camA, "drop 1", "close", camB, "answer 2 yes", camA, "answer 3 yes"}},
        {"waiting prompts withdrawn, the shown one stays",
         [](Page& p) {
             p.ask(1, "a", T::camera).ask(2, "b", T::camera).ask(3, "b", T::microphone);
             p.documents("b", {true, false}).user(true);
         },
         {camA, "drop 2", "drop 3", "answer 1 yes"}},
        {"two documents, one leaves: nothing withdrawn; the last leaves: withdrawn, a late answer ignored",
         [](Page& p) {
             p.documents("a", {true, true}).ask(1, "a", T::camera).documents("a", {false}).user(true);
             p.ask(2, "a", T::microphone).documents("b", {true, false}).documents("a", {false}).user(true);
         },
         {camA, "answer 1 yes", "show a wants to use your microphone", "drop 2", "close"}},
        {"engine withdraws one request by origin and device",
         [](Page& p) {
             p.ask(1, "a", T::camera).ask(2, "a", T::microphone);
             p.prompts.withdrawn("https://a", T::microphone);
             p.prompts.withdrawn("https://a", T::camera);
         },
         {camA, "drop 2", "drop 1", "close"}},
        {"teardown with requests pending answers none",
         [](Page& p) { p.ask(1, "a", T::camera).ask(2, "a", T::camera).ask(3, "b", T::camera); },
         {camA}},
    };
    for (const Row& row : rows) {
        Log log;
        // The page goes before its log is read: teardown must answer nothing.
        row.steps(*std::make_unique<Page>(log));
        EXPECT_EQ(log, row.log) << row.name;
    }
}

} // namespace
} // namespace orvo
