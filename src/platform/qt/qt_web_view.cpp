#include "platform/qt/qt_web_view.h"

#include "app/web_view_policies.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/script_transport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

#include <algorithm>

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

NavigationKind navigationKind(QWebEnginePage::NavigationType type) {
    switch (type) {
    case QWebEnginePage::NavigationTypeLinkClicked:
        return NavigationKind::linkClicked;
    case QWebEnginePage::NavigationTypeFormSubmitted:
        return NavigationKind::formSubmitted;
    case QWebEnginePage::NavigationTypeTyped:
        return NavigationKind::typed;
    case QWebEnginePage::NavigationTypeBackForward:
        return NavigationKind::backForward;
    case QWebEnginePage::NavigationTypeReload:
        return NavigationKind::reload;
    case QWebEnginePage::NavigationTypeRedirect:
        return NavigationKind::redirect;
    default:
        return NavigationKind::other;
    }
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

bool OrvoPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    // Anything that goes wrong while deciding keeps the view where it is.
    bool allowed = false;
    guarded("deciding a navigation", [&] {
        const NavigationAction action{toUrl(url), navigationKind(type), isMainFrame, userActivation_};
        allowed = delegate_ && delegate_->decidePolicyForNavigation(action) == NavigationDecision::allow;
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
    // The user's own input is what may send one address out of the view; the
    // engine's widgets inside the view change over its life, so input is
    // watched where it is dispatched.
    qApp->installEventFilter(this);

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
    if (ScriptTransport* transport = page_->transport())
        connect(transport, &ScriptTransport::documentPresence, this,
                [this](const QString& origin, bool present) {
                    guarded("following the page's documents", [&] { onDocumentPresence(origin, present); });
                });
    connect(page_.get(), &QWebEnginePage::featurePermissionRequestCanceled, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                guarded("withdrawing a permission prompt",
                        [&] { onFeaturePermissionCanceled(origin, feature); });
            });
}

QtWebView::~QtWebView() {
    qApp->removeEventFilter(this);
    startTimeout_.stop();
    waiting_.clear();
    shown_.reset();
    delete prompt_.data();
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

std::optional<Url> QtWebView::mainFrameUrl() const {
    return toUrl(page_->url());
}

bool QtWebView::eventFilter(QObject* watched, QEvent* event) {
    // Only events from the window system count: a synthetic one is anybody's.
    if (!event->spontaneous() || !view_)
        return false;
    bool input = false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::TouchBegin:
        input = true;
        break;
    case QEvent::KeyPress:
        input = !static_cast<QKeyEvent*>(event)->isAutoRepeat();
        break;
    default:
        break;
    }
    if (input) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && (widget == view_.data() || view_->isAncestorOf(widget)))
            page_->noteUserInput();
    }
    return false;
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
    // The engine withdrew the request: its prompt goes.
    const PermissionKey key{originKey(origin), feature};
    withdrawPrompts([&](const PermissionKey& k) { return k == key; });
}

QString QtWebView::originKey(const QUrl& origin) {
    return origin.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
}

// The engine does not withdraw a media request when its frame is removed or
// the page moves on; the documents' own comings and goings tell instead.
void QtWebView::onDocumentPresence(const QString& origin, bool present) {
    const QString key = originKey(QUrl(origin));
    int& count = documents_[key];
    count = std::max(0, count + (present ? 1 : -1));
    if (count > 0)
        return;
    documents_.remove(key);
    if (!present)
        withdrawPrompts([&](const PermissionKey& k) { return k.origin == key; });
}

void QtWebView::withdrawPrompts(const std::function<bool(const PermissionKey&)>& withdrawn) {
    std::erase_if(waiting_, [&](const PendingPermission& p) { return withdrawn(p.key()); });
    if (shown_ && withdrawn(shown_->key())) {
        shown_.reset();
        if (prompt_)
            prompt_->deleteLater();
        prompt_.clear();
        showNextPrompt();
    }
}

void QtWebView::askUser(const QUrl& origin, QWebEnginePage::Feature feature, MediaCaptureType type) {
    const PendingPermission request{origin, feature, type};
    const PermissionKey key = request.key();
    if (auto known = answers_.constFind(key); known != answers_.constEnd()) {
        answer(origin, feature, *known);
        return;
    }
    // A request that repeats while it is asked or waiting is answered with it.
    if ((shown_ && shown_->key() == key) ||
        std::any_of(waiting_.begin(), waiting_.end(),
                    [&](const PendingPermission& p) { return p.key() == key; }))
        return;
    waiting_.push_back(request);
    showNextPrompt();
}

void QtWebView::showNextPrompt() {
    if (shown_ || waiting_.empty())
        return;
    shown_ = waiting_.front();
    waiting_.pop_front();
    const PendingPermission request = *shown_;

    QWidget* parent = view_ ? view_->window() : nullptr;
    auto* prompt = new QMessageBox(parent);
    prompt_ = prompt;
    prompt->setAttribute(Qt::WA_DeleteOnClose);
    // Dismissing the prompt must never count as closing the last window.
    prompt->setAttribute(Qt::WA_QuitOnClose, false);
    prompt->setWindowTitle(QStringLiteral("ORVO permission"));
    prompt->setIcon(QMessageBox::Question);
    prompt->setTextFormat(Qt::PlainText);
    const std::optional<Url> origin = toUrl(request.origin);
    prompt->setText(QString::fromStdString(
        permissionQuestion(origin.value_or(Url{}), request.origin.port() != -1, request.type)));
    QPushButton* allow = prompt->addButton(QStringLiteral("&Allow"), QMessageBox::AcceptRole);
    QPushButton* deny = prompt->addButton(QStringLiteral("Do&n't Allow"), QMessageBox::RejectRole);
    // Return and Escape both keep the device closed; allowing takes a
    // deliberate choice.
    prompt->setDefaultButton(deny);
    prompt->setEscapeButton(deny);
    prompt->setWindowModality(Qt::WindowModal);

    QPointer<QPushButton> allowButton(allow);
    connect(prompt, &QMessageBox::finished, this, [this, prompt, allowButton, request] {
        guarded("applying a permission answer", [&] {
            if (prompt_ != prompt)
                return; // withdrawn meanwhile
            const bool granted = allowButton && prompt->clickedButton() == allowButton.data();
            shown_.reset();
            prompt_.clear();
            answers_.insert(request.key(), granted);
            answer(request.origin, request.feature, granted);
            // The next prompt once this one has gone from the screen.
            QMetaObject::invokeMethod(
                this, [this] { guarded("showing the next permission prompt", [this] { showNextPrompt(); }); },
                Qt::QueuedConnection);
        });
    });
    prompt->open();
    raiseAndActivate(*prompt, ActivationCause::page);
}

void QtWebView::answer(const QUrl& origin, QWebEnginePage::Feature feature, bool granted) {
    page_->setFeaturePermission(origin, feature,
                                granted ? QWebEnginePage::PermissionGrantedByUser
                                        : QWebEnginePage::PermissionDeniedByUser);
}

} // namespace orvo::qt
