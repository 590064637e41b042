"""What ORVO installs, and the Debian package built from it.

PackageTest installs into a temporary prefix and builds the .deb into a
temporary folder, changing nothing outside them. InstalledPackageTest installs
the .deb system-wide with apt-get (and removes it again if it was not there
before), so it runs only with ORVO_PACKAGE_TEST=1, as root. The build tree is
the folder that holds ORVO_BINARY.
"""

import configparser
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from harness import Desktop, NotifyMonitor, group_members, wait_until

APP_ID = "Zandoral.Orvo"  # desktop file name, icon name, notifications' desktop-entry
APPSTREAM_ID = "com.zandoral.Orvo"

# Every file the install puts under its prefix, and nothing else.
INSTALLED = {
    "bin/orvo",
    f"share/applications/{APP_ID}.desktop",
    f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    f"share/metainfo/{APPSTREAM_ID}.metainfo.xml",
}

# Packages the running app uses that the .deb need not pull in, and why:
# Qt's X11 plugin opens libXcursor with dlopen and falls back without it.
OPTIONAL_AT_RUN_TIME = {"libxcursor1"}

# Reports its load and posts one ordinary notification.
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


def build_deb(out):
    run("cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build_dir(), "CPackConfig.cmake"))
    debs = glob.glob(os.path.join(out, "orvo_*.deb"))
    if len(debs) != 1:
        raise AssertionError(f"expected one orvo_*.deb in {out}, found {debs}")
    return debs[0]


def package_owning(path):
    """The Debian packages that ship `path`, trying both sides of the /usr merge."""
    merged = path[len("/usr"):] if path.startswith(("/usr/lib/", "/usr/bin/")) else "/usr" + path
    for candidate in (path, merged):
        result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0:
            # "pkg:arch: /path" or "pkg1, pkg2: /path"
            return {p.strip().split(":")[0] for p in result.stdout.split(": ")[0].split(",")}
    return None


def dependency_closure(depends):
    """Every package that installing something with this Depends line pulls
    in, and the essential ones every Debian system has."""
    roots = sorted(set(re.findall(r"(?:^|[,|]\s*)([a-z0-9][a-z0-9+.-]+)", depends)))
    out = run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
              "--no-breaks", "--no-replaces", "--no-enhances", "--no-pre-depends", *roots)
    essential = run("dpkg-query", "-W", "-f=${Package} ${Essential}\\n")
    closure = set(roots) | {line.split()[0] for line in essential.splitlines() if line.endswith(" yes")}
    for line in out.splitlines():
        if line and not line[0].isspace():
            closure.add(line.strip().strip("<>").split(":")[0])
        elif match := re.match(r"\s*\|?(?:Pre)?Depends:\s*<?([^\s>:]+)", line):
            closure.add(match.group(1))
    return closure


