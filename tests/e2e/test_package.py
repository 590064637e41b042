"""What ORVO installs, and the Debian package built from it.

InstallTreeTest installs into a temporary prefix and DebianPackageTest builds
the .deb into a temporary folder: both change nothing outside it and always
run. InstalledPackageTest installs the .deb system-wide with apt-get (and
removes it again if it was not installed before), so it skips itself unless
ORVO_PACKAGE_TEST=1; it needs root.

The build tree is the folder that holds ORVO_BINARY.
"""

import configparser
import glob
import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ET

from harness import Desktop, wait_until

APP_ID = "Zandoral.Orvo"  # desktop file name, icon name, notifications' desktop-entry
APPSTREAM_ID = "com.zandoral.Orvo"
HOST = "tenant.orvo.test"

# Every file the install puts under its prefix, and nothing else.
INSTALLED = {
    "bin/orvo",
    f"share/applications/{APP_ID}.desktop",
    f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    f"share/metainfo/{APPSTREAM_ID}.metainfo.xml",
}

# Packages the running app uses that the .deb need not pull in, and why.
OPTIONAL_AT_RUN_TIME = {
    # Qt's X11 plugin opens it with dlopen for themed cursors and falls back
    # to the core cursors without it.
    "libxcursor1",
}

# A page that reports its load and posts one ordinary notification, whose
# hints name the desktop entry.
NOTIFY_PAGE = """<!DOCTYPE html><title>pkg</title><script>
window.addEventListener('load', () => {
  navigator.sendBeacon('/beacon?what=load');
  window.chrome.webview.postMessage('orvo-notify:' + JSON.stringify({title: 'pkg-check', body: 'hello'}));
});
</script>"""


def build_dir():
    binary = os.environ.get("ORVO_BINARY", "")
    directory = os.path.dirname(os.path.abspath(binary)) if binary else ""
    if not os.path.exists(os.path.join(directory, "CMakeCache.txt")):
        raise unittest.SkipTest("ORVO_BINARY does not sit in a CMake build tree")
    return directory


def run(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=600, **kwargs).stdout


def files_under(root):
    out = set()
    for folder, _dirs, names in os.walk(root):
        for name in names:
            out.add(os.path.relpath(os.path.join(folder, name), root))
    return out


def read_desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # keys are case-sensitive
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]


def package_owning(path):
    """The Debian package that ships `path`, trying both sides of the /usr merge."""
    candidates = [path]
    if path.startswith("/usr/lib/") or path.startswith("/usr/bin/"):
        candidates.append(path[len("/usr"):])
    elif path.startswith("/lib/") or path.startswith("/bin/"):
        candidates.append("/usr" + path)
    for candidate in candidates:
        result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0:
            # "pkg:arch: /path" or "pkg1, pkg2: /path"
            return {p.strip().split(":")[0] for p in result.stdout.split(": ")[0].split(",")}
    return None


def dependency_closure(depends):
    """Every package that installing something with this Depends line pulls in."""
    roots = sorted({m for m in re.findall(r"(?:^|[,|]\s*)([a-z0-9][a-z0-9+.-]+)", depends)})
    out = run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
              "--no-breaks", "--no-replaces", "--no-enhances", "--no-pre-depends", *roots)
    # Essential packages are on every Debian system.
    essential = run("dpkg-query", "-W", "-f=${Package} ${Essential}\\n")
    closure = set(roots) | {line.split()[0] for line in essential.splitlines() if line.endswith(" yes")}
    for line in out.splitlines():
        if line and not line[0].isspace():
            closure.add(line.strip().strip("<>").split(":")[0])
        else:
            match = re.match(r"\s*\|?(?:Pre)?Depends:\s*<?([^\s>:]+)", line)
            if match:
                closure.add(match.group(1))
    return closure


def mapped_files(pids):
    """Regular files mapped by, or the executables of, the given processes."""
    files = set()
    for pid in pids:
        try:
            files.add(os.readlink(f"/proc/{pid}/exe"))
            with open(f"/proc/{pid}/maps") as f:
                for line in f:
                    parts = line.split(None, 5)
                    if len(parts) == 6 and parts[5].startswith("/"):
                        files.add(parts[5].strip())
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            continue
    return {f for f in files if not f.endswith(" (deleted)") and os.path.isfile(f)}


