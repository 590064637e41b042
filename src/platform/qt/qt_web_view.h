#pragma once

#include "platform/platform.h"
#include "platform/qt/script_transport.h"

#include <QHash>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWebEngineLoadingInfo;
class QWebEngineProfile;

namespace orvo::qt {

// Translates a QUrl into the seam's URL; nothing for an empty or invalid one.
std::optional<Url> toUrl(const QUrl& url);

// The page: hands navigation and console messages to its owner.
class OrvoPage : public QWebEnginePage {
    Q_OBJECT
public:
    explicit OrvoPage(QWebEngineProfile* profile);

    void setPolicyDelegate(WebViewPolicyDelegate* delegate) { delegate_ = delegate; }
    ScriptTransport* transport() const { return transport_; }
    // The view received a real input event from the user.
    void noteUserInput() { ++userActivation_; }

    // The address of the last navigation the policy refused: the engine
    // reports a failed load for it, which says nothing about the page shown.
    const QUrl& lastRefused() const { return lastRefused_; }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int lineNumber,
                                  const QString& sourceID) override;
    // The page gets no dialogs and no file chooser: alerts show nothing,
    // confirm() and prompt() answer as if dismissed, a file input stays empty.
    void javaScriptAlert(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptConfirm(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& message, const QString& defaultValue,
                          QString* result) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& oldFiles,
                            const QStringList& acceptedMimeTypes) override;

private:
    WebViewPolicyDelegate* delegate_ = nullptr;
    QPointer<ScriptTransport> transport_;
    std::uint64_t userActivation_ = 0;
    QUrl lastRefused_;
};

class QtWebView : public QObject, public WebView {
    Q_OBJECT
public:
    QtWebView(QWebEngineProfile* profile, const Rect& frame, const WebViewConfiguration& configuration);
    ~QtWebView() override;

    void setPolicyDelegate(WebViewPolicyDelegate* delegate) override;
    void addScriptMessageHandler(ScriptMessageHandler& handler, const std::string& name) override;
    void addUserScript(const std::string& source, UserScriptInjectionTime time,
                       bool forMainFrameOnly) override;
    void loadRequest(const Url& url, std::chrono::seconds timeout) override;
    void evaluateJavaScript(const std::string& script) override;
    std::optional<Url> mainFrameUrl() const override;

    QWebEngineView* widget() const { return view_; }
    QWebEnginePage* page() const { return page_.get(); }

private:
    struct PermissionKey {
        QString origin;
        QWebEnginePage::Feature feature;
        friend bool operator==(const PermissionKey&, const PermissionKey&) = default;
        friend size_t qHash(const PermissionKey& key, size_t seed = 0) {
            return qHashMulti(seed, key.origin, static_cast<int>(key.feature));
        }
    };

    struct PendingPermission {
        QUrl origin;
        QWebEnginePage::Feature feature;
        MediaCaptureType type;
        PermissionKey key() const { return {originKey(origin), feature}; }
    };

    // One spelling of an origin for the engine's permission requests
    // ("https://host:port/") and the documents' own ("https://host:port").
    static QString originKey(const QUrl& origin);
    void onDocumentPresence(const QString& origin, bool present);
    // Closes or drops the prompts for the requests `withdrawn` picks,
    // unanswered and not remembered.
    void withdrawPrompts(const std::function<bool(const PermissionKey&)>& withdrawn);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    void finishRequestedLoad(bool succeeded);
    void onFeaturePermissionRequested(const QUrl& origin, QWebEnginePage::Feature feature);
    void onFeaturePermissionCanceled(const QUrl& origin, QWebEnginePage::Feature feature);
    void askUser(const QUrl& origin, QWebEnginePage::Feature feature, MediaCaptureType type);
    void showNextPrompt();
    void answer(const QUrl& origin, QWebEnginePage::Feature feature, bool granted);

    WebViewPolicyDelegate* delegate_ = nullptr;
    // The page before the view: the view must go first at teardown, the page
    // after it, and the profile (owned by the platform) last.
    std::unique_ptr<OrvoPage> page_;
    QPointer<QWebEngineView> view_;
    // The load that loadRequest started, until it ends; empty otherwise.
    QUrl requested_;
    bool requestStarted_ = false;
    // Runs until the answer to the requested load begins to arrive.
    QTimer startTimeout_;
    // The user's answers for this run; Qt asks again on every getUserMedia.
    QHash<PermissionKey, bool> answers_;
    // One prompt at a time; the requests behind it wait in order.
    std::optional<PendingPermission> shown_;
    QPointer<QMessageBox> prompt_;
    std::deque<PendingPermission> waiting_;
    // How many documents of each origin the page holds.
    QHash<QString, int> documents_;
};

} // namespace orvo::qt
