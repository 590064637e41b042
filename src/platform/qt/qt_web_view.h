#pragma once

#include "platform/platform.h"
#include "platform/qt/qt_conversions.h"
#include "platform/qt/script_transport.h"

#include <QHash>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
#include <QWebEngineDesktopMediaRequest>
#endif
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QWebEnginePermission>
#endif

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QDialog;
class QWebEngineLoadingInfo;
class QWebEngineProfile;

namespace orvo::qt {

// The page: hands navigations, new-window requests and console messages to its owner.
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
        MediaCaptureType type;
        friend bool operator==(const PermissionKey&, const PermissionKey&) = default;
        friend size_t qHash(const PermissionKey& key, size_t seed = 0) {
            return qHashMulti(seed, key.origin, static_cast<int>(key.type));
        }
    };

    // A request of the engine's, as it must be answered: Qt 6.8 hands over
    // an object to grant or deny, Qt 6.4 takes the origin and feature back.
    struct PendingPermission {
        PermissionKey key() const { return {originKey(origin), type}; }
        QUrl origin;
        MediaCaptureType type;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        QWebEnginePermission permission;
#else
        QWebEnginePage::Feature feature;
#endif
        // For a screen capture: what the user picked to share, if the engine asked.
        std::optional<CaptureSource> source;
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
    void connectPermissionRequests();
    // A media request (anything else is refused before it gets here).
    void onPermissionRequested(PendingPermission request);
    void askUser(const PendingPermission& request);
    void showNextPrompt();
    void answer(const PendingPermission& request, bool granted);
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    // The engine's list of screens and windows for a screen capture: the user
    // picks one, and the permission request for it follows.
    void pickCaptureSource(const QWebEngineDesktopMediaRequest& request);
#endif

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
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    // The list being picked from, until it is answered: one dropped without an
    // answer picks the first screen.
    std::optional<QWebEngineDesktopMediaRequest> picking_;
    QPointer<QDialog> picker_;
#endif
    // What the user picked, for the screen capture request that follows.
    std::optional<CaptureSource> pickedSource_;
    // How many documents of each origin the page holds.
    QHash<QString, int> documents_;
};

} // namespace orvo::qt
