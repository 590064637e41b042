"""ORVO under faults and hostile input: the page's process dying, termination
at awkward moments, other processes talking to the single-instance socket,
damaged settings, and bad signals from (or posing as) the notification server."""

import ast
import json
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import CENTRED, COMMAND_LISTENER, HERE, TENANT, Desktop, group_members, renderer_pids, test_page, wait_until
from sni_watcher import TrayClient

PREFIX = "ORVO \u2014 "
NOBODY = 65534


def tenant_page(load=1):
    """Reports which load it is in the status and records every command."""
    return test_page(f"{COMMAND_LISTENER}<script>window.chrome.webview.postMessage('orvo-status:load {load}')</script>")


def kill_renderers(pid):
    killed = renderer_pids(pid)
    for child in killed:
        try:
            os.kill(child, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return killed


class CrashRecoveryTest(unittest.TestCase):
    def test_dead_page_process_keeps_coming_back(self):
        loads = []

        def counting_page(_request):
            loads.append(1)
            if len(loads) > 1:
                time.sleep(1)  # a reload that takes a moment shows the tooltip of a dead page
            return 200, {}, tenant_page(len(loads))

        with Desktop(name=self.id(), sni_watcher=True) as d:
            d.serve_tenant(counting_page)
            orvo = d.start_orvo()
            tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
            item = tray.wait_item()
            wait_until(lambda: tray.tooltip(item) == PREFIX + "load 1", message="the first load posted nothing")

            kills = []
            for _round in range(3):
                mark = d.server.mark()
                self.assertTrue(kill_renderers(orvo.pid), "found no renderer process to kill")
                kills.append(time.monotonic())
                # Nothing runs the softphone: the tooltip must not say it is online.
                wait_until(lambda: tray.tooltip(item) == "ORVO", timeout=10,
                           message="the tooltip kept the dead page's status")
                d.server.wait_for(host=TENANT, path="/", since=mark, timeout=20)
                # The reloaded page's bridge works both ways.
                wait_until(lambda: tray.tooltip(item) == PREFIX + f"load {len(loads)}",
                           message="the reloaded page's status did not reach the tray")
                self.assertEqual(d.server.run_js(TENANT, "window.commands.length"), (True, "0"))
            self.assertLess(kills[-1] - kills[0], 10, "the three deaths were not close together")
            self.assertEqual(len(loads), 4)
            self.assertEqual(d.stop_orvo(orvo), 0)


class StartPageRetryTest(unittest.TestCase):
    def test_start_page_down_at_launch_is_loaded_when_it_comes_back(self):
        up_at = time.monotonic() + 10
        tries = []

        def flaky_page(_request):
            tries.append(time.monotonic())
            if time.monotonic() < up_at:
                return 503, {"Retry-After": "1"}, "down for maintenance"
            return 200, {}, tenant_page()

        with Desktop(name=self.id(), sni_watcher=True) as d:
            d.serve_tenant(flaky_page)
            orvo = d.start_orvo()
            tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
            item = tray.wait_item()
            wait_until(lambda: tray.tooltip(item) == PREFIX + "load 1", timeout=60,
                       message="the start page was not loaded again once the server was back")
            self.assertGreaterEqual(len(tries), 3, tries)
            # The tries thin out rather than hammer the server.
            gaps = [b - a for a, b in zip(tries, tries[1:])]
            self.assertTrue(all(g >= 3 for g in gaps), gaps)
            # A page that loaded is left alone.
            count = len(tries)
            time.sleep(8)
            self.assertEqual(len(tries), count)
            self.assertEqual(d.server.run_js(TENANT, "window.commands.length"), (True, "0"))
            self.assertEqual(d.stop_orvo(orvo), 0)


class GracefulEndTest(unittest.TestCase):
    def assert_clean_end(self, d, orvo, host):
        self.assertEqual(d.wait_exit(orvo), 0, "a signal or failure ended the run (a core dump, if any)")
        # Chromium's helpers go with the browser, not after the harness.
        wait_until(lambda: not group_members(orvo.pid), timeout=15,
                   message=f"helper processes outlived ORVO: {group_members(orvo.pid)}")
        self.assertEqual(d.read_host(), host)
        with open(os.path.join(d.config_home, "Zandoral", "Orvo.conf"), "rb") as f:
            self.assertIn(b"OrvoMain", f.read())
        for leftover in (f"orvo-{os.getuid()}.lock", f"orvo-{os.getuid()}.sock"):
            self.assertFalse(os.path.exists(os.path.join(d.runtime_dir, leftover)), leftover)
        self.assertEqual([n for n in os.listdir(".") if n.startswith("core")], [])

    def test_sigterm_at_awkward_moments_ends_cleanly(self):
        released = threading.Event()
        blocking = [False]

        def start_page(_request):
            if blocking[0]:  # held open while the case wants the page loading
                released.wait(60)
            return 200, {}, tenant_page()

        def loading(d, _orvo):
            blocking[0] = True
            released.clear()
            mark = d.server.mark()
            orvo = d.start_orvo()
            d.server.wait_for(host=TENANT, path="/", since=mark)
            return orvo

        def notification_shown(d, orvo):
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-call:Alice'), 1")
            wait_until(lambda: d.dunstctl("count", "displayed").strip() == "1", timeout=20,
                       message="dunst shows no call")
            return orvo

        def permission_prompt(d, orvo):
            d.server.command(TENANT, "navigator.mediaDevices.getUserMedia({video: true}).then(() => 1)")
            d.wait_for_window("^ORVO permission$")
            return orvo

        def address_prompt(d, _orvo):
            os.remove(os.path.join(d.settings_dir, "host.txt"))
            orvo = d.start_orvo()
            self.assertLess(d.window_geometry(d.wait_for_window()).width, 600, "no address prompt")
            return orvo

        def messages_streaming(d, orvo):
            d.server.run_js(TENANT, "(setInterval(() => { for (let i = 0; i < 200; i++) "
                                    "window.chrome.webview.postMessage('orvo-status:' + i); }, 0), 1)")
            time.sleep(1)
            return orvo

        cases = [
            # (label, what brings the moment about, page loaded first, host.txt afterwards)
            ("while the start page is loading", loading, False, TENANT),
            ("while a call notification is on screen", notification_shown, True, TENANT),
            ("while the permission prompt is open", permission_prompt, True, TENANT),
            ("while the address prompt is open", address_prompt, False, None),
            ("while page messages stream in", messages_streaming, True, TENANT),
        ]
        with Desktop(name=self.id(), dunst=True) as d:
            d.serve_tenant(start_page)
            # Once, so that the window frame is stored before any case.
            d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            self.assertEqual(d.stop_orvo(), 0)
            for label, bring_about, loaded_first, host in cases:
                with self.subTest(label):
                    d.write_host(TENANT)
                    d.dunstctl("close-all")
                    blocking[0] = False
                    orvo = None
                    if loaded_first:
                        orvo = d.start_orvo()
                        self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
                    orvo = bring_about(d, orvo)
                    orvo.send_signal(signal.SIGTERM)
                    try:
                        self.assert_clean_end(d, orvo, host)
                    finally:
                        released.set()


PEER_SCRIPT = r"""
import json, socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
s.settimeout(5)
try:
    for chunk in json.load(sys.stdin):
        s.sendall(chunk.encode())
        time.sleep(0.3)
    print("closed" if s.recv(1) == b"" else "data")
except (ConnectionResetError, BrokenPipeError):
    print("closed")
except socket.timeout:
    print("open")
"""


class SingleInstanceSocketTest(unittest.TestCase):
    def talk(self, path, chunks, uid=None):
        """Connects as `uid` (this user when None), sends the chunks a little
        apart and says whether ORVO then hung up ("closed") or not ("open")."""
        user = {} if uid is None else {"user": uid, "group": uid, "extra_groups": []}
        result = subprocess.run(["/usr/bin/python3", "-c", PEER_SCRIPT, path], input=json.dumps(chunks),
                                capture_output=True, text=True, timeout=30, **user)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def test_only_the_same_user_and_only_the_one_message(self):
        cases = [
            # (label, connecting user, chunks sent, ORVO hangs up, window raised)
            ("another user's raise", NOBODY, ["raise\n"], "closed", False),
            ("an unknown word", None, ["hello!\n"], "closed", False),
            ("raise with more after it", None, ["raise\nraise\n"], "closed", False),
            ("NUL bytes", None, ["\0" * 7], "closed", False),
            ("a megabyte", None, ["x" * (1 << 20)], "closed", False),
            ("half a message, then silence", None, ["rais"], "open", False),
            ("raise in two pieces", None, ["rai", "se\n"], "closed", True),
            ("raise with a startup id", None, ["raise orvo_TIME5\n"], "closed", True),
            ("a startup id with a space", None, ["raise orvo TIME5\n"], "closed", False),
            ("a startup id of 256 characters", None, ["raise " + "a" * 256 + "\n"], "closed", False),
        ]
        with Desktop(name=self.id()) as d:
            d.serve_tenant(tenant_page())
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            wid = d.wait_for_window()
            cover = d.cover_window()
            path = os.path.join(d.runtime_dir, f"orvo-{os.getuid()}.sock")
            # Loosened as a careless setup might leave them, so that only the
            # credential check stands between another user and the app.
            for folder in (d.root, d.runtime_dir):
                os.chmod(folder, 0o711)
            os.chmod(path, 0o777)

            def covered_then(act, raises, what):
                d.xdotool("windowraise", cover)
                wait_until(lambda: d.is_above(cover, wid), timeout=10)
                act()
                if raises:
                    wait_until(lambda: d.is_above(wid, cover), timeout=10, message=f"{what} did not raise the window")
                else:
                    time.sleep(1.5)
                    self.assertTrue(d.is_above(cover, wid), f"{what} brought the window forward")

            for label, uid, chunks, hang_up, raised in cases:
                with self.subTest(label):
                    if uid is not None and os.getuid() != 0:
                        self.skipTest("connecting as another user needs root")
                    covered_then(lambda: self.assertEqual(self.talk(path, chunks, uid), hang_up), raised, label)
                    self.assertIsNone(orvo.poll())

            with self.subTest("idle connections do not keep a launch out"):
                idle = []
                try:
                    for _ in range(30):
                        idle.append(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
                        idle[-1].connect(path)
                        idle[-1].sendall(b"r")
                    covered_then(lambda: self.assertEqual(d.wait_exit(d.start_orvo()), 0), True, "a second launch")
                    # The oldest idle peers were let go to make room.
                    for s in idle[:10]:
                        s.settimeout(5)
                        self.assertEqual(s.recv(1), b"")
                finally:
                    for s in idle:
                        s.close()
            self.assertEqual(d.stop_orvo(orvo), 0)


class BadSettingsTest(unittest.TestCase):
    def test_damaged_settings_files_give_the_defaults(self):
        def write(name, data):
            def damage(d):
                path = os.path.join(d.config_home, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                if data is None:
                    os.mkfifo(path)
                else:
                    with open(path, "wb") as f:
                        f.write(data)
            return damage

        frame, host = "Zandoral/Orvo.conf", "Zandoral.Orvo/host.txt"
        cases = [
            # (label, damage (None: a pipe), the address prompt comes instead of the page)
            ("frame file of random bytes", write(frame, os.urandom(4096)), False),
            ("frame value that is no frame",
             write(frame, b"[OrvoMain]\ngeometry=@ByteArray(" + b"\\x1" * 100000 + b")\n"), False),
            ("frame file is a pipe", write(frame, None), False),
            ("host file of random bytes", write(host, os.urandom(1 << 20)), True),
            ("host file is a pipe", write(host, None), True),
        ]
        for number, (label, damage, prompt) in enumerate(cases):
            with self.subTest(label), Desktop(name=f"{self.id()}.{number}") as d:
                d.server.page(TENANT, "/", tenant_page())
                if not prompt:
                    d.write_host(TENANT)
                damage(d)
                orvo = d.start_orvo()
                if prompt:
                    self.assertLess(d.window_geometry(d.wait_for_window()).width, 600, "the address prompt should come")
                    self.assertEqual(d.server.requests, [])
                else:
                    self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
                    self.assertEqual(d.window_geometry(d.wait_for_window()), CENTRED)
                self.assertEqual(d.stop_orvo(orvo), 0)


class NotificationSignalTest(unittest.TestCase):
    def script(self, d, method, *args):
        return d.gdbus("call", "--session", "--dest", "org.freedesktop.Notifications", "--object-path",
                       "/org/freedesktop/Notifications", "--method", f"org.orvo.test.Script.{method}", *args)

    def server_log(self, d):
        # gdbus prints GVariant text: ([('Notify', 1, 'Incoming call'), ...],)
        text = self.script(d, "Log").strip().replace("uint32 ", "").replace("@a(sus) ", "")
        return [tuple(entry) for entry in ast.literal_eval(text)[0]]

    def call(self, d, caller, number):
        d.server.run_js(TENANT, f"window.chrome.webview.postMessage('orvo-call:{caller}'), 1")
        wait_until(lambda: ("Notify", number, "Incoming call") in self.server_log(d), timeout=20,
                   message=f"call {number} was not posted")

    def emit_and_wait_for_command(self, d, arguments):
        # Signals from one sender arrive in order: once this good one has had
        # its effect, every signal before it has been handled.
        mark = d.server.mark()
        self.script(d, "Emit", "ActionInvoked", arguments)
        d.server.wait_for_beacon("command", since=mark)
        return d.server.beacons("command")

    def test_malformed_and_foreign_signals_are_dropped(self):
        bad = [("ActionInvoked", args) for args in (
            "(uint32 1,)", "('1', 'ANSWER')", "(int32 1, 'ANSWER')", "(uint32 1, 'ANSWER', 'extra')",
            "(uint32 1, uint32 7)", "(uint32 1, <'ANSWER'>)", "(uint32 999, 'ANSWER')", "(uint32 1, 'answer')",
            "(uint32 1, '')", f"(uint32 1, '{'A' * 100000}')")]
        bad += [("NotificationClosed", args) for args in ("(uint32 1, 'x')", "(uint32 1,)", "(uint32 999, uint32 2)")]
        with Desktop(name=self.id()) as d:
            d.spawn(["/usr/bin/python3", os.path.join(HERE, "scripted_notification_server.py")])
            d.wait_for_bus_name("org.freedesktop.Notifications")
            d.serve_tenant(tenant_page())
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))

            with self.subTest("bad signals from the server itself"):
                self.call(d, "Alice", 1)
                for member, arguments in bad:
                    self.script(d, "Emit", member, arguments)
                self.assertEqual(self.emit_and_wait_for_command(d, "(uint32 1, 'ANSWER')"), ["orvo-cmd:answer"])
                wait_until(lambda: ("CloseNotification", 1, "") in self.server_log(d), timeout=10,
                           message="the answered call was not closed")
                # Settled: the same answer once more does nothing.
                self.script(d, "Emit", "ActionInvoked", "(uint32 1, 'ANSWER')")

            with self.subTest("another bus client posing as the server"):
                self.call(d, "Bob", 2)
                d.gdbus("emit", "--session", "--object-path", "/org/freedesktop/Notifications", "--signal",
                        "org.freedesktop.Notifications.ActionInvoked", "2", "ANSWER")
                self.assertEqual(self.emit_and_wait_for_command(d, "(uint32 2, 'DECLINE')"),
                                 ["orvo-cmd:answer", "orvo-cmd:decline"])
            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
