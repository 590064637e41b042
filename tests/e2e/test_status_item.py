"""The tray item: its tooltip and menu as the desktop sees them over D-Bus, and
what its menu entries do."""
import os
import re
import subprocess
import unittest

from harness import Desktop, wait_until
from sni_watcher import TrayClient

TENANT = "tenant.orvo.test"


def start_window_manager(d):
    """Minimising needs a window manager; openbox is small and speaks EWMH."""
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=d.env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    wait_until(lambda: "window id" in subprocess.run(
        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=d.env, capture_output=True, text=True).stdout,
        timeout=20, message="openbox did not start")
    return wm


def map_state(d, wid):
    out = subprocess.run(["xwininfo", "-id", wid], env=d.env, capture_output=True, text=True).stdout
    return re.search(r"Map State: (\w+)", out).group(1)


def wm_state(d, wid):
    return subprocess.run(["xprop", "-id", wid, "_NET_WM_STATE"], env=d.env, capture_output=True,
                          text=True).stdout


class StatusItemTest(unittest.TestCase):
    def test_tooltip_menu_open_and_quit(self):
        with Desktop(name=self.id(), sni_watcher=True) as d:
            wm = start_window_manager(d)
            try:
                d.server.page(TENANT, "/", "<!doctype html><title>Tenant</title><p>tenant")
                d.write_host(TENANT)
                orvo = d.start_orvo()
                tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
                item = wait_until(lambda: (tray.items() or [None])[0], timeout=30,
                                  message="ORVO registered no status item")
                self.assertEqual(tray.tooltip(item), "ORVO")

                entries = [(props.get("type", "standard"), props.get("label", "").replace("_", ""),
                            props.get("shortcut")) for _, props in tray.menu(item)]
                self.assertEqual([(t, label) for t, label, _ in entries],
                                 [("standard", "Open ORVO"), ("separator", ""), ("standard", "Quit")])
                self.assertIsNone(entries[0][2])
                self.assertEqual(entries[2][2], [["Control", "Q"]])

                # Minimised: the window manager unmaps it and marks it hidden.
                wid = d.wait_for_window("^ORVO$")
                d.xdotool("windowminimize", wid)
                wait_until(lambda: map_state(d, wid) == "IsUnMapped", timeout=10,
                           message="the window did not minimise")
                tray.click(item, "Open ORVO")
                wait_until(lambda: map_state(d, wid) == "IsViewable", timeout=10,
                           message="Open ORVO did not bring the window back")
                wait_until(lambda: "_NET_WM_STATE_HIDDEN" not in wm_state(d, wid), timeout=10,
                           message="the window is still marked hidden")
                d.screenshot()

                tray.click(item, "Quit")
                self.assertEqual(d.wait_exit(orvo, timeout=30), 0)
                wait_until(lambda: tray.items() == [], timeout=10,
                           message="the status item outlived the application")
            finally:
                os.killpg(wm.pid, 9)
                wm.wait()


if __name__ == "__main__":
    unittest.main()
