#include "platform/qt/canberra_sound.h"
#include "platform/qt/x11_atoms.h"

// GIO before Qt: Qt's `signals` keyword would clash with GDBus structures.
#include <gio/gio.h>

#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>

#include <canberra.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::qt {

namespace {

// What the desktop says about event sounds. Without a settings daemon GTK's
// defaults hold: sounds on, libcanberra's default theme.
struct DesktopSoundSettings {
    bool enabled = true;
    std::string theme;
};

// A sound server shows the description; a page's title of any length must
// not make the request too big for it.
constexpr std::size_t kMaxDescription = 256;

std::string truncatedUtf8(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return std::string(text.substr(0, end));
}

// Reads the XSETTINGS wire format (a header, then name/value records, each
// padded to four bytes), keeping the two sound settings.
class XSettingsReader {
public:
    explicit XSettingsReader(std::string_view data) : data_(data) {}

    DesktopSoundSettings read() {
        DesktopSoundSettings settings;
        // The byte order first: 0 for least significant byte first, 1 for most.
        std::uint8_t order = 0;
        if (!byte(order) || order > 1)
            return settings;
        msbFirst_ = order == 1;
        std::uint32_t serial = 0, count = 0;
        if (!skip(3) || !card32(serial) || !card32(count))
            return settings;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t type = 0;
            std::uint16_t nameLength = 0;
            std::string_view name;
            if (!byte(type) || !skip(1) || !card16(nameLength) || !bytes(nameLength, name) ||
                !skip(padding(nameLength)) || !card32(serial))
                return settings;
            if (type == 0) {
                std::uint32_t value = 0;
                if (!card32(value))
                    return settings;
                if (name == "Net/EnableEventSounds")
                    settings.enabled = value != 0;
            } else if (type == 1) {
                std::uint32_t length = 0;
                std::string_view value;
                if (!card32(length) || !bytes(length, value) || !skip(padding(length)))
                    return settings;
                if (name == "Net/SoundThemeName")
                    settings.theme = std::string(value);
            } else if (type != 2 || !skip(8)) {
                return settings;
            }
        }
        return settings;
    }

private:
    static std::size_t padding(std::size_t length) { return (4 - length % 4) % 4; }

    bool bytes(std::size_t length, std::string_view& out) {
        if (data_.size() - position_ < length)
            return false;
        out = data_.substr(position_, length);
        position_ += length;
        return true;
    }
    bool skip(std::size_t length) {
        std::string_view ignored;
        return bytes(length, ignored);
    }
    bool byte(std::uint8_t& out) {
        std::string_view b;
        if (!bytes(1, b))
            return false;
        out = static_cast<std::uint8_t>(b[0]);
        return true;
    }
    template <typename T> bool number(T& out) {
        std::string_view b;
        if (!bytes(sizeof(T), b))
            return false;
        out = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            const auto value =
                static_cast<T>(static_cast<unsigned char>(b[msbFirst_ ? i : sizeof(T) - 1 - i]));
            out = static_cast<T>((out << 8) | value);
        }
        return true;
    }
    bool card16(std::uint16_t& out) { return number(out); }
    bool card32(std::uint32_t& out) { return number(out); }

    std::string_view data_;
    std::size_t position_ = 0;
    bool msbFirst_ = false;
};

template <typename T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The settings the session's XSETTINGS manager (gsd-xsettings, xfsettingsd,
// xsettingsd) publishes for the first screen, which is where GTK reads them.
DesktopSoundSettings x11Settings(xcb_connection_t* connection) {
    const xcb_atom_t selection = internAtom(connection, "_XSETTINGS_S0");
    const xcb_atom_t property = internAtom(connection, "_XSETTINGS_SETTINGS");
    if (selection == XCB_ATOM_NONE || property == XCB_ATOM_NONE)
        return {};
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr),
        &std::free);
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return {};
    // The whole property, up to a size no settings manager comes near.
    const XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, owner->owner, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536),
            nullptr),
        &std::free);
    if (!reply || reply->format != 8)
        return {};
    const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
    return XSettingsReader(std::string_view(value, length)).read();
}

