#!/usr/bin/python3
"""Makes docs/screenshot.png: ORVO's window on a stand-in softphone page, with
an incoming call notification (dunst), in the end-to-end tests' headless
desktop. Prints the tray item's tooltip as read over D-Bus: the headless
desktop has no panel that would draw it.

Usage: /usr/bin/python3 docs/screenshot.py [path/to/orvo] [output.png]
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from harness import Desktop, wait_until  # noqa: E402

HOST = "acme.orvo.test"

# After load the page reports a status and an incoming call, as a web client does.
SCENE = """<script>
window.addEventListener("load", () => {
  const bridge = window.chrome.webview;
  document.getElementById("status").textContent = "Available";
  bridge.postMessage("orvo-status:Available");
  setTimeout(() => {
    document.getElementById("status").textContent = "Ringing: Alice Martin";
    bridge.postMessage("orvo-call:Alice Martin");
  }, 500);
});
</script>
"""


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build", "orvo"))
    output = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "screenshot.png"))
    os.environ["ORVO_BINARY"] = binary
    with open(os.path.join(REPO, "bench", "pages", "index.html"), encoding="utf-8") as f:
        page = f.read().replace("</body>", SCENE + "</body>")
    with Desktop(name="screenshot", dunst=True, sni_watcher=True, screen="1600x1000x24") as d:
        d.server.page(HOST, "/", page)
        d.write_host(HOST)
        orvo = d.start_orvo()
        d.wait_for_window()
        wait_until(lambda: subprocess.run(["dunstctl", "count", "displayed"], env=d.env, capture_output=True,
                                          text=True).stdout.strip() not in ("", "0"),
                   timeout=30, message="no notification on screen")
        time.sleep(1.0)  # let dunst and the page finish drawing
        shot = d.screenshot()
        print("tray tooltip:", d.tray_tooltip())
        d.stop_orvo(orvo)
    subprocess.run(["convert", shot, "-resize", "1200x", "-strip", output], check=True)
    print("written", output)


if __name__ == "__main__":
    main()
