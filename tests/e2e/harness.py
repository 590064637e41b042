# A private headless desktop session for ORVO's end-to-end journeys.
# `with Desktop(name) as d:` makes a temporary HOME with its own XDG folders,
# Xvfb (picking its own display with -displayfd), a private session bus, on
# request dunst, a tray watcher (python3-dbusmock) and a window manager; a test
# CA made with openssl and trusted through $HOME/.pki/nssdb; and d.server, an
# HTTPS server to which Chromium maps *.orvo.test and *.elsewhere.test (another
# site). Everything started is killed and the folder removed on exit.

import collections
import ctypes
import glob
import http.server
import os
import re
import select
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.parse
import warnings

from gi.repository import Gio, GLib

warnings.simplefilter("ignore", ResourceWarning)  # pipes and files closed at exit

HERE = os.path.dirname(os.path.abspath(__file__))
TENANT, ELSEWHERE = "tenant.orvo.test", "widget.elsewhere.test"
WIDGETS = "widgets.orvo.test"  # another host of the tenant's site, in a process of its own
PREFIX = "ORVO \u2014 "
SNI = "org.kde.StatusNotifierItem"
# The new window's content on the 1920x1080 screen, placed so that a 4-pixel
# border and a 32-pixel title bar would be centred (no window manager draws them).
CENTRED = ((1920 - 1208) // 2, (1080 - 836) // 2, 1200, 800)

# The page half of server.run_js: long-polls its host for an expression and
# answers with a beacon carrying the (awaited) value or the error.
CONTROL = """<script>(async () => { for (;;) { let r, q;
  try { r = await fetch('/__command', {cache: 'no-store'}); } catch (e) { await new Promise(f => setTimeout(f, 500)); continue; }
  if (r.status !== 200) continue;
  const n = r.headers.get('X-Command'), code = await r.text();
  try { q = 'ok=1&value=' + encodeURIComponent(String(await (0, eval)('(async () => (' + code + '))()'))); }
  catch (e) { q = 'ok=0&error=' + encodeURIComponent(e.name + ': ' + e.message); }
  fetch('/beacon?cmd=' + n + '&' + q, {method: 'POST'}).catch(() => {}); } })();
window.commands = [];
window.chrome.webview.addEventListener('message', e => { window.commands.push(e.data);
  navigator.sendBeacon('/beacon?what=command&data=' + encodeURIComponent(e.data)); });
</script>"""


def page(body="", title="Tenant"):
    return f"<!doctype html><meta charset=utf-8><title>{title}</title><body style='margin:0'>{body}{CONTROL}"


def wait_until(pred, timeout=30, message=None, interval=0.1):
    deadline = time.monotonic() + timeout
    while not (value := pred()):
        if time.monotonic() > deadline:
            raise AssertionError(message or f"timed out after {timeout}s")
        time.sleep(interval)
    return value


def descendants(pid, renderers=False):
    # ORVO's helpers: the engine's processes stay in ORVO's process group.
    ps = subprocess.run(["ps", "-eo", "pid=,pgid=,stat=,args="], capture_output=True, text=True).stdout
    return [int(p) for p, g, st, args in (line.split(None, 3) for line in ps.splitlines())
            if int(g) == pid and int(p) != pid and st[0] != "Z" and (not renderers or "--type=renderer" in args)]


class Server:
    # Serves pages registered per (host, path) (host "*" for any) and records
    # every request; /beacon answers 204 everywhere.

    def __init__(self, cert, key):
        self.cond, self.requests, self.pages = threading.Condition(), [], {}
        self.commands, self.count = collections.defaultdict(collections.deque), 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                url = urllib.parse.urlsplit(self.path)
                r = collections.namedtuple("Request", "host path route query headers time")(
                    (self.headers.get("Host") or "").rsplit(":", 1)[0].lower(), self.path, url.path,
                    dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True)),
                    {k.lower(): v for k, v in self.headers.items()}, time.monotonic())
                status, headers, body = server.respond(r, self.connection)
                self.send_response(status)
                for k, v in headers + [("Content-Length", str(len(body))), ("Cache-Control", "no-store"),
                                       ("Access-Control-Allow-Origin", "*")]:
                    self.send_header(k, v)
                self.end_headers()
                try:
                    self.wfile.write(body)
                except (ConnectionError, ssl.SSLError):
                    pass

            do_POST = do_GET

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.httpd.handle_error = lambda *a: None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def respond(self, r, connection):
        if r.route == "/__command":
            # A page that went away (its socket turns readable) must not take
            # the next page's command with it.
            with self.cond:
                for _ in range(60):
                    if select.select([connection], [], [], 0)[0]:
                        break
                    if self.cond.wait_for(lambda: self.commands[r.host], timeout=0.25):
                        n, code = self.commands[r.host].popleft()
                        return 200, [("X-Command", str(n))], code.encode()
            return 204, [], b""
        with self.cond:
            self.requests.append(r)
            self.cond.notify_all()
        if r.route == "/beacon":
            return 204, [], b""
        body = self.pages.get((r.host, r.route), self.pages.get(("*", r.route)))
        if body is None:
            return 404, [], b""
        status, headers = 200, [("Content-Type", "text/html; charset=utf-8")]
        if callable(body):
            status, headers, body = body(r)
        return status, headers, body.encode() if isinstance(body, str) else body

    def command(self, host, code):
        with self.cond:
            self.count += 1
            self.commands[host].append((self.count, code))
            self.cond.notify_all()
            return self.count

    def outcome(self, n, timeout=30):
        r = self.wait_for(lambda r: r.route == "/beacon" and r.query.get("cmd") == str(n), timeout=timeout)
        return (True, r.query["value"]) if r.query["ok"] == "1" else (False, r.query["error"])

    def run_js(self, host, code, timeout=30):
        # (True, String(value)) or (False, "Name: message") of `code` in `host`'s page.
        return self.outcome(self.command(host, code), timeout)

    def mark(self):
        with self.cond:
            return len(self.requests)

    def wait_for(self, pred, since=0, timeout=30):
        with self.cond:
            found = self.cond.wait_for(lambda: next((r for r in self.requests[since:] if pred(r)), None), timeout)
        if not found:
            raise AssertionError(f"no such request within {timeout}s; seen {[r.path for r in self.requests[since:]]}")
        return found

    def loads(self, host=TENANT, path="/", since=0):
        with self.cond:
            return [r for r in self.requests[since:] if r.host == host and r.path == path]

    def beacons(self, what, since=0):
        with self.cond:
            return [r.query.get("data") for r in self.requests[since:] if r.query.get("what") == what]


