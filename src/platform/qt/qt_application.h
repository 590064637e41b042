#pragma once

#include "platform/platform.h"
#include "platform/qt/qt_diagnostics.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <exception>
#include <utility>

namespace orvo::qt {

// Runs `fn` and swallows whatever it throws. Every slot, lambda and virtual
// override that Qt calls goes through this, because an exception that reaches
// Qt's event loop ends the process. ORVO keeps no log: the failure is told
// only under orvo.failures.
template <typename Fn> void guarded(const char* where, Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (const std::exception& e) {
        qCDebug(loggingCategory(DiagnosticTopic::failures), "%s failed: %s", where, e.what());
    } catch (...) {
        qCDebug(loggingCategory(DiagnosticTopic::failures), "%s failed", where);
    }
}

class QtApplication : public Application {
public:
    QtApplication();

    // Ends every running event loop (a modal prompt's included) and remembers
    // the request, so that a call made before the main loop starts still ends
    // the run.
    void terminate() override;
    void bringToFront(ActivationCause cause) override;

    bool terminateRequested() const { return terminateRequested_; }
    void setMainWindow(QWidget* window) { mainWindow_ = window; }

private:
    bool terminateRequested_ = false;
    QPointer<QWidget> mainWindow_;
};

// The desktop session as Qt joined it: on X11 windows have positions and
// the window manager takes EWMH requests; on Wayland they have neither, no
// X11 call may be made, and only an activation token brings a window forward.
enum class WindowSystem { x11, wayland, other };
WindowSystem windowSystem();

// The desktop's proof that the user just asked for ORVO (an X11 startup id
// or a Wayland activation token), for the user activations made while it is
// set; see ActivationTokenScope.
void setActivationToken(const QString& token);

// Offers a token for the activations made during its lifetime only, so that
// a token never outlives the user action it came with.
class ActivationTokenScope {
public:
    explicit ActivationTokenScope(const QString& token) { setActivationToken(token); }
    ~ActivationTokenScope() { setActivationToken({}); }
    ActivationTokenScope(const ActivationTokenScope&) = delete;
    ActivationTokenScope& operator=(const ActivationTokenScope&) = delete;
};

// Brings a top-level widget forward. For the user's own actions it asks the
// desktop for the keyboard focus with the freshest proof of user action at
// hand; for a page's it asks with the time of the user's last input in ORVO,
// which a window manager that prevents focus stealing refuses while the user
// works elsewhere, and then flags the window as demanding attention.
void raiseAndActivate(QWidget& widget, ActivationCause cause);

} // namespace orvo::qt
