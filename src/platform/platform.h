// The seam between ORVO's own logic and the desktop it runs on.
//
// Everything in orvo_core talks to the desktop only through these interfaces.
// They are deliberately small: each one carries exactly the calls the shell
// makes, with the values the shell passes and the results it relies on. A
// backend (Qt on Linux today) implements them; unit tests implement them with
// recording fakes. Backends translate; they do not decide. Where a call means
// something particular on Linux, its comment says so after "Linux:".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A URL as the platform parsed it. The scheme is reported the way the
// platform's URL type reports it (for example already lower-cased); the shell
// compares it as it comes.
struct Url {
    std::string text;
    std::string scheme;
    std::string host;
    friend bool operator==(const Url&, const Url&) = default;
};

class WebView;

// Who asked for the application to come to the front. Only the user's own
// actions (a launch, a click on a notification or on the status menu) may
// take the keyboard focus from another application; a page's request asks
// the desktop, which may refuse it and only flag the window.
enum class ActivationCause { page, user };

class Application {
public:
    virtual ~Application() = default;
    // Ends the application. Safe to call before the event loop runs.
    // Linux: ends every running event loop, a modal prompt's included.
    virtual void terminate() = 0;
    // Brings the main window (before it exists, the open prompt) in front of
    // other applications' and gives it the keyboard focus, as far as the
    // desktop lets `cause` do so. Linux: for the user's requests with the
    // desktop's proof of them (startup id, activation token); for the page's
    // with the time of the user's last input in ORVO, which a window manager
    // preventing focus stealing refuses while the user works elsewhere; the
    // window then demands attention instead.
    virtual void bringToFront(ActivationCause cause) = 0;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void setTitle(const std::string& title) = 0;
    // Linux: in the primary screen's work area, shrunk to fit it; on Wayland
    // only the size is fitted, and the compositor places the window.
    virtual void center() = 0;
    // Restores the frame saved under this name (if any, and if it still fits
    // a screen) and saves the frame under it from now on. Linux: in ORVO's
    // settings file; on Wayland only the size comes back.
    virtual void setFrameAutosaveName(const std::string& name) = 0;
    virtual Rect contentBounds() const = 0;
    // Places the web view into the content area; it then follows the
    // content area's size.
    virtual void setContentView(WebView& webView) = 0;
    // Shows the window, also from minimised. Linux: it neither raises the
    // window nor moves the focus, which is Application::bringToFront's to
    // ask for, as the cause allows.
    virtual void show() = 0;
};

// A page message as the web view hands it over. The body is empty when the
// posted value was not text. `frameOrigin` is the origin of the frame that
// posted it, as the engine reports it (its text, scheme and host); nothing
// for an opaque origin (a sandboxed frame, a data: document).
struct ScriptMessage {
    std::string name;
    std::optional<std::string> body;
    std::optional<Url> frameOrigin = std::nullopt;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void didReceiveScriptMessage(const ScriptMessage& message) = 0;
};

enum class NavigationDecision { cancel = 0, allow = 1 };

// How a navigation came about, as far as the engine tells.
enum class NavigationKind { linkClicked, formSubmitted, typed, backForward, reload, redirect, other };

struct NavigationAction {
    // Empty when the engine's URL could not be parsed.
    std::optional<Url> url;
    NavigationKind kind = NavigationKind::other;
    bool mainFrame = true;
    // Number of the latest real input event (click, key press, touch) the
    // view received before this navigation; 0 when there was none. Each one
    // can start at most one hand-over to the desktop.
    std::uint64_t userActivation = 0;
};

// A page's request for a new window: a link or form with a target, or
// `window.open`.
struct NewWindowAction {
    // Empty when the engine's URL could not be parsed.
    std::optional<Url> url;
    // The engine saw a user gesture in the page lead to the request.
    bool userInitiated = false;
    // As for navigations: the latest real input event the view received.
    std::uint64_t userActivation = 0;
};

enum class PermissionDecision { prompt = 0, grant = 1, deny = 2 };
// `screen`: what a screen or a window shows.
enum class MediaCaptureType { camera = 0, microphone = 1, cameraAndMicrophone = 2, screen = 3 };

