#pragma once

#include "app/permission_prompts.h"
#include "platform/platform.h"
#include "platform/qt/qt_conversions.h"
#include "platform/qt/script_transport.h"

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
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

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

class QtWebView : public QObject, public WebView, private PermissionPromptView {
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
    // A request of the engine's, as it must be answered: Qt 6.8 hands over
    // an object to grant or deny, Qt 6.4 takes the origin and feature back.
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    using EngineRequest = QWebEnginePermission;
#else
    struct EngineRequest {
        QUrl origin;
        QWebEnginePage::Feature feature;
    };
#endif

    // One spelling of an origin for the engine's permission requests
    // ("https://host:port/") and the documents' own ("https://host:port").
    static std::string originKey(const QUrl& origin);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    void finishRequestedLoad(bool succeeded);
    void connectPermissionRequests();
    // A media request (anything else is refused before it gets here).
    void onPermissionRequested(const QUrl& origin, MediaCaptureType type, EngineRequest request);
    void answerEngine(const EngineRequest& request, bool granted);
    void showPrompt(const std::string& question) override;
    void closePrompt() override;
    void answer(PermissionRequestId id, bool granted) override;
    void drop(PermissionRequestId id) override;
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
    // The engine's requests that the prompts have not settled yet.
    std::unordered_map<PermissionRequestId, EngineRequest> requests_;
    PermissionRequestId lastRequest_ = 0;
    PermissionPrompts prompts_{*this};
    QPointer<QMessageBox> prompt_;
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    // The list being picked from, until it is answered: one dropped without an
    // answer picks the first screen.
    std::optional<QWebEngineDesktopMediaRequest> picking_;
    QPointer<QDialog> picker_;
#endif
};

} // namespace orvo::qt
