#pragma once

#include "platform/platform.h"

#include <QPointer>
#include <QWidget>

#include <exception>
#include <utility>

namespace orvo::qt {

// Runs `fn` and swallows whatever it throws. Every slot, lambda and virtual
// override that Qt calls goes through this, because an exception that reaches
// Qt's event loop ends the process.
template <typename Fn> void guarded(const char* where, Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (const std::exception& e) {
        qWarning("orvo: %s failed: %s", where, e.what());
    } catch (...) {
        qWarning("orvo: %s failed", where);
    }
}

class QtApplication : public Application {
public:
    // Ends every running event loop (a modal prompt's included) and remembers
    // the request, so that a call made before the main loop starts still ends
    // the run.
    void terminate() override;
    void activateIgnoringOtherApps() override;

    bool terminateRequested() const { return terminateRequested_; }
    void setMainWindow(QWidget* window) { mainWindow_ = window; }

private:
    bool terminateRequested_ = false;
    QPointer<QWidget> mainWindow_;
};

// Whether the session is a Wayland one, where windows have no position of
// their own and no X11 call may be made.
bool onWayland();

// Brings a top-level widget forward and asks for keyboard focus.
void raiseAndActivate(QWidget& widget);

} // namespace orvo::qt
