# Journey: first start with the address prompt, then days of use.
import os
import signal
import stat
import unittest

from harness import CENTRED, TENANT, Desktop, page, wait_until


class StartJourney(unittest.TestCase):
    def test_journey(self):
        with Desktop(self.id()) as d:
            saved_first = []

            def start_page(r):
                # What host.txt held when the page was first asked for.
                saved_first.append(d.host())
                headers = [("Content-Type", "text/html")]
                if "sid=" not in r.headers.get("cookie", ""):
                    headers += [("Set-Cookie", "sid=s1; Path=/; Secure; HttpOnly; SameSite=Lax"),
                                ("Set-Cookie", "keep=p1; Path=/; Secure; Max-Age=86400")]
                return 200, headers, page()

            d.server.pages[("*", "/")] = start_page
            # Answers that end the run without saving or loading anything: the
            # buttons (Quit is second), Escape, a host the rule refuses.
            for text, keys in [(TENANT, ["Tab", "Tab", "space"]), (TENANT, ["Escape"]), ("localhost", ["Return"]),
                               ("", ["Return"])]:
                with self.subTest(text=text, keys=keys):
                    orvo = d.start_orvo()
                    prompt = d.window(main=False)
                    self.assertLess(d.geometry(prompt)[2], 600, "the prompt is not the first window")
                    d.run("xdotool", "windowfocus", "--sync", prompt)
                    text and d.run("xdotool", "type", "--delay", 20, text)
                    d.run("xdotool", "key", *keys)
                    self.assertEqual(d.wait_exit(orvo), 0)
                    self.assertIsNone(d.host())
            self.assertEqual(d.server.requests, [], "something was loaded without a host")

            # The answer is reduced to the host, saved (with the umask's mode)
            # before the page is asked for, and loaded in a centred window.
            umask = os.umask(0o027)
            try:
                orvo = d.start_orvo()
            finally:
                os.umask(umask)
            prompt = d.window(main=False)
            d.run("xdotool", "windowfocus", "--sync", prompt)
            d.run("xdotool", "type", "--delay", 20, "  HTTPS://Tenant.ORVO.test:444/app?x=1  ")
            d.run("xdotool", "key", "Return")
            self.assertEqual(d.server.run_js(TENANT, "location.href"), (True, f"https://{TENANT}/"))
            self.assertEqual((saved_first, d.host()), ([TENANT], TENANT))
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(d.settings_dir, "host.txt")).st_mode), 0o640)
            wid = d.window()
            self.assertEqual(d.geometry(wid), CENTRED)
            self.assertEqual(d.server.run_js(TENANT, "innerWidth + 'x' + innerHeight"), (True, "1200x800"))

            # The tray: its tooltip and menu; "Open ORVO" and a second launch
            # bring the window in front of another application's.
            wait_until(lambda: d.tooltip() == "ORVO", 20, "no tray item")
            self.assertEqual((d.tray("Title"), d.tray_menu()), ("ORVO", ["Open ORVO", "separator", "Quit"]))
            for bring in (lambda: d.tray_menu("Open ORVO"), lambda: self.assertEqual(d.wait_exit(d.start_orvo()), 0)):
                cover = d.cover()
                wait_until(lambda: d.above(cover, wid))
                bring()
                wait_until(lambda: d.above(wid, cover), 10, "the window did not come forward")
                d.run("xdotool", "windowkill", cover)
            self.assertEqual((d.windows(), len(d.server.loads())), ([wid], 1), "the second launch ran on its own")

            # The frame the user gave the window is saved on Quit and restored.
            d.run("xdotool", "windowsize", wid, 900, 640, "windowmove", wid, 100, 60)
            wait_until(lambda: d.server.run_js(TENANT, "innerWidth + 'x' + innerHeight") == (True, "900x640"))
            d.tray_menu("Quit")
            self.assertEqual(d.stop_orvo(orvo), 0)
            runtime = os.listdir(d.runtime_dir)
            self.assertFalse([n for n in runtime if n.startswith("orvo-")], "lock or socket left behind")

            # Next day: no prompt, the login cookies are sent, the frame is back.
            mark = d.server.mark()
            orvo = d.start_orvo()
            cookie = d.server.wait_for(lambda r: r.path == "/", mark).headers.get("cookie", "")
            self.assertEqual(sorted(cookie.split("; ")), ["keep=p1", "sid=s1"])
            # Site data stays where earlier versions kept it.
            self.assertTrue(os.path.isdir(os.path.join(d.data_home, "Zandoral/Orvo/WebEngine")))
            wid = d.window()
            wait_until(lambda: d.geometry(wid) == (100, 60, 900, 640), 10, f"frame not restored: {d.geometry(wid)}")
            # Where a monitor that is gone now would have put it: ignored next time.
            d.run("xdotool", "windowmove", wid, 3000, 2000)
            wait_until(lambda: d.geometry(wid)[0] == 3000)
            self.assertEqual(d.stop_orvo(orvo), 0)

            # A seed file alone also skips the prompt; SIGHUP and SIGINT end cleanly.
            os.remove(os.path.join(d.settings_dir, "host.txt"))
            d.write("seed.txt", "https://Seeded.orvo.test/login\n")
            for sig in (signal.SIGHUP, signal.SIGINT):
                orvo = d.start_orvo()
                self.assertEqual(d.server.run_js("seeded.orvo.test", "1"), (True, "1"))
                x, y, _, _ = d.geometry(d.window())
                self.assertTrue(0 <= x <= 1920 - 64 and 0 <= y <= 1080 - 32, f"window out of reach at {x},{y}")
                self.assertEqual(d.stop_orvo(orvo, sig), 0)
            self.assertEqual(d.host(), "seeded.orvo.test")


if __name__ == "__main__":
    unittest.main()
