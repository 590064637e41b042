"""ORVO under faults and hostile input: the page's process dying, termination
at awkward moments, other processes talking to the single-instance socket,
and a notification server (or another bus client) sending bad signals."""

import ast
import json
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import CONTROL_SCRIPT, HERE, Desktop, renderer_pids, wait_until
from sni_watcher import TrayClient

TENANT = "tenant.orvo.test"
PREFIX = "ORVO \u2014 "
PERMISSION_PROMPT = "^ORVO permission$"
# The app gives up on a page whose process dies again this soon after the
# last reload.
RETRY_WINDOW = 10
NOBODY = 65534


def tenant_page(load):
    """The tenant's page: says which load it is in the status, keeps the
    commands it hears in `window.commands` and reports each with a beacon."""
    return (
        "<!doctype html><title>Tenant</title><body>"
        "<script>"
        "window.commands = [];"
        "window.chrome.webview.addEventListener('message', e => {"
        "  window.commands.push(e.data);"
        "  navigator.sendBeacon('/beacon?what=command&data=' + encodeURIComponent(e.data));"
        "});"
        f"window.chrome.webview.postMessage('orvo-status:load {load}');"
        "</script>" + CONTROL_SCRIPT + "</body>"
    )


class CountingPage:
    """Serves tenant_page with the number of the request, so each load of the
    start address is told apart."""

    def __init__(self):
        self.loads = 0
        self._lock = threading.Lock()

    def __call__(self, _request):
        with self._lock:
            self.loads += 1
            load = self.loads
        return 200, {}, tenant_page(load)


