# Journey: a long stream of mixed page messages and notification answers.
# Rounds of 1,000 page messages (60 % status, 10 % notify, 5 % call, 25 % junk),
# each followed by its share of answers chosen in dunst (Answer, Decline, the
# default action). Every call and notification must reach the server exactly
# once and nothing else, each round's last status the tray, each answer the
# page; ORVO's own memory must grow by less than 10 MiB after the warm-up.
# Size: SOAK_MESSAGES (default 10,000) and SOAK_RESPONSES (default 100), or
# SOAK_MINUTES to run that long, printing the memory every minute:
#   cd tests/e2e && ORVO_BINARY=../../build/orvo SOAK_MESSAGES=100000 SOAK_RESPONSES=1000 \
#       /usr/bin/python3 -m unittest -v test_soak
import collections
import os
import re
import time
import unittest

from harness import PREFIX, TENANT, Desktop, Monitor, page, wait_until

KINDS = "ssssssssssssnncjjjjj"
SOAK = page("""<script>
const KINDS = '%s', deep = 'orvo-notify:' + '['.repeat(100000), post = m => window.chrome.webview.postMessage(m);
const JUNK = [id => 'orvo-unknown:' + id, id => '', id => 'orvo-notify:[' + JSON.stringify(id) + ']',
  id => 'orvo-notify:{"title": "broken ' + id, id => 'ORVO-CALL:' + id, id => ' orvo-status:' + id, id => deep,
  id => 'orvo-notify:{"title": "' + id + '"}\\u0000tail', id => 'orvo-notify:{"title": "\\ud800' + id + '"}',
  id => ({toString: () => 'orvo-status'}), id => null];
let junk = 0;
function soakRound(round, count) {
  for (let i = 0; i < count; i++) {
    const id = round + '-' + i;
    ({s: () => post('orvo-status:s' + id), n: () => post('orvo-notify:' + JSON.stringify({title: 'soak', body: 'n' + id})),
      c: () => post('orvo-call:c' + id), j: () => post(JUNK[junk++ %% JUNK.length](id))})[KINDS[i %% KINDS.length]]();
  }
  post('orvo-status:round ' + round + ' done');
  return count;
}
</script>""" % KINDS)


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class SoakJourney(unittest.TestCase):
    def test_journey(self):
        minutes = float(os.environ.get("SOAK_MINUTES") or 0)
        messages, responses = int(os.environ.get("SOAK_MESSAGES") or 10000), int(os.environ.get("SOAK_RESPONSES") or 100)
        rounds = max(1, -(-messages // 1000))
        with Desktop(self.id()) as d:
            d.start_dunst(notification_limit=5, history_length=20, timeout=1)
            d.tenant(SOAK)
            monitor = Monitor(d)
            # Every drop explained in the artifacts' log, should a call go missing.
            orvo = d.start_orvo(env={"QT_LOGGING_RULES": "qt.webenginecontext.info=false\norvo.*=true"})
            expected, commands, answers, baseline, started = collections.Counter(), collections.Counter(), 0, None, time.monotonic()
            number, report = 0, started + 60
            while (time.monotonic() < started + 60 * minutes) if minutes else number < rounds:
                number += 1
                count = 1000 if minutes else min(1000, messages - 1000 * (number - 1))
                for i in range(count):
                    kind = KINDS[i % len(KINDS)]
                    if kind in "cn":
                        expected[("Incoming call", f"c{number}-{i}") if kind == "c" else ("soak", f"n{number}-{i}")] += 1
                self.assertEqual(d.server.run_js(TENANT, f"soakRound({number}, {count})", 120), (True, str(count)))
                # Messages are handled in order: the last status means all before it were.
                wait_until(lambda: d.tooltip() == PREFIX + f"round {number} done", 120, f"round {number} incomplete")
                # The round's last Notify calls may still be on the bus; once
                # the bus has passed them on, dunst has them before it is told
                # to close them all.
                wait_until(lambda: len(monitor.notifies()) >= sum(expected.values()), 120, f"round {number}: posts missing")
                wait_until(lambda: d.run("dunstctl", "close-all") is not None and self.shown(d) == 0, 60, interval=0.2)
                calls = 10 if minutes else min(-(-responses // rounds), responses - answers)
                for i in range(calls):
                    expected[("Incoming call", f"r{number}-{i}")] += 1
                    d.server.run_js(TENANT, f"window.chrome.webview.postMessage('orvo-call:r{number}-{i}'), 1")
                    try:
                        wait_until(lambda: self.shown(d) == 1, 30)
                    except AssertionError:
                        posted = any(f'"r{number}-{i}"' in n for n in monitor.notifies())
                        self.fail(f"r{number}-{i}: {self.shown(d)} notifications on screen, not the call alone; "
                                  f"Notify {'seen' if posted else 'not seen'} on the bus")
                    kind = ("Answer", "Decline", "default")[answers % 3]
                    answers += 1
                    if kind == "default":
                        # ORVO comes forward and the call stays, so the test takes it away.
                        d.run("dunstctl", "action", 0)
                        d.run("dunstctl", "close")
                    else:
                        d.choose(kind)
                        commands[f"orvo-cmd:{kind.lower()}"] += 1
                    wait_until(lambda: self.shown(d) == 0, 30, f"{kind} did not settle the call")
                wait_until(lambda: self.page_commands(d) == commands, 30, "answers did not all reach the page")
                if number == max(1, rounds // 10):
                    baseline = min(rss(orvo.pid) for _ in range(5) if time.sleep(0.5) is None)
                if time.monotonic() > report:
                    report += 60
                    print(f"[{(time.monotonic() - started) / 60:.1f} min] round {number}, RSS {rss(orvo.pid)} KiB")
            wait_until(lambda: len(monitor.notifies()) >= sum(expected.values()), 120, "notifications missing")
            seen = collections.Counter(tuple(re.findall(r'string "([^"]*)"', n)[2:4]) for n in monitor.notifies())
            self.assertEqual((expected - seen, seen - expected), (collections.Counter(), collections.Counter()))
            final = min(rss(orvo.pid) for _ in range(5) if time.sleep(0.5) is None)
            print(f"\nsoak: {sum(seen.values())} Notify calls, {dict(commands)}; RSS {baseline} KiB after warm-up, "
                  f"{final} KiB at the end", flush=True)
            self.assertEqual(d.stop_orvo(orvo), 0)
            self.assertLess(final - baseline, 10 * 1024)

    @staticmethod
    def shown(d):
        return sum(int(d.run("dunstctl", "count", k) or 0) for k in ("displayed", "waiting"))

    @staticmethod
    def page_commands(d):
        return collections.Counter(c for c in d.server.run_js(TENANT, "window.commands.join('|')")[1].split("|") if c)


if __name__ == "__main__":
    unittest.main()
