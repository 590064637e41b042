#!/usr/bin/python3
"""A minimal StatusNotifierWatcher for tests: owns org.kde.StatusNotifierWatcher
on the session bus, records the items that register and says a host is present,
so that Qt publishes its tray icon as a StatusNotifierItem. Each registration is
printed as "REGISTERED <bus name>" and kept in RegisteredStatusNotifierItems;
an item whose bus name goes away is dropped again.

Imported, it offers TrayClient, with which tests read an item's tooltip and
menu and click menu entries, and serve(), which runs a D-Bus service of this
kind (scripted_notification_server.py uses it too)."""
import sys
import time

from gi.repository import Gio, GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
XML = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
</interface></node>"""
items = []


def on_call(conn, sender, path, iface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        service = params.unpack()[0]
        # An item may register by object path alone; its bus name is then the caller's.
        name = sender if service.startswith("/") else service
        if name not in items:
            items.append(name)
            print("REGISTERED", name, flush=True)
            conn.emit_signal(None, PATH, NAME, "StatusNotifierItemRegistered", GLib.Variant("(s)", (name,)))
    invocation.return_value(None)


def on_get(conn, sender, path, iface, prop):
    values = {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
              "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
              "ProtocolVersion": GLib.Variant("i", 0)}
    return values.get(prop)


def on_owner_changed(conn, sender, path, iface, signal, params):
    name, _old, new = params.unpack()
    if not new and name in items:
        items.remove(name)
        conn.emit_signal(None, PATH, NAME, "StatusNotifierItemUnregistered", GLib.Variant("(s)", (name,)))


class TrayClient:
    """What a test sees of the tray: the registered items, their tooltips and
    their menus, over the session bus at `address`."""

    def __init__(self, address):
        flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
        self.bus = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)

    def _call(self, dest, path, iface, method, args, reply):
        result = self.bus.call_sync(dest, path, iface, method, args, GLib.VariantType(reply),
                                    Gio.DBusCallFlags.NONE, 10000, None)
        return result.unpack()

    def _property(self, dest, path, iface, name):
        return self._call(dest, path, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (iface, name)), "(v)")[0]

    def items(self):
        return self._property(NAME, PATH, NAME, "RegisteredStatusNotifierItems")

    def wait_item(self, timeout=30):
        """The first item to register (ORVO's); fails after `timeout` s."""
        deadline = time.monotonic() + timeout
        while not self.items():
            if time.monotonic() > deadline:
                raise AssertionError("ORVO registered no status item")
            time.sleep(0.1)
        return self.items()[0]

    @staticmethod
    def _where(item):
        """(bus name, object path) of an item; the watchers of some desktops
        list it as "<bus name>/<path>" or "<bus name>@/<path>"."""
        name, slash, path = item.partition("/")
        return name.rstrip("@"), slash + path if slash else "/StatusNotifierItem"

    def tooltip(self, item):
        """The tooltip's title text, exactly as the item publishes it."""
        return self._property(*self._where(item), "org.kde.StatusNotifierItem", "ToolTip")[2]

    def menu(self, item):
        """[(id, properties)] of the top-level menu entries, in order."""
        name, item_path = self._where(item)
        path = self._property(name, item_path, "org.kde.StatusNotifierItem", "Menu")
        layout = self._call(name, path, "com.canonical.dbusmenu", "GetLayout",
                            GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1]
        return [(child[0], child[1]) for child in layout[2]]

    def tooltip_changes(self, item):
        """Counts the item's NewToolTip signals from now on. Returns a function
        giving the count so far; with `until`, it waits (at most `timeout`
        seconds) for that count and also returns the arrival times."""
        times = []
        name, item_path = self._where(item)
        self.bus.signal_subscribe(name, "org.kde.StatusNotifierItem", "NewToolTip", item_path,
                                  None, Gio.DBusSignalFlags.NONE, lambda *_: times.append(time.monotonic()))
        context = GLib.MainContext.default()

        def count(until=None, timeout=60):
            deadline = time.monotonic() + timeout
            while context.iteration(False):
                pass
            while until is not None and len(times) < until and time.monotonic() < deadline:
                context.iteration(True) if context.pending() else time.sleep(0.005)
            return len(times) if until is None else (len(times), list(times))

        return count

    def click(self, item, label):
        name, item_path = self._where(item)
        path = self._property(name, item_path, "org.kde.StatusNotifierItem", "Menu")
        ids = [i for i, props in self.menu(item) if props.get("label", "").replace("_", "") == label]
        if len(ids) != 1:
            raise AssertionError(f"menu entry {label!r} found {len(ids)} times")
        self._call(name, path, "com.canonical.dbusmenu", "Event",
                   GLib.Variant("(isvu)", (ids[0], "clicked", GLib.Variant("s", ""), 0)), "()")


def serve(name, path, xml, on_call, on_get=None, on_bus=None):
    """Owns `name` on the session bus and serves the interfaces of `xml` at
    `path` until the name is lost."""
    def acquired(conn, _name):
        for info in Gio.DBusNodeInfo.new_for_xml(xml).interfaces:
            conn.register_object(path, info, on_call, on_get, None)
        if on_bus:
            on_bus(conn)

    loop = GLib.MainLoop()
    Gio.bus_own_name(Gio.BusType.SESSION, name, Gio.BusNameOwnerFlags.NONE, acquired, None,
                     lambda *_: (print("lost", name, file=sys.stderr), loop.quit()))
    loop.run()


if __name__ == "__main__":
    serve(NAME, PATH, XML, on_call, on_get, on_bus=lambda conn: conn.signal_subscribe(
        "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", None,
        Gio.DBusSignalFlags.NONE, on_owner_changed))
