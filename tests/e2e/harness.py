"""A private, headless desktop session for ORVO's end-to-end tests.

Everything runs with Debian's /usr/bin/python3 and its standard library, plus
the command-line tools that scripts/install-deps.sh installs (Xvfb, dbus,
openssl, certutil, xdotool, xwininfo, ImageMagick, gdbus).

Usage::

    from harness import Desktop, wait_until

    class LaunchTest(unittest.TestCase):
        def test_loads_start_page(self):
            with Desktop(name=self.id()) as d:
                d.server.page("tenant.orvo.test", "/", "<title>hi</title>")
                d.write_host("tenant.orvo.test")
                orvo = d.start_orvo()
                d.server.wait_for(host="tenant.orvo.test", path="/")
                wid = d.wait_for_window("^ORVO$")
                self.assertEqual(d.stop_orvo(orvo), 0)

Desktop(name=None, dunst=False, sni_watcher=False, dunstrc=<e2e>/dunstrc,
        sni_watcher_script=<e2e>/sni_watcher.py, chromium_flags=(),
        screen="1920x1080x24")
    A context manager. On entry it creates a private temporary directory
    (d.root) holding HOME and the XDG_CONFIG_HOME, XDG_DATA_HOME,
    XDG_CACHE_HOME, XDG_STATE_HOME and XDG_RUNTIME_DIR folders (mode 0700);
    starts Xvfb (no TCP) and a private session bus; optionally dunst with
    `dunstrc` and the StatusNotifierWatcher script (waiting until
    org.freedesktop.Notifications / org.kde.StatusNotifierWatcher are owned);
    makes a test CA and a leaf certificate for orvo.test and *.orvo.test and
    trusts the CA in $HOME/.pki/nssdb; and starts an HTTPS server on a free
    port of 127.0.0.1, to which Chromium maps every *.orvo.test host. On exit
    every process it started is killed by process group and the directory is
    removed, also when the test failed. `name` (use self.id()) names the log
    and screenshot files in ORVO_ARTIFACTS.

Attributes:
    d.env            environment for every child (DISPLAY, DBUS_SESSION_BUS_ADDRESS,
                     HOME, XDG_*, QTWEBENGINE_DISABLE_SANDBOX=1, QT_LOGGING_RULES,
                     NO_AT_BRIDGE=1, QTWEBENGINE_CHROMIUM_FLAGS); pass it to your
                     own subprocesses.
    d.root, d.home, d.config_home, d.data_home, d.cache_home, d.runtime_dir
    d.settings_dir   $XDG_CONFIG_HOME/Zandoral.Orvo (host.txt, seed.txt)
    d.artifacts      the ORVO_ARTIFACTS folder (created)
    d.server         the HTTPS test server (see TestServer below)
    d.ca_cert        path of the test CA certificate (PEM)

Methods of Desktop:
    write_host(text) / write_seed(text)   write settings files (bytes or str, as-is)
    read_host() -> str | None             host.txt's text, None when absent
    start_orvo(env=None, args=()) -> Popen
        starts ORVO_BINARY in its own process group; stdout and stderr are
        appended to ORVO_ARTIFACTS/<name>.log
    stop_orvo(proc=None, sig=SIGTERM, timeout=30) -> int  exit code
        (proc defaults to the last started; SIGKILLs the group after timeout
        and fails the test)
    wait_exit(proc=None, timeout=30) -> int   waits for an exit without signalling
    wait_for_window(pattern="^ORVO$", timeout=30, visible=True, settle=0.5) -> str
        the first visible match, once it has stayed the same for `settle` s
        (Qt may swap a new top-level's X window right after showing it)
    find_windows(pattern, visible=True) -> [wid]   xdotool search --name (regex)
    window_geometry(wid) -> Geometry(x, y, width, height)   via xwininfo
    window_name(wid) -> str
    xdotool(*args) -> str                 runs xdotool on this display
    type_into(wid, text, then="Return")   focuses the window, types, presses a key
    close_window(wid)                     WM_DELETE_WINDOW, as a window manager's close
                                          button sends it (there is no window manager;
                                          `xdotool windowclose` destroys the window)
    focused_window() -> str               the X input focus (xdotool getwindowfocus -f)
    stacking_order() -> [wid]             top-level windows, topmost first
    is_above(upper, lower) -> bool
    spawn(argv, env=None) -> Popen        a helper program (say, xmessage) in this
                                          session, killed at teardown
    screenshot(path=None) -> path         whole screen (ImageMagick import)
    gdbus(*args) -> str                   gdbus on the private session bus
    dunstctl(*args) -> str                dunstctl on the private session bus
    bus_name_has_owner(name) -> bool
    install_url_handler(schemes, name="fake-handler", mime_types=()) -> record file
        registers a desktop entry as default handler for x-scheme-handler/<s>
        (and the given MIME types) in this session's mimeapps.list; xdg-open,
        and so QDesktopServices, then runs it; each URL it is given is appended
        as one line to the returned file.
    handled_urls(path) -> [str]           the lines of that record file

TestServer (d.server):
    page(host, path, body, headers=None, status=200,
         content_type="text/html; charset=utf-8")
        serves body (str/bytes, or a callable(Request) -> (status, headers,
        body)) for GET/POST/HEAD of https://host<path> (path without query).
        host "*" matches every host. headers: dict or list of pairs (several
        Set-Cookie lines need the list form).
    requests -> [Request]                 a snapshot of every request so far
    Request fields: method, host (no port), path (with query), route (without
        query), query (dict of first values), headers (dict, lower-case
        keys), body (bytes), time (time.monotonic())
    wait_for(host=None, path=None, route=None, method=None, pred=None,
             since=0, timeout=30) -> Request
        the first recorded request (from index `since`) matching every given
        criterion; fails the test on time-out.
    mark() -> int                         index for `since`: "from now on"
    beacons(host=None, since=0) -> [Request]   requests to /beacon
    url(host, path="/") -> "https://host/path"
    CONTROL_SCRIPT                        a <script> element to put into a page: the
        page then long-polls /__command on its own host and runs what the test
        queues for that host (one page per host at a time)
    run_js(host, expression, timeout=30) -> (ok, text)
        runs a JavaScript expression (awaited when it is a promise) in the
        controlled page of `host`: (True, String(value)) or (False, "Name: message")
    command(host, expression) -> number   queues without waiting; the page reports
        with a beacon whose query has cmd=<number>
    Every host answers /beacon (any method, any query) with 204 and CORS
    headers, so pages report to the test with
    navigator.sendBeacon('/beacon?what=...') or fetch('/beacon?...').

wait_until(pred, timeout=30, interval=0.1, message=None)
    returns pred()'s first truthy value; raises AssertionError on time-out.

descendants(pid) -> [pid]                 every process below pid (from /proc)
renderer_pids(pid) -> [pid]               the Chromium renderers below pid
rss_kib(pid) -> int                       the resident set size (VmRSS) in KiB
dunstrc_with_menu(directory, choice_file, settings=None) -> path
    writes a copy of e2e/dunstrc into `directory` whose context menu runs
    dunst_menu.sh with `choice_file` (write an action label there, then
    `dunstctl context` picks it); `settings` ({"section": {"key": "value"}})
    replaces those lines of the copy.

Environment read: ORVO_BINARY (the built `orvo`), ORVO_ARTIFACTS (folder for
logs and screenshots; defaults to <tmp>/orvo-e2e-artifacts).
"""

