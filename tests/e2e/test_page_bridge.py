"""Page messages from every kind of frame reach the shell, in order and intact,
and nothing but the page's own posts can produce one. The status tooltip, read
over D-Bus, shows what the shell received."""
import json
import os
import time
import unittest

from harness import ELSEWHERE, TENANT, Desktop, NotifyMonitor, renderer_pids, wait_until
from sni_watcher import TrayClient

WIDGETS = "widgets.orvo.test"
PAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pages_bridge")
STRICT_CSP = ("default-src 'none'; script-src 'self'; require-trusted-types-for 'script'; "
              "trusted-types 'none'")
PREFIX = "ORVO \u2014 "


def read_page(name):
    with open(os.path.join(PAGES, name), encoding="utf-8") as f:
        return f.read()


class PageBridgeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The widgets origin gets a renderer process of its own, so that its
        # frame really is out of process.
        cls.desktop = Desktop(name=cls.__name__, sni_watcher=True,
                              chromium_flags=[f"--isolate-origins=https://{WIDGETS}"])
        d = cls.desktop.__enter__()
        try:
            cls.step = "idle"
            d.server.page(TENANT, "/", read_page("top.html"))
            d.server.page(TENANT, "/step", lambda _req: (200, {"Cache-Control": "no-store"}, cls.step),
                          content_type="text/plain")
            for host in (TENANT, WIDGETS, ELSEWHERE):
                d.server.page(host, "/attack.html", read_page("attack.html"))
            for host in (TENANT, WIDGETS):
                d.server.page(host, "/frame.html", read_page("frame.html"))
                d.server.page(host, "/nest.html", read_page("nest.html"))
            d.server.page(TENANT, "/csp-frame.html", read_page("csp-frame.html"),
                          headers={"Content-Security-Policy": STRICT_CSP})
            d.server.page(TENANT, "/csp-frame.js", read_page("csp-frame.js"),
                          content_type="text/javascript", headers={"Content-Security-Policy": STRICT_CSP})
            d.write_host(TENANT)
            cls.monitor = NotifyMonitor(d.env, os.path.join(d.artifacts, f"{cls.__name__}.dbus.log"))
            cls.orvo = d.start_orvo()
            cls.tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
            cls.item = cls.tray.wait_item()
            d.server.wait_for(host=TENANT, path="/step")
        except BaseException:
            cls.desktop.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.monitor.__exit__(None)
        try:
            exit_code = cls.desktop.stop_orvo(cls.orvo)
        finally:
            cls.desktop.__exit__(None, None, None)
        if exit_code != 0:
            raise AssertionError(f"orvo exited with {exit_code}")

    def run_step(self, step, expected):
        """Has the page act out `step` and returns the tooltip once it equals
        `expected` (or, for a function, once expected(tooltip) holds)."""
        type(self).step = f"{step}#{time.monotonic()}"
        matches = expected if callable(expected) else expected.__eq__
        last = [None]

        def shows_expected():
            last[0] = self.tray.tooltip(self.item)
            return matches(last[0])

        try:
            wait_until(shows_expected, timeout=20)
        except AssertionError:
            self.fail(f"step {step}: tooltip is {last[0]!r:.200}, expected {expected!r:.200}")
        return last[0]

    def test_every_frame_of_the_tenants_site_reaches_the_shell(self):
        # Cross-origin and nested frames are of another host of the same site.
        kinds = ["main", "same-origin", "cross-origin", "nested", "srcdoc", "strict-csp"]
        for kind in kinds:
            with self.subTest(kind=kind):
                self.run_step(kind, f"{PREFIX}In a call from {kind}")
                if kind == "cross-origin":
                    self.assertGreaterEqual(len(renderer_pids(self.orvo.pid)), 2,
                                            "the cross-origin frame shares the page's process")

    def test_other_sites_cannot_drive_the_desktop(self):
        # Each frame posts a status, calls and a notification, and forges the
        # transport's lines in the tenant's name; none of it may have an effect.
        # The tenant's own status afterwards shows that the shell has read past them.
        d = self.desktop
        for step, kind in [("attack-cross-site", "cross-site"), ("attack-sandboxed", "sandboxed"),
                           ("attack-data", None), ("sandboxed", None), ("cross-origin-sandboxed", None)]:
            with self.subTest(step):
                since, notifies = d.server.mark(), len(self.monitor.calls())
                count = self.tray.tooltip_changes(self.item)
                type(self).step = f"{step}#{time.monotonic()}"
                if kind:
                    report = d.server.wait_for_beacon("attacked", since=since).query["data"]
                    self.assertEqual(report, f"{kind}:0", "the frame caught a line of the transport")
                else:
                    time.sleep(1.5)
                time.sleep(0.5)
                self.run_step(f"say:after {step}", f"{PREFIX}after {step}")
                self.assertEqual(count(), 1, "a frame of another site changed the tooltip")
                self.assertEqual(len(self.monitor.calls()), notifies, "a frame of another site posted a notification")

    def test_page_sees_only_a_fixed_handler_object(self):
        # The page reports what it found; every entry states the sound outcome.
        tooltip = self.run_step("surface", lambda t: t.startswith(PREFIX + "{"))
        self.assertEqual(json.loads(tooltip[len(PREFIX):]), {
            "qt": "undefined",
            "handlers": ["orvo"],
            "webkitWritable": True,
            "handlerWritable": True,
            "postMessageWritable": True,
            "deleteWebkit": "object",
            "throws": ["no"] * 6,
            "chromeThrows": "no",
        })

    def test_text_arrives_unchanged(self):
        # D-Bus strings cannot hold NUL, so the tray shows U+FFFD in its place;
        # everything else is exactly what the page posted.
        self.run_step("text", PREFIX + "|".join(["line\nbreak", "tab\t", "quote\"'", "back\\slash",
                                                  "emoji \U0001F4DE", "sep\u2028", "</script>",
                                                  "nul\ufffdend"]))
        self.run_step("large", PREFIX + "abc\u00e9\U0001F4DE" * 200000)

    def test_lone_surrogate_is_not_passed_off_as_valid_text(self):
        # Half a surrogate pair is no text; the shell gets bytes that no UTF-8
        # reader accepts, and the tray shows a replacement character.
        tooltip = self.run_step("lone-surrogate", lambda t: t.startswith(PREFIX + "half "))
        self.assertTrue(tooltip.endswith(" pair"), tooltip)
        self.assertIn("\ufffd", tooltip)
        self.assertNotIn("\ud83d", tooltip)

    def test_console_lines_of_the_page_are_not_messages(self):
        count = self.tray.tooltip_changes(self.item)
        self.run_step("spoof", PREFIX + "after spoof")
        # Only the page's real post changed the tooltip; the imitations did not.
        self.assertEqual(count(), 1)

    def test_ten_thousand_messages_arrive_in_order(self):
        count = self.tray.tooltip_changes(self.item)
        type(self).step = f"burst#{time.monotonic()}"
        received, times = count(until=10000, timeout=120)
        self.assertEqual(received, 10000, "messages were lost")
        self.assertEqual(self.tray.tooltip(self.item), PREFIX + "burst 10000")
        self.assertEqual(count(), 10000, "more tooltip changes than messages")
        print(f"\n10,000 status messages: first to last tooltip change {1000 * (times[-1] - times[0]):.0f} ms",
              flush=True)


if __name__ == "__main__":
    unittest.main()
