#!/usr/bin/python3
"""ORVO against Debian's Chromium in app mode, side by side, on one machine.

Both browse the same page (bench/pages/index.html) from the same loopback
HTTPS server in the same private headless desktop (the end-to-end harness:
Xvfb, a session bus, dunst, a tray watcher, a test CA). Measured:

  cold start   exec -> the page's load event, as the page itself reports it
               with a beacon; a fresh profile every run; runs alternate.
  memory       PSS of the whole process tree (every process in the started
               process's session or descended from it, re-parented engine
               helpers included), 10 s after load.
  idle         CPU time of the whole tree over 30 s with the page idle, and the
               context switches per second of the browser process (ORVO's own
               process; for ORVO also of its GUI thread alone).
  bridge       (ORVO only) 10,000 page messages posted in one loop, until the
               notification the page posts after them reaches the
               notification server; and a command round trip, from the
               notification server's ActionInvoked for "Answer" to the page's
               listener. Both are observed on the session bus.

Prints a Markdown table and writes it to bench/results/<date>.md.

Usage: /usr/bin/python3 bench/bench.py --orvo build/orvo [--runs 10] [--quick]
Run bench/setup.sh first (make bench does both). Needs root or a user whose
Chromium sandbox works; as root both engines run without their sandbox.
"""

import argparse
import collections
import datetime
import os
import platform
import queue
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from harness import Desktop, wait_until  # noqa: E402

HOST = "tenant.orvo.test"
TREE_MARKER = "ORVO_BENCH_TREE"


# --------------------------------------------------------------------------
# Process trees


def _read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return None


def _stat(pid):
    """(parent pid, session id) of a process, or None."""
    text = _read(f"/proc/{pid}/stat")
    if not text:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[1]), int(fields[3])


def tree_pids(root, token):
    """Every live process that belongs to the run started as `root`: in its
    session, descended from it, or carrying its environment marker (engine
    helpers that re-parent to init keep the first and the last)."""
    stats = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            s = _stat(int(entry))
            if s:
                stats[int(entry)] = s
    children = collections.defaultdict(list)
    for pid, (ppid, _) in stats.items():
        children[ppid].append(pid)
    found = {pid for pid, (_, sid) in stats.items() if sid == root}
    stack = [root]
    while stack:
        pid = stack.pop()
        if pid in stats:
            found.add(pid)
        stack.extend(children.get(pid, ()))
    marker = f"{TREE_MARKER}={token}".encode()
    for pid in stats:
        if pid not in found:
            environ = _read(f"/proc/{pid}/environ", "rb")
            if environ and marker in environ.split(b"\0"):
                found.add(pid)
    return sorted(found)


def tree_pss_kib(pids):
    total = 0
    for pid in pids:
        text = _read(f"/proc/{pid}/smaps_rollup")
        match = re.search(r"^Pss:\s+(\d+) kB", text or "", re.M)
        if match:
            total += int(match.group(1))
    return total


def outside_sharers(pids):
    """How many processes outside the tree run one of the tree's executables.
    They share the engine's pages, which lowers the tree's PSS."""
    def exe(pid):
        try:
            return os.readlink(f"/proc/{pid}/exe")
        except OSError:
            return None

    ours = set(pids)
    exes = {exe(pid) for pid in ours} - {None}
    return sum(1 for entry in os.listdir("/proc")
               if entry.isdigit() and int(entry) not in ours and exe(int(entry)) in exes)


def cpu_ns(pids):
    """CPU time in nanoseconds of every thread of the given processes, keyed
    by (pid, tid); exact, where /proc/<pid>/stat counts in clock ticks."""
    out = {}
    for pid in pids:
        try:
            tids = os.listdir(f"/proc/{pid}/task")
        except FileNotFoundError:
            continue
        for tid in tids:
            text = _read(f"/proc/{pid}/task/{tid}/schedstat")
            if text:
                out[(pid, tid)] = int(text.split()[0])
    return out


