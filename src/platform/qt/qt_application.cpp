#include "platform/qt/qt_application.h"
#include "platform/qt/wayland_activation.h"
#include "platform/qt/x11_activation.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWindow>

namespace orvo::qt {

namespace {

QString& activationToken() {
    static QString token;
    return token;
}

} // namespace

QtApplication::QtApplication() {
    watchUserInputTimes();
}

void QtApplication::terminate() {
    terminateRequested_ = true;
    // exit() rather than quit(): quit() is ignored until exec() runs, while
    // exit() also ends a modal dialog's loop that may be running before it.
    QCoreApplication::exit(0);
}

void QtApplication::bringToFront(ActivationCause cause) {
    // Before the main window exists the only thing to bring forward is a
    // modal prompt, if one is up.
    QWidget* target = mainWindow_ ? mainWindow_.data() : QApplication::activeModalWidget();
    if (target && target->isVisible())
        raiseAndActivate(*target, cause);
}

WindowSystem windowSystem() {
    const QString name = QGuiApplication::platformName();
    if (name == QLatin1String("xcb"))
        return WindowSystem::x11;
    return name.startsWith(QLatin1String("wayland")) ? WindowSystem::wayland : WindowSystem::other;
}

void setActivationToken(const QString& token) {
    activationToken() = token;
}

void raiseAndActivate(QWidget& widget, ActivationCause cause) {
    QWindow* handle = widget.windowHandle();
    if (windowSystem() == WindowSystem::x11 && handle) {
        const bool askedWindowManager = activateOnX11(*handle, cause, activationToken());
        // A window manager raises what it activates. It may also take a
        // client's own raise request for an activation that skips its
        // focus-stealing rules (xfwm4 focuses the window), so with a window
        // manager the stacking is left to it, for every cause.
        if (!askedWindowManager)
            widget.raise();
    } else {
        widget.raise();
        // On Wayland the compositor decides, on the strength of an activation
        // token: the desktop's, for the user's own actions, where it gave one;
        // otherwise whatever Qt can show for the user's last input in ORVO.
        const bool withToken =
            cause == ActivationCause::user && handle && activateWithToken(*handle, activationToken());
        qCDebug(loggingCategory(DiagnosticTopic::activation))
            << (cause == ActivationCause::user ? "the user's" : "the page's") << "activation"
            << (withToken ? "with the desktop's token" : "without a token: the compositor may refuse it");
        if (!withToken)
            widget.activateWindow();
    }
    if (cause == ActivationCause::page)
        QApplication::alert(&widget);
}

} // namespace orvo::qt
