# Journey: ORVO through faults and hostile input: desktop services missing,
# damaged settings, the page's process killed, the start page down, bad
# notification signals, strangers at the single-instance socket, a planted lock.
import json
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import CENTRED, HERE, PREFIX, TENANT, WIDGETS, Desktop, descendants, page, wait_until

LOADS, DOWN_UNTIL, HOLD = [], [0], threading.Event()


def counting_page(r):
    # Each load reports its number in the status and takes a second, so that a
    # dead page's tooltip can be seen; the server is down (503) until
    # DOWN_UNTIL, and holds the answer while HOLD is set.
    while HOLD.is_set():
        time.sleep(0.1)
    LOADS.append(time.monotonic())
    if time.monotonic() < DOWN_UNTIL[0]:
        return 503, [("Retry-After", "1")], "down"
    time.sleep(1 if len(LOADS) > 1 else 0)
    return 200, [("Content-Type", "text/html")], page(f"<script>window.chrome.webview.postMessage("
                                                         f"'orvo-status:load {len(LOADS)}')</script>")


class FaultsJourney(unittest.TestCase):
    def test_journey(self):
        with Desktop(self.id(), watcher=False) as d:
            d.tenant(counting_page)
            # No tray watcher and no notification server: the page still runs and
            # its calls are no fault.
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-call:A'), 1"), (True, "1"))
            self.assertEqual(d.server.run_js(TENANT, "2"), (True, "2"))
            self.assertEqual(d.stop_orvo(orvo), 0)

            # Damaged settings: (file, content or None for a pipe, the address prompt comes)
            for name, data, prompt in [("Zandoral/Orvo.conf", os.urandom(4096), False), ("Zandoral/Orvo.conf", None,
                                       False), ("Zandoral/Orvo.conf", b"[OrvoMain]\ngeometry=@ByteArray(" +
                                       b"\\x1" * 100000 + b")\n", False), ("Zandoral.Orvo/host.txt", os.urandom(1 << 20),
                                       True), ("Zandoral.Orvo/host.txt", None, True)]:
                d.write(name, data, d.config_home)
                mark, orvo = d.server.mark(), d.start_orvo()
                if prompt:
                    self.assertLess(d.geometry(d.window(main=False))[2], 600, "no address prompt")
                    self.assertEqual(d.server.loads(since=mark), [])
                else:
                    self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
                    self.assertEqual(d.geometry(d.window()), CENTRED)
                self.assertEqual(d.stop_orvo(orvo), 0, name)
                os.remove(os.path.join(d.config_home, name))
            d.write("host.txt", TENANT)

            # Dead page processes, three within 10 s: each time the tooltip stops
            # claiming the page's status, the page comes back and the bridge works.
            d.spawn(["/usr/bin/python3", "-m", "dbusmock", "--template", os.path.join(HERE, "sni_watcher.py")])
            d.spawn(["/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon", "-p",
                     '{"capabilities": "actions body body-markup"}'])
            d.wait_for_name("org.freedesktop.Notifications")
            LOADS.clear()
            orvo = d.start_orvo()
            wait_until(lambda: d.tooltip() == PREFIX + "load 1", 30, "the first load posted nothing")
            kills = []
            for n in (2, 3, 4):
                for pid in descendants(orvo.pid, renderers=True) or self.fail("no renderer to kill"):
                    os.kill(pid, signal.SIGKILL)
                kills.append(time.monotonic())
                wait_until(lambda: d.tooltip() == "ORVO", 10, "the dead page's status stayed")
                wait_until(lambda: d.tooltip() == PREFIX + f"load {n}", 20, f"load {n} did not come")
            self.assertLess(kills[-1] - kills[0], 10)
            # A frame of the tenant's site in a process of its own is heard in the new renderer too.
            d.server.pages[(WIDGETS, "/widget")] = "<script>chrome.webview.postMessage('orvo-status:widget')</script>"
            d.server.run_js(TENANT, f"document.body.append(Object.assign(document.createElement('iframe'), "
                                    f"{{src: 'https://{WIDGETS}/widget'}})), 1")
            wait_until(lambda: d.tooltip() == PREFIX + "widget", 10, "the widget frame was not heard after the crashes")
            self.assertEqual(d.server.run_js(TENANT, "window.commands.length"), (True, "0"))

            # Notification signals: malformed ones and those of other bus clients are
            # dropped on the way in (which ids and keys count is the unit tests' to judge).
            mock = ["gdbus", "call", "--session", "-d", "org.freedesktop.Notifications", "-o",
                    "/org/freedesktop/Notifications", "-m", "org.freedesktop.DBus.Mock.EmitSignal",
                    "org.freedesktop.Notifications"]
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-call:Alice'), 1")
            wait_until(lambda: "Notify" in d.run(*mock[:8], "org.freedesktop.DBus.Mock.GetCalls"), 10, "no Notify")
            for member, sig, args in [("ActionInvoked", "u", "[<uint32 1>]"), ("ActionInvoked", "ss", "[<'1'>, <'ANSWER'>]"),
                                      ("ActionInvoked", "is", "[<1>, <'ANSWER'>]"), ("ActionInvoked", "uu", "[<uint32 1>, <uint32 7>]"),
                                      ("ActionInvoked", "uss", "[<uint32 1>, <'ANSWER'>, <'x'>]"),
                                      ("NotificationClosed", "us", "[<uint32 1>, <'x'>]")]:
                d.run(*mock, member, sig, args, check=True)
            d.run("gdbus", "emit", "--session", "-o", "/org/freedesktop/Notifications", "-s",
                  "org.freedesktop.Notifications.ActionInvoked", "1", "DECLINE")
            since = d.server.mark()
            d.run(*mock, "ActionInvoked", "us", "[<uint32 1>, <'ANSWER'>]", check=True)
            d.server.wait_for(lambda r: r.query.get("what") == "command", since)
            self.assertEqual(d.server.run_js(TENANT, "window.commands.join()"), (True, "orvo-cmd:answer"))

            # The single-instance socket: only this user, only "raise\n" (the words
            # themselves are the unit tests' to judge; here, that the socket heeds them).
            path = os.path.join(d.runtime_dir, f"orvo-{os.getuid()}.sock")
            for folder in (d.root, d.runtime_dir):
                os.chmod(folder, 0o711)
            os.chmod(path, 0o777)  # as careless setups leave it: only the peer check stands
            wid = d.window()
            for uid, chunks, answer, raised in [(65534, ["raise\n"], "closed", False), (None, ["hello!\n"], "closed", False),
                                                (None, ["x" * (1 << 20)], "closed", False), (None, ["rais"], "open", False),
                                                (None, ["rai", "se\n"], "closed", True),
                                                (None, ["raise orvo_TIME5\n"], "closed", True)]:
                cover = d.cover()
                wait_until(lambda: d.above(cover, wid))
                self.assertEqual(subprocess.run(["/usr/bin/python3", "-c", PEER, path], input=json.dumps(chunks),
                                                capture_output=True, text=True, user=uid, group=uid,
                                                extra_groups=[] if uid else None).stdout.strip(), answer, chunks)
                time.sleep(0 if raised else 1)
                wait_until(lambda: d.above(wid, cover) == raised, 10, f"{chunks}: raised is not {raised}")
                d.run("xdotool", "windowkill", cover)
            # Thirty idle peers do not keep a second launch out; the oldest are let go.
            idle = [socket.socket(socket.AF_UNIX) for _ in range(30)]
            for s in idle:
                s.connect(path)
                s.sendall(b"r")
            self.assertEqual(d.wait_exit(d.start_orvo()), 0)
            for s in idle[:10]:
                s.settimeout(5)
                self.assertEqual(s.recv(1), b"")
            [s.close() for s in idle]

            # SIGTERM while messages stream in, and while the start page is loading.
            d.server.run_js(TENANT, "setInterval(() => { for (let i = 0; i < 200; i++) "
                                    "window.chrome.webview.postMessage('orvo-status:' + i); }, 0), 1")
            self.assertEqual(d.stop_orvo(orvo), 0)
            HOLD.set()
            mark, orvo = d.server.mark(), d.start_orvo()
            d.server.wait_for(lambda r: r.path == "/", mark)
            self.assertEqual((d.stop_orvo(orvo), d.host()), (0, TENANT))
            HOLD.clear()
            time.sleep(0.5)  # the held answer goes to nobody
            LOADS.clear()

            # Without a runtime folder the lock lives in a private folder of
            # TMPDIR; a lock planted in the shared folder does not stop ORVO.
            tmp = os.path.join(d.root, "tmp")
            env = {"XDG_RUNTIME_DIR": "", "TMPDIR": tmp}
            d.write(f"orvo-{os.getuid()}.lock", f"{os.getpid()}\npython3\n{socket.gethostname()}\n", tmp)
            # The start page is down for 10 s: it is tried again, less and less
            # often, and loaded without the user doing anything.
            DOWN_UNTIL[0] = time.monotonic() + 10
            first = d.start_orvo(env)
            tries = wait_until(lambda: d.tooltip().startswith(PREFIX + "load") and list(LOADS), 60,
                               "the start page was not loaded once back")
            self.assertGreaterEqual(len(tries), 3)
            self.assertTrue(all(b - a >= 3 for a, b in zip(tries, tries[1:])), tries)
            folder = os.path.join(tmp, f"orvo-{os.getuid()}")
            self.assertEqual(os.stat(folder).st_mode & 0o077, 0)
            self.assertEqual(d.wait_exit(d.start_orvo(env)), 0, "the second launch did not hand over")
            time.sleep(5)
            self.assertEqual(LOADS, tries, "a loaded page was loaded again")
            self.assertEqual(d.stop_orvo(first), 0)
            # A folder that others may enter is not used: each launch runs on its own.
            os.chmod(folder, 0o777)
            mark, a, b = d.server.mark(), d.start_orvo(env), d.start_orvo(env)
            wait_until(lambda: len(d.server.loads(since=mark)) == 2, 30, "the two launches did not both load")
            self.assertEqual((d.stop_orvo(a), d.stop_orvo(b)), (0, 0))


# Connects, sends the chunks 0.3 s apart and says whether ORVO hung up.
PEER = r"""import json, socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.settimeout(3)
try:
    for chunk in json.load(sys.stdin):
        s.sendall(chunk.encode())
        time.sleep(0.3)
    print("closed" if s.recv(1) == b"" else "data")
except (ConnectionResetError, BrokenPipeError):
    print("closed")
except socket.timeout:
    print("open")"""

if __name__ == "__main__":
    unittest.main()
