"""One journey through ORVO on the desktops people run: Xfce on X11, sway with
mako on Wayland, GNOME Shell with the AppIndicator extension (and KDE Plasma,
behind ORVO_TEST_KDE=1 as `make test-kde` sets it).

Every desktop meets the same assertions; a desktop contributes only how it is
started and how a user's view of it is read and acted on: where ORVO's window
is and whether it has the focus, what the notification shows, and pressing
Answer the way that desktop's notifications are answered. Each run leaves a
screenshot with the call notification and a line of timings in the artifacts.
"""

import json
import os
import re
import shutil
import subprocess
import time
import unittest

from harness import COMMAND_LISTENER, HERE, TENANT, Desktop, test_page, wait_until
from sni_watcher import TrayClient


class Recipe:
    """How one desktop is started, observed and acted on."""
    x11 = True
    system_bus = False
    unprivileged = False
    # Whether the desktop lets ORVO take the focus from another application
    # when Answer is pressed on its notification.
    grants_activation = True
    app_id = None  # how the desktop names ORVO's window's application

    def __init__(self, d):
        self.d = d

    def run(self, *argv, **kwargs):
        return subprocess.run(argv, env=self.d.env, capture_output=True, text=True, timeout=20, **kwargs).stdout

    def start(self):
        raise NotImplementedError

    def windows(self):
        """[{title, app, focused, frame: (x, y, width, height)}] of the top-level windows."""
        raise NotImplementedError

    def work_area(self):
        """(x, y, width, height) that windows may cover."""
        raise NotImplementedError

    def call_notifications(self):
        """[{title, body, buttons: [label...]}] of the notifications on screen."""
        raise NotImplementedError

    def press(self, label):
        """Presses the button of this label on the notification on screen."""
        raise NotImplementedError

    def screenshot(self, path):
        raise NotImplementedError

    def click_into(self, title):
        """Gives the window of this title the front as a user's click does;
        Wayland compositors give it to a new window on their own."""


class X11(Recipe):
    """What X11 desktops share: windows, the work area and pictures through
    the X server, a window put in front as a click does."""
    app_id = "Orvo"  # WM_CLASS, which StartupWMClass matches

    def _geometry(self, wid):
        out = self.run("xwininfo", "-id", wid)
        x, y, w, h = (int(re.search(rf"{k}:\s+(-?\d+)", out).group(1))
                      for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        extents = re.findall(r"-?\d+", self.run("xprop", "-id", wid, "_NET_FRAME_EXTENTS").split("=")[-1])
        left, right, top, bottom = map(int, extents) if len(extents) == 4 else (0, 0, 0, 0)
        return (x - left, y - top, w + left + right, h + top + bottom)

    def windows(self):
        active = self.run("xdotool", "getactivewindow").strip()
        found = []
        for wid in self.run("xdotool", "search", "--onlyvisible", "--name", ".").split():
            title = self.run("xdotool", "getwindowname", wid).strip()
            klass = re.findall(r'"([^"]*)"', self.run("xprop", "-id", wid, "WM_CLASS"))
            found.append({"title": title, "app": klass[-1] if klass else None, "focused": wid == active,
                          "frame": self._geometry(wid), "wid": wid})
        return found

    def work_area(self):
        return tuple(map(int, re.findall(r"\d+", self.run("xprop", "-root", "_NET_WORKAREA").split("=")[-1])[:4]))

    def wait_ready(self):
        # Ready once the panel keeps its strip free of windows and hosts the
        # tray, and the notification server is up.
        wait_until(lambda: len(area := self.work_area()) == 4 and area[3] < 800, timeout=60, message="the panel reserved no space")
        self.d.wait_for_bus_name("org.kde.StatusNotifierWatcher", timeout=60)
        self.d.wait_for_bus_name("org.freedesktop.Notifications", timeout=60)

    def call_notifications(self):
        # Neither xfce4-notifyd nor Plasma lets its notifications be read
        # back; the texts and buttons are drawn from the notification's
        # fields, which the bus shows. Here it is enough that one is up.
        return [{"window": wid} for wid in self._bubbles()]

    def click(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1")

    def screenshot(self, path):
        self.run("import", "-window", "root", path)

    def click_into(self, title):
        # The window manager keeps a new window from taking the focus away
        # from one the user works in; a click on it does.
        [wid] = [w["wid"] for w in self.windows() if w["title"] == title]
        self.run("xdotool", "windowactivate", wid)


class Xfce(X11):
    """Xfce 4.18 on X11: xfwm4, a panel with the tray, xfce4-notifyd."""

    PANEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="tasklist"/>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
"""

    def start(self):
        folder = os.path.join(self.d.config_home, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfce4-panel.xml"), "w") as f:
            f.write(self.PANEL)
        self.d._give_to_user(self.d.config_home)
        self.d.spawn(["xfwm4", "--compositor=off"])
        wait_until(lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), timeout=20,
                   message="xfwm4 did not start")
        self.d.spawn(["xfce4-panel", "--disable-wm-check"])
        self.d.spawn(["/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd"])
        self.wait_ready()

    def _bubbles(self):
        return self.run("xdotool", "search", "--onlyvisible", "--class", "xfce4-notifyd").split()

    def press(self, label):
        [wid] = self._bubbles()
        x, y, w, h = self._geometry(wid)
        # One button per action, the default one included, in the order ORVO
        # sends them, of equal width across the bubble's bottom row inside a
        # margin of 14 pixels.
        buttons = ["Open ORVO", "Answer", "Decline"]
        centre = x + 14 + (w - 28) * (2 * buttons.index(label) + 1) // (2 * len(buttons))
        self.click(centre, y + h - 30)


class Kde(X11):
    """KDE Plasma 5.27 on X11: KWin and plasmashell, whose panel holds the
    tray and the notifications; kded runs the tray's watcher."""

    def start(self):
        self.d.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_FULL_SESSION="true", KDE_SESSION_VERSION="5")
        self.d.spawn(["kwin_x11"])
        wait_until(lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), timeout=30,
                   message="KWin did not start")
        self.d.spawn(["kded5"])
        self.d.spawn(["plasmashell"])
        self.wait_ready()

    def _bubbles(self):
        return [wid for wid in self.run("xdotool", "search", "--onlyvisible", "--class", "plasmashell").split()
                if "_NET_WM_WINDOW_TYPE_NOTIFICATION" in self.run("xprop", "-id", wid, "_NET_WM_WINDOW_TYPE")]

    def press(self, label):
        [wid] = self._bubbles()
        x, y, w, h = self._geometry(wid)
        # The action buttons sit right-aligned in the popup's bottom row,
        # Decline last; the default action has no button.
        offset = {"Answer": 106, "Decline": 37}[label]
        self.click(x + w - offset, y + h - 19)


