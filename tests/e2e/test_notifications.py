"""Notifications through a real notification server (dunst) on the private
session bus: what ORVO sends for the page's messages, and how the user's
choices on those notifications come back into the page and to the window."""

import collections
import contextlib
import json
import os
import re
import subprocess
import tempfile
import threading
import unittest

from harness import Desktop, dunstrc_with_menu, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "tenant.orvo.test"

Notify = collections.namedtuple(
    "Notify", "app_name replaces_id app_icon summary body actions hints expire_timeout"
)


def _parse_value(lines, i):
    """Parses one value of dbus-monitor's text output starting at lines[i]."""
    line = lines[i]
    if line.startswith("variant"):
        value, _ = _parse_value([line[len("variant"):].strip()], 0)
        return value, i + 1
    if line.startswith('string "'):
        return line[len('string "'):-1], i + 1
    kind, _, rest = line.partition(" ")
    if kind in ("byte", "int16", "uint16", "int32", "uint32", "int64", "uint64"):
        return (kind, int(rest.split()[0])), i + 1
    if kind == "boolean":
        return rest == "true", i + 1
    if line == "array [":
        items, i = [], i + 1
        while lines[i] != "]":
            item, i = _parse_value(lines, i)
            items.append(item)
        return items, i + 1
    if line == "dict entry(":
        key, i = _parse_value(lines, i + 1)
        value, i = _parse_value(lines, i)
        assert lines[i] == ")", lines[i]
        return (key, value), i + 1
    raise ValueError(f"unexpected dbus-monitor line: {line!r}")


