# Journey: ORVO as users run it, an unprivileged user (the harness's own when
# run as root) with the engine's sandbox on: every renderer confined, and the
# page still works.
import os
import subprocess
import unittest

from harness import PREFIX, TENANT, Desktop, descendants, page, wait_until


class SandboxJourney(unittest.TestCase):
    def test_journey(self):
        with Desktop(self.id(), dunst=True, unprivileged=True) as d:
            del d.env["QTWEBENGINE_DISABLE_SANDBOX"]
            d.tenant(page())
            orvo = d.start_orvo()
            self.assertEqual(d.server.run_js(TENANT, "location.href"), (True, f"https://{TENANT}/"))

            # Each renderer runs under seccomp-bpf in a PID namespace of its own. The
            # namespaces need unprivileged user namespaces, which a chroot (the Debian 13
            # root of scripts/debian13.sh) never grants.
            renderers = descendants(orvo.pid, renderers=True)
            self.assertTrue(renderers, "no renderer")
            user = dict(user=d.user.pw_uid, group=d.user.pw_gid, extra_groups=[]) if d.user else {}
            userns = subprocess.run(["unshare", "--user", "true"], capture_output=True, **user).returncode == 0
            for pid in renderers:
                with open(f"/proc/{pid}/status") as f:
                    self.assertIn("Seccomp:\t2\n", f.read(), f"renderer {pid} without seccomp")
                with self.subTest("PID namespace", renderer=pid):
                    userns or self.skipTest("no unprivileged user namespaces here")
                    self.assertNotEqual(os.readlink(f"/proc/{pid}/ns/pid"), os.readlink(f"/proc/{orvo.pid}/ns/pid"),
                                        f"renderer {pid} shares ORVO's PID namespace")

            # The page posts, and a call's Answer comes back into it.
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-status:sandboxed'), 1")
            wait_until(lambda: d.tooltip() == PREFIX + "sandboxed", 20, f"tooltip {d.tooltip()!r}")
            d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-call:Alice'), 1")
            wait_until(lambda: d.run("dunstctl", "count", "displayed").strip() == "1", 20, "no call notification")
            d.choose("Answer")
            wait_until(lambda: d.server.beacons("command") == ["orvo-cmd:answer"], 20, "no command in the page")
            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
