#include "platform/qt/qt_web_view.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/script_transport.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScopeGuard>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtGlobal>

#include <utility>

namespace orvo::qt {

namespace {

// The most progress, in percent, that the engine reports for a load whose
// answer has not begun to arrive.
constexpr int kEngineFirstProgress = 10;

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
std::optional<MediaCaptureType> mediaCaptureType(QWebEnginePermission::PermissionType type) {
    switch (type) {
    case QWebEnginePermission::PermissionType::MediaAudioCapture:
        return MediaCaptureType::microphone;
    case QWebEnginePermission::PermissionType::MediaVideoCapture:
        return MediaCaptureType::camera;
    case QWebEnginePermission::PermissionType::MediaAudioVideoCapture:
        return MediaCaptureType::cameraAndMicrophone;
    // The engine captures the system's sound only on Windows: here both share the picture alone.
    case QWebEnginePermission::PermissionType::DesktopVideoCapture:
    case QWebEnginePermission::PermissionType::DesktopAudioVideoCapture:
        return MediaCaptureType::screen;
    default:
        return std::nullopt;
    }
}
#else
std::optional<MediaCaptureType> mediaCaptureType(QWebEnginePage::Feature feature) {
    switch (feature) {
    case QWebEnginePage::MediaAudioCapture:
        return MediaCaptureType::microphone;
    case QWebEnginePage::MediaVideoCapture:
        return MediaCaptureType::camera;
    case QWebEnginePage::MediaAudioVideoCapture:
        return MediaCaptureType::cameraAndMicrophone;
    // The engine captures the system's sound only on Windows: here both share the picture alone.
    case QWebEnginePage::DesktopVideoCapture:
    case QWebEnginePage::DesktopAudioVideoCapture:
        return MediaCaptureType::screen;
    default:
        return std::nullopt;
    }
}
#endif

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

OrvoPage::OrvoPage(QWebEngineProfile* profile)
    : QWebEnginePage(profile), transport_(new ScriptTransport(this)) {
    // ORVO has one window. A request for another is left unanswered, which
    // drops it; its address may go to the desktop instead.
    connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
        guarded("deciding a new window", [&] {
            if (delegate_)
                delegate_->decidePolicyForNewWindow(
                    {toUrl(request.requestedUrl()), request.isUserInitiated(), userActivation_});
        });
    });
}

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
    // Without it the engine refuses every screen capture before anyone is asked.
    page_->settings()->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, true);
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
    connectPermissionRequests();
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    connect(page_.get(), &QWebEnginePage::desktopMediaRequested, this,
            [this](const QWebEngineDesktopMediaRequest& request) {
                guarded("offering what to share", [&] { pickCaptureSource(request); });
            });
#endif
    // The engine does not withdraw a media request when its frame is removed
    // or the page moves on; the documents' own comings and goings tell instead.
    if (ScriptTransport* transport = page_->transport())
        connect(transport, &ScriptTransport::documentPresence, this,
                [this](const QString& origin, bool present) {
                    guarded("following the page's documents",
                            [&] { prompts_.documentPresence(originKey(QUrl(origin)), present); });
                });
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
void QtWebView::connectPermissionRequests() {
    connect(page_.get(), &QWebEnginePage::permissionRequested, this, [this](QWebEnginePermission permission) {
        guarded("answering a permission request", [&] {
            const std::optional<MediaCaptureType> type = mediaCaptureType(permission.permissionType());
            if (!type || !delegate_) {
                qCDebug(loggingCategory(DiagnosticTopic::permissions))
                    << "refused unasked: permission" << static_cast<int>(permission.permissionType()) << "for"
                    << permission.origin().toString();
                permission.deny();
                return;
            }
            onPermissionRequested(permission.origin(), *type, permission);
        });
    });
}

