#!/usr/bin/python3
"""ORVO, the engine's floor and Debian's Chromium in app mode, side by side.

Three contenders show the same page (bench/pages/index.html) from the same
loopback HTTPS server in the same private headless desktop (the end-to-end
harness: Xvfb, a session bus, dunst, a tray watcher, a test CA):

  ORVO         the application.
  engine floor the least Qt WebEngine program (bench/engine_floor): one
               QWebEngineView and nothing else, so that the table shows what
               ORVO adds over the engine it is built on. Where there is no GPU
               it gets the software scene graph that ORVO picks there.
  Chromium     `chromium --app=...`, what a user would run instead.

Measured:

  cold start   exec -> the page's load event, as the page itself reports it
               with a beacon; a fresh profile every run; the order of the
               contenders rotates from run to run.
  memory       PSS of the whole process tree (every process in the started
               process's session or descended from it, re-parented engine
               helpers included), 10 s after load.
  idle         CPU time of the whole tree over 30 s with the page idle, and the
               context switches per second of the browser process (the one
               started) and of its main thread (the GUI thread of the Qt
               programs).
  bridge       (ORVO only) 10,000 page messages posted in one loop, until the
               notification the page posts after them reaches the
               notification server; and a command round trip, from the
               notification server's ActionInvoked for "Answer" to the page's
               listener. Both are observed on the session bus.

Prints a Markdown table and writes it to bench/results/<date>.md.

Usage: /usr/bin/python3 bench/bench.py --orvo build/orvo [--runs 10] [--quick | --smoke]
The engine floor is looked for in bench/ beside ORVO's binary (--engine-floor).
Run bench/setup.sh first (make bench does both). --smoke is the short run that
`make test` makes: it only shows that every contender still yields figures, and
leaves Chromium out where it is not installed. Needs root or a user whose
Chromium sandbox works; as root every engine runs without its sandbox.
"""