// GTK on Wayland reads the same two settings from GNOME's sound schema, where
// it is installed. Only where settings are stored, though: without dconf GIO
// would fall back to defaults held in memory, and say so on stderr.
DesktopSoundSettings gsettingsSettings() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (!qEnvironmentVariableIsSet("GSETTINGS_BACKEND") &&
        !QFile::exists(config + QStringLiteral("/dconf/user")))
        return {};
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source)
        return {};
    std::unique_ptr<GSettingsSchema, decltype(&g_settings_schema_unref)> schema(
        g_settings_schema_source_lookup(source, "org.gnome.desktop.sound", TRUE), &g_settings_schema_unref);
    if (!schema || !g_settings_schema_has_key(schema.get(), "event-sounds") ||
        !g_settings_schema_has_key(schema.get(), "theme-name"))
        return {};
    std::unique_ptr<GSettings, decltype(&g_object_unref)> settings(
        g_settings_new_full(schema.get(), nullptr, nullptr), &g_object_unref);
    DesktopSoundSettings result;
    result.enabled = g_settings_get_boolean(settings.get(), "event-sounds") != FALSE;
    std::unique_ptr<gchar, decltype(&g_free)> theme(g_settings_get_string(settings.get(), "theme-name"),
                                                    &g_free);
    if (theme)
        result.theme = theme.get();
    return result;
}

DesktopSoundSettings desktopSoundSettings() {
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        return x11Settings(x11->connection());
    return gsettingsSettings();
}

struct ProplistDeleter {
    void operator()(ca_proplist* list) const { ca_proplist_destroy(list); }
};

} // namespace

CanberraSound::CanberraSound() {
    if (ca_context_create(&context_) != CA_SUCCESS) {
        context_ = nullptr;
        return;
    }
    // Set before the first sound connects, so that the sound server lists
    // the sounds under ORVO's name and icon.
    const QByteArray name = QGuiApplication::applicationDisplayName().toUtf8();
    const QByteArray id = QGuiApplication::desktopFileName().toUtf8();
    ca_context_change_props(context_, CA_PROP_APPLICATION_NAME, name.constData(), CA_PROP_APPLICATION_ID,
                            id.constData(), CA_PROP_APPLICATION_ICON_NAME, id.constData(), nullptr);
}

// The context is left to the end of the process, which follows. Destroying it
// right after a sound stopped unloads ALSA's plugins while PipeWire's plugin
// may still be closing that sound's stream on a thread of its own: the
// process then crashes now and again. Whoever plays sounds cancels them first.
CanberraSound::~CanberraSound() = default;

void CanberraSound::play(std::uint32_t id, const EventSound& sound) {
    if (!context_)
        return;
    ca_proplist* list = nullptr;
    if (ca_proplist_create(&list) != CA_SUCCESS)
        return;
    const std::unique_ptr<ca_proplist, ProplistDeleter> owner(list);
    // libcanberra itself drops the sound while the switch is off, as it does
    // for GTK applications.
    const DesktopSoundSettings settings = desktopSoundSettings();
    ca_proplist_sets(list, CA_PROP_CANBERRA_ENABLE, settings.enabled ? "1" : "0");
    if (!settings.theme.empty())
        ca_proplist_sets(list, CA_PROP_CANBERRA_XDG_THEME_NAME, settings.theme.c_str());
    ca_proplist_sets(list, CA_PROP_EVENT_ID, sound.eventId.c_str());
    ca_proplist_sets(list, CA_PROP_EVENT_DESCRIPTION,
                     truncatedUtf8(sound.description, kMaxDescription).c_str());
    // Without a sound device, a sound server or the sound in the theme this
    // fails, and nothing else is to be done about it.
    ca_context_play_full(context_, id, list, nullptr, nullptr);
}

void CanberraSound::cancel(std::uint32_t id) {
    // Fails harmlessly when nothing was ever played.
    if (context_)
        ca_context_cancel(context_, id);
}

} // namespace orvo::qt
