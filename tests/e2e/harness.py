"""A private, headless desktop session for ORVO's end-to-end tests.

`with Desktop(name=self.id()) as d:` makes a temporary HOME with its own XDG
folders, an Xvfb display without TCP, a private session bus (and, on request,
dunst and the tray watcher of sni_watcher.py), a test CA trusted through
$HOME/.pki/nssdb, and an HTTPS server (d.server, a TestServer) to which
Chromium maps every *.orvo.test (and *.elsewhere.test, another site) host. d.start_orvo() runs ORVO_BINARY in that
session; its output goes to ORVO_ARTIFACTS/<name>.log. On exit every process
the session started is killed and the folder removed, also after a failure.

Only Debian's /usr/bin/python3 standard library and the command-line tools
that scripts/install-deps.sh installs are used.
"""

import collections
import ctypes
import glob
import http.server
import os
import random
import re
import select
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
TENANT = "tenant.orvo.test"
# A host of another site (another registrable domain) that the server also answers.
ELSEWHERE = "widget.elsewhere.test"
NOTIFY_RULE = "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"

Geometry = collections.namedtuple("Geometry", "x y width height")
# The new main window on the 1920x1080 test screen: its content of 1200x800 is
# placed so that the frame a desktop would add (a title bar of 32 pixels,
# borders of 4) is centred; no window manager draws that frame here.
CENTRED = Geometry((1920 - 1208) // 2, (1080 - 836) // 2, 1200, 800)


def wait_until(pred, timeout=30, interval=0.1, message=None):
    """Polls pred until it returns a truthy value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(message or f"timed out after {timeout}s waiting for {pred}")
        time.sleep(interval)


# --------------------------------------------------------------------------
# Processes


def _process_table():
    """(pid, state, parent, group) of every process, from /proc."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                yield int(entry), fields[0], int(fields[1]), int(fields[2])
            except (OSError, ValueError, IndexError):
                pass


def renderer_pids(pid):
    """The Chromium renderer processes below `pid`."""
    children = collections.defaultdict(list)
    for child, _state, parent, _group in _process_table():
        children[parent].append(child)
    found, todo = [], [pid]
    while todo:
        below = children[todo.pop()]
        found += below
        todo += below
    renderers = []
    for child in found:
        try:
            with open(f"/proc/{child}/cmdline", "rb") as f:
                if b"--type=renderer" in f.read():
                    renderers.append(child)
        except OSError:
            pass
    return renderers


def group_members(pgid):
    """The living processes of a process group: ORVO and the engine's helpers,
    re-parented ones included."""
    return [pid for pid, state, _parent, group in _process_table() if group == pgid and state != "Z"]


def rss_kib(pid):
    """The resident set size of one process, in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"process {pid} reports no VmRSS")


def dunstrc_with_menu(directory, choice_file, settings=()):
    """Writes a copy of e2e/dunstrc into `directory` whose context menu picks
    the action label written to `choice_file` (then `dunstctl context`
    chooses it). `settings` are (section, key, value) lines to replace."""
    with open(os.path.join(HERE, "dunstrc")) as f:
        config = f.read()
    # dunst finds the menu script and the choice by absolute path.
    menu = f"{os.path.join(HERE, 'dunst_menu.sh')} {choice_file}"
    config = re.sub(r"(?m)^(\s*dmenu\s*=).*$", lambda m: f"{m.group(1)} {menu}", config)
    for section, key, value in settings:
        config, found = re.subn(rf"(?m)(^\[{section}\][^\[]*?^\s*{key}\s*=).*$",
                                lambda m: f"{m.group(1)} {value}", config, count=1)
        if not found:
            raise ValueError(f"dunstrc has no {key} in [{section}]")
    path = os.path.join(directory, "dunstrc")
    with open(path, "w") as f:
        f.write(config)
    return path


def _session_user(name="orvo-e2e"):
    """The unprivileged account the session runs as under root; made on
    first use."""
    import pwd
    try:
        return pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                       check=True, capture_output=True)
        return pwd.getpwnam(name)


def _die_with_parent():
    # Children must not outlive a harness that was killed (by ctest's
    # time-out, say), so the kernel is asked to SIGKILL them when it goes.
    try:
        ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def _send_wm_delete(display_name, wid):
    """Sends WM_DELETE_WINDOW as a window manager's close button does."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    xlib.XFlush.argtypes = xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 24)]  # XEvent is larger than this member

    dpy = xlib.XOpenDisplay(display_name.encode())
    if not dpy:
        raise RuntimeError(f"cannot open display {display_name}")
    try:
        event = ClientMessage(type=33, window=wid, format=32)  # 33: ClientMessage
        event.message_type = xlib.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.data[0] = xlib.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        xlib.XSendEvent(dpy, wid, 0, 0, ctypes.byref(event))
        xlib.XFlush(dpy)
    finally:
        xlib.XCloseDisplay(dpy)


# --------------------------------------------------------------------------
# Pages and the HTTPS test server

# A page that includes this script obeys TestServer.command(): it long-polls
# its own host for JavaScript to run and reports each outcome as a beacon
# (/beacon?cmd=<n>&ok=1&value=... or &ok=0&error=...). Promises are awaited.
CONTROL_SCRIPT = """<script>
(async function loop() {
  for (;;) {
    let r;
    try { r = await fetch('/__command', {cache: 'no-store'}); } catch (e) { await new Promise(f => setTimeout(f, 500)); continue; }
    if (r.status !== 200) continue;
    const n = r.headers.get('X-Command');
    const code = await r.text();
    let q;
    try {
      q = 'ok=1&value=' + encodeURIComponent(String(await (0, eval)('(async () => (' + code + '))()')));
    } catch (e) {
      q = 'ok=0&error=' + encodeURIComponent(String(e && e.name) + ': ' + String(e && e.message));
    }
    try { await fetch('/beacon?cmd=' + n + '&' + q, {method: 'POST'}); } catch (e) {}
  }
})();
</script>"""

# Keeps every command the shell delivers in window.commands and reports each
# with a beacon (what=command&data=...).
COMMAND_LISTENER = """<script>
window.commands = [];
window.chrome.webview.addEventListener('message', e => {
  window.commands.push(e.data);
  navigator.sendBeacon('/beacon?what=command&data=' + encodeURIComponent(e.data));
});
</script>"""


def test_page(body="", title="Tenant"):
    """A page that runs what the test sends it (CONTROL_SCRIPT)."""
    return f"<!doctype html><title>{title}</title><body style='margin:0'>{body}{CONTROL_SCRIPT}</body>"


class Request:
    def __init__(self, method, host, path, headers, body):
        self.method, self.host, self.path, self.headers, self.body = method, host, path, headers, body
        parsed = urllib.parse.urlsplit(path)
        self.route = parsed.path
        self.query = {k: v[0] for k, v in urllib.parse.parse_qs(parsed.query, keep_blank_values=True).items()}
        self.time = time.monotonic()

    def __repr__(self):
        return f"<{self.method} https://{self.host}{self.path}>"


def _header_list(headers):
    # A list of pairs can hold several Set-Cookie lines; a dict cannot.
    return list(headers.items() if isinstance(headers, dict) else headers)


class _QuietHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A browser that went away before its answer was written is no fault.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            super().handle_error(request, client_address)


class TestServer:
    """Serves registered pages for any *.orvo.test host and records every
    request. Every host answers /beacon with 204, so pages report with
    navigator.sendBeacon('/beacon?what=...')."""

    def __init__(self, certfile, keyfile):
        self._cond = threading.Condition()
        self._requests = []
        self._pages = {}
        self._commands = collections.defaultdict(collections.deque)
        self._command_count = 0
        self._closing = False
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                host = (self.headers.get("Host") or "").rsplit(":", 1)[0].lower()
                request = Request(self.command, host, self.path, {k.lower(): v for k, v in self.headers.items()},
                                  body)
                if request.route != "/__command":
                    with server._cond:
                        server._requests.append(request)
                        server._cond.notify_all()
                status, headers, out = server._respond(request, self.connection)
                self.send_response(status)
                for key, value in headers:
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(out)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(out)

            do_POST = do_HEAD = do_PUT = do_OPTIONS = do_GET

        self._httpd = _QuietHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile, keyfile)
        self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self.port = self._httpd.server_address[1]
        threading.Thread(target=self._httpd.serve_forever, daemon=True).start()

    def close(self):
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self._httpd.shutdown()
        self._httpd.server_close()

    def page(self, host, path, body, headers=(), content_type="text/html; charset=utf-8"):
        """Serves `body` (str, bytes, or a callable(Request) -> (status,
        headers, body)) at https://host<path>; host "*" matches any host."""
        with self._cond:
            self._pages[(host.lower(), path)] = (_header_list(headers), content_type, body)

    def _respond(self, request, connection):
        cors = [("Access-Control-Allow-Origin", "*"), ("Cache-Control", "no-store")]
        if request.route == "/beacon":
            return 204, cors, b""
        if request.route == "/__command":
            queued = self._next_command(request.host, connection)
            if queued is None:
                return 204, cors, b""
            return 200, cors + [("X-Command", str(queued[0])), ("Content-Type", "text/plain")], queued[1].encode()
        with self._cond:
            entry = self._pages.get((request.host, request.route)) or self._pages.get(("*", request.route))
        if entry is None:
            return 404, cors + [("Content-Type", "text/plain")], b"not found"
        headers, content_type, body = entry
        status = 200
        if callable(body):
            status, headers, body = body(request)
            headers = _header_list(headers)
        names = {k.lower() for k, _ in headers}
        headers = headers + [(k, v) for k, v in (("Content-Type", content_type), ("Cache-Control", "no-store"))
                    if k.lower() not in names]
        return status, headers, body.encode() if isinstance(body, str) else body

    # -- running script in a page ------------------------------------------

    def command(self, host, expression):
        """Queues an expression for the CONTROL_SCRIPT page of `host`; returns
        the number its report beacon carries as cmd=."""
        with self._cond:
            self._command_count += 1
            self._commands[host.lower()].append((self._command_count, expression))
            self._cond.notify_all()
            return self._command_count

    def outcome(self, number, timeout=30):
        """(True, String(value)) or (False, "Name: message") of a command."""
        beacon = self.wait_for(route="/beacon", pred=lambda r: r.query.get("cmd") == str(number), timeout=timeout)
        ok = beacon.query.get("ok") == "1"
        return ok, beacon.query.get("value" if ok else "error", "")

    def run_js(self, host, expression, timeout=30):
        return self.outcome(self.command(host, expression), timeout)

    def _next_command(self, host, connection, wait=20):
        deadline = time.monotonic() + wait
        with self._cond:
            while not self._closing and time.monotonic() < deadline:
                # The page sends nothing while it waits, so a readable socket
                # means the browser closed it.
                try:
                    if select.select([connection.fileno()], [], [], 0)[0]:
                        return None
                except (OSError, ValueError):
                    return None
                if self._commands[host]:
                    return self._commands[host].popleft()
                self._cond.wait(0.25)
        return None

    # -- what was requested -------------------------------------------------

    @property
    def requests(self):
        with self._cond:
            return list(self._requests)

    def mark(self):
        """An index for `since`: "from now on"."""
        with self._cond:
            return len(self._requests)

    def wait_for(self, host=None, path=None, route=None, pred=None, since=0, timeout=30):
        """The first request from index `since` that matches every criterion
        given; fails the test on time-out."""

        def matches(r):
            return ((host is None or r.host == host.lower()) and (path is None or r.path == path)
                    and (route is None or r.route == route) and (pred is None or pred(r)))

        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = next((r for r in self._requests[since:] if matches(r)), None)
                if found:
                    return found
                if time.monotonic() > deadline:
                    seen = ", ".join(repr(r) for r in self._requests[since:]) or "none"
                    raise AssertionError(f"no request host={host} path={path} route={route} within "
                                         f"{timeout}s; seen: {seen}")
                self._cond.wait(0.5)

    def wait_for_beacon(self, what, since=0, timeout=30):
        return self.wait_for(route="/beacon", since=since, timeout=timeout, pred=lambda r: r.query.get("what") == what)

    def beacons(self, what, since=0):
        """The data= of every what=`what` beacon from index `since`."""
        return [r.query.get("data") for r in self.requests[since:]
                if r.route == "/beacon" and r.query.get("what") == what]