class Sway(Recipe):
    x11 = False
    unprivileged = True
    app_id = "Zandoral.Orvo"
    # sway moves the focus only for an activation request that carries a
    # token. mako makes one only for a pointer click on the bubble (its
    # default action); an Answer through makoctl, as a key binding runs it,
    # carries none.
    grants_activation = False

    CONFIG = """output HEADLESS-1 resolution 1280x800 position 0,0
default_border normal
focus_on_window_activation focus
bar {
    position top
    status_command while :; do echo ORVO test; sleep 3600; done
    tray_output *
}
"""

    def start(self):
        config = os.path.join(self.d.root, "sway.conf")
        with open(config, "w") as f:
            f.write(self.CONFIG)
        self.d.env.update(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman",
                          XDG_CURRENT_DESKTOP="sway", QT_QPA_PLATFORM="wayland")
        self.d.env.pop("DISPLAY", None)
        self.d.spawn(["sway", "--config", config])
        socket = wait_until(lambda: next((n for n in os.listdir(self.d.runtime_dir)
                                          if re.fullmatch(r"wayland-\d+", n)), None), timeout=30,
                            message="sway made no Wayland socket")
        self.d.env["WAYLAND_DISPLAY"] = socket
        self.d.env["SWAYSOCK"] = wait_until(
            lambda: next((os.path.join(self.d.runtime_dir, n) for n in os.listdir(self.d.runtime_dir)
                          if n.startswith("sway-ipc.")), None), timeout=30, message="sway made no IPC socket")
        self.d.spawn(["mako"])
        self.d.wait_for_bus_name("org.freedesktop.Notifications")
        self.d.wait_for_bus_name("org.kde.StatusNotifierWatcher")

    def windows(self):
        tree = json.loads(self.run("swaymsg", "-t", "get_tree", "--raw"))
        found, todo = [], [tree]
        while todo:
            node = todo.pop()
            todo += node.get("nodes", []) + node.get("floating_nodes", [])
            if node.get("type") in ("con", "floating_con") and node.get("pid"):
                r, deco = node["rect"], node.get("deco_rect", {})
                found.append({"title": node.get("name"), "app": node.get("app_id"), "focused": node.get("focused"),
                              "frame": (r["x"], r["y"] - deco.get("height", 0), r["width"],
                                        r["height"] + deco.get("height", 0))})
        return found

    def work_area(self):
        [ws] = [w for w in json.loads(self.run("swaymsg", "-t", "get_workspaces", "--raw")) if w["visible"]]
        r = ws["rect"]
        return (r["x"], r["y"], r["width"], r["height"])

    def call_notifications(self):
        listing = json.loads(self.run("makoctl", "list") or '{"data": [[]]}')
        return [{"id": n["id"]["data"], "title": n["summary"]["data"], "body": n["body"]["data"],
                 "buttons": list(n["actions"]["data"].values())} for n in listing["data"][0]]

    def press(self, label):
        [n] = self.call_notifications()
        listing = json.loads(self.run("makoctl", "list"))["data"][0][0]
        [key] = [k for k, v in listing["actions"]["data"].items() if v == label]
        # What mako's own binding for an action does.
        self.run("makoctl", "invoke", "-n", str(n["id"]), key)

    def screenshot(self, path):
        self.run("grim", path)


