#include "platform/qt/x11_activation.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/x11_atoms.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QInputEvent>
#include <QRegularExpression>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstring>
#include <memory>

namespace orvo::qt {

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

namespace {

// The X server time of the user's last key press, click or touch in any of
// ORVO's windows; 0 before the first.
xcb_timestamp_t lastUserInputTime = 0;

class UserInputClock : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::KeyPress:
        case QEvent::TouchBegin:
            if (event->spontaneous()) {
                const auto time = static_cast<xcb_timestamp_t>(static_cast<QInputEvent*>(event)->timestamp());
                if (time != 0)
                    lastUserInputTime = time;
            }
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }
};

// The X server's current time, read the usual way: a property change on a
// window of a private connection, and the time its notification carries.
// 0 when the server cannot be reached.
xcb_timestamp_t serverTime() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> owner(connection, &xcb_disconnect);
    if (!connection || xcb_connection_has_error(connection))
        return 0;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return 0;
    const xcb_window_t window = xcb_generate_id(connection);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0,
                        nullptr);
    xcb_flush(connection);
    xcb_timestamp_t time = 0;
    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        const bool property = (event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY;
        if (property)
            time = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
        std::free(event);
        if (property)
            break;
    }
    return time;
}

// The time in an X11 startup id ("..._TIME<time>"); 0 when it has none.
xcb_timestamp_t startupIdTime(const QString& token) {
    static const QRegularExpression pattern(QStringLiteral("_TIME([0-9]+)$"));
    const QRegularExpressionMatch match = pattern.match(token);
    return match.hasMatch() ? match.captured(1).toUInt() : 0;
}

bool windowManagerHandlesActivation(xcb_connection_t* connection, xcb_window_t root,
                                    xcb_atom_t activeWindow) {
    const xcb_atom_t supported = internAtom(connection, "_NET_SUPPORTED");
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, root, supported, XCB_ATOM_ATOM, 0, 4096);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->format != 32)
        return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    for (int i = 0; i < count; ++i) {
        if (atoms[i] == activeWindow)
            return true;
    }
    return false;
}

// Asks the window manager to activate the window (EWMH _NET_ACTIVE_WINDOW,
// from an application, with `time` as the user's last action); the window
// manager applies its focus-stealing rules to it. With no window manager
// there is nobody to ask, and only a user's action takes the focus itself.
// Returns whether a window manager was asked.
bool requestX11Activation(QWindow& handle, xcb_timestamp_t time, ActivationCause cause) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !handle.isExposed())
        return false;
    xcb_connection_t* connection = x11->connection();
    const auto window = static_cast<xcb_window_t>(handle.winId());
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return false;
    const xcb_atom_t activeWindow = internAtom(connection, "_NET_ACTIVE_WINDOW");
    const bool askWindowManager = activeWindow != XCB_ATOM_NONE &&
                                  windowManagerHandlesActivation(connection, screen->root, activeWindow);
    if (askWindowManager) {
        xcb_client_message_event_t message;
        std::memset(&message, 0, sizeof message);
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = activeWindow;
        message.data.data32[0] = 1; // source: an application
        message.data.data32[1] = time;
        message.data.data32[2] = XCB_NONE;
        xcb_send_event(connection, 0, screen->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    } else if (cause == ActivationCause::user) {
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, window, time);
    }
    xcb_flush(connection);
    return askWindowManager;
}

} // namespace

void watchUserInputTimes() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        static UserInputClock* clock = new UserInputClock(app);
        app->installEventFilter(clock);
    }
}

bool activateOnX11(QWindow& window, ActivationCause cause, const QString& token) {
    xcb_timestamp_t time = lastUserInputTime;
    if (cause == ActivationCause::user) {
        time = startupIdTime(token);
        if (time == 0)
            time = serverTime();
    }
    // 0 would mean "no time at all", which some window managers take as
    // leave to activate; the oldest time there is means the opposite.
    const bool askedWindowManager = requestX11Activation(window, time == 0 ? 1 : time, cause);
    qCDebug(loggingCategory(DiagnosticTopic::activation))
        << (cause == ActivationCause::user ? "the user's" : "the page's") << "activation, input time" << time
        << (askedWindowManager ? "asked of the window manager" : "without a window manager: raised");
    return askedWindowManager;
}

} // namespace orvo::qt
