# What ORVO installs and the Debian package built from it; with
# ORVO_PACKAGE_TEST=1 (as root) the .deb is also installed system-wide and run.
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import TENANT, Desktop, Monitor, descendants, page, wait_until

INSTALLED = {"bin/orvo", "share/applications/Zandoral.Orvo.desktop", "share/metainfo/com.zandoral.Orvo.metainfo.xml",
             "share/icons/hicolor/scalable/apps/Zandoral.Orvo.svg"}
# Qt's X11 plugin opens libXcursor with dlopen and does without it.
OPTIONAL = {"libxcursor1"}


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=600).stdout


class PackageTest(unittest.TestCase):
    def test_install_tree_deb_and_what_the_running_app_needs(self):
        build = os.path.dirname(os.path.abspath(os.environ["ORVO_BINARY"]))
        root = tempfile.mkdtemp(prefix="orvo-package-")
        self.addCleanup(shutil.rmtree, root, True)
        run("cmake", "--install", build, "--prefix", os.path.join(root, "usr"))
        found = {os.path.relpath(os.path.join(f, n), os.path.join(root, "usr")) for f, _, ns in os.walk(root) for n in ns}
        self.assertEqual(found, INSTALLED)
        run("desktop-file-validate", os.path.join(root, "usr/share/applications/Zandoral.Orvo.desktop"))
        run("appstreamcli", "validate-tree", "--no-net", root)
        with open(os.path.join(root, "usr/share/applications/Zandoral.Orvo.desktop")) as f:
            entry = f.read()
        # Docks match the window to the entry by the class Qt takes from the application name.
        for line in ("Exec=orvo", "Icon=Zandoral.Orvo", "StartupWMClass=ORVO"):
            self.assertRegex(entry, rf"(?m)^{line}\b")

        run("cpack", "-G", "DEB", "-B", os.path.join(root, "deb"), "--config", os.path.join(build, "CPackConfig.cmake"))
        [deb] = glob.glob(os.path.join(root, "deb", "orvo_*.deb"))
        listing = run("dpkg-deb", "-c", deb)
        self.assertEqual({line.split()[-1][2:] for line in listing.splitlines() if line[0] == "-"},
                         {"usr/" + f for f in INSTALLED})
        self.assertRegex(listing, r"-rwxr-xr-x root/root .* \./usr/bin/orvo\n")
        # Each recommended name must exist, or apt-get drops it unnoticed.
        recommends = run("dpkg-deb", "-f", deb, "Recommends").strip().split(", ")
        self.assertEqual(recommends, ["qt6-wayland", "gnome-shell-extension-appindicator"])
        [run("apt-cache", "show", name) for name in recommends]

        # Every packaged file the app's processes map must come with Depends,
        # or the app fails on a machine that lacks it.
        depends = run("dpkg-deb", "-f", deb, "Depends")
        roots = sorted(set(re.findall(r"(?:^|[,|]\s*)([a-z0-9][a-z0-9+.-]+)", depends)))
        closure = set(roots) | {line.split()[0] for line in run("dpkg-query", "-W", "-f=${Package} ${Essential}\n")
                                .splitlines() if line.endswith(" yes")}
        for line in run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                        "--no-breaks", "--no-replaces", "--no-enhances", "--no-pre-depends", *roots).splitlines():
            closure |= {name for pair in re.findall(r"^<?([^\s<>:]+)|Depends:\s*<?([^\s>:]+)", line) for name in pair}
        with Desktop(self.id(), dunst=True) as d:
            d.tenant(page())
            monitor = Monitor(d)
            orvo = d.start_orvo()
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-notify:{\"title\": \"pkg\"}'), 1")
            wait_until(monitor.notifies, 20, "no notification")
            self.assertIn('"desktop-entry" variant string "Zandoral.Orvo"', monitor.notifies()[0])
            self.assertIn("_NET_WM_ICON(CARDINAL) = ", d.run("xprop", "-id", d.window(), "_NET_WM_ICON"))
            files = set()

            def settled():  # helpers start lazily: until the set stops growing
                now = set()
                for pid in [orvo.pid] + descendants(orvo.pid):
                    try:
                        with open(f"/proc/{pid}/maps") as f:
                            now |= {p[5].strip() for p in (line.split(None, 5) for line in f) if len(p) == 6}
                    except OSError:
                        pass
                grown = not now <= files
                files.update(now)
                return not grown

            wait_until(settled, 30, interval=1.0)
            self.assertEqual(d.stop_orvo(orvo), 0)
        missing = {}
        for path in sorted(f for f in files if f.startswith("/") and os.path.isfile(f)):
            merged = path[4:] if path.startswith("/usr/") else "/usr" + path
            owner = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True).stdout or \
                subprocess.run(["dpkg-query", "-S", merged], capture_output=True, text=True).stdout
            owners = {p.strip().split(":")[0] for p in owner.split(": ")[0].split(",")} if owner else set()
            if owners and not owners & (closure | OPTIONAL):
                missing.setdefault(", ".join(sorted(owners)), path)
        self.assertEqual(missing, {}, f"used at run time but not pulled in by Depends: {depends}")

    @unittest.skipUnless(os.environ.get("ORVO_PACKAGE_TEST") == "1", "installs the .deb system-wide")
    def test_installed_package_starts(self):
        out = tempfile.mkdtemp(prefix="orvo-deb-")
        self.addCleanup(shutil.rmtree, out, True)
        build = os.path.dirname(os.path.abspath(os.environ["ORVO_BINARY"]))
        run("cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, "CPackConfig.cmake"))
        installed = "installed" in run("dpkg-query", "-W", "-f=${db:Status-Status} ", "orvo") if \
            subprocess.run(["dpkg-query", "-W", "orvo"], capture_output=True).returncode == 0 else False
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", *glob.glob(os.path.join(out, "orvo_*.deb")))
        installed or self.addCleanup(subprocess.run, ["apt-get", "remove", "-y", "-q", "orvo"], capture_output=True)
        with Desktop(self.id()) as d:
            d.binary = "/usr/bin/orvo"
            d.tenant(page())
            d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            self.assertEqual(d.stop_orvo(), 0)


if __name__ == "__main__":
    unittest.main()