class NotifyMonitor:
    """Records every Notify call on the session bus with dbus-monitor."""

    def __init__(self, env, path):
        self._path = path
        self._log = open(path, "wb")
        self._proc = subprocess.Popen(
            ["dbus-monitor", "--session",
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"],
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
        )
        # The monitor is in place once the bus has taken its name away again.
        wait_until(lambda: b"NameLost" in self._read_bytes(), timeout=20,
                   message="dbus-monitor did not start")

    def close(self):
        self._proc.terminate()
        self._proc.wait(timeout=10)
        self._log.close()

    def _read_bytes(self):
        with open(self._path, "rb") as f:
            return f.read()

    def calls(self):
        text = self._read_bytes().decode("utf-8", "replace")
        calls = []
        for block in re.split(r"\n(?=\S)", text):
            if not block.startswith("method call") or "member=Notify" not in block.split("\n", 1)[0]:
                continue
            lines = [l.strip() for l in block.split("\n")[1:] if l.strip()]
            values, i = [], 0
            try:
                while i < len(lines):
                    value, i = _parse_value(lines, i)
                    values.append(value)
            except (IndexError, ValueError):
                continue  # still being written
            if len(values) != 8:
                continue
            app_name, (_, replaces_id), app_icon, summary, body, actions, hints, (_, expire) = values
            calls.append(Notify(app_name, replaces_id, app_icon, summary, body, actions, dict(hints), expire))
        return calls


class NotificationTest(unittest.TestCase):
    """One ORVO in one desktop session for all cases; each case starts with no
    notification on screen."""

    @classmethod
    def setUpClass(cls):
        cls._stack = contextlib.ExitStack()
        try:
            cls._setUpSession()
        except BaseException:
            cls._stack.close()
            raise

    @classmethod
    def _setUpSession(cls):
        scratch = cls._stack.enter_context(tempfile.TemporaryDirectory(prefix="orvo-notify-"))
        cls.choice = os.path.join(scratch, "menu-choice")
        dunstrc = dunstrc_with_menu(scratch, cls.choice)
        d = cls._stack.enter_context(Desktop(name=cls.__name__, dunst=True, dunstrc=dunstrc))
        cls.d = d
        cls.monitor = NotifyMonitor(d.env, os.path.join(d.artifacts, f"{cls.__name__}.notify.log"))
        cls._stack.callback(cls.monitor.close)

        cls._queue = collections.deque()
        cls._queue_lock = threading.Lock()

        def next_message(_request):
            with cls._queue_lock:
                if cls._queue:
                    return 200, {"Content-Type": "text/plain; charset=utf-8"}, cls._queue.popleft()
            return 204, {}, b""

        with open(os.path.join(HERE, "pages_notify", "index.html"), encoding="utf-8") as f:
            d.server.page(HOST, "/", f.read())
        d.server.page(HOST, "/next", next_message)
        d.write_host(HOST)
        d.start_orvo()
        d.server.wait_for(host=HOST, route="/beacon", pred=lambda r: r.query.get("what") == "ready", timeout=60)
        cls.window = d.wait_for_window("^ORVO$")

        # A window of another application that can hold the focus, so a test
        # sees whether ORVO takes it.
        thief = subprocess.Popen(["xev", "-name", "orvo-focus-thief"], env=d.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        cls._stack.callback(lambda: (thief.terminate(), thief.wait(timeout=10)))
        cls.thief = d.wait_for_window("^orvo-focus-thief$")

    @classmethod
    def tearDownClass(cls):
        cls._stack.close()

    def setUp(self):
        self.dunstctl("close-all")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="notifications left on screen")
        self.set_choice("")

    # -- helpers ----------------------------------------------------------------

    def dunstctl(self, *args):
        return self.d.dunstctl(*args)

    def displayed(self):
        return int(self.dunstctl("count", "displayed").strip())

    def set_choice(self, label):
        with open(self.choice, "w") as f:
            f.write(label)

    def post(self, message):
        """Has the page post `message`; returns the Notify calls it caused."""
        before = len(self.monitor.calls())
        since = self.d.server.mark()
        with self._queue_lock:
            self._queue.append(message.encode("utf-8"))
        self.d.server.wait_for(host=HOST, route="/beacon", since=since,
                               pred=lambda r: r.query.get("what") == "posted" and r.query.get("data") == message)
        return before

    def wait_notify(self, before, count=1):
        calls = wait_until(lambda: (lambda c: c if len(c) >= before + count else None)(self.monitor.calls()),
                           timeout=20, message="no Notify call reached the bus")
        return calls[before:]

    def commands(self, since=0):
        return [r.query.get("data") for r in self.d.server.beacons(HOST, since) if r.query.get("what") == "command"]

    def focused(self):
        return self.d.xdotool("getwindowfocus").strip()

    def orvo_on_top(self):
        """Whether ORVO's window lies above the other window (xwininfo lists
        the top-most first)."""
        out = subprocess.run(["xwininfo", "-root", "-children"], env=self.d.env, capture_output=True,
                             text=True, check=True).stdout
        order = [int(m, 16) for m in re.findall(r"^\s+(0x[0-9a-f]+) ", out, re.M)]
        return order.index(int(self.window)) < order.index(int(self.thief))

    def assert_orvo_in_front(self, message):
        wait_until(self.orvo_on_top, timeout=10, message=f"{message}: ORVO was not raised")
        wait_until(lambda: self.focused() == self.window, timeout=10, message=f"{message}: ORVO got no focus")

    def give_focus_away(self):
        self.d.xdotool("windowraise", self.thief)
        self.d.xdotool("windowfocus", "--sync", self.thief)
        wait_until(lambda: self.focused() == self.thief and not self.orvo_on_top(), timeout=10,
                   message="the other window did not come to the front")

    def settle_page(self):
        """Returns once a message posted now has gone through the page, so a
        command delivered before it would have been reported already."""
        self.post("orvo-unknown:settle")

    def assert_call_notification(self, call, body):
        self.assertEqual(call.app_name, "ORVO")
        self.assertEqual(call.replaces_id, 0)
        self.assertEqual(call.summary, "Incoming call")
        self.assertEqual(call.body, body)
        self.assertEqual(call.actions, ["default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"])
        self.assertEqual(call.hints["urgency"], ("byte", 2))
        self.assertEqual(call.hints["category"], "call.incoming")
        self.assertEqual(call.hints["sound-name"], "phone-incoming-call")
        self.assertIn("desktop-entry", call.hints)
        self.assertEqual(call.expire_timeout, 0)

    # -- cases --------------------------------------------------------------------

    def test_answer_delivers_the_command_and_raises_the_window(self):
        before = self.post("orvo-call:Alice <+1 555 0100>")
        [call] = self.wait_notify(before)
        # Unescaped, dunst would take "<+1 555 0100>" for markup and drop it.
        self.assert_call_notification(call, "Alice &lt;+1 555 0100&gt;")
        wait_until(lambda: self.displayed() == 1, timeout=10, message="dunst shows no notification")
        # The call itself brings ORVO forward; hand the focus away to see the
        # answer bring it back.
        self.assert_orvo_in_front("the call")
        self.give_focus_away()

        since = self.d.server.mark()
        self.set_choice("Answer")
        self.dunstctl("context")
        self.d.server.wait_for(host=HOST, route="/beacon", since=since,
                               pred=lambda r: r.query.get("what") == "command")
        self.assertEqual(self.commands(since), ["orvo-cmd:answer"])
        self.assert_orvo_in_front("Answer")
        # An answered call is settled: ORVO takes the notification away.
        wait_until(lambda: self.displayed() == 0, timeout=10, message="the answered call stayed on screen")

    def test_decline_delivers_the_command_and_leaves_the_window(self):
        before = self.post("orvo-call:Bob & Carol")
        [call] = self.wait_notify(before)
        self.assert_call_notification(call, "Bob &amp; Carol")
        wait_until(lambda: self.displayed() == 1, timeout=10, message="dunst shows no notification")
        self.assert_orvo_in_front("the call")
        self.give_focus_away()

        since = self.d.server.mark()
        self.set_choice("Decline")
        self.dunstctl("context")
        self.d.server.wait_for(host=HOST, route="/beacon", since=since,
                               pred=lambda r: r.query.get("what") == "command")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="the declined call stayed on screen")
        self.settle_page()
        self.assertEqual(self.commands(since), ["orvo-cmd:decline"])
        self.assertEqual(self.focused(), self.thief)
        self.assertFalse(self.orvo_on_top())

    def test_click_on_an_ordinary_notification_raises_the_window_only(self):
        self.give_focus_away()
        before = self.post('orvo-notify:{"title": "Lunch <today>", "body": "at 12 & \\"sharp\\""}')
        [call] = self.wait_notify(before)
        # The summary is plain text; the body may be read as markup.
        self.assertEqual(call.summary, "Lunch <today>")
        self.assertEqual(call.body, "at 12 &amp; &quot;sharp&quot;")
        self.assertEqual(call.actions, ["default", "Open ORVO"])
        self.assertEqual(call.hints["urgency"], ("byte", 1))
        self.assertNotIn("category", call.hints)
        self.assertEqual(call.hints["sound-name"], "message-new-instant")
        self.assertEqual(call.expire_timeout, -1)
        wait_until(lambda: self.displayed() == 1, timeout=10, message="dunst shows no notification")
        # An ordinary notification does not bring ORVO forward by itself.
        self.assertEqual(self.focused(), self.thief)
        self.assertFalse(self.orvo_on_top())

        since = self.d.server.mark()
        self.dunstctl("action", "0")
        self.assert_orvo_in_front("the click")
        self.settle_page()
        self.assertEqual(self.commands(since), [])

        # What dunst renders: both texts escaped exactly once, so the user
        # reads them as the page wrote them.
        self.dunstctl("close-all")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="the notification stayed")
        [entry] = [e for e in json.loads(self.dunstctl("history"))["data"][0]
                   if e["summary"]["data"] == "Lunch <today>"]
        self.assertEqual(entry["message"]["data"], "<b>Lunch &lt;today&gt;</b>\nat 12 &amp; &quot;sharp&quot;")

    def test_dismissing_a_call_reaches_nothing(self):
        self.give_focus_away()
        before = self.post("orvo-call:")
        [call] = self.wait_notify(before)
        self.assert_call_notification(call, "Unknown caller")
        wait_until(lambda: self.displayed() == 1, timeout=10, message="dunst shows no notification")
        self.give_focus_away()

        since = self.d.server.mark()
        self.dunstctl("close")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="the call was not dismissed")
        self.settle_page()
        self.assertEqual(self.commands(since), [])
        self.assertEqual(self.focused(), self.thief)
        self.assertFalse(self.orvo_on_top())

    def test_notify_shapes(self):
        cases = [
            # (page message, summary, body, notifications)
            ("orvo-notify:{}", "ORVO", "", 1),
            ('orvo-notify:{"title": 7, "body": null}', "ORVO", "", 1),
            ('orvo-notify:{"title": "", "body": "x"}', "", "x", 1),
            ('orvo-notify:{"title": "Zoë \\u260e", "body": "\\u0000"}', "Zoë ☎", "\ufffd", 1),
        ]
        for message, summary, body, count in cases:
            with self.subTest(message=message):
                before = self.post(message)
                calls = self.wait_notify(before, count)
                self.assertEqual([(c.summary, c.body) for c in calls], [(summary, body)] * count)
        # Malformed payloads post nothing: after a good one the count has only
        # grown by that one.
        before = len(self.monitor.calls())
        for message in ("orvo-notify:[]", 'orvo-notify:"x"', "orvo-notify:{", "ORVO-CALL:x", " orvo-call:x"):
            self.post(message)
        self.post('orvo-notify:{"title": "after"}')
        calls = self.wait_notify(before)
        self.assertEqual([c.summary for c in calls], ["after"])

    def test_identical_posts_give_two_notifications(self):
        message = 'orvo-notify:' + json.dumps({"title": "Twice", "body": "same"})
        before = self.post(message)
        self.post(message)
        calls = self.wait_notify(before, 2)
        self.assertEqual([(c.summary, c.replaces_id) for c in calls], [("Twice", 0), ("Twice", 0)])
        wait_until(lambda: self.displayed() == 2, timeout=10, message="dunst does not show both")


if __name__ == "__main__":
    unittest.main()