def kill_renderers(pid):
    killed = renderer_pids(pid)
    for child in killed:
        try:
            os.kill(child, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return killed


def group_processes(pgid):
    """The processes still in the process group (ORVO and its helpers)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[2]) == pgid and fields[0] != "Z":
                    found.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return found


class CrashRecoveryTest(unittest.TestCase):
    def test_dead_page_process_is_loaded_again_but_not_in_a_loop(self):
        with Desktop(name=self.id(), sni_watcher=True) as d:
            page = CountingPage()
            d.server.page(TENANT, "/", page)
            d.write_host(TENANT)
            orvo = d.start_orvo()
            tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
            item = wait_until(lambda: (tray.items() or [None])[0], message="ORVO registered no status item")
            wait_until(lambda: tray.tooltip(item) == PREFIX + "load 1", message="the first load posted nothing")

            # A crash soon after a reload is left alone, so each round begins
            # after the window since the last reload has passed. The second
            # kill of a round must land inside the window; on a machine too
            # slow for that, the round is tried again.
            last_reload = None
            gave_up = False
            for _round in range(3):
                if last_reload is not None:
                    time.sleep(max(0.0, last_reload + RETRY_WINDOW + 1 - time.monotonic()))
                mark = d.server.mark()
                self.assertTrue(kill_renderers(orvo.pid), "found no renderer process to kill")
                reload = d.server.wait_for(host=TENANT, path="/", since=mark)
                last_reload = reload.time
                # The reloaded page's bridge works both ways.
                wait_until(lambda: tray.tooltip(item) == PREFIX + f"load {page.loads}",
                           message="the reloaded page's status did not reach the tray")
                self.assertEqual(d.server.run_js(TENANT, "window.commands.length"), (True, "0"))
                if time.monotonic() - last_reload > RETRY_WINDOW - 3:
                    continue

                mark = d.server.mark()
                loads = page.loads
                self.assertTrue(kill_renderers(orvo.pid), "found no renderer process to kill")
                # Long enough for a reload, which is queued at once, to show.
                time.sleep(5)
                self.assertEqual([r for r in d.server.requests[mark:] if r.route == "/"], [],
                                 "a page that died twice in a row was loaded again")
                self.assertEqual(page.loads, loads)
                gave_up = True
                break
            self.assertTrue(gave_up, "no second crash landed within the retry window in three rounds")

            # The app itself lives on and still answers over the bus.
            self.assertIsNone(orvo.poll())
            self.assertEqual(tray.tooltip(item), PREFIX + f"load {page.loads}")
            d.screenshot()
            self.assertEqual(d.stop_orvo(orvo), 0)


class GracefulEndTest(unittest.TestCase):
    def assert_clean_end(self, d, orvo, host):
        self.assertEqual(d.wait_exit(orvo), 0, "a signal or failure ended the run (a core dump, if any)")
        # Chromium's helpers go with the browser, not after the harness.
        wait_until(lambda: not group_processes(orvo.pid), timeout=15,
                   message=f"helper processes outlived ORVO: {group_processes(orvo.pid)}")
        self.assertEqual(d.read_host(), host)
        with open(os.path.join(d.config_home, "Zandoral", "Orvo.conf"), "rb") as f:
            self.assertIn(b"OrvoMain", f.read())
        uid = os.getuid()
        for leftover in (f"orvo-{uid}.lock", f"orvo-{uid}.sock"):
            self.assertFalse(os.path.exists(os.path.join(d.runtime_dir, leftover)), leftover)
        self.assertEqual([n for n in os.listdir(".") if n.startswith("core")], [])

    def test_sigterm_at_awkward_moments_ends_cleanly(self):
        released = threading.Event()
        state = {"block": False}

        def start_page(_request):
            # Held open while the case wants the page to be loading.
            if state["block"]:
                released.wait(60)
            return 200, {}, tenant_page(1)

        def loading(d, _orvo):
            state["block"] = True
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
            d.wait_for_window(PERMISSION_PROMPT)
            return orvo

        def address_prompt(d, _orvo):
            os.remove(os.path.join(d.settings_dir, "host.txt"))
            orvo = d.start_orvo()
            self.assertLess(d.window_geometry(d.wait_for_window("^ORVO$")).width, 600, "no address prompt")
            return orvo

        def messages_streaming(d, orvo):
            d.server.run_js(TENANT, "(setInterval(() => { for (let i = 0; i < 200; i++) "
                                    "window.chrome.webview.postMessage('orvo-status:' + i); }, 0), 1)")
            time.sleep(1)
            return orvo

        cases = [
            # (label, what brings the moment about, the page is loaded first,
            #  host.txt afterwards)
            ("while the start page is loading", loading, False, TENANT),
            ("while a call notification is on screen", notification_shown, True, TENANT),
            ("while the permission prompt is open", permission_prompt, True, TENANT),
            ("while the address prompt is open", address_prompt, False, None),
            ("while page messages stream in", messages_streaming, True, TENANT),
        ]
        with Desktop(name=self.id(), dunst=True) as d:
            d.server.page(TENANT, "/", start_page)
            d.write_host(TENANT)
            # Once, so that the window frame is stored before any case.
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            self.assertEqual(d.stop_orvo(orvo), 0)
            for label, bring_about, loaded_first, host in cases:
                with self.subTest(label):
                    d.write_host(TENANT)
                    d.dunstctl("close-all")
                    state["block"] = False
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
chunks = json.load(sys.stdin)
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
s.settimeout(5)
try:
    for chunk in chunks:
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
        apart and reports whether ORVO then closed the connection ("closed")
        or kept it ("open")."""
        kwargs = {}
        if uid is not None:
            kwargs = {"user": uid, "group": uid, "extra_groups": []}
        result = subprocess.run(["/usr/bin/python3", "-c", PEER_SCRIPT, path], input=json.dumps(chunks),
                                capture_output=True, text=True, timeout=30, **kwargs)
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
        ]
        with Desktop(name=self.id()) as d:
            d.server.page(TENANT, "/", tenant_page(1))
            d.write_host(TENANT)
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            wid = d.wait_for_window("^ORVO$")
            d.spawn(["xmessage", "-title", "cover", "-geometry", "1920x1080+0+0", "covering window"])
            cover = d.wait_for_window("^cover$")
            path = os.path.join(d.runtime_dir, f"orvo-{os.getuid()}.sock")
            self.assertTrue(os.path.exists(path))
            # Loosened as a careless setup might leave them, so that only the
            # credential check stands between another user and the app.
            for folder in (d.root, d.runtime_dir):
                os.chmod(folder, 0o711)
            os.chmod(path, 0o777)

            for label, uid, chunks, hang_up, raised in cases:
                with self.subTest(label):
                    if uid is not None and os.getuid() != 0:
                        self.skipTest("connecting as another user needs root")
                    d.xdotool("windowraise", cover)
                    wait_until(lambda: d.is_above(cover, wid), timeout=10)
                    self.assertEqual(self.talk(path, chunks, uid), hang_up)
                    if raised:
                        wait_until(lambda: d.is_above(wid, cover), timeout=10,
                                   message="the request did not raise the window")
                    else:
                        time.sleep(1.5)
                        self.assertTrue(d.is_above(cover, wid), "the window came forward")
                    self.assertIsNone(orvo.poll())

            with self.subTest("idle connections do not keep a launch out"):
                idle = []
                try:
                    for _ in range(30):
                        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                        s.connect(path)
                        s.sendall(b"r")
                        idle.append(s)
                    d.xdotool("windowraise", cover)
                    wait_until(lambda: d.is_above(cover, wid), timeout=10)
                    second = d.start_orvo()
                    self.assertEqual(d.wait_exit(second), 0)
                    wait_until(lambda: d.is_above(wid, cover), timeout=10,
                               message="the second launch did not raise the window")
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
        def write(d, name, data):
            path = os.path.join(d.config_home, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

        def fifo(d, name):
            path = os.path.join(d.config_home, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.mkfifo(path)

        frame = "Zandoral/Orvo.conf"
        host = "Zandoral.Orvo/host.txt"
        cases = [
            # (label, damage, the address prompt comes instead of the page)
            ("frame file of random bytes", lambda d: write(d, frame, os.urandom(4096)), False),
            ("frame value that is no frame",
             lambda d: write(d, frame, b"[OrvoMain]\ngeometry=@ByteArray(" + b"\\x1" * 100000 + b")\n"), False),
            ("frame file is a pipe", lambda d: fifo(d, frame), False),
            ("host file of random bytes", lambda d: write(d, host, os.urandom(1 << 20)), True),
            ("host file is a pipe", lambda d: fifo(d, host), True),
        ]
        for number, (label, damage, prompt) in enumerate(cases):
            with self.subTest(label), Desktop(name=f"{self.id()}.{number}") as d:
                d.server.page(TENANT, "/", tenant_page(1))
                if not prompt:
                    d.write_host(TENANT)
                damage(d)
                orvo = d.start_orvo()
                wid = d.wait_for_window("^ORVO$")
                g = d.window_geometry(wid)
                if prompt:
                    self.assertLess(g.width, 600, "the address prompt should have come")
                    self.assertEqual(d.server.requests, [])
                else:
                    self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
                    g = d.window_geometry(d.wait_for_window("^ORVO$"))
                    self.assertEqual(g, ((1920 - 1200) // 2, (1080 - 800) // 2, 1200, 800))
                self.assertEqual(d.stop_orvo(orvo), 0)


class NotificationSignalTest(unittest.TestCase):
    def script(self, d, method, *args):
        return d.gdbus("call", "--session", "--dest", "org.freedesktop.Notifications", "--object-path",
                       "/org/freedesktop/Notifications", "--method", f"org.orvo.test.Script.{method}", *args)

    def server_log(self, d):
        # gdbus prints GVariant text: ([('Notify', 1, 'Incoming call'), ...],)
        text = self.script(d, "Log").strip()
        text = text.replace("uint32 ", "").replace("@a(sus) ", "")
        return [tuple(entry) for entry in ast.literal_eval(text)[0]]

    def commands(self, d):
        ok, value = d.server.run_js(TENANT, "window.commands.join('|')")
        self.assertTrue(ok, value)
        return value.split("|") if value else []

    def call(self, d, caller, number):
        d.server.run_js(TENANT, f"window.chrome.webview.postMessage('orvo-call:{caller}'), 1")
        wait_until(lambda: ("Notify", number, "Incoming call") in self.server_log(d), timeout=20,
                   message=f"call {number} was not posted")

    def test_malformed_and_foreign_signals_are_dropped(self):
        long_key = "A" * 100000
        bad = [
            ("ActionInvoked", "(uint32 1,)"),
            ("ActionInvoked", "('1', 'ANSWER')"),
            ("ActionInvoked", "(int32 1, 'ANSWER')"),
            ("ActionInvoked", "(uint32 1, 'ANSWER', 'extra')"),
            ("ActionInvoked", "(uint32 1, uint32 7)"),
            ("ActionInvoked", "(uint32 1, <'ANSWER'>)"),
            ("ActionInvoked", "(uint32 999, 'ANSWER')"),
            ("ActionInvoked", "(uint32 1, 'answer')"),
            ("ActionInvoked", "(uint32 1, '')"),
            ("ActionInvoked", f"(uint32 1, '{long_key}')"),
            ("NotificationClosed", "(uint32 1, 'x')"),
            ("NotificationClosed", "(uint32 1,)"),
            ("NotificationClosed", "(uint32 999, uint32 2)"),
        ]
        with Desktop(name=self.id()) as d:
            d.spawn(["/usr/bin/python3", os.path.join(HERE, "scripted_notification_server.py")])
            wait_until(lambda: d.bus_name_has_owner("org.freedesktop.Notifications"), timeout=20,
                       message="the scripted server did not take its name")
            d.server.page(TENANT, "/", tenant_page(1))
            d.write_host(TENANT)
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))

            with self.subTest("bad signals from the server itself"):
                self.call(d, "Alice", 1)
                for member, arguments in bad:
                    self.script(d, "Emit", member, arguments)
                # Signals from one sender arrive in order: once the good one
                # has had its effect, every bad one before it has been handled.
                mark = d.server.mark()
                self.script(d, "Emit", "ActionInvoked", "(uint32 1, 'ANSWER')")
                d.server.wait_for(route="/beacon", since=mark, pred=lambda r: r.query.get("what") == "command")
                self.assertEqual(self.commands(d), ["orvo-cmd:answer"])
                wait_until(lambda: ("CloseNotification", 1, "") in self.server_log(d), timeout=10,
                           message="the answered call was not closed")
                # Settled: the same answer once more does nothing.
                self.script(d, "Emit", "ActionInvoked", "(uint32 1, 'ANSWER')")

            with self.subTest("another bus client posing as the server"):
                self.call(d, "Bob", 2)
                d.gdbus("emit", "--session", "--object-path", "/org/freedesktop/Notifications", "--signal",
                        "org.freedesktop.Notifications.ActionInvoked", "2", "ANSWER")
                mark = d.server.mark()
                self.script(d, "Emit", "ActionInvoked", "(uint32 2, 'DECLINE')")
                d.server.wait_for(route="/beacon", since=mark, pred=lambda r: r.query.get("what") == "command")
                self.assertEqual(self.commands(d), ["orvo-cmd:answer", "orvo-cmd:decline"])

            self.assertIsNone(orvo.poll())
            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