void QtWebView::answerEngine(const EngineRequest& request, bool granted) {
    if (granted)
        request.grant();
    else
        request.deny();
}
#else
void QtWebView::connectPermissionRequests() {
    connect(page_.get(), &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                guarded("answering a permission request", [&] {
                    const std::optional<MediaCaptureType> type = mediaCaptureType(feature);
                    if (!type || !delegate_) {
                        qCDebug(loggingCategory(DiagnosticTopic::permissions))
                            << "refused unasked: feature" << static_cast<int>(feature) << "for"
                            << origin.toString();
                        page_->setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
                        return;
                    }
                    onPermissionRequested(origin, *type, {origin, feature});
                });
            });
    connect(page_.get(), &QWebEnginePage::featurePermissionRequestCanceled, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                guarded("withdrawing a permission prompt", [&] {
                    // The engine withdrew the request: its prompt goes.
                    if (const std::optional<MediaCaptureType> type = mediaCaptureType(feature))
                        prompts_.withdrawn(originKey(origin), *type);
                });
            });
}

void QtWebView::answerEngine(const EngineRequest& request, bool granted) {
    page_->setFeaturePermission(request.origin, request.feature,
                                granted ? QWebEnginePage::PermissionGrantedByUser
                                        : QWebEnginePage::PermissionDeniedByUser);
}
#endif