import collections
import ctypes
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

Geometry = collections.namedtuple("Geometry", "x y width height")


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


def descendants(pid):
    """Every process below `pid`, found through /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def renderer_pids(pid):
    """The Chromium renderer processes below `pid`."""
    found = []
    for child in descendants(pid):
        try:
            with open(f"/proc/{child}/cmdline", "rb") as f:
                if b"--type=renderer" in f.read():
                    found.append(child)
        except OSError:
            pass
    return found


def rss_kib(pid):
    """The resident set size of one process, in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"process {pid} reports no VmRSS")


def dunstrc_with_menu(directory, choice_file, settings=None):
    """A copy of e2e/dunstrc in `directory` whose context menu answers with
    the action label written to `choice_file`; `settings` replaces lines of
    the copy ({"global": {"notification_limit": "3"}})."""
    with open(os.path.join(HERE, "dunstrc")) as f:
        config = f.read()
    # dunst finds the menu script and the choice by absolute path.
    menu = f"{os.path.join(HERE, 'dunst_menu.sh')} {choice_file}"
    config = re.sub(r"(?m)^(\s*dmenu\s*=).*$", lambda m: f"{m.group(1)} {menu}", config)
    for section, values in (settings or {}).items():
        head, _, body = config.partition(f"[{section}]\n")
        if not _:
            raise ValueError(f"dunstrc has no section {section}")
        rest = ""
        if "\n[" in body:
            body, rest = body.split("\n[", 1)
            rest = "\n[" + rest
        for key, value in values.items():
            line = f"    {key} = {value}"
            body, found = re.subn(rf"(?m)^\s*{re.escape(key)}\s*=.*$", lambda _m: line, body)
            if not found:
                body = body.rstrip("\n") + "\n" + line + "\n"
        config = head + f"[{section}]\n" + body + rest
    path = os.path.join(directory, "dunstrc")
    with open(path, "w") as f:
        f.write(config)
    return path


