#include "platform/qt/qt_application.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWindow>

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

void raiseAndActivate(QWidget& widget) {
    widget.raise();
    widget.activateWindow();
    // Under X11 activateWindow alone does not take focus away from another
    // application's window; the explicit request does.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        if (QWindow* handle = widget.windowHandle())
            handle->requestActivate();
    }
}

} // namespace orvo::qt