import argparse
import collections
import datetime
import glob
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
    They share the engine's pages, which lowers the tree's PSS. Files are
    compared by device and inode, since a path names another file in another
    root (the Debian 13 root beside this machine's own)."""
    def exe(pid):
        try:
            info = os.stat(f"/proc/{pid}/exe")
            return info.st_dev, info.st_ino
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
        server.pages[("*", "/bench/next")] = self._next
        server.pages[("*", "/bench/mode")] = lambda _request: (200, [("Content-Type", "text/plain")],
                                                               "commands" if self.active else "idle")

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
# The contenders


class Contender:
    name = ""
    key = ""

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
        self.token = f"{self.key}-{time.monotonic_ns()}"

    def _profile(self):
        """A folder no run used before, in the session's temporary tree."""
        return os.path.join(self.d.root, f"profile-{self.token}")


class Orvo(Contender):
    name, key = "ORVO", "orvo"

    def __init__(self, desktop, extra_env):
        super().__init__(desktop)
        self.extra_env = extra_env

    def start(self):
        # A fresh profile: nothing cached, no cookies, as a first start.
        for base in (self.d.data_home, self.d.env["XDG_CACHE_HOME"]):
            shutil.rmtree(os.path.join(base, "Zandoral"), ignore_errors=True)
        self._fresh_token()
        self.exec_time = time.time()
        self.proc = self.d.start_orvo(env={**self.extra_env, TREE_MARKER: self.token})

    def stop(self):
        root = self.proc.pid
        self.d.stop_orvo(self.proc)
        wait_tree_gone(root, self.token)


class Spawned(Contender):
    """A contender started as one process group of its own and ended with
    SIGTERM to the group, then SIGKILL to whatever of its tree is left."""

    def __init__(self, desktop, binary):
        super().__init__(desktop)
        self.binary = binary
        self._log = open(os.path.join(desktop.artifacts, f"bench-{self.key}.log"), "ab")

    def argv(self):
        raise NotImplementedError

    def env(self):
        return {}

    def start(self):
        self._fresh_token()
        argv = self.argv()
        self.exec_time = time.time()
        self.proc = self.d.spawn(argv, env={**self.env(), TREE_MARKER: self.token}, log=self._log)

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


def software_scene_graph():
    """Whether ORVO picks Qt's software scene graph here: it does where no GPU
    render node exists and the user chose no backend."""
    return "QT_QUICK_BACKEND" not in os.environ and not glob.glob("/dev/dri/renderD*")


class EngineFloor(Spawned):
    name, key = "engine floor", "floor"

    def argv(self):
        return [self.binary, f"https://{HOST}/", self._profile()]

    def env(self):
        # The same scene graph as ORVO's, so that the difference is ORVO's code.
        return {"QT_QUICK_BACKEND": "software"} if software_scene_graph() else {}


class Chromium(Spawned):
    name, key = "Chromium", "chromium"

    def __init__(self, desktop, binary):
        super().__init__(desktop, binary)
        # Known from the start, so that a run without Chromium still shows
        # when the harness no longer tells it.
        self.port = desktop.server.httpd.server_address[1]

    def argv(self):
        argv = [
            self.binary,
            f"--app=https://{HOST}/",
            f"--user-data-dir={self._profile()}",
            f"--host-resolver-rules=MAP *.orvo.test 127.0.0.1:{self.port}",
            "--use-fake-device-for-media-stream",
            "--no-first-run",
            "--no-default-browser-check",
            "--password-store=basic",
        ]
        if os.geteuid() == 0:
            argv.append("--no-sandbox")  # as the Qt programs under QTWEBENGINE_DISABLE_SANDBOX
        return argv


# --------------------------------------------------------------------------
# Measuring


Run = collections.namedtuple("Run", "start_ms pss_mib idle_cpu_pct cs_process cs_main sharers")


def wait_beacon(d, what, since, timeout=90):
    return d.server.wait_for(lambda r: r.route == "/beacon" and r.query.get("what") == what, since=since,
                             timeout=timeout)


def wait_load(d, since, timeout=90):
    return int(wait_beacon(d, "load", since, timeout).query["t"]) / 1000.0


def measure_run(d, contender, idle_seconds, settle_seconds):
    since = d.server.mark()
    contender.start()
    try:
        try:
            loaded = wait_load(d, since)
        except AssertionError as e:
            raise AssertionError(f"{contender.name} never reported the page's load event ({e}); its log is in "
                                 f"{d.artifacts}") from None
        start_ms = (loaded - contender.exec_time) * 1000.0

        time.sleep(max(0.0, loaded + settle_seconds - time.time()))
        pids = contender.pids()
        pss_mib = tree_pss_kib(pids) / 1024.0
        sharers = outside_sharers(pids)

        idle = cs_process = cs_main = None
        if idle_seconds:
            main = contender.proc.pid
            before_cpu = cpu_ns(contender.pids())
            before_cs, before_main = context_switches(main), context_switches(main, main)
            began = time.monotonic()
            time.sleep(idle_seconds)
            after_cpu = cpu_ns(contender.pids())
            after_cs, after_main = context_switches(main), context_switches(main, main)
            elapsed = time.monotonic() - began
            idle = growth(before_cpu, after_cpu) / 1e9 / elapsed * 100.0
            cs_process = growth(before_cs, after_cs) / elapsed
            cs_main = growth(before_main, after_main) / elapsed
    finally:
        contender.stop()
    return Run(start_ms, pss_mib, idle, cs_process, cs_main, sharers)


def measure_bridge(d, orvo, commands, rounds, count, bus):
    """Returns ([flood ms], [the page's own loop ms], [round trip ms], notes)."""
    notes = []
    commands.active = True
    since = d.server.mark()
    orvo.start()
    try:
        wait_load(d, since)
        wait_until(lambda: commands.polls > 0, timeout=30, message="the page never asked for commands")
        floods, loops, trips = [], [], []
        for _ in range(rounds):
            # Flood: from the page's first postMessage to the marker notification.
            bus.drain()
            since = d.server.mark()
            commands.send(f"flood {count}")
            seen, _ = bus.next("Notify", lambda args: "bench-flood-done" in args, timeout=120)
            beacon = wait_beacon(d, "flood", since, timeout=30)
            floods.append((seen - int(beacon.query["t0"]) / 1000.0) * 1000.0)
            loops.append(int(beacon.query["t1"]) - int(beacon.query["t0"]))

            # Round trip: a call notification, Answer on it, the page's listener.
            bus.drain()
            since = d.server.mark()
            commands.send("call")
            bus.next("Notify", lambda args: "Incoming call" in args, timeout=60)
            d.choose("Answer")
            when, _ = bus.next("ActionInvoked", timeout=30)
            beacon = wait_beacon(d, "command", since, timeout=30)
            if beacon.query.get("data") != "orvo-cmd:answer":
                notes.append(f"the page received {beacon.query.get('data')!r} instead of 'orvo-cmd:answer'")
            trips.append((int(beacon.query["t"]) / 1000.0 - when) * 1000.0)
            d.run("dunstctl", "close-all")

        tooltip = d.tooltip()
        if f"Bench {count}" not in tooltip:
            notes.append(f"after the flood the tray tooltip was {tooltip.strip()!r}, not 'Bench {count}'")
        commands.send("stop")
    finally:
        commands.active = False
        orvo.stop()
    return floods, loops, trips, notes


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


def machine_lines(args, chromium_present):
    cpu = re.search(r"^model name\s*:\s*(.*)$", _read("/proc/cpuinfo") or "", re.M)
    qt = command_output(["dpkg-query", "-W", "-f=${Version}", "libqt6webenginecore6"])
    commit = command_output(["git", "-C", REPO, "describe", "--always", "--dirty"])
    scene = ", Qt's software scene graph (no GPU here; ORVO picks it too)" if software_scene_graph() else ""
    lines = [
        f"- Machine: {cpu.group(1) if cpu else '?'}, {os.cpu_count()} CPUs, Linux {platform.release()}, "
        f"load average before the run {os.getloadavg()[0]:.2f}",
        f"- ORVO: `{args.orvo}` at {commit}, Qt WebEngine {qt}"
        + (f", with {' '.join(args.orvo_env)}" if args.orvo_env else ""),
        f"- Engine floor: `{args.engine_floor}`, one QWebEngineView, a fresh disk profile each run{scene}",
    ]
    if chromium_present:
        lines.append(f"- Chromium: {command_output([args.chromium, '--version'])} "
                     f"(`{args.chromium} --app=https://{HOST}/`, fresh profile each run)")
    else:
        lines.append(f"- Chromium: not installed at `{args.chromium}`, left out (bench/setup.sh installs it)")
    sandbox = "root: every engine without its sandbox" if os.geteuid() == 0 else "a user, sandboxes on"
    lines.append(f"- Running as {sandbox}")
    return lines


def report(args, runs, floods, loops, trips, notes):
    """The table and the lines below it; `runs` maps each contender measured,
    ORVO first, to its runs."""
    names = list(runs)
    others = names[1:]

    def col(name, field):
        chosen = runs[name]
        if field == "pss_mib":
            # Pages shared with processes outside the benchmark are charged
            # partly to those, so runs without such sharers are the fair ones.
            chosen = [r for r in chosen if not r.sharers] or chosen
        return [getattr(r, field) for r in chosen]

    rows = [
        ("Cold start: exec → page load event, ms", "start_ms", "{:.0f}", "≤ 0.6× Chromium"),
        (f"Memory: whole-tree PSS {args.settle_seconds:.0f} s after load, MiB", "pss_mib", "{:.0f}",
         "≤ 0.7× Chromium"),
        (f"Idle: whole-tree CPU over {args.idle_seconds:.0f} s, % of one core", "idle_cpu_pct", "{:.2f}",
         "ORVO ≤ 0.1 %"),
        ("Idle: context switches/s of the browser process", "cs_process", "{:.1f}", ""),
        ("Idle: context switches/s of its main (GUI) thread", "cs_main", "{:.1f}", "ORVO 0 (no periodic wake-ups)"),
    ]
    heads = {"ORVO": "ORVO", "engine floor": "Engine floor", "Chromium": "Chromium --app"}
    lines = [
        "| Measure | " + " | ".join(heads[n] for n in names) + " | "
        + " | ".join(f"ORVO/{heads[n]}" for n in others) + " | Target |",
        "|---" * (2 + 2 * len(others) + 1) + "|",
    ]
    for label, field, fmt, target in rows:
        values = [summary(col(n, field), fmt) for n in names]
        ratios = [ratio(col("ORVO", field), col(n, field)) for n in others]
        lines.append(f"| {label} | " + " | ".join(values + ratios) + f" | {target} |")
    blank = " |" * (2 * len(others))
    lines.append(f"| Bridge: {args.messages:,} page messages → last one handled, ms | {summary(floods)} |{blank} |")
    lines.append(f"| Bridge: of that, the page's own posting loop, ms | {summary(loops)} |{blank} |")
    lines.append(f"| Bridge: command round trip (Answer → page listener), ms | {summary(trips, '{:.1f}')} |{blank} |")
    table = "\n".join(lines)

    detail = ["", f"Runs ({' / '.join(names)}):", ""]
    for i, row in enumerate(zip(*runs.values()), 1):
        def fmt_run(r):
            idle = f", idle {r.idle_cpu_pct:.2f} %" if r.idle_cpu_pct is not None else ""
            return f"{r.start_ms:.0f} ms, {r.pss_mib:.0f} MiB{idle}"
        detail.append(f"{i}. " + " / ".join(fmt_run(r) for r in row))
    for name in names:
        shared = [str(i) for i, r in enumerate(runs[name], 1) if r.sharers]
        if shared:
            used = "the others" if len(shared) < len(runs[name]) else "all of them, for want of others"
            which = f"run {shared[0]}" if len(shared) == 1 else f"runs {', '.join(shared)}"
            notes.append(f"{name} {which}: other processes outside the benchmark ran the same "
                         f"engine executables and shared its pages, so PSS reads low there; the table takes {used}")
    if any(t < 0 for t in trips):
        notes.append("A negative round trip: the page had the command before the bus monitor, itself waiting for "
                     "a CPU, read the ActionInvoked signal; the round trip is below what watching from outside "
                     "resolves on this machine")
    notes_text = ["", "Notes:", ""] + [f"- {n}" for n in notes] if notes else []
    return table, detail + notes_text


def missing_figures(runs, floods, loops, trips, bridge_rounds):
    """What a run that went through still lacks: the smoke run's verdict,
    which judges no figure's size."""
    missing = []
    for name, chosen in runs.items():
        if not chosen:
            missing.append(f"{name}: no run")
        for r in chosen:
            if r.start_ms is None or not r.pss_mib or r.idle_cpu_pct is None or r.cs_main is None:
                missing.append(f"{name}: a run without every figure ({r})")
    if bridge_rounds and not (len(floods) == len(loops) == len(trips) == bridge_rounds):
        missing.append("ORVO: bridge figures missing")
    return missing


# --------------------------------------------------------------------------


# What --quick and --smoke change; options given explicitly win.
PRESETS = {
    "full": dict(runs=10, idle_runs=3, idle_seconds=30.0, settle_seconds=10.0, bridge_rounds=10, messages=10000),
    "quick": dict(runs=2, idle_runs=1, bridge_rounds=3),
    "smoke": dict(runs=1, idle_runs=1, idle_seconds=3.0, settle_seconds=2.0, bridge_rounds=1, messages=1000),
}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orvo", default=os.path.join(REPO, "build", "orvo"))
    parser.add_argument("--engine-floor", help="default: bench/engine-floor beside ORVO's binary")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--runs", type=int, help="cold starts of each, in rotating order (10)")
    parser.add_argument("--idle-runs", type=int, help="of those, runs that also measure idle (3)")
    parser.add_argument("--idle-seconds", type=float, help="(30)")
    parser.add_argument("--settle-seconds", type=float, help="load → memory sample (10)")
    parser.add_argument("--bridge-rounds", type=int, help="0 skips the bridge (10)")
    parser.add_argument("--messages", type=int, help="page messages per bridge round (10,000)")
    parser.add_argument("--orvo-env", action="append", default=[], metavar="NAME=VALUE",
                        help="an environment variable for ORVO only, to try a setting")
    size = parser.add_mutually_exclusive_group()
    size.add_argument("--quick", action="store_true", help="2 runs, 1 idle run, 3 bridge rounds")
    size.add_argument("--smoke", action="store_true",
                      help="one short run of each, no warm-up; fails only when a contender yields no figures, "
                           "and leaves Chromium out when it is not installed")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    args = parser.parse_args()
    preset = dict(PRESETS["full"])
    preset.update(PRESETS["smoke"] if args.smoke else PRESETS["quick"] if args.quick else {})
    for key, value in preset.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    args.orvo = os.path.abspath(args.orvo)
    args.engine_floor = os.path.abspath(args.engine_floor or
                                        os.path.join(os.path.dirname(args.orvo), "bench", "engine-floor"))
    return args


def main():
    args = parse_args()
    for path, what in ((args.orvo, "ORVO"), (args.engine_floor, "The engine floor")):
        if not os.access(path, os.X_OK):
            sys.exit(f"{what} not found at {path} (make build builds it)")
    chromium_present = os.access(args.chromium, os.X_OK)
    if not chromium_present:
        if not args.smoke:
            sys.exit(f"Chromium not found at {args.chromium} (bench/setup.sh installs it)")
        print(f"Chromium not installed at {args.chromium}: left out of this run (bench/setup.sh installs it)",
              flush=True)
    os.environ["ORVO_BINARY"] = args.orvo
    # Logs land beside the binary, in its build tree.
    os.environ.setdefault("ORVO_ARTIFACTS", os.path.join(os.path.dirname(args.orvo), "bench-artifacts"))

    machine = machine_lines(args, chromium_present)
    with open(os.path.join(HERE, "pages", "index.html"), "rb") as f:
        page = f.read()

    notes = []
    floods, loops, trips = [], [], []
    with Desktop("bench", dunst=True, watcher=True) as d:
        d.tenant(page, HOST)
        commands = Commands(d.server)
        orvo = Orvo(d, dict(v.split("=", 1) for v in args.orvo_env))
        contenders = [orvo, EngineFloor(d, args.engine_floor)]
        chromium = Chromium(d, args.chromium)
        if chromium_present:
            contenders.append(chromium)
        runs = {c.name: [] for c in contenders}
        bus = BusWatch(d.env)
        try:
            if not args.smoke:
                # One untimed start of each fills the file cache, so that
                # every timed run starts from the same warm disk.
                for contender in contenders:
                    measure_run(d, contender, 0, 0)
            for i in range(args.runs):
                shift = i % len(contenders)
                for contender in contenders[shift:] + contenders[:shift]:
                    idle = args.idle_seconds if i < args.idle_runs else 0
                    run = measure_run(d, contender, idle, args.settle_seconds)
                    runs[contender.name].append(run)
                    print(f"run {i + 1} {contender.name}: {run.start_ms:.0f} ms, {run.pss_mib:.0f} MiB"
                          + (f", idle {run.idle_cpu_pct:.2f} %" if run.idle_cpu_pct is not None else ""),
                          flush=True)
            if args.bridge_rounds:
                floods, loops, trips, bridge_notes = measure_bridge(d, orvo, commands, args.bridge_rounds,
                                                                    args.messages, bus)
                notes += bridge_notes
        finally:
            bus.close()

    table, detail = report(args, runs, floods, loops, trips, notes)
    stamp = datetime.datetime.now()
    title = "ORVO benchmark, smoke run" if args.smoke else "ORVO benchmark"
    text = "\n".join([f"# {title}, {stamp:%Y-%m-%d %H:%M}", ""] + machine + ["", table] + detail) + "\n"
    print()
    print(text)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{stamp:%Y-%m-%d}.md")
    if os.path.exists(path):
        path = os.path.join(args.out, f"{stamp:%Y-%m-%d-%H%M}.md")
    with open(path, "w") as f:
        f.write(text)
    print(f"written to {os.path.relpath(path)}")
    if args.smoke:
        missing = missing_figures(runs, floods, loops, trips, args.bridge_rounds)
        for line in missing:
            print(f"smoke: {line}")
        if missing:
            sys.exit(1)
        print(f"smoke: figures from {', '.join(runs)}" + ("" if chromium_present else " (Chromium not installed)"))


if __name__ == "__main__":
    main()