def mapped_files(pids):
    """Regular files mapped by, or the executables of, the given processes."""
    files = set()
    for pid in pids:
        try:
            files.add(os.readlink(f"/proc/{pid}/exe"))
            with open(f"/proc/{pid}/maps") as f:
                files |= {parts[5].strip() for parts in (line.split(None, 5) for line in f)
                          if len(parts) == 6 and parts[5].startswith("/")}
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            continue
    return {f for f in files if not f.endswith(" (deleted)") and os.path.isfile(f)}


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("cpack", "dpkg-shlibdeps", "dpkg-deb", "apt-cache"):
            if not shutil.which(tool):
                raise unittest.SkipTest(f"{tool} is missing (scripts/install-deps.sh installs it)")
        cls.root = tempfile.mkdtemp(prefix="orvo-package-")
        cls.prefix = os.path.join(cls.root, "usr")
        run("cmake", "--install", build_dir(), "--prefix", cls.prefix)
        cls.deb = build_deb(os.path.join(cls.root, "deb"))
        cls.fields = {name: run("dpkg-deb", "-f", cls.deb, name).strip()
                      for name in ("Package", "Architecture", "Depends", "Recommends")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def installed(self, relative):
        return os.path.join(self.prefix, relative)

    def assert_tool_accepts(self, *argv):
        result = subprocess.run(argv, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_install_tree_holds_exactly_the_app_and_its_valid_desktop_files(self):
        found = {os.path.relpath(os.path.join(folder, name), self.prefix)
                 for folder, _dirs, names in os.walk(self.prefix) for name in names}
        self.assertEqual(found, INSTALLED)
        self.assertTrue(os.access(self.installed("bin/orvo"), os.X_OK))

        desktop = self.installed(f"share/applications/{APP_ID}.desktop")
        self.assert_tool_accepts("desktop-file-validate", desktop)
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str  # keys are case-sensitive
        parser.read(desktop, encoding="utf-8")
        entry = parser["Desktop Entry"]
        # Exec names the installed binary on PATH; docks match the window to
        # the entry by the class that Qt takes from the application name.
        self.assertEqual((entry["Type"], entry["Icon"], entry["Exec"].split()[0], entry["StartupWMClass"]),
                         ("Application", APP_ID, "orvo", "Orvo"))

        metainfo = self.installed(f"share/metainfo/{APPSTREAM_ID}.metainfo.xml")
        self.assert_tool_accepts("appstreamcli", "validate", "--no-net", metainfo)
        self.assert_tool_accepts("appstreamcli", "validate-tree", "--no-net", self.root)
        component = ET.parse(metainfo).getroot()
        self.assertEqual(component.findtext("id"), APPSTREAM_ID)
        self.assertEqual(component.findtext("launchable[@type='desktop-id']"), f"{APP_ID}.desktop")
        self.assertEqual(component.findtext("provides/binary"), "orvo")

        svg = ET.parse(self.installed(f"share/icons/hicolor/scalable/apps/{APP_ID}.svg")).getroot()
        self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
        _x, _y, width, height = (float(v) for v in svg.get("viewBox").split())
        self.assertEqual(width, height, "the icon is not square")

    def test_deb_fits_this_system_and_holds_the_install_tree(self):
        self.assertEqual(self.fields["Package"], "orvo")
        self.assertEqual(self.fields["Architecture"], run("dpkg", "--print-architecture").strip())
        self.assertRegex(os.path.basename(self.deb), r"^orvo_[0-9][^_]*_[a-z0-9]+\.deb$")
        listing = run("dpkg-deb", "-c", self.deb)
        files = {line.split()[-1].lstrip("./") for line in listing.splitlines() if line.startswith("-")}
        self.assertEqual(files, {"usr/" + f for f in INSTALLED})
        self.assertRegex(listing, r"-rwxr-xr-x root/root .* \./usr/bin/orvo\n")
        # Wayland sessions need Qt's plugin, GNOME the extension that gives it a tray; each name
        # must exist in the archive, or apt-get would drop the recommendation unnoticed.
        recommends = [p.strip() for p in self.fields["Recommends"].split(",")]
        self.assertEqual(recommends, ["qt6-wayland", "gnome-shell-extension-appindicator"])
        for name in recommends:
            self.assertIn(f"Package: {name}", run("apt-cache", "show", name), name)

    def test_running_app_uses_its_desktop_entry_icon_and_only_what_depends_pulls_in(self):
        # Every file the app's processes (the engine's helpers too) map that a
        # Debian package ships must come with the .deb's Depends, or the app
        # fails on a machine that lacks it.
        closure = dependency_closure(self.fields["Depends"])
        with Desktop(name=self.id(), dunst=True) as d:
            d.serve_tenant(NOTIFY_PAGE)
            with NotifyMonitor(d.env, os.path.join(d.artifacts, f"{d.name}.notify.log")) as monitor:
                orvo = d.start_orvo()
                [notify] = monitor.wait(0)
            self.assertEqual((notify.summary, notify.hints.get("desktop-entry")), ("pkg-check", APP_ID))
            # A window without an icon of its own gets a generic one in docks.
            icon = subprocess.run(["xprop", "-id", d.wait_for_window(), "_NET_WM_ICON"], env=d.env,
                                  capture_output=True, text=True).stdout
            self.assertIn("_NET_WM_ICON(CARDINAL) = ", icon)

            # Helpers start lazily; take the files once the set stops growing.
            seen = set()

            def settled():
                now = mapped_files(group_members(orvo.pid))
                grown = not now <= seen
                seen.update(now)
                return not grown

            wait_until(settled, timeout=30, interval=1.0)
            self.assertEqual(d.stop_orvo(orvo), 0)
        missing = {}
        for path in sorted(seen):
            owners = package_owning(path)
            if owners and not owners & (closure | OPTIONAL_AT_RUN_TIME):
                missing.setdefault(", ".join(sorted(owners)), path)
        self.assertEqual(missing, {}, f"used at run time but not pulled in by Depends: {self.fields['Depends']}")


@unittest.skipUnless(os.environ.get("ORVO_PACKAGE_TEST") == "1",
                     "installs the .deb system-wide; set ORVO_PACKAGE_TEST=1 to run")
class InstalledPackageTest(unittest.TestCase):
    def test_installed_app_starts(self):
        out = tempfile.mkdtemp(prefix="orvo-deb-")
        self.addCleanup(shutil.rmtree, out, True)
        deb = build_deb(out)
        was_installed = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", "orvo"],
                                       capture_output=True, text=True).stdout == "installed"
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", deb, env=env)
        if not was_installed:
            self.addCleanup(subprocess.run, ["apt-get", "remove", "-y", "-q", "orvo"], env=env, capture_output=True)
        for relative in INSTALLED:
            self.assertTrue(os.path.exists(os.path.join("/usr", relative)), relative)

        desktop = Desktop(name=self.id())
        desktop.binary = "/usr/bin/orvo"
        with desktop as d:
            d.serve_tenant(NOTIFY_PAGE)
            orvo = d.start_orvo()
            d.server.wait_for_beacon("load")
            d.wait_for_window()
            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