QtWebView::~QtWebView() {
    qApp->removeEventFilter(this);
    startTimeout_.stop();
    // The requests still pending go with the page, unanswered.
    requests_.clear();
    const QPointer<QMessageBox> prompt = prompt_;
    prompt_.clear();
    delete prompt.data();
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    if (picking_)
        picking_->cancel();
    picking_.reset();
    delete picker_.data();
#endif
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
    const QUrl target = toQUrl(url);
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

void QtWebView::onPermissionRequested(const QUrl& origin, MediaCaptureType type, EngineRequest request) {
    const PermissionDecision policy =
        delegate_->decideMediaCapturePermission(origin.host().toStdString(), type);
    const PermissionRequestId id = ++lastRequest_;
    requests_.emplace(id, std::move(request));
    prompts_.requested({id, originKey(origin), toUrl(origin).value_or(Url{}), origin.port() != -1, type},
                       policy);
}

void QtWebView::answer(PermissionRequestId id, bool granted) {
    const auto found = requests_.find(id);
    if (found == requests_.end())
        return;
    const EngineRequest request = std::move(found->second);
    requests_.erase(found);
    answerEngine(request, granted);
}

void QtWebView::drop(PermissionRequestId id) {
    requests_.erase(id);
}

std::string QtWebView::originKey(const QUrl& origin) {
    return origin.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
        .toString()
        .toStdString();
}

void QtWebView::closePrompt() {
    if (prompt_)
        prompt_->deleteLater();
    prompt_.clear();
}

void QtWebView::showPrompt(const std::string& question) {
    QWidget* parent = view_ ? view_->window() : nullptr;
    auto* prompt = new QMessageBox(parent);
    prompt_ = prompt;
    prompt->setAttribute(Qt::WA_DeleteOnClose);
    // Dismissing the prompt must never count as closing the last window.
    prompt->setAttribute(Qt::WA_QuitOnClose, false);
    prompt->setWindowTitle(QStringLiteral("Permission"));
    prompt->setIcon(QMessageBox::Question);
    prompt->setTextFormat(Qt::PlainText);
    prompt->setText(QString::fromStdString(question));
    QPushButton* allow = prompt->addButton(QStringLiteral("&Allow"), QMessageBox::AcceptRole);
    QPushButton* deny = prompt->addButton(QStringLiteral("Do&n't Allow"), QMessageBox::RejectRole);
    // Return and Escape both keep the device closed; allowing takes a
    // deliberate choice.
    prompt->setDefaultButton(deny);
    prompt->setEscapeButton(deny);
    prompt->setWindowModality(Qt::WindowModal);

    QPointer<QPushButton> allowButton(allow);
    connect(prompt, &QMessageBox::finished, this, [this, prompt, allowButton] {
        guarded("applying a permission answer", [&] {
            if (prompt_ != prompt)
                return; // withdrawn meanwhile
            prompt_.clear();
            prompts_.userAnswered(allowButton && prompt->clickedButton() == allowButton.data());
            // The next prompt once this one has gone from the screen.
            QMetaObject::invokeMethod(
                this,
                [this] { guarded("showing the next permission prompt", [this] { prompts_.showNext(); }); },
                Qt::QueuedConnection);
        });
    });
    prompt->open();
    raiseAndActivate(*prompt, ActivationCause::page);
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
void QtWebView::pickCaptureSource(const QWebEngineDesktopMediaRequest& request) {
    if (picking_) {
        request.cancel(); // one list at a time
        return;
    }
    picking_ = request;
    auto* picker = new QDialog(view_ ? view_->window() : nullptr);
    picker_ = picker;
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->setAttribute(Qt::WA_QuitOnClose, false);
    picker->setWindowTitle(QStringLiteral("Screen sharing"));
    auto* layout = new QVBoxLayout(picker);
    const auto addList = [&](const QString& heading, QAbstractListModel* model) {
        layout->addWidget(new QLabel(heading, picker));
        auto* list = new QListView(picker);
        list->setModel(model);
        list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        layout->addWidget(list);
        return QPointer<QListView>(list);
    };
    const QPointer<QListView> screens =
        addList(QStringLiteral("Share a whole screen:"), request.screensModel());
    const QPointer<QListView> windows = addList(QStringLiteral("Or one window:"), request.windowsModel());
    auto* buttons = new QDialogButtonBox(picker);
    QPushButton* share = buttons->addButton(QStringLiteral("&Share"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Do&n't Share"), QDialogButtonBox::RejectRole);
    share->setDefault(true);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, picker, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, picker, &QDialog::reject);
    // One choice across both lists; sharing needs one.
    const auto selected = [](const QPointer<QListView>& list) {
        const QModelIndexList rows = list ? list->selectionModel()->selectedIndexes() : QModelIndexList{};
        return rows.isEmpty() ? QModelIndex{} : rows.first();
    };
    const auto exclusive = [&](const QPointer<QListView>& list, const QPointer<QListView>& other) {
        connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, picker,
                [list, other, screens, windows, share, selected] {
                    if (selected(list).isValid() && other)
                        other->clearSelection();
                    share->setEnabled(selected(screens).isValid() || selected(windows).isValid());
                });
    };
    exclusive(screens, windows);
    exclusive(windows, screens);
    if (screens->model()->rowCount() > 0)
        screens->setCurrentIndex(screens->model()->index(0, 0));
    share->setEnabled(selected(screens).isValid());

    connect(picker, &QDialog::finished, this, [this, picker, screens, windows, selected](int result) {
        guarded("answering what to share", [&] {
            if (picker_ != picker || !picking_)
                return;
            const QWebEngineDesktopMediaRequest request = *std::exchange(picking_, std::nullopt);
            picker_.clear();
            prompts_.capturePicked(std::nullopt);
            // Answered on every way out: a list dropped unanswered picks the first screen.
            bool answered = false;
            const auto cancelUnlessAnswered = qScopeGuard([&] {
                if (!answered)
                    request.cancel();
            });
            const QModelIndex screen = selected(screens);
            const QModelIndex window = screen.isValid() ? QModelIndex{} : selected(windows);
            const QModelIndex chosen = screen.isValid() ? screen : window;
            if (result != QDialog::Accepted || !chosen.isValid())
                return;
            // Set before answering: the permission request may follow at once.
            prompts_.capturePicked(
                CaptureSource{window.isValid(), chosen.data(Qt::DisplayRole).toString().toStdString()});
            answered = true;
            if (window.isValid())
                request.selectWindow(window);
            else
                request.selectScreen(screen);
        });
    });
    picker->setWindowModality(Qt::WindowModal);
    picker->open();
    raiseAndActivate(*picker, ActivationCause::page);
}
#endif

} // namespace orvo::qt