# --------------------------------------------------------------------------
# Notifications on the bus

Notify = collections.namedtuple("Notify", "app_name replaces_id app_icon summary body actions hints expire_timeout")


def _parse_value(lines, i):
    """Parses one value of dbus-monitor's text output starting at lines[i];
    integers come back as (type, value), so a byte is told from an int."""
    line = lines[i]
    if line.startswith("variant"):
        return _parse_value([line[len("variant"):].strip()], 0)[0], i + 1
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
        if lines[i] != ")":
            raise ValueError(f"unexpected dbus-monitor line: {lines[i]!r}")
        return (key, value), i + 1
    raise ValueError(f"unexpected dbus-monitor line: {line!r}")


class NotifyMonitor:
    """Records every Notify call on the session bus (with dbus-monitor, whose
    output is also kept in `log_path`). A context manager."""

    def __init__(self, env, log_path):
        self._cond = threading.Condition()
        self._calls = []
        self._log = open(log_path, "w", encoding="utf-8")
        self._proc = subprocess.Popen(["dbus-monitor", "--session", NOTIFY_RULE], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        self._ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        # The monitor is in place once the bus has taken its name away again.
        if not self._ready.wait(20):
            raise AssertionError("dbus-monitor did not start")

    def _read(self):
        block = None
        for line in self._proc.stdout:
            self._log.write(line)
            if "NameLost" in line:
                self._ready.set()
            if not line[:1].isspace():
                block = [] if line.startswith("method call") and "member=Notify" in line else None
            elif block is not None and line.strip():
                block.append(line.strip())
                try:
                    values, i = [], 0
                    while i < len(block):
                        value, i = _parse_value(block, i)
                        values.append(value)
                except (IndexError, ValueError):
                    continue  # the call is not complete yet
                if len(values) == 8:
                    name, (_, replaces), icon, summary, body, actions, hints, (_, expire) = values
                    with self._cond:
                        self._calls.append(Notify(name, replaces, icon, summary, body, actions, dict(hints), expire))
                        self._cond.notify_all()
                    block = None

    def calls(self):
        with self._cond:
            return list(self._calls)

    def wait(self, before, count=1, timeout=20):
        """The calls after the first `before`, once there are `count` of them."""
        wait_until(lambda: len(self.calls()) >= before + count, timeout=timeout,
                   message=f"{before + count - len(self.calls())} Notify calls did not reach the bus")
        return self.calls()[before:]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._proc.terminate()
        self._proc.wait(timeout=10)
        self._log.close()
        return False


# --------------------------------------------------------------------------
# The desktop session


class Desktop:
    def __init__(self, name=None, dunst=False, sni_watcher=False, dunstrc=os.path.join(HERE, "dunstrc"),
                 chromium_flags=(), screen="1920x1080x24", x11=True, system_bus=False, unprivileged=False):
        """x11=False leaves out Xvfb (a Wayland compositor brings its own
        output); system_bus adds a private stand-in for the system bus;
        unprivileged runs the session's programs as a user of their own when
        the tests run as root (sway refuses root)."""
        self.name = re.sub(r"[^A-Za-z0-9_.-]+", "_", name or f"desktop-{os.getpid()}-{int(time.time())}")
        self._want_dunst, self._want_watcher, self._dunstrc = dunst, sni_watcher, dunstrc
        self._chromium_flags, self._screen = list(chromium_flags), screen
        self._x11, self._system_bus = x11, system_bus
        self._user = _session_user() if unprivileged and os.geteuid() == 0 else None
        self._procs = []  # every Popen started, torn down in reverse
        self._orvos = []
        self._logs = []
        self.server = None
        self.binary = os.environ.get("ORVO_BINARY", "")
        self.artifacts = os.environ.get("ORVO_ARTIFACTS") or os.path.join(tempfile.gettempdir(), "orvo-e2e-artifacts")

    def __enter__(self):
        try:
            self._setup()
        except BaseException:
            self._teardown()
            raise
        return self

    def __exit__(self, *exc):
        self._teardown()
        return False

    def _setup(self):
        if not self.binary or not os.access(self.binary, os.X_OK):
            raise RuntimeError("ORVO_BINARY must name the built orvo executable")
        os.makedirs(self.artifacts, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="orvo-e2e-")
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.cache_home = os.path.join(self.home, ".cache")
        self.runtime_dir = os.path.join(self.root, "runtime")
        state_home = os.path.join(self.home, ".local", "state")
        for path in (self.home, self.config_home, self.data_home, self.cache_home, state_home, self.runtime_dir):
            os.makedirs(path, mode=0o700, exist_ok=True)
            os.chmod(path, 0o700)
        self.settings_dir = os.path.join(self.config_home, "Zandoral.Orvo")
        self._session_log = open(os.path.join(self.artifacts, f"{self.name}.session.log"), "wb")
        self._logs.append(self._session_log)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"), "LANG": "C.UTF-8",
            "HOME": self.home, "USER": os.environ.get("USER", "root"),
            "XDG_CONFIG_HOME": self.config_home, "XDG_DATA_HOME": self.data_home,
            "XDG_CACHE_HOME": self.cache_home, "XDG_STATE_HOME": state_home, "XDG_RUNTIME_DIR": self.runtime_dir,
            "XDG_DATA_DIRS": "/usr/local/share:/usr/share", "XDG_CONFIG_DIRS": "/etc/xdg",
            "NO_AT_BRIDGE": "1", "QTWEBENGINE_DISABLE_SANDBOX": "1",
            "QT_LOGGING_RULES": "qt.webenginecontext.info=false",
        }
        if self._user:
            self.env["USER"] = self._user.pw_name
        self._make_certificates()
        # The session's programs write into the whole tree.
        self._give_to_user(self.root)
        if self._x11:
            self._start_xvfb()
        self._start_bus("bus")
        if self._system_bus:
            # GNOME Shell asks logind on the system bus where a machine runs
            # systemd; a private bus without logind makes it do without.
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self._start_bus("system_bus", set_env=False)
        self.server = TestServer(self._leaf_cert, self._leaf_key)
        port = self.server.port
        flags = [f'--host-resolver-rules="MAP *.orvo.test 127.0.0.1:{port}, MAP orvo.test 127.0.0.1:{port}, '
                 f'MAP *.elsewhere.test 127.0.0.1:{port}"',
                 "--use-fake-device-for-media-stream", *self._chromium_flags]
        self.env["QTWEBENGINE_CHROMIUM_FLAGS"] = " ".join(flags)
        if self._want_dunst:
            self.dunst = self.spawn(["dunst", "-config", self._dunstrc])
            self.wait_for_bus_name("org.freedesktop.Notifications")
        if self._want_watcher:
            self.spawn(["/usr/bin/python3", os.path.join(HERE, "sni_watcher.py")])
            self.wait_for_bus_name("org.kde.StatusNotifierWatcher")

    def _spawn(self, argv, log, env=None, **kwargs):
        if self._user:
            kwargs.update(user=self._user.pw_uid, group=self._user.pw_gid, extra_groups=[])
        proc = subprocess.Popen(argv, env=env or self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True, preexec_fn=_die_with_parent, **kwargs)
        self._procs.append(proc)
        return proc

    def spawn(self, argv, env=None):
        """Starts a helper program in this session (output to the session
        log); it is killed at teardown."""
        return self._spawn(list(argv), self._session_log, env={**self.env, **(env or {})})

    @staticmethod
    def _display_taken(number):
        # Another X server may use the number without a lock file we can see;
        # its abstract socket shows.
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            return True
        try:
            with open("/proc/net/unix") as f:
                return f"@/tmp/.X11-unix/X{number}\n" in f.read()
        except OSError:
            return False

    def _start_xvfb(self):
        # A random high display number, checked and then verified: letting
        # Xvfb pick the lowest free one races with other sessions on this
        # machine, and a half-shared display sends windows astray.
        for _ in range(30):
            number = random.randint(200, 29999)
            if self._display_taken(number):
                continue
            err_path = os.path.join(self.root, f"xvfb-{number}.log")
            read_end, write_end = os.pipe()
            with open(err_path, "wb") as err:
                try:
                    # -noreset: the server otherwise regenerates whenever its
                    # last client leaves and did not always come back.
                    proc = self._spawn(["Xvfb", f":{number}", "-displayfd", str(write_end), "-nolisten", "tcp",
                                        "-noreset", "-screen", "0", self._screen], err, pass_fds=(write_end,))
                finally:
                    os.close(write_end)
            data = b""
            with os.fdopen(read_end, "rb", buffering=0) as pipe:
                while not data.endswith(b"\n"):
                    chunk = pipe.read(16)
                    if not chunk:
                        break
                    data += chunk
            with open(err_path, "rb") as f:
                complaints = f.read()
            if data.strip() == str(number).encode() and proc.poll() is None and b"already running" not in complaints:
                self._xvfb_log = err_path
                self.display = self.env["DISPLAY"] = f":{number}"
                return
            self._kill_group(proc, signal.SIGKILL)
            proc.wait()
            self._procs.remove(proc)
        raise RuntimeError("could not start Xvfb on a free display")

    def _start_bus(self, socket, set_env=True):
        path = os.path.join(self.runtime_dir, socket)
        proc = self._spawn(["dbus-daemon", "--nofork", f"--config-file={self._bus_config(socket)}"],
                           self._session_log)
        wait_until(lambda: os.path.exists(path) or proc.poll() is not None, timeout=20)
        if proc.poll() is not None:
            raise RuntimeError("dbus-daemon exited")
        if set_env:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={path}"
            self.wait_for_bus_name("org.freedesktop.DBus")
        return f"unix:path={path}"

    def _bus_config(self, socket):
        """A session bus configuration that starts the installed services on
        demand, except notification servers: several are installed (one per
        desktop the tests run), and each session starts its own. Clients of
        every user may connect, so that the harness, running as root, reaches
        a session that runs as another user."""
        services = os.path.join(self.root, "dbus-services")
        if not os.path.isdir(services):
            os.makedirs(services)
            for path in sorted(glob.glob("/usr/share/dbus-1/services/*.service")):
                with open(path, errors="replace") as f:
                    if re.search(r"(?m)^Name=org\.freedesktop\.Notifications\s*$", f.read()):
                        continue
                os.symlink(path, os.path.join(services, os.path.basename(path)))
        config = os.path.join(self.root, f"{socket}.conf")
        with open(config, "w") as f:
            f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><keep_umask/>
  <listen>unix:path={os.path.join(self.runtime_dir, socket)}</listen>
  <auth>EXTERNAL</auth><servicedir>{services}</servicedir>
  <policy context="default"><allow user="*"/><allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