class Monitor:
    # Every Notify call and NewToolTip signal on the session bus, as
    # dbus-monitor prints them, each folded onto one line.

    def __init__(self, d):
        self.events, self.ready = [], threading.Event()
        self.proc = d.spawn(["dbus-monitor", "--session", "interface='org.freedesktop.Notifications',member='Notify'",
                             "type='signal',member='NewToolTip'"], stdout=subprocess.PIPE)
        threading.Thread(target=self.read, daemon=True).start()
        assert self.ready.wait(20), "dbus-monitor did not start"

    def read(self):
        for line in self.proc.stdout:
            line = line.decode(errors="replace")
            if "NameLost" in line:
                self.ready.set()
            if not line[:1].isspace():
                kind = re.search(r"member=(Notify|NewToolTip)\b", line)
                self.events.append([kind.group(1), ""] if kind else None)
            elif self.events and self.events[-1]:
                self.events[-1][1] += " " + line.strip()

    def notifies(self, since=0):
        return [" ".join(e[1].split()) for e in self.events[since:] if e and e[0] == "Notify"]

    def tooltips(self, since=0):
        return len([e for e in self.events[since:] if e and e[0] == "NewToolTip"])


class Desktop:
    def __init__(self, name, x11=True, dunst=False, watcher=True, wm=False, screen="1920x1080x24",
                 system_bus=False, unprivileged=False):
        self.name = re.sub(r"[^\w.-]+", "_", name)
        self.opts = dict(x11=x11, dunst=dunst, watcher=watcher, wm=wm, screen=screen, system_bus=system_bus)
        self.user = None
        if unprivileged and os.geteuid() == 0:
            import pwd
            if subprocess.run(["id", "orvo-e2e"], capture_output=True).returncode:
                subprocess.run(["useradd", "--system", "--no-create-home", "orvo-e2e"], check=True)
            self.user = pwd.getpwnam("orvo-e2e")
        self.procs, self.orvos = [], []
        self.binary = os.environ["ORVO_BINARY"]
        self.artifacts = os.environ.get("ORVO_ARTIFACTS") or tempfile.gettempdir()

    def __enter__(self):
        try:
            self.setup()
        except BaseException:
            self.__exit__()
            raise
        return self

    def setup(self):
        os.makedirs(self.artifacts, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="orvo-e2e-")
        self.home, self.runtime_dir = os.path.join(self.root, "home"), os.path.join(self.root, "run")
        self.config_home, self.data_home = os.path.join(self.home, ".config"), os.path.join(self.home, ".local/share")
        for path in (self.config_home, self.data_home, self.runtime_dir):
            os.makedirs(path, mode=0o700)
        self.settings_dir = os.path.join(self.config_home, "Zandoral.Orvo")
        self.log = open(os.path.join(self.artifacts, f"{self.name}.session.log"), "wb")
        self.env = {"PATH": os.environ["PATH"], "LANG": "C.UTF-8", "HOME": self.home, "NO_AT_BRIDGE": "1",
                    "USER": self.user.pw_name if self.user else os.environ.get("USER", "root"),
                    "XDG_CONFIG_HOME": self.config_home, "XDG_DATA_HOME": self.data_home,
                    "XDG_CACHE_HOME": os.path.join(self.home, ".cache"), "XDG_RUNTIME_DIR": self.runtime_dir,
                    "XDG_DATA_DIRS": "/usr/local/share:/usr/share", "QTWEBENGINE_DISABLE_SANDBOX": "1",
                    "QT_LOGGING_RULES": "qt.webenginecontext.info=false"}
        pki = os.path.join(self.root, "pki")
        os.makedirs(os.path.join(self.home, ".pki/nssdb"))
        os.makedirs(pki)
        script = f"""cd {pki}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.crt -days 7 \
  -subj '/CN=ORVO e2e CA' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout leaf.key -out leaf.crt -days 7 \
  -subj /CN=orvo.test -CA ca.crt -CAkey ca.key -addext basicConstraints=critical,CA:FALSE \
  -addext subjectAltName=DNS:orvo.test,DNS:*.orvo.test,DNS:*.elsewhere.test -addext extendedKeyUsage=serverAuth
certutil -d sql:$HOME/.pki/nssdb -N --empty-password
certutil -d sql:$HOME/.pki/nssdb -A -n 'ORVO e2e CA' -t C,, -i ca.crt"""
        subprocess.run(["sh", "-ec", script], env=self.env, check=True, capture_output=True)
        self.server = Server(os.path.join(pki, "leaf.crt"), os.path.join(pki, "leaf.key"))
        self.chown(self.root)
        if self.opts["x11"]:
            read, write = os.pipe()
            self.spawn(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-noreset", "-screen", "0",
                        self.opts["screen"]], pass_fds=(write,))
            os.close(write)
            with os.fdopen(read) as f:
                self.display = self.env["DISPLAY"] = ":" + f.readline().strip()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus("session")
        if self.opts["system_bus"]:
            # GNOME Shell would otherwise ask the machine's logind and give up.
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus("system")
        port = self.server.httpd.server_address[1]
        self.env["QTWEBENGINE_CHROMIUM_FLAGS"] = (
            f'--host-resolver-rules="MAP *.orvo.test 127.0.0.1:{port}, MAP *.elsewhere.test 127.0.0.1:{port}" '
            "--use-fake-device-for-media-stream --isolate-origins=https://" + WIDGETS)
        if self.opts["wm"]:
            self.start_xfwm4()
        if self.opts["dunst"]:
            self.start_dunst()
        if self.opts["watcher"]:
            self.spawn(["/usr/bin/python3", "-m", "dbusmock", "--template",
                        self.for_user(os.path.join(HERE, "sni_watcher.py"))])
            self.wait_for_name("org.kde.StatusNotifierWatcher")

    def bus(self, kind):
        # Installed services start on demand, except notification servers:
        # each journey chooses its own (or none).
        services = os.path.join(self.root, f"{kind}-services")
        os.makedirs(services)
        for path in glob.glob("/usr/share/dbus-1/services/*.service"):
            with open(path, errors="replace") as f:
                if "Name=org.freedesktop.Notifications" not in f.read():
                    os.symlink(path, os.path.join(services, os.path.basename(path)))
        config = os.path.join(self.root, f"{kind}.conf")
        with open(config, "w") as f:
            f.write(f"""<busconfig><type>session</type><keep_umask/><listen>unix:dir={self.runtime_dir}</listen>
<auth>EXTERNAL</auth><servicedir>{services}</servicedir><policy context="default"><allow user="*"/>
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy></busconfig>""")
        proc = self.spawn(["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
                          stdout=subprocess.PIPE)
        return proc.stdout.readline().decode().strip()

    def start_dunst(self, **settings):
        # dunst, keeping every notification until a test acts on it; its context
        # menu picks the action whose label d.choose() wrote.
        self.choice = os.path.join(self.root, "choice")
        conf = {"notification_limit": 0, "history_length": 100, "timeout": 0, **settings}
        rc = os.path.join(self.root, "dunstrc")
        with open(os.path.join(HERE, "dunstrc")) as f, open(rc, "w") as out:
            out.write(f.read().format(choice=self.choice, **conf))
        self.dunst = self.spawn(["dunst", "-config", rc])
        self.wait_for_name("org.freedesktop.Notifications")

    def choose(self, label):
        with open(self.choice, "w") as f:
            f.write(f"#{label} \n")
        self.run("dunstctl", "context")

    def start_xfwm4(self):
        # xfwm4 with focus-stealing prevention, as Xfce ships it.
        folder = os.path.join(self.config_home, "xfce4/xfconf/xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfwm4.xml"), "w") as f:
            f.write('<channel name="xfwm4" version="1.0"><property name="general" type="empty">'
                    '<property name="prevent_focus_stealing" type="bool" value="true"/></property></channel>')
        self.spawn(["xfwm4", "--compositor=off"])
        wait_until(lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), 20, "no xfwm4")

    def chown(self, top):
        for folder, dirs, files in os.walk(top) if self.user else ():
            for entry in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(entry, self.user.pw_uid, self.user.pw_gid)

    def spawn(self, argv, env=None, log=None, **kwargs):
        if self.user:
            kwargs.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        kwargs.setdefault("stdout", log or self.log)
        # PR_SET_PDEATHSIG: nothing outlives a harness that ctest killed.
        proc = subprocess.Popen(argv, env={**self.env, **(env or {})}, stdin=subprocess.DEVNULL,
                                stderr=log or self.log, start_new_session=True,
                                preexec_fn=lambda: ctypes.CDLL("libc.so.6").prctl(1, 9), **kwargs)
        self.procs.append(proc)
        return proc

    def run(self, *argv, check=False):
        return subprocess.run(list(map(str, argv)), env=self.env, capture_output=True, text=True, timeout=30,
                              check=check).stdout

    def for_user(self, path):
        # `path`, or for the unprivileged user a copy in the session's folder
        # when a private folder on its way keeps that user out (a checkout
        # inside what mktemp -d makes, say).
        folder = os.path.dirname(os.path.abspath(path))
        while self.user and folder != "/":
            if not os.stat(folder).st_mode & 0o001:
                copy = os.path.join(self.root, os.path.basename(path))
                if not os.path.exists(copy):
                    shutil.copy2(path, copy)
                    os.chown(copy, self.user.pw_uid, self.user.pw_gid)
                return copy
            folder = os.path.dirname(folder)
        return path

    def wait_for_name(self, name, timeout=30):
        wait_until(lambda: "true" in self.run("gdbus", "call", "--session", "-d", "org.freedesktop.DBus", "-o",
                                              "/org/freedesktop/DBus", "-m", "org.freedesktop.DBus.NameHasOwner",
                                              name), timeout, f"nobody took {name} on the bus")

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(proc.pid, sig)
                    proc.wait(timeout=5)
                except (ProcessLookupError, PermissionError, subprocess.TimeoutExpired):
                    pass
            proc.stdout and proc.stdout.close()
        self.server.httpd.shutdown() if getattr(self, "server", None) else None
        getattr(self, "log", None) and self.log.close()
        shutil.rmtree(getattr(self, "root", "/nonexistent"), ignore_errors=True)

    # -- ORVO and its settings ------------------------------------------------

    def start_orvo(self, env=None):
        log = open(os.path.join(self.artifacts, f"{self.name}.log"), "ab" if self.orvos else "wb")
        with log:
            self.orvos.append(self.spawn([self.for_user(self.binary)], env, log))
        return self.orvos[-1]

    def printed(self):
        # What ORVO wrote to stdout and stderr so far, but for the engine's
        # note on the sandbox that the tests switch off.
        with open(os.path.join(self.artifacts, f"{self.name}.log"), errors="replace") as f:
            return f.read().replace("Sandboxing disabled by user.\n", "")

    def wait_exit(self, proc=None, timeout=30):
        proc = proc or self.orvos[-1]
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise AssertionError(f"orvo {proc.pid} did not exit")

    def stop_orvo(self, proc=None, sig=signal.SIGTERM):
        # The exit code, after `sig`, once ORVO and every helper of its
        # (Chromium's zygote and renderers) are gone.
        proc = proc or self.orvos[-1]
        helpers = descendants(proc.pid)
        proc.poll() is None and proc.send_signal(sig)
        code = self.wait_exit(proc)
        wait_until(lambda: not [p for p in helpers if os.path.exists(f"/proc/{p}")], 15, "helpers outlived ORVO")
        return code

    def write(self, name, data, folder=None):
        # A settings file (bytes, str, or None for a named pipe).
        path = os.path.join(folder or self.settings_dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.path.lexists(path) and os.remove(path)
        if data is None:
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                f.write(data.encode() if isinstance(data, str) else data)
        self.chown(self.home)

    def host(self):
        try:
            with open(os.path.join(self.settings_dir, "host.txt")) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def tenant(self, body, host=TENANT):
        self.server.pages[(host, "/")] = body
        self.write("host.txt", host)

    # -- what the user sees -----------------------------------------------------

    def windows(self, pattern="^ORVO$"):
        return self.run("xdotool", "search", "--onlyvisible", "--name", pattern).split()

    def window(self, pattern="^ORVO$", main=True):
        # The window once it has stayed the same for half a second (Qt may
        # replace a top-level's X window right after showing it); `main` skips
        # the address prompt, which carries the same name.
        last = {"wid": None, "since": 0}

        def stable():
            wid = next((w for w in self.windows(pattern) if not main or self.geometry(w)[2] >= 600), None)
            if wid != last["wid"]:
                last.update(wid=wid, since=time.monotonic())
            return wid if wid and time.monotonic() - last["since"] >= 0.5 else None

        return wait_until(stable, 30, f"no window {pattern}")

    def geometry(self, wid):
        out = self.run("xwininfo", "-id", wid)
        return tuple(int(re.search(rf"{k}:\s+(-?\d+)", out).group(1)) for k in
                     ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))

    def above(self, upper, lower):
        order = re.findall(r"^\s+(0x[0-9a-f]+) ", self.run("xwininfo", "-root", "-children"), re.M)
        order = [str(int(w, 16)) for w in order]
        return order.index(str(upper)) < order.index(str(lower))

    def cover(self):
        # Another application's window over the whole screen, in front.
        self.spawn(["xmessage", "-title", "cover", "-geometry", "1920x1080+0+0", "cover"])
        return self.window("^cover$", main=False)

    def screenshot(self):
        self.run("import", "-window", "root", os.path.join(self.artifacts, f"{self.name}.png"))

    def call(self, dest, path, iface, method, args=None, reply=None):
        if not getattr(self, "bus_", None):
            self.bus_ = Gio.DBusConnection.new_for_address_sync(self.env["DBUS_SESSION_BUS_ADDRESS"],
                Gio.DBusConnectionFlags(9), None, None)  # a client of a message bus
        return self.bus_.call_sync(dest, path, iface, method, args, reply and GLib.VariantType(reply),
                                   Gio.DBusCallFlags.NONE, 10000, None).unpack()

    def prop(self, dest, path, iface, name):
        return self.call(dest, path, "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (iface, name)),
                         "(v)")[0]

    def tray(self, name="ToolTip"):
        # A property of ORVO's tray item (the newest registered); None without one.
        try:
            item = self.prop("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                             "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")[0]
            dest, _, path = item.partition("/")
            return self.prop(dest.rstrip("@"), "/" + (path or "StatusNotifierItem"), SNI, name)
        except (GLib.Error, IndexError):
            return None

    def tooltip(self):
        return (self.tray() or [""] * 3)[2]

    def tray_menu(self, click=None):
        # [label] of the tray menu's entries, or clicks the one labelled `click`.
        dest = self.prop("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                         "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")[0]
        menu = (dest, self.tray("Menu"), "com.canonical.dbusmenu")
        entries = self.call(*menu, "GetLayout", GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1][2]
        labels = {e[1].get("label", e[1].get("type", "")).replace("_", ""): e[0] for e in entries}
        if click:
            self.call(*menu, "Event", GLib.Variant("(isvu)", (labels[click], "clicked", GLib.Variant("s", ""), 0)))
        return list(labels)

    def url_handler(self, schemes):
        # Makes a recording script the default application for these URL
        # schemes; returns a function giving the URLs handed to it so far.
        record, script = os.path.join(self.root, "handled"), os.path.join(self.root, "handler.sh")
        with open(script, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> {record}\n')
        os.chmod(script, 0o755)
        types = "".join(f"x-scheme-handler/{s}=handler.desktop\n" for s in schemes)
        self.write("applications/handler.desktop", f"[Desktop Entry]\nType=Application\nName=H\nExec={script} %u\n"
                   f"MimeType={types.replace('=handler.desktop', '').replace(chr(10), ';')}\n", self.data_home)
        self.write("mimeapps.list", "[Default Applications]\n" + types, self.config_home)
        def handled():
            if not os.path.exists(record):
                return []
            with open(record) as f:
                return f.read().splitlines()

        return handled
