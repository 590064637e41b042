#!/usr/bin/python3
"""Soak run: one ORVO in the end-to-end tests' private desktop (Xvfb, session
bus, dunst, tray watcher, HTTPS test server) takes a long stream of mixed page
messages and notification responses. Afterwards:

- ORVO still runs and ends with exit code 0 on SIGTERM;
- every call and every valid notify message reached the notification server
  exactly once and nothing else did (dbus-monitor counts the Notify calls);
- every round's last status reached the tray tooltip;
- every Answer and Decline chosen in dunst reached the page as one command;
- ORVO's own process grew by less than 10 MiB of resident memory after the
  warm-up rounds.

Messages go in rounds of 1,000 (60 % status, 10 % notify, 5 % call, 25 %
junk); each round is followed by its share of responses, made in dunst's
context menu (Answer, Decline) or by its default action.

Environment:
    ORVO_BINARY      the built orvo (required)
    ORVO_ARTIFACTS   logs and screenshots (default <tmp>/orvo-e2e-artifacts)
    SOAK_MESSAGES    page messages in all (default 10000)
    SOAK_RESPONSES   notification responses in all (default 100)
    SOAK_MINUTES     run for this long instead, printing memory every minute
                     (messages and responses then go on until time is up)
"""
import collections
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import CONTROL_SCRIPT, Desktop, dunstrc_with_menu, renderer_pids, rss_kib, wait_until  # noqa: E402
from sni_watcher import TrayClient  # noqa: E402

TENANT = "tenant.orvo.test"
PREFIX = "ORVO \u2014 "
ROUND = 1000
KINDS = "ssssssssssssnncjjjjj"  # the page's table (soak_page.html)
RESPONSES = ("Answer", "Decline", "default")
MAX_GROWTH_KIB = 10 * 1024


