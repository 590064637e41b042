"""The tray item: its tooltip and menu as the desktop sees them over D-Bus, and
what its menu entries do."""
import re
import subprocess
import unittest

from harness import Desktop, wait_until
from sni_watcher import TrayClient


def x_output(d, *argv):
    return subprocess.run(argv, env=d.env, capture_output=True, text=True).stdout


def map_state(d, wid):
    return re.search(r"Map State: (\w+)", x_output(d, "xwininfo", "-id", wid)).group(1)


class StatusItemTest(unittest.TestCase):
    def test_tooltip_menu_open_and_quit(self):
        with Desktop(name=self.id(), sni_watcher=True) as d:
            # Minimising needs a window manager; openbox is small and speaks
            # EWMH. The session kills it at the end.
            d.spawn(["openbox", "--sm-disable"])
            wait_until(lambda: "window id" in x_output(d, "xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                       timeout=20, message="openbox did not start")
            d.serve_tenant("<!doctype html><title>Tenant</title><p>tenant")
            orvo = d.start_orvo()
            tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
            item = tray.wait_item()
            self.assertEqual(tray.tooltip(item), "ORVO")
            entries = [(props.get("type", "standard"), props.get("label", "").replace("_", ""),
                        props.get("shortcut")) for _, props in tray.menu(item)]
            self.assertEqual(entries, [("standard", "Open ORVO", None), ("separator", "", None),
                                       ("standard", "Quit", [["Control", "Q"]])])

            # Minimised: the window manager unmaps it and marks it hidden.
            wid = d.wait_for_window()
            d.xdotool("windowminimize", wid)
            wait_until(lambda: map_state(d, wid) == "IsUnMapped", timeout=10, message="the window did not minimise")
            tray.click(item, "Open ORVO")
            wait_until(lambda: map_state(d, wid) == "IsViewable", timeout=10,
                       message="Open ORVO did not bring the window back")
            wait_until(lambda: "_NET_WM_STATE_HIDDEN" not in x_output(d, "xprop", "-id", wid, "_NET_WM_STATE"),
                       timeout=10, message="the window is still marked hidden")
            d.screenshot()

            tray.click(item, "Quit")
            self.assertEqual(d.wait_exit(orvo), 0)
            wait_until(lambda: tray.items() == [], timeout=10, message="the status item outlived the application")


if __name__ == "__main__":
    unittest.main()
