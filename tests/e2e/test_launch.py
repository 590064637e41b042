"""Launching ORVO: the address prompt, the stored host, the main window, its
frame, a second launch, login cookies and the ways the run ends."""

import os
import shutil
import signal
import socket
import stat
import unittest

from harness import CENTRED, TENANT, Desktop, test_page, wait_until



class LaunchTest(unittest.TestCase):
    def main_window(self, d, loaded=None):
        """The main window: the one named ORVO at the main window's size (the
        prompt carries the same name but is far smaller). With `loaded`, first
        waits until that host's page runs, after which the window's X id no
        longer changes."""
        if loaded:
            self.assertEqual(d.server.run_js(loaded, "1"), (True, "1"))

        def find():
            wid = d.wait_for_window()
            return wid if d.window_geometry(wid).width >= 600 else None

        return wait_until(find, message="the main window did not appear")

    def test_prompt_answer_is_reduced_to_the_host_saved_and_loaded(self):
        with Desktop(name=self.id()) as d:
            d.server.page(TENANT, "/", test_page())
            # host.txt gets the mode the user's umask gives new files.
            umask = os.umask(0o027)
            try:
                orvo = d.start_orvo()
            finally:
                os.umask(umask)
            prompt = d.wait_for_window()
            self.assertLess(d.window_geometry(prompt).width, 600, "the prompt must come before the window")
            self.assertIsNone(d.read_host())

            d.type_into(prompt, "  HTTPS://Tenant.ORVO.test:444/app?x=1  ")
            request = d.server.wait_for(host=TENANT)
            self.assertEqual((request.method, request.path), ("GET", "/"))
            self.assertEqual(d.read_host(), TENANT)
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(d.settings_dir, "host.txt")).st_mode), 0o640)
            self.assertEqual(d.window_geometry(self.main_window(d, loaded=TENANT)), CENTRED)
            self.assertEqual(d.server.run_js(TENANT, "innerWidth + 'x' + innerHeight"), (True, "1200x800"))
            d.screenshot()
            self.assertEqual(d.stop_orvo(orvo), 0)

    def test_prompt_without_a_usable_answer_ends_the_run_and_saves_nothing(self):
        def press(*keys):
            return lambda d, wid: d.xdotool("key", *keys)

        cases = [
            ("Quit with an address typed", TENANT, press("Tab", "Tab", "space")),
            ("Escape", TENANT, press("Escape")),
            ("window closed", TENANT, lambda d, wid: d.close_window(wid)),
            ("terminated", TENANT, lambda d, wid: d.stop_orvo()),
            ("single label", "localhost", press("Return")),
            ("empty", "", press("Return")),
            ("digit in last label", "pbx.orvo.t3st", press("Return")),
        ]
        with Desktop(name=self.id()) as d:
            d.server.page("*", "/", test_page())
            for label, text, answer in cases:
                with self.subTest(label):
                    orvo = d.start_orvo()
                    prompt = d.wait_for_window()
                    d.type_into(prompt, text, then=None)
                    answer(d, prompt)
                    self.assertEqual(d.wait_exit(orvo), 0)
                    self.assertIsNone(d.read_host())
            self.assertEqual(d.server.requests, [], "nothing may be loaded without a host")

    def test_stored_or_seeded_host_skips_the_prompt(self):
        cases = [
            ("host.txt", "host.txt", "stored.orvo.test", "stored.orvo.test"),
            ("seed.txt only", "seed.txt", "https://Seeded.orvo.test/login\n", "seeded.orvo.test"),
        ]
        with Desktop(name=self.id()) as d:
            d.server.page("*", "/", test_page())
            for label, filename, text, host in cases:
                with self.subTest(label):
                    shutil.rmtree(d.settings_dir, ignore_errors=True)
                    d.write_setting(filename, text)
                    orvo = d.start_orvo()
                    d.server.wait_for(host=host, path="/")
                    # The only window named ORVO is the main window: no prompt.
                    self.assertEqual(d.find_windows("^ORVO$"), [self.main_window(d)])
                    self.assertEqual(d.read_host(), host)
                    self.assertEqual(d.stop_orvo(orvo), 0)

    def test_host_that_forms_no_url_shows_an_empty_window(self):
        with Desktop(name=self.id()) as d:
            d.write_host("bad host.orvo.test")
            orvo = d.start_orvo()
            self.main_window(d)
            self.assertIsNone(orvo.poll())
            self.assertEqual(d.server.requests, [])
            self.assertEqual(d.stop_orvo(orvo), 0)

    def test_window_frame_is_restored_unless_it_is_off_every_screen(self):
        with Desktop(name=self.id()) as d:
            d.serve_tenant(test_page())
            orvo = d.start_orvo()
            wid = self.main_window(d, loaded=TENANT)
            d.xdotool("windowsize", wid, 900, 640)
            d.xdotool("windowmove", wid, 100, 60)
            wait_until(lambda: d.window_geometry(wid) == (100, 60, 900, 640))
            # The web view follows the window's size.
            wait_until(lambda: d.server.run_js(TENANT, "innerWidth + 'x' + innerHeight") == (True, "900x640"))
            self.assertEqual(d.stop_orvo(orvo), 0)

            orvo = d.start_orvo()
            wid = self.main_window(d, loaded=TENANT)
            wait_until(lambda: d.window_geometry(wid) == (100, 60, 900, 640),
                       message=f"frame not restored: {d.window_geometry(wid)}")
            # Where a monitor that is gone now would have put it.
            d.xdotool("windowmove", wid, 3000, 2000)
            wait_until(lambda: d.window_geometry(wid).x == 3000)
            self.assertEqual(d.stop_orvo(orvo), 0)

            orvo = d.start_orvo()
            g = d.window_geometry(self.main_window(d, loaded=TENANT))
            self.assertTrue(0 <= g.x <= 1920 - 64 and 0 <= g.y <= 1080 - 32, f"window out of reach at {g}")
            self.assertEqual(d.stop_orvo(orvo), 0)

    def test_second_launch_raises_the_first_and_exits(self):
        with Desktop(name=self.id()) as d:
            d.serve_tenant(test_page())
            d.start_window_manager()
            first = d.start_orvo()
            wid = self.main_window(d, loaded=TENANT)
            other, typed = d.typing_target()
            # The launch's startup id reaches the running instance, which asks
            # the window manager with its time: one older than the user's
            # typing in the other window is refused, one from after it (or a
            # launch without an id, which asks with the current time) wins.
            cases = [
                # (label, environment of the second launch, ORVO comes forward)
                ("a startup id older than the typing", {"DESKTOP_STARTUP_ID": "orvo-test_TIME1"}, False),
                ("no startup id", {}, True),
            ]
            for label, env, forward in cases:
                with self.subTest(label):
                    d.xdotool("windowactivate", "--sync", other)
                    d.xdotool("type", "--delay", "20", "typing")
                    wait_until(lambda: typed().endswith("typing"), message="the other window did not get the keys")
                    self.assertEqual(d.wait_exit(d.start_orvo(env)), 0)
                    if forward:
                        wait_until(lambda: d.focused_window() == wid and d.is_above(wid, other), timeout=10,
                                   message="the first window did not come forward")
                    else:
                        wait_until(lambda: d.demands_attention(wid), timeout=10, message="ORVO was not flagged")
                        self.assertEqual(d.focused_window(), other)
            self.assertIsNone(first.poll())
            self.assertEqual(d.find_windows("^ORVO$"), [wid])
            self.assertEqual(len([r for r in d.server.requests if r.route == "/"]), 1)
            self.assertEqual(d.stop_orvo(first), 0)

    def test_without_runtime_dir_the_lock_lives_in_a_private_folder(self):
        uid = os.getuid()
        with Desktop(name=self.id()) as d:
            d.serve_tenant(test_page())
            tmp = os.path.join(d.root, "tmp")
            os.makedirs(tmp)
            env = {"XDG_RUNTIME_DIR": "", "TMPDIR": tmp}
            # A live lock planted in the shared folder, where another user
            # could put one, must not stop ORVO.
            exe = os.path.basename(os.readlink(f"/proc/{os.getpid()}/exe"))
            with open(os.path.join(tmp, f"orvo-{uid}.lock"), "w") as f:
                f.write(f"{os.getpid()}\n{exe}\n{socket.gethostname()}\n")
            first = d.start_orvo(env)
            d.server.wait_for(host=TENANT, path="/")
            folder = os.path.join(tmp, f"orvo-{uid}")
            info = os.lstat(folder)
            self.assertTrue(stat.S_ISDIR(info.st_mode))
            self.assertEqual(info.st_mode & 0o077, 0, oct(info.st_mode))
            self.assertTrue(os.path.exists(os.path.join(folder, f"orvo-{uid}.lock")))
            self.assertEqual(d.wait_exit(d.start_orvo(env)), 0, "the second launch did not hand over")
            self.assertIsNone(first.poll())
            self.assertEqual(d.stop_orvo(first), 0)

            # A folder that others may enter is not used: each launch runs.
            os.chmod(folder, 0o777)
            a, b = d.start_orvo(env), d.start_orvo(env)
            wait_until(lambda: len([r for r in d.server.requests if r.route == "/"]) == 3,
                       message="two launches without a private folder did not both load")
            self.assertIsNone(a.poll())
            self.assertIsNone(b.poll())
            self.assertEqual(d.stop_orvo(a), 0)
            self.assertEqual(d.stop_orvo(b), 0)

    def test_login_cookies_survive_a_clean_restart(self):
        def start_page(request):
            headers = [("Content-Type", "text/html; charset=utf-8")]
            if "sid=" not in request.headers.get("cookie", ""):
                headers += [("Set-Cookie", "sid=session-1; Path=/; Secure; HttpOnly; SameSite=Lax"),
                            ("Set-Cookie", "keep=persistent-1; Path=/; Secure; Max-Age=86400")]
            return 200, headers, "<!doctype html><script>fetch('/beacon?loaded=1', {method: 'POST'})</script>"

        with Desktop(name=self.id()) as d:
            d.serve_tenant(start_page)
            d.start_orvo()
            d.server.wait_for(route="/beacon")
            self.assertEqual(d.stop_orvo(), 0)

            mark = d.server.mark()
            d.start_orvo()
            cookies = d.server.wait_for(host=TENANT, path="/", since=mark).headers.get("cookie", "")
            self.assertIn("sid=session-1", cookies)
            self.assertIn("keep=persistent-1", cookies)
            self.assertEqual(d.stop_orvo(), 0)

    def test_the_run_ends_cleanly(self):
        cases = [
            ("main window closed", lambda orvo, d, wid: d.close_window(wid)),
            ("SIGTERM", lambda orvo, d, wid: orvo.send_signal(signal.SIGTERM)),
            ("SIGHUP", lambda orvo, d, wid: orvo.send_signal(signal.SIGHUP)),
            ("SIGINT", lambda orvo, d, wid: orvo.send_signal(signal.SIGINT)),
        ]
        with Desktop(name=self.id()) as d:
            d.serve_tenant(test_page())
            for label, end in cases:
                with self.subTest(label):
                    orvo = d.start_orvo()
                    end(orvo, d, self.main_window(d, loaded=TENANT))
                    # Each next case starting at all shows that the lock was released.
                    self.assertEqual(d.wait_exit(orvo), 0)


if __name__ == "__main__":
    unittest.main()