def _die_with_parent():
    # Children must not outlive a harness that was killed (for example by
    # ctest's time-out), so ask the kernel to SIGKILL them when we go.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except OSError:
        pass


def _safe_name(name):
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", name)


def _send_wm_delete(display_name, wid):
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [
            ("type", ctypes.c_int),
            ("serial", ctypes.c_ulong),
            ("send_event", ctypes.c_int),
            ("display", ctypes.c_void_p),
            ("window", ctypes.c_ulong),
            ("message_type", ctypes.c_ulong),
            ("format", ctypes.c_int),
            ("data", ctypes.c_long * 5),
            ("pad", ctypes.c_long * 24),  # XEvent is larger than this member
        ]

    dpy = xlib.XOpenDisplay(display_name.encode())
    if not dpy:
        raise RuntimeError(f"cannot open display {display_name}")
    try:
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = wid
        event.message_type = xlib.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = xlib.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.data[1] = 0  # CurrentTime
        xlib.XSendEvent(dpy, wid, 0, 0, ctypes.byref(event))
        xlib.XFlush(dpy)
    finally:
        xlib.XCloseDisplay(dpy)


# --------------------------------------------------------------------------
# HTTPS test server


class Request:
    def __init__(self, method, host, path, headers, body):
        self.method = method
        self.host = host
        self.path = path
        parsed = urllib.parse.urlsplit(path)
        self.route = parsed.path
        self.query = {k: v[0] for k, v in urllib.parse.parse_qs(parsed.query, keep_blank_values=True).items()}
        self.headers = headers
        self.body = body
        self.time = time.monotonic()

    def __repr__(self):
        return f"<{self.method} https://{self.host}{self.path}>"


# A page that includes this script obeys TestServer.command(): it long-polls
# its own host for JavaScript to run and reports each outcome as a beacon
# (/beacon?cmd=<n>&ok=1&value=... or &ok=0&error=...). Async results are
# awaited, so a command may be "await navigator.mediaDevices.getUserMedia(...)".
CONTROL_SCRIPT = """<script>
(function () {
  async function loop() {
    for (;;) {
      let r;
      try { r = await fetch('/__command', {cache: 'no-store'}); } catch (e) { await new Promise(f => setTimeout(f, 500)); continue; }
      if (r.status !== 200) continue;
      const n = r.headers.get('X-Command');
      const code = await r.text();
      let q;
      try {
        const value = await (0, eval)('(async () => (' + code + '))()');
        q = 'ok=1&value=' + encodeURIComponent(String(value));
      } catch (e) {
        q = 'ok=0&error=' + encodeURIComponent(String(e && e.name) + ': ' + String(e && e.message));
      }
      try { await fetch('/beacon?cmd=' + n + '&' + q, {method: 'POST'}); } catch (e) {}
    }
  }
  loop();
})();
</script>"""


