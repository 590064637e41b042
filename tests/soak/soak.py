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
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import (CONTROL_SCRIPT, TENANT, Desktop, NotifyMonitor, dunstrc_with_menu,  # noqa: E402
                     renderer_pids, rss_kib, wait_until)
from sni_watcher import TrayClient  # noqa: E402

PREFIX = "ORVO \u2014 "
ROUND = 1000
KINDS = "ssssssssssssnncjjjjj"  # the page's table (soak_page.html)
RESPONSES = ("Answer", "Decline", "default")
MAX_GROWTH_KIB = 10 * 1024


class Soak:
    def __init__(self, d, monitor, choice):
        self.d, self.monitor = d, monitor
        self.choice = choice  # the file dunst's menu script reads the label from
        self.expected = collections.Counter()  # (summary, body) of every Notify due
        self.commands = collections.Counter()
        self.sent_messages = self.sent_responses = 0
        self.start = time.monotonic()
        self.orvo = d.start_orvo()
        self.tray = TrayClient(d.env["DBUS_SESSION_BUS_ADDRESS"])
        self.item = self.tray.wait_item()
        assert d.server.run_js(TENANT, "typeof soakRound") == (True, "function"), "the soak page did not load"

    def message_round(self, number, count):
        for i in range(count):
            kind = KINDS[i % len(KINDS)]
            if kind == "c":
                self.expected[("Incoming call", f"c{number}-{i}")] += 1
            elif kind == "n":
                self.expected[("soak", f"n{number}-{i}")] += 1
        assert self.d.server.run_js(TENANT, f"soakRound({number}, {count})", timeout=120) == (True, str(count))
        self.sent_messages += count
        # Messages are handled in order: the round's last status in the
        # tooltip means the shell has acted on every message before it.
        wait_until(lambda: self.tray.tooltip(self.item) == PREFIX + f"round {number} done", timeout=120,
                   message=f"round {number}: the last status never reached the tray")
        self.wait_for_notifications()

        def cleared():
            self.d.dunstctl("close-all")
            return self.on_screen() == 0

        wait_until(cleared, timeout=60, interval=0.2, message="dunst did not let go of the notifications")

    def response_round(self, number, count):
        if count <= 0:
            return
        for i in range(count):
            self.expected[("Incoming call", f"r{number}-{i}")] += 1
        assert self.d.server.run_js(TENANT, f"soakCalls({number}, {count})") == (True, str(count))
        self.wait_for_notifications()
        wait_until(lambda: self.on_screen() == count, timeout=30,
                   message=f"round {number}: dunst does not hold the {count} calls")
        for i in range(count):
            kind = RESPONSES[(self.sent_responses + i) % len(RESPONSES)]
            if kind == "default":
                # The notification itself: ORVO comes forward and the call
                # stays, so the test takes it away.
                self.d.dunstctl("action", "0")
                self.d.dunstctl("close")
            else:
                with open(self.choice, "w") as f:
                    f.write(kind)
                self.d.dunstctl("context")
                self.commands[f"orvo-cmd:{kind.lower()}"] += 1
            # Answered and declined calls are taken away by ORVO itself.
            wait_until(lambda: self.on_screen() == count - i - 1, timeout=30,
                       message=f"round {number}: the {kind} response did not settle its call")
        self.sent_responses += count
        wait_until(lambda: self.page_commands() == self.commands, timeout=30,
                   message=f"round {number}: commands did not all reach the page")

    def page_commands(self):
        ok, value = self.d.server.run_js(TENANT, "window.commands.join('|')")
        assert ok, value
        return collections.Counter(c for c in value.split("|") if c)

    def wait_for_notifications(self):
        due = sum(self.expected.values())
        wait_until(lambda: len(self.monitor.calls()) >= due, timeout=120,
                   message=f"{due - len(self.monitor.calls())} notifications missing")

    def on_screen(self):
        return sum(int(self.d.dunstctl("count", kind).strip()) for kind in ("displayed", "waiting"))

    def settled_rss(self):
        # Work of the last round may still be winding down (D-Bus replies,
        # freed buffers); take the smallest of a few readings.
        readings = []
        for _ in range(5):
            time.sleep(0.5)
            readings.append(rss_kib(self.orvo.pid))
        return min(readings)

    def report(self, label=""):
        renderers = sum(rss_kib(p) for p in renderer_pids(self.orvo.pid) if os.path.exists(f"/proc/{p}"))
        print(f"[{(time.monotonic() - self.start) / 60:6.1f} min] messages {self.sent_messages:>8} "
              f"responses {self.sent_responses:>6} ORVO RSS {rss_kib(self.orvo.pid):>7} KiB "
              f"renderers {renderers:>7} KiB {label}", flush=True)

    def check(self, baseline):
        final = self.settled_rss()
        self.report("at the end")
        seen = collections.Counter((c.summary, c.body) for c in self.monitor.calls())
        missing, extra = self.expected - seen, seen - self.expected
        assert not missing, f"{sum(missing.values())} notifications never reached the server, e.g. {list(missing)[:5]}"
        assert not extra, f"{sum(extra.values())} notifications too many, e.g. {list(extra)[:5]}"
        assert self.page_commands() == self.commands, f"commands in the page: {dict(self.page_commands())}"
        growth = final - baseline
        print(f"Notify calls: {sum(seen.values())}, commands: {dict(self.commands)}; ORVO RSS {baseline} KiB "
              f"after warm-up, {final} KiB at the end: growth {growth} KiB (limit {MAX_GROWTH_KIB} KiB)", flush=True)
        self.d.screenshot()
        assert self.orvo.poll() is None, "ORVO ended during the run"
        code = self.d.stop_orvo(self.orvo)
        assert code == 0, f"ORVO exited with {code}"
        assert growth < MAX_GROWTH_KIB, f"ORVO's memory grew by {growth} KiB"