// What a screen capture shows, where the user picked it from the engine's list.
struct CaptureSource {
    bool window = false; // else a whole screen
    std::string name;    // the window's title or the screen's name
};

// The decisions a web view asks of its owner. Each is answered exactly once,
// by returning.
class WebViewPolicyDelegate {
public:
    virtual ~WebViewPolicyDelegate() = default;
    virtual NavigationDecision decidePolicyForNavigation(const NavigationAction& action) = 0;
    // The page asked for a new window. The view never opens one; the
    // delegate may hand the address to the desktop instead.
    virtual void decidePolicyForNewWindow(const NewWindowAction& action) = 0;
    // `originHost` is the host of the requesting frame's origin.
    virtual PermissionDecision decideMediaCapturePermission(const std::string& originHost,
                                                            MediaCaptureType type) = 0;
    // The process that rendered the page has died (crashed or was killed);
    // the view shows nothing until something is loaded again.
    virtual void webContentProcessDidTerminate() = 0;
    // The load that `loadRequest` started has ended: `succeeded` when its page
    // is shown; false when it failed (no answer in time, no network, an error
    // answer from the server) and the view shows that failure.
    virtual void webViewDidFinishLoad(bool succeeded) = 0;
};

struct WebViewConfiguration {
    // Audio and video may start without a user gesture when false.
    bool mediaRequiresUserAction = true;
};

enum class UserScriptInjectionTime { atDocumentStart = 0, atDocumentEnd = 1 };

class WebView {
public:
    virtual ~WebView() = default;
    virtual void setPolicyDelegate(WebViewPolicyDelegate* delegate) = 0;
    // Messages posted by pages to `window.webkit.messageHandlers.<name>`.
    // Linux: also to `window.chrome.webview.postMessage`, from every frame,
    // carried by the script transport with the frame's origin.
    virtual void addScriptMessageHandler(ScriptMessageHandler& handler, const std::string& name) = 0;
    virtual void addUserScript(const std::string& source, UserScriptInjectionTime time,
                               bool forMainFrameOnly) = 0;
    // Loads the request; when no answer to it has begun to arrive after
    // `timeout`, the load is stopped and counts as failed.
    virtual void loadRequest(const Url& url, std::chrono::seconds timeout) = 0;
    // Evaluates the script in the main frame; the result is not observed.
    virtual void evaluateJavaScript(const std::string& script) = 0;
    // The URL of the document the main frame shows now; nothing before the
    // first one or when it cannot be parsed.
    virtual std::optional<Url> mainFrameUrl() const = 0;
};

struct MenuItem {
    std::string title;
    std::function<void()> action; // empty for a separator
    std::string keyEquivalent;    // for example "q"; empty for none
    bool separator = false;

    static MenuItem separatorItem() {
        MenuItem item;
        item.separator = true;
        return item;
    }
};

// Linux: a StatusNotifierItem where the desktop has a watcher for one, else
// an XEmbed tray icon.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // Sets the named telephone symbol as image; returns false when the
    // platform has no such symbol nor an icon of its own (the item then
    // stays hidden). Linux: the icon theme's phone, else ORVO's own.
    virtual bool setImage(const std::string& symbolName, const std::string& accessibilityDescription) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
    virtual void setMenu(std::vector<MenuItem> items) = 0;
};

// Alert with one text field, run application-modal.
struct AlertContent {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttonTitles; // the first is the default button
    Rect textFieldFrame;
    std::string textFieldPlaceholder;
};

inline constexpr int kAlertFirstButtonReturn = 1000;

struct AlertResult {
    int response = 0; // kAlertFirstButtonReturn + index of the button pressed
    std::string textFieldValue;
};

// A button a notification of some category carries. Linux: an action of the
// freedesktop notification, where the server shows actions.
struct NotificationAction {
    std::string identifier;
    std::string title;
    friend bool operator==(const NotificationAction&, const NotificationAction&) = default;
};

struct NotificationCategory {
    std::string identifier;
    std::vector<NotificationAction> actions;
    friend bool operator==(const NotificationCategory&, const NotificationCategory&) = default;
};