def context_switches(pid, thread=None):
    """Voluntary + involuntary context switches of every thread of `pid` (or
    of one thread), keyed by thread id."""
    tids = [str(thread)] if thread else [t for t in os.listdir(f"/proc/{pid}/task") if t.isdigit()]
    out = {}
    for tid in tids:
        text = _read(f"/proc/{pid}/task/{tid}/status") or ""
        out[tid] = sum(int(m.group(1)) for m in re.finditer(r"^(?:non)?voluntary_ctxt_switches:\s+(\d+)", text, re.M))
    return out


def growth(before, after):
    """What per-thread counters grew by, threads that ended in between left out
    and threads that started counted whole."""
    return sum(value - before.get(key, 0) for key, value in after.items())


def wait_tree_gone(root, token, timeout=30):
    wait_until(lambda: not tree_pids(root, token), timeout=timeout,
               message=f"processes of run {root} still alive")


# --------------------------------------------------------------------------
# The bus, watched from outside


class BusWatch:
    """Records Notify calls and ActionInvoked signals on the session bus with
    the time dbus-monitor saw them."""

    def __init__(self, env):
        rules = [
            "type='method_call',interface='org.freedesktop.Notifications',member='Notify'",
            "type='signal',interface='org.freedesktop.Notifications',member='ActionInvoked'",
        ]
        self._proc = subprocess.Popen(["dbus-monitor", "--session", *rules], env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
        self.events = queue.Queue()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        # A message is complete when the next one starts or when the output
        # pauses; the time comes from dbus-monitor, so the wait costs nothing.
        fd = self._proc.stdout.fileno()
        pending, header, args = b"", None, []

        def flush():
            nonlocal header, args
            if header:
                self.events.put((header[0], header[1], args))
            header, args = None, []

        while True:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if not ready:
                if not pending:
                    flush()
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace")
                match = re.match(r"^(method call|signal) time=(\d+\.\d+).*member=(\w+)", line)
                if match:
                    flush()
                    header = (match.group(3), float(match.group(2)))
                elif header and line.startswith("   string "):
                    args.append(line.strip()[len('string "'):-1])
                elif header and line.startswith("   uint32 "):
                    args.append(line.split()[1])
        flush()

    def next(self, member, pred=lambda args: True, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no {member} on the bus within {timeout}s")
            try:
                got, when, args = self.events.get(timeout=remaining)
            except queue.Empty:
                continue
            if got == member and pred(args):
                return when, args

    def drain(self):
        while not self.events.empty():
            self.events.get_nowait()

    def close(self):
        self._proc.terminate()
        self._proc.wait(timeout=10)


class Commands:
    """The page's command channel: a long-polled /bench/next that answers as
    soon as the benchmark queues a command."""

    def __init__(self, server):
        self._queue = queue.Queue()
        self.polls = 0
        # Whether a page that loads now should take commands; idle runs must
        # not, since an open request wakes the engine up.
        self.active = False
        self._lock = threading.Lock()
        server.page("*", "/bench/next", self._next)
        server.page("*", "/bench/mode", lambda _request: (200, [("Content-Type", "text/plain")],
                                                         "commands" if self.active else "idle"))

    def _next(self, _request):
        with self._lock:
            self.polls += 1
        try:
            command = self._queue.get(timeout=300)
        except queue.Empty:
            command = "none"
        return 200, [("Content-Type", "text/plain")], command

    def send(self, command):
        self._queue.put(command)


# --------------------------------------------------------------------------
# The two contenders


class Contender:
    name = ""

    def __init__(self, desktop):
        self.d = desktop
        self.proc = None
        self.token = None
        self.exec_time = None

    def start(self):
        raise NotImplementedError

    def stop(self):
        raise NotImplementedError

    def pids(self):
        return tree_pids(self.proc.pid, self.token)

    def _fresh_token(self):
        self.token = f"{self.name}-{time.monotonic_ns()}"


class Orvo(Contender):
    name = "ORVO"

    def __init__(self, desktop, binary, extra_env):
        super().__init__(desktop)
        desktop.binary = binary
        desktop.write_host(HOST)
        self.extra_env = extra_env

    def start(self):
        # A fresh profile: nothing cached, no cookies, as a first start.
        for base in (self.d.data_home, self.d.cache_home):
            shutil.rmtree(os.path.join(base, "Zandoral"), ignore_errors=True)
        self._fresh_token()
        self.exec_time = time.time()
        self.proc = self.d.start_orvo(env={**self.extra_env, TREE_MARKER: self.token})

    def stop(self):
        root = self.proc.pid
        self.d.stop_orvo(self.proc)
        wait_tree_gone(root, self.token)


class Chromium(Contender):
    name = "Chromium"

    def __init__(self, desktop, binary):
        super().__init__(desktop)
        self.binary = binary
        self._log = open(os.path.join(desktop.artifacts, "bench-chromium.log"), "ab")

    def start(self):
        self._fresh_token()
        profile = os.path.join(self.d.root, f"chromium-profile-{self.token}")
        port = self.d.server.port
        argv = [
            self.binary,
            f"--app=https://{HOST}/",
            f"--user-data-dir={profile}",
            f"--host-resolver-rules=MAP *.orvo.test 127.0.0.1:{port}",
            "--use-fake-device-for-media-stream",
            "--no-first-run",
            "--no-default-browser-check",
            "--password-store=basic",
        ]
        if os.geteuid() == 0:
            argv.append("--no-sandbox")  # as ORVO under QTWEBENGINE_DISABLE_SANDBOX
        env = dict(self.d.env)
        env[TREE_MARKER] = self.token
        self.exec_time = time.time()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
                                     start_new_session=True)

    def stop(self):
        root = self.proc.pid
        try:
            os.killpg(root, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        for pid in tree_pids(root, self.token):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait()
        wait_tree_gone(root, self.token)


# --------------------------------------------------------------------------
# Measuring


Run = collections.namedtuple("Run", "start_ms pss_mib idle_cpu_pct cs_process cs_gui sharers")


def wait_load(d, since, timeout=90):
    beacon = d.server.wait_for(route="/beacon", pred=lambda r: r.query.get("what") == "load", since=since,
                               timeout=timeout)
    return int(beacon.query["t"]) / 1000.0


def measure_run(d, contender, idle_seconds, settle_seconds):
    since = d.server.mark()
    contender.start()
    loaded = wait_load(d, since)
    start_ms = (loaded - contender.exec_time) * 1000.0

    time.sleep(max(0.0, loaded + settle_seconds - time.time()))
    pids = contender.pids()
    pss_mib = tree_pss_kib(pids) / 1024.0
    sharers = outside_sharers(pids)

    idle = cs_process = cs_gui = None
    if idle_seconds:
        main = contender.proc.pid
        before_cpu = cpu_ns(contender.pids())
        before_cs, before_gui = context_switches(main), context_switches(main, main)
        began = time.monotonic()
        time.sleep(idle_seconds)
        after_cpu = cpu_ns(contender.pids())
        after_cs, after_gui = context_switches(main), context_switches(main, main)
        elapsed = time.monotonic() - began
        idle = growth(before_cpu, after_cpu) / 1e9 / elapsed * 100.0
        cs_process = growth(before_cs, after_cs) / elapsed
        cs_gui = growth(before_gui, after_gui) / elapsed

    contender.stop()
    return Run(start_ms, pss_mib, idle, cs_process, cs_gui, sharers)


def measure_bridge(d, orvo, commands, rounds, count, bus):
    """Returns ([flood ms], [the page's own loop ms], [round trip ms], notes)."""
    notes = []
    commands.active = True
    since = d.server.mark()
    orvo.start()
    wait_load(d, since)
    wait_until(lambda: commands.polls > 0, timeout=30, message="the page never asked for commands")
    floods, loops, trips = [], [], []
    for _ in range(rounds):
        # Flood: from the page's first postMessage to the marker notification.
        bus.drain()
        since = d.server.mark()
        commands.send(f"flood {count}")
        seen, _ = bus.next("Notify", lambda args: "bench-flood-done" in args, timeout=120)
        beacon = d.server.wait_for(route="/beacon", pred=lambda r: r.query.get("what") == "flood", since=since)
        floods.append((seen - int(beacon.query["t0"]) / 1000.0) * 1000.0)
        loops.append(int(beacon.query["t1"]) - int(beacon.query["t0"]))

        # Round trip: a call notification, Answer on it, the page's listener.
        bus.drain()
        since = d.server.mark()
        commands.send("call")
        bus.next("Notify", lambda args: "Incoming call" in args, timeout=60)
        subprocess.run(["dunstctl", "context"], env=d.env, check=True, capture_output=True, timeout=30)
        when, _ = bus.next("ActionInvoked", timeout=30)
        beacon = d.server.wait_for(route="/beacon", since=since,
                                   pred=lambda r: r.query.get("what") == "command", timeout=30)
        if beacon.query.get("data") != "orvo-cmd:answer":
            notes.append(f"the page received {beacon.query.get('data')!r} instead of 'orvo-cmd:answer'")
        trips.append((int(beacon.query["t"]) / 1000.0 - when) * 1000.0)
        subprocess.run(["dunstctl", "close-all"], env=d.env, check=False, capture_output=True)

    tooltip = d.tray_tooltip()
    if f"Bench {count}" not in tooltip:
        notes.append(f"after the flood the tray tooltip was {tooltip.strip()!r}, not 'Bench {count}'")
    commands.send("stop")
    orvo.stop()
    return floods, loops, trips, notes


def answering_dunstrc(folder):
    """The end-to-end tests' dunstrc, with a context menu that always picks
    "Answer", so that `dunstctl context` answers the call on screen."""
    menu = os.path.join(folder, "answer-menu.sh")
    with open(menu, "w") as f:
        f.write("#!/bin/sh\n# dunst lists one action per line as '#Label [summary]'.\n"
                "grep -F -m 1 -- '#Answer ' || true\n")
    os.chmod(menu, 0o755)
    with open(os.path.join(REPO, "tests", "e2e", "dunstrc")) as f:
        config = re.sub(r"^(\s*dmenu\s*=).*$", rf"\1 {menu}", f.read(), flags=re.M)
    path = os.path.join(folder, "dunstrc")
    with open(path, "w") as f:
        f.write(config)
    return path


# --------------------------------------------------------------------------
# Reporting


def summary(values, fmt="{:.0f}"):
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    med = statistics.median(values)
    if len(values) == 1:
        return fmt.format(med)
    return f"{fmt.format(med)} ({fmt.format(min(values))}–{fmt.format(max(values))})"


def ratio(a, b):
    a = [v for v in a if v is not None]
    b = [v for v in b if v is not None]
    if not a or not b or statistics.median(b) == 0:
        return "–"
    return f"{statistics.median(a) / statistics.median(b):.2f}×"


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def machine_lines(orvo_binary, chromium_binary, orvo_env):
    cpu = re.search(r"^model name\s*:\s*(.*)$", _read("/proc/cpuinfo") or "", re.M)
    qt = command_output(["dpkg-query", "-W", "-f=${Version}", "libqt6webenginecore6"])
    chromium = command_output([chromium_binary, "--version"])
    commit = command_output(["git", "-C", REPO, "describe", "--always", "--dirty"])
    return [
        f"- Machine: {cpu.group(1) if cpu else '?'}, {os.cpu_count()} CPUs, Linux {platform.release()}, "
        f"load average before the run {os.getloadavg()[0]:.2f}",
        f"- ORVO: `{orvo_binary}` at {commit}, Qt WebEngine {qt}" + (f", with {' '.join(orvo_env)}" if orvo_env else ""),
        f"- Chromium: {chromium} (`{chromium_binary} --app=https://{HOST}/`, fresh profile each run)",
        f"- Running as {'root: both without their sandbox' if os.geteuid() == 0 else 'a user, sandboxes on'}",
    ]


def report(args, orvo_runs, chromium_runs, floods, loops, trips, notes):
    def col(runs, field):
        if field == "pss_mib":
            # Pages shared with processes outside the benchmark are charged
            # partly to those, so runs without such sharers are the fair ones.
            clean = [r for r in runs if not r.sharers]
            runs = clean or runs
        return [getattr(r, field) for r in runs]

    rows = [
        ("Cold start: exec → page load event, ms", "start_ms", "{:.0f}", "≤ 0.6×"),
        ("Memory: whole-tree PSS 10 s after load, MiB", "pss_mib", "{:.0f}", "≤ 0.7×"),
        (f"Idle: whole-tree CPU over {args.idle_seconds:.0f} s, % of one core", "idle_cpu_pct", "{:.2f}", "ORVO ≤ 0.1 %"),
        ("Idle: context switches/s of the browser process", "cs_process", "{:.1f}", ""),
    ]
    lines = [
        "| Measure | ORVO | Chromium --app | ORVO/Chromium | Target |",
        "|---|---|---|---|---|",
    ]
    for label, field, fmt, target in rows:
        a, b = col(orvo_runs, field), col(chromium_runs, field)
        lines.append(f"| {label} | {summary(a, fmt)} | {summary(b, fmt)} | {ratio(a, b)} | {target} |")
    lines.append(f"| Idle: context switches/s of ORVO's GUI thread | {summary(col(orvo_runs, 'cs_gui'), '{:.1f}')} "
                 f"| | | 0 (no periodic wake-ups) |")
    lines.append(f"| Bridge: {args.messages:,} page messages → last one handled, ms | {summary(floods)} | | | |")
    lines.append(f"| Bridge: of that, the page's own posting loop, ms | {summary(loops)} | | | |")
    lines.append(f"| Bridge: command round trip (Answer → page listener), ms | {summary(trips, '{:.1f}')} | | | |")
    table = "\n".join(lines)

    detail = ["", "Runs (ORVO / Chromium):", ""]
    for i, (a, b) in enumerate(zip(orvo_runs, chromium_runs), 1):
        def fmt_run(r):
            idle = f", idle {r.idle_cpu_pct:.2f} %" if r.idle_cpu_pct is not None else ""
            return f"{r.start_ms:.0f} ms, {r.pss_mib:.0f} MiB{idle}"
        detail.append(f"{i}. {fmt_run(a)} / {fmt_run(b)}")
    for name, runs in (("ORVO", orvo_runs), ("Chromium", chromium_runs)):
        shared = [str(i) for i, r in enumerate(runs, 1) if r.sharers]
        if shared:
            used = "the others" if len(shared) < len(runs) else "all of them, for want of others"
            notes.append(f"{name} runs {', '.join(shared)}: other processes outside the benchmark ran the same "
                         f"engine executables and shared its pages, so PSS reads low there; the table takes {used}")
    if any(t < 0 for t in trips):
        notes.append("A negative round trip: the page had the command before the bus monitor, itself waiting for "
                     "a CPU, read the ActionInvoked signal; the round trip is below what watching from outside "
                     "resolves on this machine")
    notes_text = ["", "Notes:", ""] + [f"- {n}" for n in notes] if notes else []
    return table, detail + notes_text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orvo", default=os.path.join(REPO, "build", "orvo"))
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--runs", type=int, default=10, help="cold starts of each, alternating")
    parser.add_argument("--idle-runs", type=int, default=3, help="of those, runs that also measure 30 s idle")
    parser.add_argument("--idle-seconds", type=float, default=30.0)
    parser.add_argument("--settle-seconds", type=float, default=10.0, help="load → memory sample")
    parser.add_argument("--bridge-rounds", type=int, default=10, help="0 skips the bridge")
    parser.add_argument("--messages", type=int, default=10000)
    parser.add_argument("--orvo-env", action="append", default=[], metavar="NAME=VALUE",
                        help="an environment variable for ORVO only, to try a setting")
    parser.add_argument("--quick", action="store_true", help="2 runs, 1 idle run, 3 bridge rounds")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    args = parser.parse_args()
    if args.quick:
        args.runs, args.idle_runs, args.bridge_rounds = 2, 1, 3
    for path, what in ((args.orvo, "ORVO"), (args.chromium, "Chromium")):
        if not os.access(path, os.X_OK):
            sys.exit(f"{what} not found at {path} (build it, or run bench/setup.sh)")
    os.environ["ORVO_BINARY"] = os.path.abspath(args.orvo)
    # Logs land beside the binary, in its build tree.
    os.environ.setdefault("ORVO_ARTIFACTS", os.path.join(os.path.dirname(os.path.abspath(args.orvo)),
                                                         "bench-artifacts"))

    machine = machine_lines(os.path.abspath(args.orvo), args.chromium, args.orvo_env)
    with open(os.path.join(HERE, "pages", "index.html"), "rb") as f:
        page = f.read()

    notes = []
    floods, loops, trips = [], [], []
    scratch = tempfile.mkdtemp(prefix="orvo-bench-")
    with Desktop(name="bench", dunst=True, sni_watcher=True, dunstrc=answering_dunstrc(scratch)) as d:
        d.server.page(HOST, "/", page)
        commands = Commands(d.server)
        orvo = Orvo(d, os.path.abspath(args.orvo), dict(v.split("=", 1) for v in args.orvo_env))
        chromium = Chromium(d, args.chromium)
        bus = BusWatch(d.env)
        try:
            # One untimed start of each fills the file cache, so that every
            # timed run starts from the same warm disk.
            for contender in (orvo, chromium):
                measure_run(d, contender, 0, 0)
            orvo_runs, chromium_runs = [], []
            for i in range(args.runs):
                pair = (orvo, chromium) if i % 2 == 0 else (chromium, orvo)
                for contender in pair:
                    idle = args.idle_seconds if i < args.idle_runs else 0
                    run = measure_run(d, contender, idle, args.settle_seconds)
                    (orvo_runs if contender is orvo else chromium_runs).append(run)
                    print(f"run {i + 1} {contender.name}: {run.start_ms:.0f} ms, {run.pss_mib:.0f} MiB"
                          + (f", idle {run.idle_cpu_pct:.2f} %" if run.idle_cpu_pct is not None else ""),
                          flush=True)
            if args.bridge_rounds:
                floods, loops, trips, bridge_notes = measure_bridge(d, orvo, commands, args.bridge_rounds, args.messages,
                                                             bus)
                notes += bridge_notes
        finally:
            bus.close()
    shutil.rmtree(scratch, ignore_errors=True)

    table, detail = report(args, orvo_runs, chromium_runs, floods, loops, trips, notes)
    stamp = datetime.datetime.now()
    text = "\n".join([f"# ORVO benchmark, {stamp:%Y-%m-%d %H:%M}", ""] + machine + ["", table] + detail) + "\n"
    print()
    print(text)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{stamp:%Y-%m-%d}.md")
    if os.path.exists(path):
        path = os.path.join(args.out, f"{stamp:%Y-%m-%d-%H%M}.md")
    with open(path, "w") as f:
        f.write(text)
    print(f"written to {os.path.relpath(path)}")


if __name__ == "__main__":
    main()