def session_pids(sid):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                text = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(text[text.rindex(")") + 2:].split()[3]) == sid:
            pids.append(int(entry))
    return pids


class InstallTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = build_dir()
        cls.root = tempfile.mkdtemp(prefix="orvo-install-")
        cls.prefix = os.path.join(cls.root, "usr")
        run("cmake", "--install", cls.build, "--prefix", cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def test_installs_exactly_the_app_and_its_desktop_files(self):
        self.assertEqual(files_under(self.prefix), INSTALLED)
        self.assertTrue(os.access(self.path("bin/orvo"), os.X_OK))

    def test_desktop_entry_is_valid_and_names_the_app(self):
        desktop = self.path(f"share/applications/{APP_ID}.desktop")
        result = subprocess.run(["desktop-file-validate", desktop], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        entry = read_desktop_entry(desktop)
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Icon"], APP_ID)
        # Exec must name the installed binary, found on PATH.
        self.assertEqual(entry["Exec"].split()[0], "orvo")
        # The window class that X11 docks match the window to the entry by:
        # Qt takes it from the application name.
        self.assertEqual(entry["StartupWMClass"], "Orvo")

    def test_metainfo_is_valid_and_launches_the_desktop_entry(self):
        metainfo = self.path(f"share/metainfo/{APPSTREAM_ID}.metainfo.xml")
        for argv in (["appstreamcli", "validate", "--no-net", metainfo],
                     ["appstreamcli", "validate-tree", "--no-net", self.root]):
            result = subprocess.run(argv, capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        component = ET.parse(metainfo).getroot()
        self.assertEqual(component.findtext("id"), APPSTREAM_ID)
        self.assertEqual(component.findtext("launchable[@type='desktop-id']"), f"{APP_ID}.desktop")
        self.assertEqual(component.findtext("provides/binary"), "orvo")

    def test_icon_is_a_square_scalable_drawing(self):
        svg = ET.parse(self.path(f"share/icons/hicolor/scalable/apps/{APP_ID}.svg")).getroot()
        self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
        _x, _y, width, height = (float(v) for v in svg.get("viewBox").split())
        self.assertEqual(width, height)


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = build_dir()
        for tool in ("cpack", "dpkg-shlibdeps", "dpkg-deb", "apt-cache"):
            if not shutil.which(tool):
                raise unittest.SkipTest(f"{tool} is missing (scripts/install-deps.sh installs it)")
        cls.out = tempfile.mkdtemp(prefix="orvo-deb-")
        run("cpack", "-G", "DEB", "-B", cls.out, "--config", os.path.join(cls.build, "CPackConfig.cmake"))
        debs = glob.glob(os.path.join(cls.out, "orvo_*.deb"))
        if len(debs) != 1:
            raise AssertionError(f"expected one orvo_*.deb in {cls.out}, found {debs}")
        cls.deb = debs[0]
        cls.fields = {name: run("dpkg-deb", "-f", cls.deb, name).strip()
                      for name in ("Package", "Architecture", "Depends")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_name_and_architecture_fit_this_system(self):
        self.assertEqual(self.fields["Package"], "orvo")
        self.assertEqual(self.fields["Architecture"], run("dpkg", "--print-architecture").strip())
        self.assertRegex(os.path.basename(self.deb), r"^orvo_[0-9][^_]*_[a-z0-9]+\.deb$")

    def test_contents_are_the_installed_tree_under_usr(self):
        listing = run("dpkg-deb", "-c", self.deb)
        files = {line.split()[-1].lstrip("./") for line in listing.splitlines() if line.startswith("-")}
        self.assertEqual(files, {"usr/" + f for f in INSTALLED})
        self.assertRegex(listing, r"-rwxr-xr-x root/root .* \./usr/bin/orvo\n")

    def test_dependencies_cover_what_the_running_app_loads(self):
        # Start the app from the build tree and collect every file that its
        # processes (the engine's helpers too) map. Each one that a Debian
        # package ships must come with the .deb's Depends, or the app fails
        # on a machine that lacks it.
        closure = dependency_closure(self.fields["Depends"])
        with Desktop(name=self.id()) as d:
            d.server.page(HOST, "/", NOTIFY_PAGE)
            d.write_host(HOST)
            orvo = d.start_orvo()
            d.server.wait_for(route="/beacon")
            d.wait_for_window()
            # Helpers start lazily; take the files once the set stops growing.
            seen = set()

            def settled():
                nonlocal seen
                now = mapped_files(session_pids(orvo.pid))
                grown = not now <= seen
                seen |= now
                return not grown

            wait_until(settled, timeout=30, interval=1.0)
            d.stop_orvo(orvo)
        missing = {}
        for path in sorted(seen):
            owners = package_owning(path)
            if owners and not owners & (closure | OPTIONAL_AT_RUN_TIME):
                missing.setdefault(", ".join(sorted(owners)), path)
        self.assertEqual(missing, {}, f"packages used at run time but not pulled in by Depends: "
                                      f"{self.fields['Depends']}")


class DesktopIntegrationTest(unittest.TestCase):
    """The running app ties itself to the installed desktop entry and icon."""

    def test_window_icon_and_notification_desktop_entry(self):
        build_dir()
        with Desktop(name=self.id(), dunst=True) as d:
            d.server.page(HOST, "/", NOTIFY_PAGE)
            d.write_host(HOST)
            with BusLines(d.env, NOTIFY_RULE) as bus:
                orvo = d.start_orvo()
                wid = d.wait_for_window()
                hint = wait_until(lambda: "pkg-check" in bus.text() and desktop_entry_hint(bus.text()),
                                  message="no notification with a desktop-entry hint on the bus")
                self.assertEqual(hint, APP_ID)
                # The window shows an icon of its own; a missing one leaves
                # the property unset and docks draw a generic one.
                icon = subprocess.run(["xprop", "-id", wid, "_NET_WM_ICON"], env=d.env, capture_output=True,
                                      text=True).stdout
                self.assertIn("_NET_WM_ICON(CARDINAL) = ", icon)
                self.assertEqual(d.stop_orvo(orvo), 0)


@unittest.skipUnless(os.environ.get("ORVO_PACKAGE_TEST") == "1",
                     "installs the .deb system-wide; set ORVO_PACKAGE_TEST=1 to run")
class InstalledPackageTest(unittest.TestCase):
    def test_installed_app_starts(self):
        build = build_dir()
        out = tempfile.mkdtemp(prefix="orvo-deb-")
        self.addCleanup(shutil.rmtree, out, True)
        run("cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, "CPackConfig.cmake"))
        deb = glob.glob(os.path.join(out, "orvo_*.deb"))[0]
        was_installed = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", "orvo"],
                                       capture_output=True, text=True).stdout == "installed"
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", deb, env=env)
        if not was_installed:
            self.addCleanup(subprocess.run, ["apt-get", "remove", "-y", "-q", "orvo"], env=env,
                            capture_output=True)
        for relative in INSTALLED:
            self.assertTrue(os.path.exists(os.path.join("/usr", relative)), relative)

        desktop = Desktop(name=self.id())
        desktop.binary = "/usr/bin/orvo"
        with desktop as d:
            d.server.page(HOST, "/", NOTIFY_PAGE)
            d.write_host(HOST)
            orvo = d.start_orvo()
            d.server.wait_for(route="/beacon")
            d.wait_for_window()
            self.assertEqual(d.stop_orvo(orvo), 0)


NOTIFY_RULE = "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"


class BusLines:
    """dbus-monitor on the private bus, its output collected as it comes."""

    def __init__(self, env, *rules):
        self._proc = subprocess.Popen(["dbus-monitor", "--session", *rules], env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
        self._lines = []
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        # dbus-monitor prints its own NameAcquired signal once it listens.
        wait_until(lambda: self._lines, timeout=10, message="dbus-monitor did not start")

    def _read(self):
        for line in self._proc.stdout:
            self._lines.append(line)

    def text(self):
        return "".join(self._lines)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._proc.terminate()
        self._proc.wait(timeout=10)
        self._thread.join(timeout=10)
        self._proc.stdout.close()
        return False


def desktop_entry_hint(text):
    match = re.search(r'string "desktop-entry"\s*variant\s*string "([^"]*)"', text)
    return match.group(1) if match else None


if __name__ == "__main__":
    unittest.main()
