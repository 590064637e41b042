#include "platform/qt/qt_window.h"

#include "app/window_placement.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_web_view.h"

#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QWebEngineView>

namespace orvo::qt {

namespace {

// A frame is usable when a reasonable part of it lies on some screen; one
// saved on a monitor that is gone now would open out of reach.
bool visibleOnSomeScreen(const QRect& frame) {
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect overlap = screen->availableGeometry().intersected(frame);
        if (overlap.width() >= 64 && overlap.height() >= 32)
            return true;
    }
    return false;
}

} // namespace

QtWindow::QtWindow(const Rect& contentRect) : window_(new QMainWindow) {
    window_->resize(contentRect.width, contentRect.height);
    window_->installEventFilter(this);
}

QtWindow::~QtWindow() {
    if (window_) {
        window_->removeEventFilter(this);
        saveFrame();
        delete window_.data();
    }
    if (settings_)
        settings_->sync();
}

void QtWindow::setTitle(const std::string& title) {
    if (window_)
        window_->setWindowTitle(QString::fromStdString(title));
}

void QtWindow::center() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!window_ || !screen)
        return;
    // Until the desktop has decorated the window its frame is unknown; a
    // usual title bar and border are assumed then.
    const QRect inner = window_->geometry();
    const QRect outer = window_->frameGeometry();
    FrameMargins margins{inner.left() - outer.left(), inner.top() - outer.top(),
                         outer.right() - inner.right(), outer.bottom() - inner.bottom()};
    if (margins == FrameMargins{})
        margins = kDefaultFrameMargins;
    const QRect area = screen->availableGeometry();
    const Rect frame = placeNewWindow(inner.width(), inner.height(), margins,
                                      Rect{area.x(), area.y(), area.width(), area.height()});
    window_->resize(frame.width - margins.left - margins.right, frame.height - margins.top - margins.bottom);
    // Positions are the compositor's on Wayland; the move is ignored there.
    window_->move(frame.x, frame.y);
}

void QtWindow::setFrameAutosaveName(const std::string& name) {
    if (!window_)
        return;
    autosaveKey_ = QString::fromStdString(name) + QStringLiteral("/geometry");
    // The frame's file, by path: QSettings then reads no organisation-wide or
    // system-wide file beside it. It opens the file at once and would wait
    // for ever on a pipe put in its place; anything but a plain file leaves
    // the frame unsaved instead.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString path = folder + QStringLiteral("/Zandoral/Orvo.conf");
    if (const QFileInfo file(path); folder.isEmpty() || (file.exists() && !file.isFile()))
        return;
    settings_ = std::make_unique<QSettings>(path, QSettings::IniFormat);
    const QByteArray saved = settings_->value(autosaveKey_).toByteArray();
    if (!saved.isEmpty()) {
        const QRect fallback = window_->geometry();
        if (!window_->restoreGeometry(saved)) {
            window_->setWindowState(Qt::WindowNoState);
            window_->setGeometry(fallback);
        } else if (windowSystem() == WindowSystem::wayland) {
            // A Wayland client neither learns nor sets its position: only the
            // size comes back, and it must still fit the screen.
            if (!(window_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
                center();
        } else if (!visibleOnSomeScreen(window_->frameGeometry())) {
            window_->setWindowState(Qt::WindowNoState);
            window_->setGeometry(fallback);
        }
    }
    saveFrame();
}

Rect QtWindow::contentBounds() const {
    if (!window_)
        return {};
    const QWidget* content = window_->centralWidget();
    const QSize size = content ? content->size() : window_->size();
    return Rect{0, 0, size.width(), size.height()};
}

void QtWindow::setContentView(WebView& webView) {
    auto* view = dynamic_cast<QtWebView*>(&webView);
    if (!window_ || !view || !view->widget())
        return;
    // The central widget fills the content area and follows its size.
    window_->setCentralWidget(view->widget());
}

void QtWindow::show() {
    if (!window_)
        return;
    if (window_->isMinimized())
        window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    // Raising and the focus are the application's to ask for, as the
    // activation's cause allows: a window manager may take a raise request
    // for an activation.
    window_->show();
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.data()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::WindowStateChange:
        case QEvent::Close:
        case QEvent::Hide:
            guarded("saving the window frame", [this] { saveFrame(); });
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void QtWindow::saveFrame() {
    if (!settings_ || !window_)
        return;
    // QSettings writes changes out on its own shortly after; closing and the
    // end of the run sync explicitly.
    settings_->setValue(autosaveKey_, window_->saveGeometry());
    if (!window_->isVisible())
        settings_->sync();
}

} // namespace orvo::qt
