#include "platform/qt/qt_web_view.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/script_transport.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace orvo::qt {

namespace {

// The most progress, in percent, that the engine reports for a load whose
// answer has not begun to arrive.
constexpr int kEngineFirstProgress = 10;

std::optional<MediaCaptureType> mediaCaptureType(QWebEnginePage::Feature feature) {
    switch (feature) {
    case QWebEnginePage::MediaAudioCapture:
        return MediaCaptureType::microphone;
    case QWebEnginePage::MediaVideoCapture:
        return MediaCaptureType::camera;
    case QWebEnginePage::MediaAudioVideoCapture:
        return MediaCaptureType::cameraAndMicrophone;
    default:
        return std::nullopt;
    }
}

QString deviceWords(MediaCaptureType type) {
    switch (type) {
    case MediaCaptureType::microphone:
        return QStringLiteral("microphone");
    case MediaCaptureType::camera:
        return QStringLiteral("camera");
    case MediaCaptureType::cameraAndMicrophone:
        return QStringLiteral("camera and microphone");
    }
    return {};
}

} // namespace

std::optional<Url> toUrl(const QUrl& url) {
    if (url.isEmpty() || !url.isValid())
        return std::nullopt;
    return Url{url.toString(QUrl::FullyEncoded).toStdString(), url.scheme().toStdString(),
               url.host().toStdString()};
}

OrvoPage::OrvoPage(QWebEngineProfile* profile)
    : QWebEnginePage(profile), transport_(new ScriptTransport(this)) {}

bool OrvoPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool) {
    // Anything that goes wrong while deciding keeps the view where it is.
    bool allowed = false;
    guarded("deciding a navigation", [&] {
        allowed = !delegate_ || delegate_->decidePolicyForNavigation(toUrl(url)) == NavigationDecision::allow;
    });
    if (!allowed)
        lastRefused_ = url;
    return allowed;
}

void OrvoPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                        int lineNumber, const QString& sourceID) {
    // The program keeps no log: the page's own console output goes nowhere.
    guarded("handling a console message",
            [&] { transport_ && transport_->handleConsoleMessage(level, message, lineNumber, sourceID); });
}

void OrvoPage::javaScriptAlert(const QUrl&, const QString&) {}

bool OrvoPage::javaScriptConfirm(const QUrl&, const QString& message) {
    // The engine asks a page's "leave this page?" question through this call too, with its own
    // fixed text. With no panel to ask the user, leaving must win: answering "stay" would let a
    // page's unload handler block the tenant's own navigations (a sign-out, say) for good.
    return message ==
           QCoreApplication::translate(
               "QWebEnginePage",
               "Are you sure you want to leave this page? Changes that you made may not be saved.");
}

bool OrvoPage::javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) {
    return false;
}

QStringList OrvoPage::chooseFiles(FileSelectionMode, const QStringList&, const QStringList&) {
    return {};
}

QtWebView::QtWebView(QWebEngineProfile* profile, const Rect& frame, const WebViewConfiguration& configuration)
    : page_(std::make_unique<OrvoPage>(profile)), view_(new QWebEngineView) {
    page_->settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture,
                                    configuration.mediaRequiresUserAction);
    view_->setPage(page_.get());
    view_->resize(frame.width, frame.height);

    startTimeout_.setSingleShot(true);
    connect(&startTimeout_, &QTimer::timeout, this, [this] {
        guarded("stopping the start load", [this] {
            // Stopping usually reports the load as stopped on its own; if
            // not, it still counts as failed.
            requestStarted_ = true;
            page_->triggerAction(QWebEnginePage::Stop);
            finishRequestedLoad(false);
        });
    });
    // While the request waits for its answer the engine reports no progress
    // (at most a first small step as the load starts); more than that comes
    // from the new document, so the answer has begun to arrive and the
    // time-out, which is the request's and not the whole page's, is over.
    connect(page_.get(), &QWebEnginePage::loadProgress, this, [this](int progress) {
        if (progress > kEngineFirstProgress)
            startTimeout_.stop();
    });
    connect(page_.get(), &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        guarded("following the start load", [&] { onLoadingChanged(info); });
    });
    // Queued, so that the engine has finished tearing down the dead process
    // before anything is loaded again. A normal end is the app's own quit.
    connect(
        page_.get(), &QWebEnginePage::renderProcessTerminated, this,
        [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
            guarded("recovering from a dead page process", [&] {
                if (status != QWebEnginePage::NormalTerminationStatus && delegate_)
                    delegate_->webContentProcessDidTerminate();
            });
        },
        Qt::QueuedConnection);
    connect(page_.get(), &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                guarded("answering a permission request",
                        [&] { onFeaturePermissionRequested(origin, feature); });
            });
    connect(page_.get(), &QWebEnginePage::featurePermissionRequestCanceled, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                guarded("withdrawing a permission prompt",
                        [&] { onFeaturePermissionCanceled(origin, feature); });
            });
}

QtWebView::~QtWebView() {
    startTimeout_.stop();
    for (const QPointer<QMessageBox>& prompt : std::as_const(openPrompts_))
        delete prompt.data();
    openPrompts_.clear();
    delete view_.data();
    page_.reset();
}

void QtWebView::setPolicyDelegate(WebViewPolicyDelegate* delegate) {
    delegate_ = delegate;
    page_->setPolicyDelegate(delegate);
}

