#include "platform/qt/qt_web_view.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/script_transport.h"

#include <QPushButton>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace orvo::qt {

namespace {

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
    return allowed;
}

void OrvoPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                        int lineNumber, const QString& sourceID) {
    guarded("handling a console message", [&] {
        if (transport_ && transport_->handleConsoleMessage(level, message, lineNumber, sourceID))
            return;
        QWebEnginePage::javaScriptConsoleMessage(level, message, lineNumber, sourceID);
    });
}

QtWebView::QtWebView(QWebEngineProfile* profile, const Rect& frame, const WebViewConfiguration& configuration)
    : page_(std::make_unique<OrvoPage>(profile)), view_(new QWebEngineView) {
    page_->settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture,
                                    configuration.mediaRequiresUserAction);
    view_->setPage(page_.get());
    view_->resize(frame.width, frame.height);

    startTimeout_.setSingleShot(true);
    connect(&startTimeout_, &QTimer::timeout, this, [this] {
        guarded("stopping the start load", [this] { page_->triggerAction(QWebEnginePage::Stop); });
    });
    // Only a successful load ends the wait. Every refused navigation also
    // reports a failed load for the page that stays, so failures are not a
    // signal that the start load is over.
    connect(page_.get(), &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (ok)
            startTimeout_.stop();
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
    page_->load(target);
    startTimeout_.start(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
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
