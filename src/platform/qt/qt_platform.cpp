#include "platform/qt/qt_platform.h"

#include "platform/qt/qt_alert.h"
#include "platform/qt/qt_conversions.h"
#include "platform/qt/qt_notification_center.h"
#include "platform/qt/qt_status_item.h"
#include "platform/qt/qt_web_view.h"
#include "platform/qt/qt_window.h"

#include <QDesktopServices>
#include <QNetworkInformation>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace orvo::qt {

namespace {

class QtTimer : public Timer {
public:
    explicit QtTimer(std::function<void()> action) : action_(std::move(action)) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { guarded("running a timer", action_); });
    }
    void start(std::chrono::milliseconds delay) override { timer_.start(delay); }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    std::function<void()> action_;
    QTimer timer_;
};

} // namespace

void QtWorkspace::openURL(const Url& url) {
    const QUrl target = toQUrl(url);
    if (target.isValid())
        QDesktopServices::openUrl(target);
}

QtPlatform::QtPlatform()
    : profile_(std::make_unique<QWebEngineProfile>(QStringLiteral("Orvo"))),
      notificationCenter_(std::make_unique<QtNotificationCenter>(nullptr)) {
    // Where the login cookies and site data have always been, whatever the
    // application's name.
    profile_->setPersistentStoragePath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                       QStringLiteral("/Zandoral/Orvo/WebEngine"));
    profile_->setCachePath(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                           QStringLiteral("/Zandoral/Orvo/WebEngine"));
    // The service signs in with session cookies; the user expects to stay
    // signed in across restarts.
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    // Links with schemes the engine does not know (tel:, sip:, ...) reach the
    // navigation policy only when the user started them (the engine knows
    // whether a gesture led to the navigation); a script, a refresh or a
    // frame's address alone never launches anything.
    profile_->settings()->setUnknownUrlSchemePolicy(
        QWebEngineSettings::AllowUnknownUrlSchemesFromUserInteraction);
}

QtPlatform::~QtPlatform() {
    QObject::disconnect(networkConnection_);
}

NotificationCenter& QtPlatform::notificationCenter() {
    return *notificationCenter_;
}

std::optional<Url> QtPlatform::urlFromString(std::string_view text) {
    return toUrl(QUrl(toQString(text), QUrl::StrictMode), std::string(text));
}

AlertResult QtPlatform::runModalAlert(const AlertContent& content) {
    return qt::runModalAlert(content);
}

std::shared_ptr<Window> QtPlatform::createWindow(const Rect& contentRect) {
    auto window = std::make_shared<QtWindow>(contentRect);
    application_.setMainWindow(window->widget());
    return window;
}

std::shared_ptr<WebView> QtPlatform::createWebView(const Rect& frame,
                                                   const WebViewConfiguration& configuration) {
    return std::make_shared<QtWebView>(profile_.get(), frame, configuration);
}

std::unique_ptr<StatusItem> QtPlatform::createStatusItem() {
    return qt::createStatusItem();
}

std::unique_ptr<Timer> QtPlatform::createTimer(std::function<void()> action) {
    return std::make_unique<QtTimer>(std::move(action));
}

void QtPlatform::setNetworkReachableHandler(std::function<void()> action) {
    onNetworkReachable_ = std::move(action);
    if (watchingNetwork_ || !onNetworkReachable_)
        return;
    watchingNetwork_ = true;
    // NetworkManager's (or GLib's) view of the network, where the desktop has
    // one; without a backend there is simply no early retry.
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    QNetworkInformation* information = QNetworkInformation::instance();
    if (information == nullptr)
        return;
    networkConnection_ = QObject::connect(
        information, &QNetworkInformation::reachabilityChanged, information,
        [this](QNetworkInformation::Reachability reachability) {
            guarded("following the network", [&] {
                if (reachability == QNetworkInformation::Reachability::Online && onNetworkReachable_)
                    onNetworkReachable_();
            });
        });
}

} // namespace orvo::qt