class NotifyCounter:
    """Counts the Notify calls on the session bus as dbus-monitor reports
    them: (summary, body) pairs."""

    def __init__(self, env, log_path):
        self.calls = collections.Counter()
        self.total = 0
        self._lock = threading.Lock()
        self._log = open(log_path, "w", encoding="utf-8")
        self._proc = subprocess.Popen(
            ["dbus-monitor", "--session",
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, encoding="utf-8", errors="replace",
        )
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        if not self._ready.wait(20):
            raise RuntimeError("dbus-monitor did not start")

    def _read(self):
        strings = None
        for line in self._proc.stdout:
            if "NameLost" in line:
                self._ready.set()
            if line.startswith("method call") and "member=Notify" in line:
                strings = []
                continue
            if strings is None:
                continue
            match = re.match(r'^   string "(.*)"$', line.rstrip("\n"))
            if match:
                strings.append(match.group(1))
            # app name, icon, summary and body are the first four strings.
            if len(strings) == 4:
                with self._lock:
                    self.calls[(strings[2], strings[3])] += 1
                    self.total += 1
                self._log.write(f"{strings[2]}\t{strings[3]}\n")
                strings = None

    def snapshot(self):
        with self._lock:
            return self.total, collections.Counter(self.calls)

    def close(self):
        self._proc.terminate()
        self._proc.wait(timeout=10)
        self._log.close()


def expected_round(round_number, count):
    """What the page's round posts that must reach the notification server."""
    calls, notifies = [], []
    for i in range(count):
        kind = KINDS[i % len(KINDS)]
        if kind == "c":
            calls.append(f"c{round_number}-{i}")
        elif kind == "n":
            notifies.append(f"n{round_number}-{i}")
    return calls, notifies


class Soak:
    def __init__(self, d, choice, minutes, messages, responses):
        self.d = d
        self.choice = choice  # the file dunst's menu script reads the label from
        self.minutes = minutes
        self.messages = messages
        self.responses = responses
        self.expected = collections.Counter()
        self.expected_total = 0
        self.answers = self.declines = 0
        self.sent_messages = self.sent_responses = 0

    def run(self):
        d = self.d
        with open(os.path.join(HERE, "soak_page.html"), encoding="utf-8") as f:
            d.server.page(TENANT, "/", f.read() + CONTROL_SCRIPT)
        d.write_host(TENANT)
        self.counter = NotifyCounter(d.env, os.path.join(d.artifacts, "soak.notify.log"))
        try:
            return self._run()
        finally:
            self.counter.close()

    def _run(self):
        d = self.d
        self.orvo = d.start_orvo()
        self.tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
        self.item = wait_until(lambda: (self.tray.items() or [None])[0], message="ORVO registered no status item")
        assert d.server.run_js(TENANT, "typeof soakRound") == (True, "function"), "the soak page did not load"

        if self.minutes:
            deadline = time.monotonic() + 60 * self.minutes
            rounds = None
            per_round_responses = 10
        else:
            rounds = max(1, -(-self.messages // ROUND))
            per_round_responses = -(-self.responses // rounds)
        warmup = 1 if rounds is None else max(1, rounds // 10)

        start = time.monotonic()
        next_report = start + 60
        baseline = None
        round_number = 0
        while True:
            round_number += 1
            if rounds is not None:
                if round_number > rounds:
                    break
                count = min(ROUND, self.messages - self.sent_messages)
                answers_due = min(per_round_responses, self.responses - self.sent_responses)
            else:
                if time.monotonic() >= deadline:
                    break
                count, answers_due = ROUND, per_round_responses
            self.message_round(round_number, count)
            self.response_round(round_number, answers_due)
            if round_number == warmup:
                baseline = self.settled_rss()
                self.report(start, "after warm-up")
            if time.monotonic() >= next_report:
                self.report(start, "")
                next_report += 60

        final = self.settled_rss()
        self.report(start, "at the end")
        self.check_counts()
        growth = final - baseline
        print(f"ORVO RSS {baseline} KiB after warm-up, {final} KiB at the end: growth {growth} KiB "
              f"(limit {MAX_GROWTH_KIB} KiB)", flush=True)
        d.screenshot()
        assert self.orvo.poll() is None, "ORVO ended during the run"
        code = d.stop_orvo(self.orvo)
        assert code == 0, f"ORVO exited with {code}"
        assert growth < MAX_GROWTH_KIB, f"ORVO's memory grew by {growth} KiB"
        return True

    # -- the two kinds of round --------------------------------------------------

    def message_round(self, round_number, count):
        d = self.d
        calls, notifies = expected_round(round_number, count)
        for body in calls:
            self.expect("Incoming call", body)
        for body in notifies:
            self.expect("soak", body)
        assert d.server.run_js(TENANT, f"soakRound({round_number}, {count})", timeout=120) == (True, str(count))
        self.sent_messages += count
        # Messages are handled in order: the round's last status in the
        # tooltip means the shell has acted on every message before it.
        done = PREFIX + f"round {round_number} done"
        wait_until(lambda: self.tray.tooltip(self.item) == done, timeout=120,
                   message=f"round {round_number}: the last status never reached the tray")
        self.wait_for_notifications(f"round {round_number}")
        self.clear_notifications()

    def response_round(self, round_number, count):
        if count <= 0:
            return
        d = self.d
        for i in range(count):
            self.expect("Incoming call", f"r{round_number}-{i}")
        assert d.server.run_js(TENANT, f"soakCalls({round_number}, {count})") == (True, str(count))
        self.wait_for_notifications(f"round {round_number} responses")
        wait_until(lambda: self.on_screen() == count, timeout=30,
                   message=f"round {round_number}: dunst does not hold the {count} calls")
        for i in range(count):
            kind = RESPONSES[(self.sent_responses + i) % len(RESPONSES)]
            left = count - i
            if kind == "default":
                # The notification itself: ORVO comes forward and the call
                # stays, so the test takes it away.
                self.dunstctl("action", "0")
                self.dunstctl("close")
            else:
                with open(self.choice, "w") as f:
                    f.write(kind)
                self.dunstctl("context")
                if kind == "Answer":
                    self.answers += 1
                else:
                    self.declines += 1
            # Answered and declined calls are taken away by ORVO itself.
            wait_until(lambda: self.on_screen() == left - 1, timeout=30,
                       message=f"round {round_number}: the {kind} response did not settle its call")
        self.sent_responses += count
        expected = self.answers + self.declines
        wait_until(lambda: d.server.run_js(TENANT, "window.commands.length") == (True, str(expected)),
                   timeout=30, message=f"round {round_number}: commands did not all reach the page")

    # -- helpers ----------------------------------------------------------------------

    def expect(self, summary, body):
        self.expected[(summary, body)] += 1
        self.expected_total += 1

    def wait_for_notifications(self, what):
        wait_until(lambda: self.counter.snapshot()[0] >= self.expected_total, timeout=120,
                   message=f"{what}: {self.expected_total - self.counter.snapshot()[0]} notifications missing")

    def dunstctl(self, *args):
        return self.d.dunstctl(*args)

    def on_screen(self):
        return sum(int(self.d.dunstctl("count", kind).strip()) for kind in ("displayed", "waiting"))

    def clear_notifications(self):
        def cleared():
            self.d.dunstctl("close-all")
            return self.on_screen() == 0
        wait_until(cleared, timeout=60, interval=0.2, message="dunst did not let go of the notifications")

    def settled_rss(self):
        # Work from the last round may still be winding down (D-Bus replies,
        # freed buffers); take the smallest of a few readings.
        readings = []
        for _ in range(5):
            time.sleep(0.5)
            readings.append(rss_kib(self.orvo.pid))
        return min(readings)

    def report(self, start, label):
        renderers = sum(rss_kib(p) for p in renderer_pids(self.orvo.pid) if os.path.exists(f"/proc/{p}"))
        print(f"[{(time.monotonic() - start) / 60:6.1f} min] messages {self.sent_messages:>8} "
              f"responses {self.sent_responses:>6} ORVO RSS {rss_kib(self.orvo.pid):>7} KiB "
              f"renderers {renderers:>7} KiB {label}", flush=True)

    def check_counts(self):
        total, seen = self.counter.snapshot()
        missing = self.expected - seen
        extra = seen - self.expected
        assert not missing, f"{sum(missing.values())} notifications never reached the server, e.g. " \
                            f"{list(missing)[:5]}"
        assert not extra, f"{sum(extra.values())} notifications too many, e.g. {list(extra)[:5]}"
        assert total == self.expected_total
        commands = self.d.server.run_js(TENANT, "window.commands.join('|')")[1].split("|")
        got = collections.Counter(c for c in commands if c)
        assert got == collections.Counter({"orvo-cmd:answer": self.answers, "orvo-cmd:decline": self.declines}), \
            f"commands in the page: {dict(got)}; answers {self.answers}, declines {self.declines}"
        print(f"Notify calls: {total} ({sum(v for (s, _), v in seen.items() if s == 'Incoming call')} calls), "
              f"commands: {self.answers} answer, {self.declines} decline", flush=True)


def main():
    minutes = float(os.environ.get("SOAK_MINUTES") or 0)
    messages = int(os.environ.get("SOAK_MESSAGES") or 10000)
    responses = int(os.environ.get("SOAK_RESPONSES") or 100)
    with tempfile.TemporaryDirectory(prefix="orvo-soak-") as scratch:
        choice = os.path.join(scratch, "choice")
        # A few notifications on screen at a time keep dunst quick; ordinary
        # ones leave on their own.
        dunstrc = dunstrc_with_menu(scratch, choice, {
            "global": {"notification_limit": "5", "history_length": "20"},
            "urgency_normal": {"timeout": "1"},
        })
        with Desktop(name="soak", dunst=True, sni_watcher=True, dunstrc=dunstrc) as d:
            Soak(d, choice, minutes, messages, responses).run()
    print("soak run passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