class _QuietHTTPServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A browser that went away before its answer was written (ORVO ended
        # while a page was loading, say) is no fault worth a traceback.
        if isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            return
        super().handle_error(request, client_address)


class TestServer:
    CONTROL_SCRIPT = CONTROL_SCRIPT

    def __init__(self, certfile, keyfile):
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
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

            def _handle(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                host = (self.headers.get("Host") or "").rsplit(":", 1)[0].lower()
                if host.startswith("[") or not host:
                    host = self.headers.get("Host") or ""
                headers = {k.lower(): v for k, v in self.headers.items()}
                request = Request(self.command, host, self.path, headers, body)
                if request.route != "/__command":
                    server._record(request)
                status, out_headers, out_body = server._respond(request, self.connection)
                self.send_response(status)
                for key, value in out_headers:
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(out_body)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(out_body)

            def do_GET(self):
                self._handle()

            do_POST = do_GET
            do_HEAD = do_GET
            do_PUT = do_GET

            def do_OPTIONS(self):
                self._handle()

        self._httpd = _QuietHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile, keyfile)
        self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    def close(self):
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self._httpd.shutdown()
        self._httpd.server_close()

    def url(self, host, path="/"):
        return f"https://{host}{path}"

    def page(self, host, path, body, headers=None, status=200, content_type="text/html; charset=utf-8"):
        if isinstance(headers, dict):
            headers = list(headers.items())
        with self._lock:
            self._pages[(host.lower(), path)] = (status, list(headers or []), content_type, body)

    def _record(self, request):
        with self._cond:
            self._requests.append(request)
            self._cond.notify_all()

    def command(self, host, expression):
        """Queues a JavaScript expression for the page of `host` that runs
        CONTROL_SCRIPT; returns the command's number."""
        with self._cond:
            self._command_count += 1
            number = self._command_count
            self._commands[host.lower()].append((number, expression))
            self._cond.notify_all()
            return number

    def run_js(self, host, expression, timeout=30):
        """Runs an expression in the page of `host` (see CONTROL_SCRIPT) and
        returns its outcome: (True, value text) or (False, error text)."""
        number = self.command(host, expression)
        beacon = self.wait_for(route="/beacon", pred=lambda r: r.query.get("cmd") == str(number), timeout=timeout)
        if beacon.query.get("ok") == "1":
            return True, beacon.query.get("value", "")
        return False, beacon.query.get("error", "")

    @staticmethod
    def _peer_gone(connection):
        # The page sends nothing more while it waits for the answer, so a
        # readable socket means the peer closed it (the browser was stopped).
        try:
            return bool(select.select([connection.fileno()], [], [], 0)[0])
        except (OSError, ValueError):
            return True

    def _next_command(self, host, connection, wait=20):
        deadline = time.monotonic() + wait
        with self._cond:
            while True:
                if self._closing or self._peer_gone(connection):
                    return None
                if self._commands[host]:
                    return self._commands[host].popleft()
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._cond.wait(min(remaining, 0.25))

    def _respond(self, request, connection=None):
        cors = [("Access-Control-Allow-Origin", "*"), ("Cache-Control", "no-store")]
        if request.route == "/beacon":
            return 204, cors, b""
        if request.route == "/__command":
            queued = self._next_command(request.host, connection)
            if queued is None:
                return 204, cors, b""
            return 200, cors + [("X-Command", str(queued[0])), ("Content-Type", "text/plain")], queued[1].encode()
        with self._lock:
            entry = self._pages.get((request.host, request.route)) or self._pages.get(("*", request.route))
        if entry is None:
            return 404, cors + [("Content-Type", "text/plain")], b"not found"
        status, headers, content_type, body = entry
        if callable(body):
            status, headers, body = body(request)
            if isinstance(headers, dict):
                headers = list(headers.items())
        if isinstance(body, str):
            body = body.encode("utf-8")
        names = {k.lower() for k, _ in headers}
        if "content-type" not in names:
            headers = headers + [("Content-Type", content_type)]
        if "cache-control" not in names:
            headers = headers + [("Cache-Control", "no-store")]
        return status, headers, body

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def mark(self):
        with self._lock:
            return len(self._requests)

    def _find(self, since, host, path, route, method, pred):
        for request in self._requests[since:]:
            if host is not None and request.host != host.lower():
                continue
            if path is not None and request.path != path:
                continue
            if route is not None and request.route != route:
                continue
            if method is not None and request.method != method:
                continue
            if pred is not None and not pred(request):
                continue
            return request
        return None

    def wait_for(self, host=None, path=None, route=None, method=None, pred=None, since=0, timeout=30):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = self._find(since, host, path, route, method, pred)
                if found:
                    return found
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    seen = ", ".join(repr(r) for r in self._requests[since:]) or "none"
                    raise AssertionError(
                        f"no request host={host} path={path} route={route} method={method} "
                        f"within {timeout}s; seen: {seen}"
                    )
                self._cond.wait(min(remaining, 0.5))

    def beacons(self, host=None, since=0):
        return [
            r
            for r in self.requests[since:]
            if r.route == "/beacon" and (host is None or r.host == host.lower())
        ]


# --------------------------------------------------------------------------
# The desktop session


class Desktop:
    def __init__(
        self,
        name=None,
        dunst=False,
        sni_watcher=False,
        dunstrc=os.path.join(HERE, "dunstrc"),
        sni_watcher_script=os.path.join(HERE, "sni_watcher.py"),
        chromium_flags=(),
        screen="1920x1080x24",
    ):
        self.name = _safe_name(name or f"desktop-{os.getpid()}-{int(time.time())}")
        self._want_dunst = dunst
        self._want_watcher = sni_watcher
        self._dunstrc = dunstrc
        self._watcher_script = sni_watcher_script
        self._chromium_flags = list(chromium_flags)
        self._screen = screen
        self._procs = []  # every Popen we started, torn down in reverse
        self._orvos = []
        self._logs = []
        self.server = None
        self.binary = os.environ.get("ORVO_BINARY", "")
        self.artifacts = os.environ.get("ORVO_ARTIFACTS") or os.path.join(
            tempfile.gettempdir(), "orvo-e2e-artifacts"
        )

    # -- context management -------------------------------------------------

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
        self.state_home = os.path.join(self.home, ".local", "state")
        self.runtime_dir = os.path.join(self.root, "runtime")
        for path in (self.home, self.config_home, self.data_home, self.cache_home, self.state_home, self.runtime_dir):
            os.makedirs(path, mode=0o700, exist_ok=True)
            os.chmod(path, 0o700)
        self.settings_dir = os.path.join(self.config_home, "Zandoral.Orvo")
        self._session_log = open(os.path.join(self.artifacts, f"{self.name}.session.log"), "wb")
        self._logs.append(self._session_log)

        self.env = {
            "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "HOME": self.home,
            "USER": os.environ.get("USER", "root"),
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_DATA_HOME": self.data_home,
            "XDG_CACHE_HOME": self.cache_home,
            "XDG_STATE_HOME": self.state_home,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "XDG_DATA_DIRS": "/usr/local/share:/usr/share",
            "XDG_CONFIG_DIRS": "/etc/xdg",
            "NO_AT_BRIDGE": "1",
            "QTWEBENGINE_DISABLE_SANDBOX": "1",
            "QT_LOGGING_RULES": "qt.webenginecontext.info=false",
        }
        self._start_xvfb()
        self._start_bus()
        self._make_certificates()
        self.server = TestServer(self._leaf_cert, self._leaf_key)
        rules = f"MAP *.orvo.test 127.0.0.1:{self.server.port}, MAP orvo.test 127.0.0.1:{self.server.port}"
        flags = [f'--host-resolver-rules="{rules}"', "--use-fake-device-for-media-stream"]
        flags += self._chromium_flags
        self.env["QTWEBENGINE_CHROMIUM_FLAGS"] = " ".join(flags)
        if self._want_dunst:
            self._spawn(["dunst", "-config", self._dunstrc], self._session_log)
            wait_until(
                lambda: self.bus_name_has_owner("org.freedesktop.Notifications"),
                timeout=20,
                message="dunst did not take org.freedesktop.Notifications",
            )
        if self._want_watcher:
            self._spawn(["/usr/bin/python3", self._watcher_script], self._session_log)
            wait_until(
                lambda: self.bus_name_has_owner("org.kde.StatusNotifierWatcher"),
                timeout=20,
                message="the StatusNotifierWatcher did not appear on the bus",
            )

    def _spawn(self, argv, log, env=None, **kwargs):
        proc = subprocess.Popen(
            argv,
            env=env or self.env,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
            start_new_session=True,
            preexec_fn=_die_with_parent,
            **kwargs,
        )
        self._procs.append(proc)
        return proc

    @staticmethod
    def _display_taken(number):
        # Another X server may use this number without a lock file we can see
        # (one in another /tmp, for instance); its abstract socket shows.
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            return True
        try:
            with open("/proc/net/unix") as f:
                return f"@/tmp/.X11-unix/X{number}\n" in f.read()
        except OSError:
            return False

    def _start_xvfb(self):
        # A random high display number, checked and then verified: letting
        # Xvfb pick the lowest free one races with every other session on
        # this machine, and a half-shared display sends windows astray.
        rng = random.Random()
        for _ in range(30):
            number = rng.randint(200, 29999)
            if self._display_taken(number):
                continue
            err_path = os.path.join(self.root, f"xvfb-{number}.log")
            read_end, write_end = os.pipe()
            with open(err_path, "wb") as err:
                try:
                    proc = self._spawn(
                        # -noreset: the server otherwise regenerates whenever its
                        # last client leaves (between two launches), and did
                        # not always come back from it.
                        ["Xvfb", f":{number}", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                         "-screen", "0", self._screen],
                        err,
                        pass_fds=(write_end,),
                    )
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
                self.display = f":{number}"
                self.env["DISPLAY"] = self.display
                return
            self._kill_group(proc, signal.SIGKILL)
            proc.wait()
            self._procs.remove(proc)
        raise RuntimeError("could not start Xvfb on a free display")

    def _start_bus(self):
        address = f"unix:path={self.runtime_dir}/bus"
        proc = self._spawn(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1", f"--address={address}"],
            self._session_log,
        )
        # --print-address goes to the log too; wait for the socket instead.
        wait_until(lambda: os.path.exists(f"{self.runtime_dir}/bus"), timeout=20, message="no session bus")
        if proc.poll() is not None:
            raise RuntimeError("dbus-daemon exited")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        wait_until(lambda: self._bus_answers(), timeout=20, message="session bus does not answer")

    def _bus_answers(self):
        try:
            self.gdbus("call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                       "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetId")
            return True
        except subprocess.CalledProcessError:
            return False

    def _make_certificates(self):
        pki = os.path.join(self.root, "pki")
        os.makedirs(pki)
        ca_key, ca_crt = os.path.join(pki, "ca.key"), os.path.join(pki, "ca.crt")
        leaf_key, leaf_csr, leaf_crt = (os.path.join(pki, n) for n in ("leaf.key", "leaf.csr", "leaf.crt"))
        ext = os.path.join(pki, "leaf.ext")
        with open(ext, "w") as f:
            f.write(
                "subjectAltName=DNS:orvo.test,DNS:*.orvo.test\n"
                "basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
            )
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run = lambda *argv: subprocess.run(argv, check=True, capture_output=True, env=self.env)
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
        self.ca_cert = ca_crt
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
            try:
                with open(self._xvfb_log, "rb") as f:
                    self._session_log.write(b"==== Xvfb\n" + f.read())
            except OSError:
                pass
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

    def _write_setting(self, filename, text):
        os.makedirs(self.settings_dir, exist_ok=True)
        data = text.encode("utf-8") if isinstance(text, str) else text
        with open(os.path.join(self.settings_dir, filename), "wb") as f:
            f.write(data)

    def write_host(self, text):
        self._write_setting("host.txt", text)

    def write_seed(self, text):
        self._write_setting("seed.txt", text)

    def read_host(self):
        try:
            with open(os.path.join(self.settings_dir, "host.txt"), "rb") as f:
                return f.read().decode("utf-8")
        except FileNotFoundError:
            return None

    # -- the application --------------------------------------------------------

    def start_orvo(self, env=None, args=()):
        # One log per test: the first start of this session replaces an old one.
        log = open(os.path.join(self.artifacts, f"{self.name}.log"), "ab" if self._orvos else "wb")
        self._logs.append(log)
        log.write(f"==== start {len(self._orvos) + 1} at {time.strftime('%H:%M:%S')}\n".encode())
        log.flush()
        child_env = dict(self.env)
        child_env.update(env or {})
        proc = self._spawn([self.binary, *args], log, env=child_env)
        self._orvos.append(proc)
        return proc

    def wait_exit(self, proc=None, timeout=30):
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
        args = ["search"] + (["--onlyvisible"] if visible else []) + ["--name", pattern]
        return self.xdotool(*args, check=False).split()

    def wait_for_window(self, pattern="^ORVO$", timeout=30, visible=True, settle=0.5):
        """The first window matching `pattern` once the match has stayed the
        same for `settle` seconds: Qt may replace a top-level's X window right
        after showing it (when the web view switches it to GPU composition),
        and an id taken too early can vanish."""
        state = {"wid": None, "since": 0.0}

        def stable():
            found = (self.find_windows(pattern, visible) or [None])[0]
            now = time.monotonic()
            if found != state["wid"]:
                state.update(wid=found, since=now)
                return None
            return found if found and now - state["since"] >= settle else None

        return wait_until(stable, timeout=timeout, message=f"no window named {pattern!r} within {timeout}s")

    def window_name(self, wid):
        return self.xdotool("getwindowname", wid).rstrip("\n")

    def window_geometry(self, wid):
        out = subprocess.run(["xwininfo", "-id", str(wid)], env=self.env, capture_output=True, text=True,
                             check=True).stdout

        def field(label):
            return int(re.search(rf"{label}:\s+(-?\d+)", out).group(1))

        return Geometry(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                        field("Height"))

    def type_into(self, wid, text, then="Return"):
        # Without a window manager nobody gives the new window focus.
        self.xdotool("windowfocus", "--sync", wid, check=False)
        # XTEST input (no --window): Qt ignores synthetic events sent to a window.
        if text:
            self.xdotool("type", "--delay", "20", text)
        if then:
            self.xdotool("key", then)

    def close_window(self, wid):
        """Asks the window to close the way a window manager does
        (WM_DELETE_WINDOW); `xdotool windowclose` would destroy it instead."""
        _send_wm_delete(self.display, int(wid))

    def stacking_order(self):
        """Top-level windows, topmost first (decimal ids, as xdotool gives them)."""
        out = subprocess.run(["xwininfo", "-root", "-children"], env=self.env, capture_output=True, text=True,
                             check=True).stdout
        return [str(int(m, 16)) for m in re.findall(r"^\s+(0x[0-9a-f]+) ", out, re.M)]

    def is_above(self, upper, lower):
        order = self.stacking_order()
        return str(upper) in order and str(lower) in order and order.index(str(upper)) < order.index(str(lower))

    def spawn(self, argv, env=None):
        """Starts a helper program in this session (its output goes to the
        session log); it is killed at teardown."""
        child_env = dict(self.env)
        child_env.update(env or {})
        return self._spawn(list(argv), self._session_log, env=child_env)

    def focused_window(self):
        return self.xdotool("getwindowfocus", "-f").strip()

    def screenshot(self, path=None):
        path = path or os.path.join(self.artifacts, f"{self.name}.png")
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True, capture_output=True)
        return path

    # -- D-Bus ------------------------------------------------------------------------

    def gdbus(self, *args):
        return subprocess.run(["gdbus", *map(str, args)], env=self.env, capture_output=True, text=True,
                              check=True, timeout=20).stdout

    def dunstctl(self, *args):
        return subprocess.run(["dunstctl", *map(str, args)], env=self.env, capture_output=True, text=True,
                              check=True, timeout=20).stdout

    def bus_name_has_owner(self, name):
        out = self.gdbus("call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", name)
        return "true" in out

    # -- default applications ------------------------------------------------------

    def install_url_handler(self, schemes, name="fake-handler", mime_types=()):
        record = os.path.join(self.root, f"{name}.urls")
        script = os.path.join(self.root, f"{name}.sh")
        with open(script, "w") as f:
            f.write(f'#!/bin/sh\nfor a in "$@"; do printf "%s\\n" "$a" >> "{record}"; done\n')
        os.chmod(script, 0o755)
        apps = os.path.join(self.data_home, "applications")
        os.makedirs(apps, exist_ok=True)
        types = [f"x-scheme-handler/{s}" for s in schemes] + list(mime_types)
        mimes = ";".join(types) + ";"
        with open(os.path.join(apps, f"{name}.desktop"), "w") as f:
            f.write(
                "[Desktop Entry]\nType=Application\nName=Fake handler\n"
                f"Exec={script} %u\nMimeType={mimes}\nNoDisplay=true\n"
            )
        with open(os.path.join(self.config_home, "mimeapps.list"), "a") as f:
            f.write("[Default Applications]\n")
            for t in types:
                f.write(f"{t}={name}.desktop\n")
        return record

    @staticmethod
    def handled_urls(record):
        try:
            with open(record) as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []
