#!/usr/bin/python3
"""A notification server that misbehaves on request, for tests of what ORVO
does with bad signals from the owner of org.freedesktop.Notifications (a real
server such as dunst only ever sends well-formed ones).

It answers GetCapabilities, GetServerInformation, Notify (ids count up from 1)
and CloseNotification like a real server, and offers on the same object:

    org.orvo.test.Script.Emit(s member, s arguments)
        emits org.freedesktop.Notifications.<member> with the GVariant text
        `arguments` (a tuple, for example "(uint32 1, 'ANSWER')") as its body
    org.orvo.test.Script.Log() -> a(sus)
        what happened so far: ("Notify", id, summary) and
        ("CloseNotification", id, "")
"""
from gi.repository import GLib

from sni_watcher import serve

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
XML = """<node>
<interface name="org.freedesktop.Notifications">
  <method name="GetCapabilities"><arg type="as" direction="out"/></method>
  <method name="GetServerInformation">
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
  </method>
  <method name="Notify">
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
  </method>
  <method name="CloseNotification"><arg type="u" direction="in"/></method>
</interface>
<interface name="org.orvo.test.Script">
  <method name="Emit"><arg type="s" direction="in"/><arg type="s" direction="in"/></method>
  <method name="Log"><arg type="a(sus)" direction="out"/></method>
</interface>
</node>"""

log = []
next_id = [1]


def on_call(conn, _sender, _path, _iface, method, params, invocation):
    if method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body", "body-markup"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("scripted", "orvo-tests", "1", "1.2")))
    elif method == "Notify":
        summary = params.unpack()[3]
        number = next_id[0]
        next_id[0] += 1
        log.append(("Notify", number, summary))
        invocation.return_value(GLib.Variant("(u)", (number,)))
    elif method == "CloseNotification":
        log.append(("CloseNotification", params.unpack()[0], ""))
        invocation.return_value(None)
    elif method == "Emit":
        member, text = params.unpack()
        try:
            body = GLib.Variant.parse(None, text, None, None)
        except GLib.Error as e:
            invocation.return_dbus_error("org.orvo.test.BadArguments", str(e))
            return
        conn.emit_signal(None, PATH, NAME, member, body)
        conn.flush_sync(None)
        invocation.return_value(None)
    elif method == "Log":
        invocation.return_value(GLib.Variant("(a(sus))", (log,)))


if __name__ == "__main__":
    serve(NAME, PATH, XML, on_call)