class Gnome(Recipe):
    x11 = False
    system_bus = True
    unprivileged = True  # as root the shell posts a warning of its own
    # GNOME Shell 43 hands no activation token over with a notification's
    # action, and mutter refuses the focus to a Wayland client without one.
    grants_activation = False
    app_id = "Zandoral.Orvo.desktop"
    PROBE = "gnome_probe@orvo.test"
    EXTENSIONS = ["ubuntu-appindicators@ubuntu.com", PROBE]

    def start(self):
        # Settings in a key file of the private home: the AppIndicator
        # extension (the tray) and the probe that reads the shell for the test.
        settings = os.path.join(self.d.config_home, "glib-2.0", "settings")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "keyfile"), "w") as f:
            f.write(f"[org/gnome/shell]\nenabled-extensions={self.EXTENSIONS!r}\nwelcome-dialog-last-shown-version='999'\n")
        extensions = os.path.join(self.d.data_home, "gnome-shell", "extensions")
        os.makedirs(extensions, exist_ok=True)
        shutil.copytree(os.path.join(HERE, self.PROBE), os.path.join(extensions, self.PROBE))
        # Without a display manager the shell warns once that it cannot lock
        # the screen; this file says the warning was seen.
        open(os.path.join(self.d.data_home, "gnome-shell", "lock-warning-shown"), "w").close()
        self.d._give_to_user(self.d.home)
        self.d.env.update(GSETTINGS_BACKEND="keyfile", XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_TYPE="wayland",
                          QT_QPA_PLATFORM="wayland", WAYLAND_DISPLAY="wayland-orvo")
        self.d.env.pop("DISPLAY", None)
        self.d.spawn(["gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-orvo",
                      "--virtual-monitor", "1280x800"])
        self.d.wait_for_bus_name("org.orvo.TestProbe", timeout=60)
        self.d.wait_for_bus_name("org.kde.StatusNotifierWatcher", timeout=30)

    def probe(self, method, *args):
        out = self.d.gdbus("call", "--session", "--dest", "org.orvo.TestProbe", "--object-path", "/org/orvo/TestProbe",
                           "--method", f"org.orvo.TestProbe.{method}", *args)
        return out

    def _read(self, method):
        text = re.fullmatch(r"\('(.*)',\)\s*", self.probe(method), re.S).group(1)
        return json.loads(text.encode().decode("unicode_escape"))

    def windows(self):
        return [dict(w, frame=tuple(w["frame"])) for w in self._read("Windows")["windows"]]

    def work_area(self):
        return tuple(self._read("Windows")["workArea"])

    def call_notifications(self):
        shown = self._read("Notifications")
        return [{"source": n["source"], "title": n["title"], "body": n["body"], "buttons": shown["bannerButtons"]}
                for n in shown["notifications"]]

    def press(self, label):
        if "true" not in self.probe("PressButton", label):
            raise AssertionError(f"no button {label!r} on the banner")

    def screenshot(self, path):
        # The shell runs as the session's user, who may not write the artifacts.
        own = os.path.join(self.d.root, "screenshot.png")
        self.probe("Screenshot", own)
        shutil.copyfile(own, path)


