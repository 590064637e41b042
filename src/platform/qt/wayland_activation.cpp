#include "platform/qt/wayland_activation.h"

#include "platform/qt/qt_application.h"

#include "xdg-activation-v1-client-protocol.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>
#include <wayland-client.h>

#include <cstring>
#include <memory>

namespace orvo::qt {

namespace {

template <typename T, void (*destroy)(T*)> struct Destroy {
    void operator()(T* object) const { destroy(object); }
};

void destroyWrapper(wl_display* wrapper) {
    wl_proxy_wrapper_destroy(wrapper);
}

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
        *static_cast<xdg_activation_v1**>(data) = static_cast<xdg_activation_v1*>(
            wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

} // namespace

bool activateWithToken(QWindow& window, const QString& token) {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!native || token.isEmpty() || windowSystem() != WindowSystem::wayland)
        return false;
    auto* display = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", &window));
    if (!display || !surface)
        return false;

    // A queue of our own, so that the round trip below dispatches nothing of
    // Qt's and Qt's dispatching never sees these objects.
    const std::unique_ptr<wl_event_queue, Destroy<wl_event_queue, wl_event_queue_destroy>> queue(
        wl_display_create_queue(display));
    const std::unique_ptr<wl_display, Destroy<wl_display, destroyWrapper>> wrapper(
        static_cast<wl_display*>(wl_proxy_create_wrapper(display)));
    if (!queue || !wrapper)
        return false;
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper.get()), queue.get());
    const std::unique_ptr<wl_registry, Destroy<wl_registry, wl_registry_destroy>> registry(
        wl_display_get_registry(wrapper.get()));
    xdg_activation_v1* found = nullptr;
    wl_registry_add_listener(registry.get(), &registryListener, &found);
    if (wl_display_roundtrip_queue(display, queue.get()) < 0 || !found)
        return false;
    const std::unique_ptr<xdg_activation_v1, Destroy<xdg_activation_v1, xdg_activation_v1_destroy>>
        activation(found);
    xdg_activation_v1_activate(activation.get(), token.toUtf8().constData(), surface);
    return wl_display_flush(display) >= 0;
}

} // namespace orvo::qt
