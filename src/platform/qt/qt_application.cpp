#include "platform/qt/qt_application.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWindow>

#include <xcb/xcb.h>

namespace orvo::qt {

void QtApplication::terminate() {
    terminateRequested_ = true;
    // exit() rather than quit(): quit() is ignored until exec() runs, while
    // exit() also ends a modal dialog's loop that may be running before it.
    QCoreApplication::exit(0);
}

void QtApplication::activateIgnoringOtherApps() {
    // Before the main window exists the only thing to bring forward is a
    // modal prompt, if one is up.
    QWidget* target = mainWindow_ ? mainWindow_.data() : QApplication::activeModalWidget();
    if (target && target->isVisible())
        raiseAndActivate(*target);
}

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void raiseAndActivate(QWidget& widget) {
    widget.raise();
    widget.activateWindow();
    // Under X11 activateWindow alone does not take focus away from another
    // application's window; the explicit request does.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        if (QWindow* handle = widget.windowHandle()) {
            handle->requestActivate();
            // Qt stamps that request with the time of the last X event it
            // saw; once another client has taken the focus since, the server
            // ignores it. Taking the focus "now" is what activating ahead of
            // other applications means. Only a window on screen can take it.
            auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
            if (x11 && handle->isExposed()) {
                xcb_set_input_focus(x11->connection(), XCB_INPUT_FOCUS_PARENT,
                                    static_cast<xcb_window_t>(handle->winId()), XCB_CURRENT_TIME);
                xcb_flush(x11->connection());
            }
        }
    }
}

} // namespace orvo::qt