class Journey:
    """The journey, run once per desktop by the subclasses below."""
    recipe = None

    def test_journey(self):
        with Desktop(name=self.id(), screen="1280x800x24", x11=self.recipe.x11, system_bus=self.recipe.system_bus,
                     unprivileged=self.recipe.unprivileged) as d:
            desktop = self.recipe(d)
            d.install_app()
            desktop.start()
            d.serve_tenant(test_page(COMMAND_LISTENER))
            tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])

            started = time.monotonic()
            d.start_orvo()
            # ORVO's window once the desktop has given it a size.
            orvo = lambda: next((w for w in desktop.windows() if w["title"] == "ORVO" and w["frame"][2]), None)  # noqa: E731
            window = wait_until(orvo, timeout=60, message="no window titled ORVO")
            mapped = time.monotonic() - started
            self.assertEqual(d.server.run_js(TENANT, "1", timeout=60), (True, "1"))
            loaded = time.monotonic() - started

            # The window is ORVO's by the desktop's account and lies wholly
            # inside the area windows may cover on this 1280x800 screen.
            self.assertEqual(window["app"], self.recipe.app_id)
            wx, wy, ww, wh = wait_until(orvo)["frame"]
            ax, ay, aw, ah = desktop.work_area()
            self.assertTrue(ax <= wx and ay <= wy and wx + ww <= ax + aw and wy + wh <= ay + ah,
                            f"window frame {(wx, wy, ww, wh)} leaves the work area {(ax, ay, aw, ah)}")

            # The tray item registers with the desktop's own watcher and its
            # tooltip follows the page's status.
            item = tray.wait_item()
            self.assertEqual(tray.tooltip(item), "ORVO")
            self.assertEqual(d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-status:On a call'), 1"), (True, '1'))
            wait_until(lambda: tray.tooltip(item) == "ORVO — On a call", timeout=10, message=f"the tooltip kept its text: {tray.tooltip(item)!r}")

            # A call: the notification shows with Answer and Decline. Then
            # another application takes the front, as it may while it rings.
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-call:Alice'), 1")
            [call] = wait_until(desktop.call_notifications, timeout=15, message="no notification on screen")
            # What a desktop lets the test read of it: the texts, the buttons
            # (the default action, a click on the body, may be listed too) and
            # the application it names as the source.
            expected = {"title": "Incoming call", "body": "Alice", "source": "ORVO"}
            self.assertEqual({k: call[k] for k in expected if k in call}, {k: v for k, v in expected.items() if k in call})
            self.assertLessEqual({"Answer", "Decline"}, set(call.get("buttons", ["Answer", "Decline"])), call)
            d.spawn(["/usr/bin/python3", os.path.join(HERE, "cover_window.py")])
            wait_until(lambda: any(w["title"] == "cover" for w in desktop.windows()), timeout=20,
                       message="the other window did not appear")
            desktop.click_into("cover")
            wait_until(lambda: any(w["title"] == "cover" and w["focused"] for w in desktop.windows()), timeout=20,
                       message="the other window did not take the front")
            desktop.screenshot(os.path.join(d.artifacts, f"{d.name}.png"))

            # Answer, pressed as this desktop's users press it, reaches the page.
            since = d.server.mark()
            desktop.press("Answer")
            self.assertEqual(d.server.wait_for_beacon("command", since=since).query.get("data"), "orvo-cmd:answer")
            try:
                wait_until(lambda: orvo()["focused"], timeout=10)
                activated = True
            except AssertionError:
                activated = False
            with open(os.path.join(d.artifacts, f"{d.name}.timings"), "w") as f:
                f.write(f"window {mapped:.2f}s, page {loaded:.2f}s, activated after Answer: {activated}\n")
            self.assertEqual(activated, self.recipe.grants_activation,
                             "the window's focus after Answer is not what this desktop grants")
            size = orvo()["frame"][2:]
            self.assertEqual(d.stop_orvo(), 0)

            # The next start restores the saved size (on Wayland the position
            # is the compositor's, so only the size).
            d.start_orvo()
            wait_until(lambda: (orvo() or {}).get("frame", ())[2:] == size, timeout=30,
                       message=f"the size {size} was not restored: {orvo()}")
            self.assertEqual(d.stop_orvo(), 0)


class XfceJourney(Journey, unittest.TestCase):
    recipe = Xfce


class SwayJourney(Journey, unittest.TestCase):
    recipe = Sway


class GnomeJourney(Journey, unittest.TestCase):
    recipe = Gnome


@unittest.skipUnless(os.environ.get("ORVO_TEST_KDE") == "1", "KDE Plasma runs under make test-kde")
class KdeJourney(Journey, unittest.TestCase):
    recipe = Kde


if __name__ == "__main__":
    unittest.main()