void QtWebView::addScriptMessageHandler(ScriptMessageHandler& handler, const std::string& name) {
    if (ScriptTransport* transport = page_->transport())
        transport->addScriptMessageHandler(handler, name);
}

void QtWebView::addUserScript(const std::string& source, UserScriptInjectionTime time,
                              bool forMainFrameOnly) {
    if (ScriptTransport* transport = page_->transport())
        transport->addUserScript(source, time, forMainFrameOnly);
}

void QtWebView::loadRequest(const Url& url, std::chrono::seconds timeout) {
    const QUrl target(QString::fromStdString(url.text), QUrl::StrictMode);
    if (!target.isValid())
        return;
    requested_ = target;
    requestStarted_ = false;
    page_->load(target);
    startTimeout_.start(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
}

void QtWebView::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        if (!requested_.isEmpty())
            requestStarted_ = true;
        return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        // Whatever the main frame shows now (the start page, or where it
        // sent the view), a page is shown and the request is answered.
        finishRequestedLoad(true);
        return;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
    case QWebEngineLoadingInfo::LoadFailedStatus:
        // Only the end of the requested load counts: a load that was under
        // way before it, or a navigation the policy refused, reports a
        // failure of its own that says nothing about the page shown.
        if (!requestStarted_ || (info.url() == page_->lastRefused() && info.url() != requested_))
            return;
        finishRequestedLoad(false);
        return;
    }
}

void QtWebView::finishRequestedLoad(bool succeeded) {
    startTimeout_.stop();
    // A failure ends only a load that was requested; every success is told.
    if (!succeeded && requested_.isEmpty())
        return;
    requested_.clear();
    requestStarted_ = false;
    if (delegate_)
        delegate_->webViewDidFinishLoad(succeeded);
}

void QtWebView::evaluateJavaScript(const std::string& script) {
    page_->runJavaScript(QString::fromStdString(script), QWebEngineScript::MainWorld);
}

void QtWebView::onFeaturePermissionRequested(const QUrl& origin, QWebEnginePage::Feature feature) {
    const std::optional<MediaCaptureType> type = mediaCaptureType(feature);
    if (!type || !delegate_) {
        page_->setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
        return;
    }
    switch (delegate_->decideMediaCapturePermission(origin.host().toStdString(), *type)) {
    case PermissionDecision::grant:
        answer(origin, feature, true);
        return;
    case PermissionDecision::deny:
        answer(origin, feature, false);
        return;
    case PermissionDecision::prompt:
        askUser(origin, feature, *type);
        return;
    }
}

void QtWebView::onFeaturePermissionCanceled(const QUrl& origin, QWebEnginePage::Feature feature) {
    const PermissionKey key{origin.toString(), feature};
    if (QPointer<QMessageBox> prompt = openPrompts_.take(key))
        prompt->deleteLater();
}

void QtWebView::askUser(const QUrl& origin, QWebEnginePage::Feature feature, MediaCaptureType type) {
    const PermissionKey key{origin.toString(), feature};
    if (auto known = answers_.constFind(key); known != answers_.constEnd()) {
        answer(origin, feature, *known);
        return;
    }
    // A request that repeats while its prompt is open is answered with it.
    if (openPrompts_.value(key))
        return;

    QWidget* parent = view_ ? view_->window() : nullptr;
    auto* prompt = new QMessageBox(parent);
    prompt->setAttribute(Qt::WA_DeleteOnClose);
    // Dismissing the prompt must never count as closing the last window.
    prompt->setAttribute(Qt::WA_QuitOnClose, false);
    prompt->setWindowTitle(QStringLiteral("ORVO permission"));
    prompt->setIcon(QMessageBox::Question);
    prompt->setTextFormat(Qt::PlainText);
    const QString who = origin.host().isEmpty() ? origin.toString() : origin.host();
    prompt->setText(QStringLiteral("%1 wants to use your %2").arg(who, deviceWords(type)));
    QPushButton* allow = prompt->addButton(QStringLiteral("&Allow"), QMessageBox::AcceptRole);
    QPushButton* deny = prompt->addButton(QStringLiteral("Do&n't Allow"), QMessageBox::RejectRole);
    // Return and Escape both keep the device closed; allowing takes a
    // deliberate choice.
    prompt->setDefaultButton(deny);
    prompt->setEscapeButton(deny);
    prompt->setWindowModality(Qt::WindowModal);
    openPrompts_.insert(key, prompt);

    QPointer<QPushButton> allowButton(allow);
    connect(prompt, &QMessageBox::finished, this, [this, prompt, allowButton, origin, feature, key] {
        guarded("applying a permission answer", [&] {
            if (openPrompts_.value(key) != prompt)
                return; // withdrawn meanwhile
            openPrompts_.remove(key);
            const bool granted = allowButton && prompt->clickedButton() == allowButton.data();
            answers_.insert(key, granted);
            answer(origin, feature, granted);
        });
    });
    prompt->open();
    raiseAndActivate(*prompt);
}

void QtWebView::answer(const QUrl& origin, QWebEnginePage::Feature feature, bool granted) {
    page_->setFeaturePermission(origin, feature,
                                granted ? QWebEnginePage::PermissionGrantedByUser
                                        : QWebEnginePage::PermissionDeniedByUser);
}

} // namespace orvo::qt
