#pragma once

#include "platform/platform.h"

#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QSettings>

#include <memory>
#include <string>

namespace orvo::qt {

// The main window: a QMainWindow whose central widget is the web view.
class QtWindow : public QObject, public Window {
    Q_OBJECT
public:
    explicit QtWindow(const Rect& contentRect);
    ~QtWindow() override;

    void setTitle(const std::string& title) override;
    void center() override;
    void setFrameAutosaveName(const std::string& name) override;
    Rect contentBounds() const override;
    void setContentView(WebView& webView) override;
    void show() override;

    QMainWindow* widget() const { return window_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void saveFrame();

    QPointer<QMainWindow> window_;
    QString autosaveKey_;
    std::unique_ptr<QSettings> settings_;
};

} // namespace orvo::qt