// Linux: the critical sound makes the notification critical, which servers
// keep on screen until it is answered.
enum class NotificationSound { defaultSound, defaultCriticalSound };

struct NotificationContent {
    std::string title;
    std::string body;
    NotificationSound sound = NotificationSound::defaultSound;
    std::optional<std::string> categoryIdentifier;
    friend bool operator==(const NotificationContent&, const NotificationContent&) = default;
};

struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
    friend bool operator==(const NotificationRequest&, const NotificationRequest&) = default;
};

// The action identifier of a click on the notification itself.
inline constexpr std::string_view kNotificationDefaultActionIdentifier = "default";

class NotificationCenterDelegate {
public:
    virtual ~NotificationCenterDelegate() = default;
    // The user acted on a delivered notification. `completionHandler` must be
    // called exactly once, before returning. Linux: a dismissal is no
    // response, and a notification is shown whether ORVO is in front or not.
    virtual void didReceiveNotificationResponse(const std::string& actionIdentifier,
                                                const std::function<void()>& completionHandler) = 0;
};

class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    virtual void setDelegate(NotificationCenterDelegate* delegate) = 0;
    // Asks for leave to show notifications; the outcome is not reported.
    // Linux: there is no leave to ask for; this learns what the notification
    // server can show, which shapes the posts.
    virtual void requestAuthorization() = 0;
    // Replaces every category registered before.
    virtual void setNotificationCategories(const std::vector<NotificationCategory>& categories) = 0;
    // Delivers at once; the outcome is not reported. Linux: over the
    // session bus, never waiting for the server.
    virtual void addNotificationRequest(const NotificationRequest& request) = 0;
};

// A sound of the user's sound theme, named as the freedesktop sound naming
// names it ("phone-incoming-call").
struct EventSound {
    std::string eventId;
    // What the sound announces, for the sound system's own display and for
    // users who cannot hear it.
    std::string description;
    friend bool operator==(const EventSound&, const EventSound&) = default;
};

// Plays event sounds as the desktop's settings allow: nothing while the user
// has event sounds off, and nothing (silently) without a sound device, a
// sound server or a theme that has the sound.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Starts the sound under `id` and returns at once.
    virtual void play(std::uint32_t id, const EventSound& sound) = 0;
    // Stops the sounds started under `id` that are still playing.
    virtual void cancel(std::uint32_t id) = 0;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // Hands the URL to the user's default application for it; the outcome is
    // not reported. Linux: the one xdg-open would choose (QDesktopServices).
    virtual void openURL(const Url& url) = 0;
};

// A one-shot timer on the main thread.
class Timer {
public:
    virtual ~Timer() = default;
    // Runs the timer's action once after `delay`; a running timer starts over.
    virtual void start(std::chrono::milliseconds delay) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

// Entry to everything above. One instance lives for the whole run.
class Platform {
public:
    virtual ~Platform() = default;
    virtual Application& application() = 0;
    virtual Workspace& workspace() = 0;
    virtual NotificationCenter& notificationCenter() = 0;
    // Forms a URL from text, or nothing when the text is not a valid URL.
    virtual std::optional<Url> urlFromString(std::string_view text) = 0;
    virtual AlertResult runModalAlert(const AlertContent& content) = 0;
    // A titled window that can be closed, minimised and resized.
    virtual std::shared_ptr<Window> createWindow(const Rect& contentRect) = 0;
    virtual std::shared_ptr<WebView> createWebView(const Rect& frame,
                                                   const WebViewConfiguration& configuration) = 0;
    // A new item in the status bar; it stays there while the returned object lives.
    virtual std::unique_ptr<StatusItem> createStatusItem() = 0;
    // A stopped timer that calls `action` when it fires; it never fires once
    // the returned object is gone.
    virtual std::unique_ptr<Timer> createTimer(std::function<void()> action) = 0;
    // `action` runs each time the desktop reports that the network has become
    // reachable again. Where the desktop cannot tell, it never runs. Linux:
    // NetworkManager's view, through QNetworkInformation.
    virtual void setNetworkReachableHandler(std::function<void()> action) = 0;
};

} // namespace orvo