""")
        return config

    def _give_to_user(self, top):
        """Hands a tree to the session's own user, if it has one."""
        if not self._user:
            return
        for folder, dirs, files in os.walk(top):
            for entry in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(entry, self._user.pw_uid, self._user.pw_gid)

    def install_app(self):
        """Installs ORVO's desktop entry and icon into a data folder of this
        session, with the rules the package is built from, so the desktop
        finds them as it finds an installed app's."""
        prefix = os.path.join(self.root, "usr")
        subprocess.run(["cmake", "--install", os.path.dirname(os.path.abspath(self.binary)), "--prefix", prefix],
                       check=True, capture_output=True)
        self._give_to_user(prefix)
        self.env["XDG_DATA_DIRS"] = os.path.join(prefix, "share") + ":" + self.env["XDG_DATA_DIRS"]
        # A desktop lists an entry only when the program it runs is found.
        self.env["PATH"] = os.path.join(prefix, "bin") + ":" + self.env["PATH"]
        return prefix

    def _make_certificates(self):
        pki = os.path.join(self.root, "pki")
        os.makedirs(pki)
        ca_key, ca_crt, leaf_key, leaf_csr, leaf_crt, ext = (
            os.path.join(pki, n) for n in ("ca.key", "ca.crt", "leaf.key", "leaf.csr", "leaf.crt", "leaf.ext"))
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:orvo.test,DNS:*.orvo.test,DNS:*.elsewhere.test\nbasicConstraints=critical,CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

        def run(*argv):
            subprocess.run(argv, check=True, capture_output=True, env=self.env)

        run("openssl", "req", "-x509", *ec, "-keyout", ca_key, "-out", ca_crt, "-days", "7",
            "-subj", "/CN=ORVO e2e test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        run("openssl", "req", *ec, "-keyout", leaf_key, "-out", leaf_csr, "-subj", "/CN=orvo.test")
        run("openssl", "x509", "-req", "-in", leaf_csr, "-CA", ca_crt, "-CAkey", ca_key,
            "-CAcreateserial", "-out", leaf_crt, "-days", "7", "-extfile", ext)
        nssdb = os.path.join(self.home, ".pki", "nssdb")
        os.makedirs(nssdb, mode=0o700)
        run("certutil", "-d", f"sql:{nssdb}", "-N", "--empty-password")
        run("certutil", "-d", f"sql:{nssdb}", "-A", "-n", "ORVO e2e test CA", "-t", "C,,", "-i", ca_crt)
        self._leaf_cert, self._leaf_key = leaf_crt, leaf_key

    def _teardown(self):
        for proc in self._orvos:
            if proc.poll() is None:
                self._kill_group(proc, signal.SIGKILL)
        for proc in reversed(self._procs):
            self._kill_group(proc, signal.SIGTERM)
        for proc in reversed(self._procs):
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._kill_group(proc, signal.SIGKILL)
                proc.wait()
            # Helpers of a child (Chromium's zygote, say) live in its group.
            self._kill_group(proc, signal.SIGKILL)
        if self.server:
            self.server.close()
            self.server = None
        if getattr(self, "_xvfb_log", None) and not self._session_log.closed:
            with open(self._xvfb_log, "rb") as f:
                self._session_log.write(b"==== Xvfb\n" + f.read())
        for log in self._logs:
            log.close()
        self._logs = []
        if getattr(self, "root", None):
            shutil.rmtree(self.root, ignore_errors=True)

    @staticmethod
    def _kill_group(proc, sig):
        try:
            os.killpg(proc.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass

    # -- settings files -------------------------------------------------------

    def write_setting(self, filename, text):
        """Writes a file of the settings folder (str as UTF-8, bytes as-is)."""
        os.makedirs(self.settings_dir, exist_ok=True)
        with open(os.path.join(self.settings_dir, filename), "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)
        self._give_to_user(self.settings_dir)

    def write_host(self, text):
        self.write_setting("host.txt", text)

    def serve_tenant(self, page):
        """Stores the tenant as the host and serves `page` as its start page."""
        self.server.page(TENANT, "/", page)
        self.write_host(TENANT)

    def read_host(self):
        """host.txt's text, None when absent."""
        try:
            with open(os.path.join(self.settings_dir, "host.txt"), "rb") as f:
                return f.read().decode("utf-8")
        except FileNotFoundError:
            return None

    # -- the application --------------------------------------------------------

    def start_orvo(self, env=None):
        # One log per test: the first start of a session replaces an old one.
        log = open(os.path.join(self.artifacts, f"{self.name}.log"), "ab" if self._orvos else "wb")
        self._logs.append(log)
        log.write(f"==== start {len(self._orvos) + 1} at {time.strftime('%H:%M:%S')}\n".encode())
        log.flush()
        proc = self._spawn([self.binary], log, env={**self.env, **(env or {})})
        self._orvos.append(proc)
        return proc

    def wait_exit(self, proc=None, timeout=30):
        """The exit code; fails the test when the process does not end."""
        proc = proc or self._orvos[-1]
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._kill_group(proc, signal.SIGKILL)
            proc.wait()
            raise AssertionError(f"orvo (pid {proc.pid}) did not exit within {timeout}s")

    def stop_orvo(self, proc=None, sig=signal.SIGTERM, timeout=30):
        proc = proc or self._orvos[-1]
        if proc.poll() is None:
            proc.send_signal(sig)
        code = self.wait_exit(proc, timeout)
        # Chromium's helper processes must be gone with the browser.
        self._kill_group(proc, signal.SIGKILL)
        return code

    # -- X11 ------------------------------------------------------------------------

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise subprocess.CalledProcessError(result.returncode, result.args, result.stdout, result.stderr)
        return result.stdout

    def find_windows(self, pattern, visible=True):
        return self.xdotool("search", *(["--onlyvisible"] if visible else []), "--name", pattern, check=False).split()

    def wait_for_window(self, pattern="^ORVO$", timeout=30, visible=True, settle=0.5):
        """The first window matching `pattern` once the match has stayed the
        same for `settle` seconds: Qt may replace a top-level's X window right
        after showing it, and an id taken too early can vanish."""
        state = {"wid": None, "since": 0.0}

        def stable():
            found = (self.find_windows(pattern, visible) or [None])[0]
            now = time.monotonic()
            if found != state["wid"]:
                state.update(wid=found, since=now)
                return None
            return found if found and now - state["since"] >= settle else None

        return wait_until(stable, timeout=timeout, message=f"no window named {pattern!r} within {timeout}s")

    def window_geometry(self, wid):
        out = subprocess.run(["xwininfo", "-id", str(wid)], env=self.env, capture_output=True, text=True,
                             check=True).stdout
        return Geometry(*(int(re.search(rf"{label}:\s+(-?\d+)", out).group(1))
                          for label in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")))

    def type_into(self, wid, text, then="Return"):
        # Without a window manager nobody gives a new window focus. XTEST
        # input (no --window), as Qt ignores synthetic events sent to a window.
        self.xdotool("windowfocus", "--sync", wid, check=False)
        if text:
            self.xdotool("type", "--delay", "20", text)
        if then:
            self.xdotool("key", then)

    def close_window(self, wid):
        """Asks the window to close the way a window manager does;
        `xdotool windowclose` would destroy it instead."""
        _send_wm_delete(self.display, int(wid))

    def focused_window(self):
        return self.xdotool("getwindowfocus").strip()

    def xprop(self, *args):
        return subprocess.run(["xprop", *map(str, args)], env=self.env, capture_output=True, text=True).stdout

    def is_above(self, upper, lower):
        """Whether top-level window `upper` lies above `lower`."""
        # A window manager puts clients into frames and lists their order.
        stacking = re.findall(r"0x[0-9a-f]+", self.xprop("-root", "_NET_CLIENT_LIST_STACKING").split("=")[-1])
        if stacking:
            order = [str(int(m, 16)) for m in reversed(stacking)]  # topmost first
        else:
            out = subprocess.run(["xwininfo", "-root", "-children"], env=self.env, capture_output=True, text=True,
                                 check=True).stdout
            order = [str(int(m, 16)) for m in re.findall(r"^\s+(0x[0-9a-f]+) ", out, re.M)]  # topmost first
        return str(upper) in order and str(lower) in order and order.index(str(upper)) < order.index(str(lower))

    def demands_attention(self, wid):
        return "_NET_WM_STATE_DEMANDS_ATTENTION" in self.xprop("-id", wid, "_NET_WM_STATE")

    def start_window_manager(self):
        """xfwm4 with its focus-stealing prevention: an application's request
        for the focus that is older than the user's last input in the focused
        window is refused, and the window is flagged instead."""
        folder = os.path.join(self.config_home, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfwm4.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<channel name="xfwm4" version="1.0">'
                    '<property name="general" type="empty">'
                    '<property name="prevent_focus_stealing" type="bool" value="true"/></property></channel>\n')
        self.spawn(["xfwm4", "--compositor=off"])
        wait_until(lambda: "window id" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), timeout=20,
                   message="xfwm4 did not start")

    def typing_target(self):
        """Another application's window with a text field, as the user types
        into it; returns its window id and a function giving its text."""
        record = os.path.join(self.root, "typed.txt")
        self.spawn(["/usr/bin/python3", os.path.join(HERE, "typing_target.py"), record])
        wid = self.wait_for_window("^orvo-typing-target$")

        def typed():
            try:
                with open(record, encoding="utf-8") as f:
                    return f.read()
            except FileNotFoundError:
                return ""

        return wid, typed

    def cover_window(self):
        """Another application's window over the whole screen; its id."""
        self.spawn(["xmessage", "-title", "cover", "-geometry", "1920x1080+0+0", "covering window"])
        return self.wait_for_window("^cover$")

    def screenshot(self):
        path = os.path.join(self.artifacts, f"{self.name}.png")
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True, capture_output=True)
        return path

    # -- D-Bus ------------------------------------------------------------------------

    def gdbus(self, *args):
        return subprocess.run(["gdbus", *map(str, args)], env=self.env, capture_output=True, text=True,
                              check=True, timeout=20).stdout

    def dunstctl(self, *args):
        return subprocess.run(["dunstctl", *map(str, args)], env=self.env, capture_output=True, text=True,
                              check=True, timeout=20).stdout

    def _get_property(self, dest, path, interface, name):
        return self.gdbus("call", "--session", "--dest", dest, "--object-path", path, "--method",
                          "org.freedesktop.DBus.Properties.Get", interface, name)

    def wait_for_bus_name(self, name, timeout=20):
        def owned():
            try:
                return "true" in self.gdbus("call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                                            "/org/freedesktop/DBus", "--method",
                                            "org.freedesktop.DBus.NameHasOwner", name)
            except subprocess.CalledProcessError:
                return False

        wait_until(owned, timeout=timeout, message=f"nobody took {name} on the bus")

    def tray_tooltip(self):
        """The ToolTip property of the first registered tray item, as gdbus
        prints it; "" when no item is registered."""
        items = self._get_property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                   "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")
        names = re.findall(r"'([^']+)'", items)
        if not names:
            return ""
        return self._get_property(names[0], "/StatusNotifierItem", "org.kde.StatusNotifierItem", "ToolTip").strip()

    # -- default applications ------------------------------------------------------

    def install_url_handler(self, schemes, mime_types=()):
        """Makes a recording script the session's default application for
        x-scheme-handler/<scheme> and the MIME types, as xdg-open (and so
        QDesktopServices) finds it. Returns a function giving the URLs it
        was handed so far."""
        record, script = os.path.join(self.root, "handled.urls"), os.path.join(self.root, "handler.sh")
        with open(script, "w") as f:
            f.write(f'#!/bin/sh\nfor a in "$@"; do printf "%s\\n" "$a" >> "{record}"; done\n')
        os.chmod(script, 0o755)
        apps = os.path.join(self.data_home, "applications")
        os.makedirs(apps, exist_ok=True)
        types = [f"x-scheme-handler/{s}" for s in schemes] + list(mime_types)
        with open(os.path.join(apps, "fake-handler.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Fake handler\n"
                    f"Exec={script} %u\nMimeType={';'.join(types)};\nNoDisplay=true\n")
        with open(os.path.join(self.config_home, "mimeapps.list"), "a") as f:
            f.write("[Default Applications]\n" + "".join(f"{t}=fake-handler.desktop\n" for t in types))

        def handled():
            try:
                with open(record) as f:
                    return f.read().splitlines()
            except FileNotFoundError:
                return []

        return handled
