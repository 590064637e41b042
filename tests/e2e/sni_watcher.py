# A StatusNotifierWatcher for python3-dbusmock (--template): items register,
# a host is always present, so Qt publishes its tray icon.
import dbus

BUS_NAME = MAIN_IFACE = "org.kde.StatusNotifierWatcher"
MAIN_OBJ = "/StatusNotifierWatcher"
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {"RegisteredStatusNotifierItems": dbus.Array([], signature="s"),
                                    "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0)})
    mock.AddMethods(MAIN_IFACE, [
        ("RegisterStatusNotifierItem", "s", "", "i = 'org.kde.StatusNotifierWatcher'; "
         "self.Set(i, 'RegisteredStatusNotifierItems', [args[0]] + self.Get(i, 'RegisteredStatusNotifierItems'))"),
        ("RegisterStatusNotifierHost", "s", "", "")])
