"""Notifications through a real notification server (dunst) on the private
session bus: what ORVO sends for the page's messages, and how the user's
choices on those notifications come back into the page and to the window."""

import collections
import concurrent.futures
import contextlib
import json
import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import HERE, TENANT, Desktop, NotifyMonitor, dunstrc_with_menu, wait_until

CALL_ACTIONS = ["default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"]


class NotificationTest(unittest.TestCase):
    """One ORVO in one desktop session with a window manager that prevents
    focus stealing, for all cases; each case starts with no notification on
    screen and another application's window, one the user types into, in
    front."""

    @classmethod
    def setUpClass(cls):
        with contextlib.ExitStack() as stack:
            scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="orvo-notify-"))
            cls.choice = os.path.join(scratch, "menu-choice")
            d = cls.d = stack.enter_context(
                Desktop(name=cls.__name__, dunst=True, dunstrc=dunstrc_with_menu(scratch, cls.choice)))
            cls.monitor = stack.enter_context(NotifyMonitor(d.env, os.path.join(d.artifacts, f"{d.name}.notify.log")))
            # The page posts each message the test queues at /next.
            cls.queue = collections.deque()

            def next_message(_request):
                if not cls.queue:
                    return 204, {}, b""
                return 200, {"Content-Type": "text/plain; charset=utf-8"}, cls.queue.popleft()

            d.server.page(TENANT, "/next", next_message)
            with open(os.path.join(HERE, "pages_notify", "index.html"), encoding="utf-8") as f:
                d.server.page(TENANT, "/", f.read())
            d.write_host(TENANT)
            d.start_window_manager()
            d.start_orvo()
            d.server.wait_for_beacon("ready", timeout=60)
            cls.window = d.wait_for_window()
            cls.thief, typed = d.typing_target()
            cls.typed = staticmethod(typed)
            cls.stack = stack.pop_all()

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def setUp(self):
        self.d.dunstctl("close-all")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="notifications left on screen")
        self.give_focus_away()

    # -- helpers ----------------------------------------------------------------

    def displayed(self):
        return int(self.d.dunstctl("count", "displayed").strip())

    def post(self, message, count=1):
        """Has the page post `message`; returns the `count` Notify calls it
        causes (none are awaited for count=0)."""
        before = len(self.monitor.calls())
        since = self.d.server.mark()
        self.queue.append(message.encode("utf-8"))
        self.d.server.wait_for(route="/beacon", since=since,
                               pred=lambda r: r.query.get("what") == "posted" and r.query.get("data") == message)
        return self.monitor.wait(before, count) if count else []

    def orvo_in_front(self):
        return self.d.is_above(self.window, self.thief) and self.d.focused_window() == self.window

    def other_in_front(self):
        return self.d.focused_window() == self.thief and not self.d.is_above(self.window, self.thief)

    def give_focus_away(self):
        self.d.xdotool("windowactivate", "--sync", self.thief)
        wait_until(self.other_in_front, timeout=10, message="the other window did not come to the front")

    def respond(self, act, stays_on_screen=False):
        """Responds to the one notification on screen; returns the commands
        the page received afterwards."""
        wait_until(lambda: self.displayed() == 1, timeout=10, message="dunst shows no notification")
        since = self.d.server.mark()
        act()
        if not stays_on_screen:
            wait_until(lambda: self.displayed() == 0, timeout=10, message="the notification stayed on screen")
        # A message posted now has gone through the page once it reports it,
        # so a command delivered before it would have been reported already.
        self.post("orvo-unknown:settle", count=0)
        return self.d.server.beacons("command", since)

    def choose(self, label):
        with open(self.choice, "w") as f:
            f.write(label)
        self.d.dunstctl("context")

    def assert_call_notification(self, call, body):
        self.assertEqual((call.app_name, call.replaces_id, call.summary, call.body, call.actions, call.expire_timeout),
                         ("ORVO", 0, "Incoming call", body, CALL_ACTIONS, 0))
        self.assertEqual(call.hints["urgency"], ("byte", 2))
        self.assertEqual(call.hints["category"], "call.incoming")
        self.assertEqual(call.hints["sound-name"], "phone-incoming-call")
        self.assertIn("desktop-entry", call.hints)

    # -- cases --------------------------------------------------------------------

    def test_answer_delivers_the_command_and_raises_the_window(self):
        [call] = self.post("orvo-call:Alice <+1 555 0100>")
        # Unescaped, dunst would take "<+1 555 0100>" for markup and drop it.
        self.assert_call_notification(call, "Alice &lt;+1 555 0100&gt;")
        # The call itself must not take the keyboard from the application the
        # user works in; the user's Answer brings ORVO forward with the focus.
        time.sleep(1)
        self.assertEqual(self.d.focused_window(), self.thief, "the page's call took the keyboard focus")
        # An answered call is settled: ORVO takes the notification away.
        self.assertEqual(self.respond(lambda: self.choose("Answer")), ["orvo-cmd:answer"])
        wait_until(self.orvo_in_front, timeout=10, message="Answer did not raise ORVO")

    def test_calls_while_the_user_types_elsewhere_leave_the_keyboard_there(self):
        # The page posts a call every 300 ms while the user types into the
        # other application; the window manager refuses each call's request
        # for the focus, as it is older than the user's typing, and flags
        # ORVO instead. A request that bypassed it would route the keys into
        # the page.
        text = "typed into another application while calls come in"
        before, since, notified = self.typed(), self.d.server.mark(), len(self.monitor.calls())
        done = threading.Event()

        def calls():
            n = 0
            while not done.is_set():
                self.queue.append(f"orvo-call:Caller {n}".encode())
                n += 1
                done.wait(0.3)
            return n

        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            posted = pool.submit(calls)
            time.sleep(0.5)
            self.d.xdotool("type", "--delay", "40", text)
            time.sleep(0.5)
            done.set()
            count = posted.result()
        self.assertGreaterEqual(count, 5)
        self.monitor.wait(notified, count)
        self.assertEqual(self.typed(), before + text)
        self.assertEqual(self.d.focused_window(), self.thief)
        self.assertEqual(self.d.server.beacons("key", since), [], "the page received the keys")
        self.assertTrue(self.d.demands_attention(self.window), "ORVO was not flagged")

    def test_answer_reaches_the_page_after_the_server_stalled(self):
        # The server takes the call only after the bus's usual reply time-out
        # of 25 s; its id must still map to the call.
        os.kill(self.d.dunst.pid, signal.SIGSTOP)
        try:
            [call] = self.post("orvo-call:Late Larry")
            time.sleep(30)
        finally:
            os.kill(self.d.dunst.pid, signal.SIGCONT)
        self.assert_call_notification(call, "Late Larry")
        self.assertEqual(self.respond(lambda: self.choose("Answer")), ["orvo-cmd:answer"])

    def test_decline_delivers_the_command_and_leaves_the_window(self):
        [call] = self.post("orvo-call:Bob & Carol")
        self.assert_call_notification(call, "Bob &amp; Carol")
        self.give_focus_away()
        self.assertEqual(self.respond(lambda: self.choose("Decline")), ["orvo-cmd:decline"])
        self.assertTrue(self.other_in_front())

    def test_click_on_an_ordinary_notification_raises_the_window_only(self):
        [notify] = self.post('orvo-notify:{"title": "Lunch <today>", "body": "at 12 & \\"sharp\\""}')
        # The summary is plain text; the body may be read as markup.
        self.assertEqual((notify.summary, notify.body, notify.actions, notify.expire_timeout),
                         ("Lunch <today>", "at 12 &amp; &quot;sharp&quot;", ["default", "Open ORVO"], -1))
        self.assertEqual(notify.hints["urgency"], ("byte", 1))
        self.assertNotIn("category", notify.hints)
        self.assertEqual(notify.hints["sound-name"], "message-new-instant")
        # An ordinary notification does not bring ORVO forward by itself.
        self.assertTrue(self.other_in_front())
        self.assertEqual(self.respond(lambda: self.d.dunstctl("action", "0"), stays_on_screen=True), [])
        wait_until(self.orvo_in_front, timeout=10, message="the click did not raise ORVO")

        # What dunst renders: both texts escaped exactly once, so the user
        # reads them as the page wrote them.
        self.d.dunstctl("close-all")
        wait_until(lambda: self.displayed() == 0, timeout=10, message="the notification stayed")
        [entry] = [e for e in json.loads(self.d.dunstctl("history"))["data"][0]
                   if e["summary"]["data"] == "Lunch <today>"]
        self.assertEqual(entry["message"]["data"], "<b>Lunch &lt;today&gt;</b>\nat 12 &amp; &quot;sharp&quot;")

    def test_dismissing_a_call_reaches_nothing(self):
        [call] = self.post("orvo-call:")
        self.assert_call_notification(call, "Unknown caller")
        self.give_focus_away()
        self.assertEqual(self.respond(lambda: self.d.dunstctl("close")), [])
        self.assertTrue(self.other_in_front())

    def test_notify_shapes(self):
        cases = [
            # (page message, summary, body)
            ("orvo-notify:{}", "ORVO", ""),
            ('orvo-notify:{"title": 7, "body": null}', "ORVO", ""),
            ('orvo-notify:{"title": "", "body": "x"}', "", "x"),
            ('orvo-notify:{"title": "Zoë \\u260e", "body": "\\u0000"}', "Zoë ☎", "\ufffd"),
        ]
        for message, summary, body in cases:
            with self.subTest(message=message):
                [notify] = self.post(message)
                self.assertEqual((notify.summary, notify.body), (summary, body))
        # Malformed payloads post nothing: after a good one the count has only
        # grown by that one.
        before = len(self.monitor.calls())
        for message in ("orvo-notify:[]", 'orvo-notify:"x"', "orvo-notify:{", "ORVO-CALL:x", " orvo-call:x"):
            self.post(message, count=0)
        self.post('orvo-notify:{"title": "after"}')
        self.assertEqual([c.summary for c in self.monitor.calls()[before:]], ["after"])

    def test_identical_posts_give_two_notifications(self):
        message = "orvo-notify:" + json.dumps({"title": "Twice", "body": "same"})
        calls = self.post(message) + self.post(message)
        self.assertEqual([(c.summary, c.replaces_id) for c in calls], [("Twice", 0), ("Twice", 0)])
        wait_until(lambda: self.displayed() == 2, timeout=10, message="dunst does not show both")


if __name__ == "__main__":
    unittest.main()
