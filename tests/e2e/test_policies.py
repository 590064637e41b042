"""What the web view may load, what goes to the desktop, and who may use the
microphone and camera without asking."""

import os
import time
import unittest

from harness import CONTROL_SCRIPT, Desktop, wait_until

TENANT = "tenant.orvo.test"
PERMISSION_PROMPT = "^ORVO permission$"

# Links as large blocks at known places, so that a real click (a user gesture)
# can hit them without knowing the page's layout engine.
LINK_TOP, LINK_STEP, LINK_HEIGHT = 10, 70, 60


def links_page(links):
    blocks = "".join(
        f"<a id='{name}' href='{href}' target='{'_blank' if name == 'new window' else '_self'}' style='position:absolute;left:10px;top:{LINK_TOP + i * LINK_STEP}px;"
        f"width:400px;height:{LINK_HEIGHT}px;display:block;background:#fd8'>{name}</a>"
        for i, (name, href) in enumerate(links)
    )
    return (
        "<!doctype html><title>Tenant</title><body style='margin:0'>"
        "<script>window.pageId = String(Math.random()).slice(2);</script>"
        f"{blocks}{CONTROL_SCRIPT}</body>"
    )


class NavigationPolicyTest(unittest.TestCase):
    def test_links_stay_go_to_the_desktop_or_are_dropped(self):
        with Desktop(name=self.id()) as d:
            secret = os.path.join(d.root, "secret.txt")
            with open(secret, "w") as f:
                f.write("local file\n")
            record = d.install_url_handler(["http", "mailto", "tel", "sip"], mime_types=["text/plain"])
            # (name, href, handed to the desktop)
            links = [
                ("file", f"file://{secret}", False),
                ("new window", "https://other.orvo.test/popup", False),
                ("http", "http://plain.orvo.test/page?q=1", True),
                ("mailto", "mailto:someone@orvo.test?subject=Hello", True),
                ("tel", "tel:+15551234567", True),
                ("sip", "sip:alice@orvo.test", True),
                ("https", "https://other.orvo.test/landing", None),
            ]
            d.server.page(TENANT, "/", links_page([(n, h) for n, h, _ in links]))
            d.server.page("other.orvo.test", "/landing", "<!doctype html><title>Other</title>" + CONTROL_SCRIPT)
            d.write_host(TENANT)
            orvo = d.start_orvo()
            wid = d.wait_for_window("^ORVO$")
            ok, page_id = d.server.run_js(TENANT, "window.pageId")
            self.assertTrue(ok)
            origin = d.window_geometry(wid)
            windows_before = d.find_windows("")

            def click(index):
                d.xdotool("mousemove", origin.x + 60, origin.y + LINK_TOP + index * LINK_STEP + LINK_HEIGHT // 2,
                          "click", "1")

            for index, (name, href, handed) in enumerate(links):
                if handed is None:
                    continue
                with self.subTest(name):
                    click(index)
                    if handed:
                        wait_until(lambda: href in d.handled_urls(record),
                                   message=f"{href} was not handed over: {d.handled_urls(record)}")
                    # The view stays on the page it showed (the same document).
                    self.assertEqual(d.server.run_js(TENANT, "window.pageId"), (True, page_id))

            with self.subTest("file and new-window links go nowhere"):
                # Every other link was handed over after these two; had they
                # gone anywhere it would show by now.
                time.sleep(1)
                self.assertFalse(any(u.startswith("file:") or u == secret or "popup" in u
                                     for u in d.handled_urls(record)), d.handled_urls(record))
                self.assertFalse([r for r in d.server.requests if r.route == "/popup"])
                self.assertEqual(d.find_windows(""), windows_before, "no other window may open")

            with self.subTest("https to another host loads in the view"):
                before = d.handled_urls(record)
                click(len(links) - 1)
                d.server.wait_for(host="other.orvo.test", path="/landing")
                self.assertEqual(d.server.run_js("other.orvo.test", "location.href"),
                                 (True, "https://other.orvo.test/landing"))
                self.assertEqual(d.handled_urls(record), before)

            self.assertEqual(d.stop_orvo(orvo), 0)


class MediaPolicyTest(unittest.TestCase):
    def request(self, d, host, constraints):
        return d.server.command(
            host, f"navigator.mediaDevices.getUserMedia({constraints}).then(s => s.getTracks().length)")

    def outcome(self, d, number, timeout=30):
        beacon = d.server.wait_for(route="/beacon", pred=lambda r: r.query.get("cmd") == str(number),
                                   timeout=timeout)
        return beacon.query.get("ok") == "1", beacon.query.get("value") or beacon.query.get("error")

    def test_microphone_for_the_tenant_others_ask_once(self):
        with Desktop(name=self.id()) as d:
            d.server.page(TENANT, "/",
                          "<!doctype html><title>Tenant</title>"
                          "<iframe src='https://widget.orvo.test/frame' allow='microphone; camera'></iframe>"
                          + CONTROL_SCRIPT)
            d.server.page("widget.orvo.test", "/frame", "<!doctype html><title>Widget</title>" + CONTROL_SCRIPT)
            d.write_host(TENANT)
            orvo = d.start_orvo()
            d.wait_for_window("^ORVO$")
            d.server.wait_for(host="widget.orvo.test", path="/frame")

            # (label, host, constraints, key pressed in the prompt or None when
            #  no prompt may appear, expected track count or None for refusal)
            cases = [
                ("tenant microphone: granted silently", TENANT, "{audio: true}", None, "1"),
                ("tenant camera: asks", TENANT, "{video: true}", "alt+a", "1"),
                ("tenant camera again: remembered", TENANT, "{video: true}", None, "1"),
                ("tenant camera and microphone: asks, refused", TENANT, "{audio: true, video: true}", "Escape", None),
                ("tenant camera and microphone again: refusal remembered", TENANT,
                 "{audio: true, video: true}", None, None),
                ("cross-origin frame's microphone: asks", "widget.orvo.test", "{audio: true}", "alt+a", "1"),
            ]
            for label, host, constraints, key, tracks in cases:
                with self.subTest(label):
                    number = self.request(d, host, constraints)
                    if key:
                        prompt = d.wait_for_window(PERMISSION_PROMPT)
                        d.type_into(prompt, "", then=key)
                    ok, value = self.outcome(d, number)
                    if tracks:
                        self.assertEqual((ok, value), (True, tracks))
                    else:
                        self.assertFalse(ok)
                        self.assertTrue(value.startswith("NotAllowedError"), value)
                    wait_until(lambda: not d.find_windows(PERMISSION_PROMPT), timeout=10)
                    if not key:
                        self.assertEqual(d.find_windows(PERMISSION_PROMPT, visible=False), [],
                                         "a prompt was made although none was due")

            with self.subTest("WebRTC is there"):
                self.assertEqual(d.server.run_js(TENANT, "typeof RTCPeerConnection"), (True, "function"))
                self.assertEqual(
                    d.server.run_js(TENANT, "new RTCPeerConnection().createOffer({offerToReceiveAudio: true})"
                                            ".then(o => o.type)"),
                    (True, "offer"))

            with self.subTest("audio plays without a gesture"):
                silent_wav = ("data:audio/wav;base64,UklGRiQAAABXQVZFZm10IBAAAAABAAEAQB8AAIA+AAACABAAZGF0YQAA"
                              "AAA=")
                self.assertEqual(d.server.run_js(TENANT, f"new Audio('{silent_wav}').play().then(() => 'played')"),
                                 (True, "played"))

            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
