// Recording fakes of the platform. Every call the core makes is appended as a
// line of text to one log, so that a test can check the order across objects.
#pragma once

#include "platform/platform.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvo::testing {

using Log = std::vector<std::string>;

struct FakeWindow : Window {
    explicit FakeWindow(Log& log) : log(log) {}
    void setTitle(const std::string& title) override { log.push_back("title " + title); }
    void center() override { log.push_back("center"); }
    void setFrameAutosaveName(const std::string& name) override { log.push_back("autosave " + name); }
    Rect contentBounds() const override { return bounds; }
    void setContentView(WebView&) override { log.push_back("content"); }
    void show() override { log.push_back("front"); }
    Log& log;
    Rect bounds{0, 0, 1200, 800};
};

struct FakeWebView : WebView {
    explicit FakeWebView(Log& log) : log(log) {}
    void setPolicyDelegate(WebViewPolicyDelegate*) override {}
    void addScriptMessageHandler(ScriptMessageHandler&, const std::string&) override {}
    void addUserScript(const std::string&, UserScriptInjectionTime time, bool mainFrameOnly) override {
        log.push_back(std::string("script ") +
                      (time == UserScriptInjectionTime::atDocumentStart ? "start" : "end") +
                      (mainFrameOnly ? " main" : " all"));
    }
    void loadRequest(const Url& url, std::chrono::seconds timeout) override {
        log.push_back("load " + url.text + " " + std::to_string(timeout.count()));
    }
    void evaluateJavaScript(const std::string& script) override { log.push_back("evaluate " + script); }
    std::optional<Url> mainFrameUrl() const override { return url; }
    Log& log;
    std::optional<Url> url;
};

struct FakeStatusItem : StatusItem {
    explicit FakeStatusItem(Log& log) : log(log) {}
    bool setImage(const std::string&, const std::string&) override { return true; }
    void setToolTip(const std::string& text) override { log.push_back("tooltip " + (toolTip = text)); }
    void setMenu(std::vector<MenuItem>) override {}
    Log& log;
    std::string toolTip;
};

struct FakeSoundPlayer : SoundPlayer {
    explicit FakeSoundPlayer(Log& log) : log(log) {}
    void play(std::uint32_t id, const EventSound& sound) override {
        log.push_back("play " + std::to_string(id) + " " + sound.eventId + "|" + sound.description);
    }
    void cancel(std::uint32_t id) override { log.push_back("cancel " + std::to_string(id)); }
    Log& log;
};

// A timer the test fires by hand; `delay` is set while it runs.
struct FakeTimer : Timer {
    explicit FakeTimer(std::function<void()> action) : action(std::move(action)) {}
    void start(std::chrono::milliseconds d) override { delay = d; }
    void stop() override { delay.reset(); }
    bool isActive() const override { return delay.has_value(); }
    void fire() {
        if (std::exchange(delay, std::nullopt))
            action();
    }
    std::function<void()> action;
    std::optional<std::chrono::milliseconds> delay;
};

// The platform, the application, the workspace and the notification centre in one.
struct FakePlatform : Platform, Application, Workspace, NotificationCenter {
    Application& application() override { return *this; }
    Workspace& workspace() override { return *this; }
    NotificationCenter& notificationCenter() override { return *this; }
    void terminate() override { log.push_back("terminate"); }
    void bringToFront(ActivationCause cause) override {
        log.push_back(cause == ActivationCause::user ? "activate" : "activate page");
    }
    void openURL(const Url& url) override { log.push_back("open " + url.text); }
    void setDelegate(NotificationCenterDelegate* d) override {
        log.push_back(d ? "delegate" : "no delegate");
    }
    void requestAuthorization() override {}
    void setNotificationCategories(const std::vector<NotificationCategory>&) override {}
    void addNotificationRequest(const NotificationRequest& r) override {
        requests.push_back(r);
        log.push_back("post " + r.content.title + "|" + r.content.body);
    }
    // The launch forms only https addresses; a space makes the text no URL.
    std::optional<Url> urlFromString(std::string_view text) override {
        if (text.find(' ') != std::string_view::npos)
            return std::nullopt;
        return Url{std::string(text), "https", ""};
    }
    AlertResult runModalAlert(const AlertContent& content) override {
        alert = content;
        log.push_back("alert");
        return alertAnswer;
    }
    std::shared_ptr<Window> createWindow(const Rect&) override {
        if (onCreateWindow)
            onCreateWindow();
        auto created = std::make_shared<FakeWindow>(log);
        created->bounds = windowBounds;
        return created;
    }
    std::shared_ptr<WebView> createWebView(const Rect& frame, const WebViewConfiguration& c) override {
        log.push_back("webView " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                      (c.mediaRequiresUserAction ? " gesture" : " autoplay"));
        return webView = std::make_shared<FakeWebView>(log);
    }
    std::unique_ptr<StatusItem> createStatusItem() override {
        auto item = std::make_unique<FakeStatusItem>(log);
        statusItem = item.get();
        return item;
    }
    std::unique_ptr<Timer> createTimer(std::function<void()> action) override {
        auto created = std::make_unique<FakeTimer>(std::move(action));
        timers.push_back(created.get());
        return created;
    }
    void setNetworkReachableHandler(std::function<void()> action) override {
        networkReachable = std::move(action);
    }

    Log log;
    std::optional<AlertContent> alert;
    AlertResult alertAnswer;
    std::function<void()> onCreateWindow;
    Rect windowBounds{0, 0, 1200, 800}; // the content area a restored frame gives
    std::vector<NotificationRequest> requests;
    std::shared_ptr<FakeWebView> webView;
    FakeStatusItem* statusItem = nullptr;
    std::vector<FakeTimer*> timers;
    std::function<void()> networkReachable;
};

// Points XDG_CONFIG_HOME and HOME into a fresh temporary folder, removed at the end.
struct TempConfigHome {
    std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()));
    }();
    std::filesystem::path folder = root / "Zandoral.Orvo";
    TempConfigHome() {
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        setenv("HOME", (root / "home").c_str(), 1);
    }
    ~TempConfigHome() { std::filesystem::remove_all(root); }
    void write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(folder);
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
    // The file's bytes; nothing when it is absent or no regular file.
    std::optional<std::string> read(const std::string& name) const {
        std::ifstream in(folder / name, std::ios::binary);
        if (!in || !std::filesystem::is_regular_file(folder / name))
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

} // namespace orvo::testing
