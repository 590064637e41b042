// Recording fakes of the platform for unit tests of the core. Every call that
// matters to ordering is appended to one shared log, so tests can check the
// sequence across objects.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo::testing {

using Log = std::vector<std::string>;

class FakeApplication : public Application {
public:
    explicit FakeApplication(Log& log) : log_(log) {}
    void terminate() override { log_.push_back("app.terminate"); }
    void activateIgnoringOtherApps() override { log_.push_back("app.activate"); }

private:
    Log& log_;
};

class FakeWindow : public Window {
public:
    explicit FakeWindow(Log& log) : log_(log) {}
    void setTitle(const std::string& t) override {
        title = t;
        log_.push_back("window.setTitle " + t);
    }
    void center() override { log_.push_back("window.center"); }
    void setFrameAutosaveName(const std::string& name) override {
        log_.push_back("window.setFrameAutosaveName " + name);
    }
    Rect contentBounds() const override { return bounds; }
    void setContentView(WebView&) override { log_.push_back("window.setContentView"); }
    void makeKeyAndOrderFront() override { log_.push_back("window.front"); }

    std::string title;
    // What the content area measures once a saved frame is restored.
    Rect bounds{0, 0, 1200, 800};

private:
    Log& log_;
};

class FakeWebView : public WebView {
public:
    explicit FakeWebView(Log& log) : log_(log) {}
    void setPolicyDelegate(WebViewPolicyDelegate* d) override {
        delegate = d;
        log_.push_back("webView.setPolicyDelegate");
    }
    void addScriptMessageHandler(ScriptMessageHandler& h, const std::string& name) override {
        handler = &h;
        log_.push_back("webView.addScriptMessageHandler " + name);
    }
    void addUserScript(const std::string& source, UserScriptInjectionTime time, bool mainOnly) override {
        userScript = source;
        log_.push_back(std::string("webView.addUserScript ") +
                       (time == UserScriptInjectionTime::atDocumentStart ? "start" : "end") +
                       (mainOnly ? " main" : " all"));
    }
    void loadRequest(const Url& url, std::chrono::seconds timeout) override {
        log_.push_back("webView.load " + url.text + " " + std::to_string(timeout.count()));
    }
    void evaluateJavaScript(const std::string& script) override {
        log_.push_back("webView.evaluate " + script);
    }

    WebViewPolicyDelegate* delegate = nullptr;
    ScriptMessageHandler* handler = nullptr;
    std::string userScript;

private:
    Log& log_;
};

class FakeStatusItem : public StatusItem {
public:
    FakeStatusItem(Log& log, bool button) : log_(log), button_(button) {}
    bool hasButton() const override { return button_; }
    bool setImage(const std::string& symbol, const std::string& description) override {
        log_.push_back("status.setImage " + symbol + " " + description);
        return true;
    }
    void setToolTip(const std::string& t) override {
        toolTip = t;
        log_.push_back("status.setToolTip " + t);
    }
    void setMenu(std::vector<MenuItem> items) override {
        menu = std::move(items);
        log_.push_back("status.setMenu");
    }

    std::string toolTip;
    std::vector<MenuItem> menu;

private:
    Log& log_;
    bool button_;
};

class FakeNotificationCenter : public NotificationCenter {
public:
    explicit FakeNotificationCenter(Log& log) : log_(log) {}
    void setDelegate(NotificationCenterDelegate* d) override {
        delegate = d;
        log_.push_back(d ? "center.setDelegate" : "center.clearDelegate");
    }
    void requestAuthorization(unsigned options) override {
        log_.push_back("center.requestAuthorization " + std::to_string(options));
    }
    void setNotificationCategories(const std::vector<NotificationCategory>& c) override {
        categories = c;
        log_.push_back("center.setNotificationCategories");
    }
    void addNotificationRequest(const NotificationRequest& r) override {
        requests.push_back(r);
        log_.push_back("center.add " + r.content.title + "|" + r.content.body);
    }

    NotificationCenterDelegate* delegate = nullptr;
    std::vector<NotificationCategory> categories;
    std::vector<NotificationRequest> requests;

private:
    Log& log_;
};

class FakeWorkspace : public Workspace {
public:
    explicit FakeWorkspace(Log& log) : log_(log) {}
    void openURL(const Url& url) override { log_.push_back("workspace.open " + url.text); }

private:
    Log& log_;
};

// A timer the test fires by hand.
class FakeTimer : public Timer {
public:
    explicit FakeTimer(std::function<void()> action) : action_(std::move(action)) {}
    void start(std::chrono::milliseconds delay) override { this->delay = delay; }
    void stop() override { delay.reset(); }
    bool isActive() const override { return delay.has_value(); }
    // Runs the action when the timer is running, as the event loop would.
    void fire() {
        if (delay) {
            delay.reset();
            action_();
        }
    }

    std::optional<std::chrono::milliseconds> delay;

private:
    std::function<void()> action_;
};

class FakePlatform : public Platform {
public:
    FakePlatform() : app(log), workspaceFake(log), center(log) {}

    Application& application() override { return app; }
    Workspace& workspace() override { return workspaceFake; }
    NotificationCenter& notificationCenter() override { return center; }

    // A stand-in for the platform's URL parser: a scheme before ":", and no
    // URL at all when the text holds a space.
    std::optional<Url> urlFromString(std::string_view text) override {
        const auto colon = text.find(':');
        if (colon == std::string_view::npos || text.find(' ') != std::string_view::npos)
            return std::nullopt;
        Url url{std::string(text), std::string(text.substr(0, colon)), {}};
        if (text.substr(colon).starts_with("://")) {
            auto rest = text.substr(colon + 3);
            url.host = std::string(rest.substr(0, rest.find('/')));
        }
        return url;
    }

    AlertResult runModalAlert(const AlertContent& content) override {
        alerts.push_back(content);
        log.push_back("alert");
        return alertAnswer;
    }
    std::shared_ptr<Window> createWindow(const Rect& rect, const WindowStyle&) override {
        log.push_back("createWindow " + std::to_string(rect.width) + "x" + std::to_string(rect.height));
        auto created = std::make_shared<FakeWindow>(log);
        created->bounds = restoredContentBounds;
        window = created;
        if (onCreateWindow)
            onCreateWindow();
        return created;
    }
    std::shared_ptr<WebView> createWebView(const Rect& frame, const WebViewConfiguration& c) override {
        log.push_back("createWebView " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                      (c.mediaRequiresUserAction ? " gesture" : " autoplay"));
        auto created = std::make_shared<FakeWebView>(log);
        webView = created;
        return created;
    }
    std::unique_ptr<StatusItem> createStatusItem() override {
        log.push_back("createStatusItem");
        auto item = std::make_unique<FakeStatusItem>(log, statusItemHasButton);
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
    FakeApplication app;
    FakeWorkspace workspaceFake;
    FakeNotificationCenter center;
    std::vector<AlertContent> alerts;
    AlertResult alertAnswer;
    bool statusItemHasButton = true;
    // The content area a restored frame gives the new window.
    Rect restoredContentBounds{0, 0, 1200, 800};
    std::function<void()> onCreateWindow;
    // Observers only: the core owns these objects.
    std::weak_ptr<FakeWindow> window;
    std::weak_ptr<FakeWebView> webView;
    FakeStatusItem* statusItem = nullptr;
    std::vector<FakeTimer*> timers;
    std::function<void()> networkReachable;
};

} // namespace orvo::testing