def main():
    minutes = float(os.environ.get("SOAK_MINUTES") or 0)
    messages = int(os.environ.get("SOAK_MESSAGES") or 10000)
    responses = int(os.environ.get("SOAK_RESPONSES") or 100)
    if minutes:
        deadline, rounds, per_round_responses = time.monotonic() + 60 * minutes, None, 10
    else:
        deadline, rounds = None, max(1, -(-messages // ROUND))
        per_round_responses = -(-responses // rounds)
    warmup = 1 if rounds is None else max(1, rounds // 10)

    with tempfile.TemporaryDirectory(prefix="orvo-soak-") as scratch:
        choice = os.path.join(scratch, "choice")
        # A few notifications on screen at a time keep dunst quick; ordinary
        # ones leave on their own.
        dunstrc = dunstrc_with_menu(scratch, choice, [("global", "notification_limit", "5"),
                                                      ("global", "history_length", "20"),
                                                      ("urgency_normal", "timeout", "1")])
        with Desktop(name="soak", dunst=True, sni_watcher=True, dunstrc=dunstrc) as d, \
                NotifyMonitor(d.env, os.path.join(d.artifacts, "soak.notify.log")) as monitor:
            with open(os.path.join(HERE, "soak_page.html"), encoding="utf-8") as f:
                d.server.page(TENANT, "/", f.read() + CONTROL_SCRIPT)
            d.write_host(TENANT)
            soak = Soak(d, monitor, choice)
            next_report = soak.start + 60
            number = 0
            while (number < rounds) if rounds else (time.monotonic() < deadline):
                number += 1
                if rounds:
                    soak.message_round(number, min(ROUND, messages - soak.sent_messages))
                    soak.response_round(number, min(per_round_responses, responses - soak.sent_responses))
                else:
                    soak.message_round(number, ROUND)
                    soak.response_round(number, per_round_responses)
                if number == warmup:
                    baseline = soak.settled_rss()
                    soak.report("after warm-up")
                if time.monotonic() >= next_report:
                    soak.report()
                    next_report += 60
            soak.check(baseline)
    print("soak run passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
