#pragma once

#include "platform/platform.h"
#include "platform/qt/qt_application.h"

#include <functional>
#include <memory>

#include <QMetaObject>

class QWebEngineProfile;

namespace orvo::qt {

class QtNotificationCenter;

class QtWorkspace : public Workspace {
public:
    void openURL(const Url& url) override;
};

// The Qt backend of the platform seam. Create it after the QApplication; it
// owns the web engine profile, which must outlive every page made from it.
class QtPlatform : public Platform {
public:
    QtPlatform();
    ~QtPlatform() override;
    QtPlatform(const QtPlatform&) = delete;
    QtPlatform& operator=(const QtPlatform&) = delete;

    Application& application() override { return application_; }
    Workspace& workspace() override { return workspace_; }
    NotificationCenter& notificationCenter() override;
    std::optional<Url> urlFromString(std::string_view text) override;
    AlertResult runModalAlert(const AlertContent& content) override;
    std::shared_ptr<Window> createWindow(const Rect& contentRect) override;
    std::shared_ptr<WebView> createWebView(const Rect& frame,
                                           const WebViewConfiguration& configuration) override;
    std::unique_ptr<StatusItem> createStatusItem() override;
    std::unique_ptr<Timer> createTimer(std::function<void()> action) override;
    void setNetworkReachableHandler(std::function<void()> action) override;

    QtApplication& qtApplication() { return application_; }
    QWebEngineProfile& profile() { return *profile_; }

private:
    // Declared first, destroyed last: pages must be gone before the profile.
    std::unique_ptr<QWebEngineProfile> profile_;
    QtApplication application_;
    QtWorkspace workspace_;
    std::unique_ptr<QtNotificationCenter> notificationCenter_;
    std::function<void()> onNetworkReachable_;
    bool watchingNetwork_ = false;
    QMetaObject::Connection networkConnection_;
};

} // namespace orvo::qt
