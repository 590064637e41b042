"""What the web view may load, what goes to the desktop, and who may use the
microphone and camera without asking."""

import json
import os
import time
import unittest

from harness import ELSEWHERE, TENANT, Desktop, test_page, wait_until

PERMISSION_PROMPT = "^ORVO permission$"

# Links as large blocks at known places, so that a real click (a user gesture)
# can hit them without knowing the page's layout engine.
LINK_TOP, LINK_STEP, LINK_HEIGHT = 10, 70, 60


def links_page(links):
    blocks = "".join(
        f"<a href='{href}' target='{'_blank' if name == 'new window' else '_self'}' style='position:absolute;"
        f"left:10px;top:{LINK_TOP + i * LINK_STEP}px;width:400px;height:{LINK_HEIGHT}px;display:block'>{name}</a>"
        for i, (name, href, _handed) in enumerate(links))
    return test_page(f"<script>window.pageId = String(Math.random()).slice(2);</script>{blocks}")


class NavigationPolicyTest(unittest.TestCase):
    def test_links_stay_go_to_the_desktop_or_are_dropped(self):
        with Desktop(name=self.id()) as d:
            secret = os.path.join(d.root, "secret.txt")
            with open(secret, "w") as f:
                f.write("local file\n")
            handled = d.install_url_handler(["http", "mailto", "tel", "sip"], mime_types=["text/plain"])
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
            d.server.page(TENANT, "/", links_page(links))
            d.server.page("other.orvo.test", "/landing", test_page(title="Other"))
            d.write_host(TENANT)
            orvo = d.start_orvo()
            ok, page_id = d.server.run_js(TENANT, "window.pageId")
            self.assertTrue(ok)
            origin = d.window_geometry(d.wait_for_window())
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
                        wait_until(lambda: href in handled(), message=f"{href} was not handed over: {handled()}")
                    # The view stays on the page it showed (the same document).
                    self.assertEqual(d.server.run_js(TENANT, "window.pageId"), (True, page_id))

            with self.subTest("file and new-window links go nowhere"):
                # Every other link was handed over after these two; had they
                # gone anywhere it would show by now.
                time.sleep(1)
                self.assertFalse(any(u.startswith("file:") or u == secret or "popup" in u for u in handled()), handled())
                self.assertFalse([r for r in d.server.requests if r.route == "/popup"])
                self.assertEqual(d.find_windows(""), windows_before, "no other window may open")

            with self.subTest("each click hands over exactly once"):
                self.assertEqual(sorted(handled()), sorted(href for _n, href, handed in links if handed))

            with self.subTest("https to another host loads in the view"):
                before = handled()
                click(len(links) - 1)
                d.server.wait_for(host="other.orvo.test", path="/landing")
                self.assertEqual(d.server.run_js("other.orvo.test", "location.href"),
                                 (True, "https://other.orvo.test/landing"))
                self.assertEqual(handled(), before)

            self.assertEqual(d.stop_orvo(orvo), 0)


# Everything a frame can do to leave the view without the user: script loops,
# external-scheme frames, a form submitted by script, a meta refresh, data: and
# blob: frames, and a main-frame address that Qt's URL parser rejects.
EXTERNAL = ["mailto:x@orvo.test", "tel:+15550100", "ssh://host.orvo.test", "smb://host.orvo.test/share",
            "zzorvo-custom:payload", "http://plain.orvo.test/"]
ATTACK = """<script>
const targets = %s;
let n = 0;
const loop = setInterval(() => { location.href = targets[n++ %% targets.length]; }, 50);
setTimeout(() => clearInterval(loop), 3000);
for (let i = 0; i < 200; ++i) {
  const f = document.createElement('iframe');
  f.src = targets[i %% targets.length];
  document.documentElement.appendChild(f);
}
const form = document.createElement('form');
form.action = 'smb://host.orvo.test/form';
form.method = 'GET';
document.documentElement.appendChild(form);
form.submit();
const refresh = document.createElement('iframe');
refresh.srcdoc = '<meta http-equiv="refresh" content="0; url=ssh://refresh.orvo.test">';
document.documentElement.appendChild(refresh);
for (const src of ['data:text/html,<p>x', URL.createObjectURL(new Blob(['<p>x'], {type: 'text/html'}))]) {
  const f = document.createElement('iframe');
  f.src = src;
  document.documentElement.appendChild(f);
}
</script>""" % json.dumps(EXTERNAL)


class NavigationAttackTest(unittest.TestCase):
    def test_nothing_leaves_the_view_without_a_click_and_one_click_hands_over_once(self):
        with Desktop(name=self.id()) as d:
            handled = d.install_url_handler(["http", "mailto", "tel", "ssh", "smb", "zzorvo-custom"])
            # The tenant page embeds the attack from another site and from its
            # own; its link schedules 30 navigations on one click.
            d.server.page(ELSEWHERE, "/attack", ATTACK)
            d.server.page(TENANT, "/attack", ATTACK)
            d.server.page(TENANT, "/", test_page(
                "<script>window.pageId = String(Math.random()).slice(2);</script>"
                "<a id='many' href='#' style='position:absolute;left:10px;top:10px;width:400px;height:60px;"
                "display:block'>many</a>"
                "<script>document.getElementById('many').onclick = (e) => { e.preventDefault();"
                " for (let i = 0; i < 30; ++i) setTimeout(() => { location.href = 'mailto:n' + i + '@orvo.test'; },"
                " i * 30); };</script>"
                f"<iframe src='https://{ELSEWHERE}/attack' style='position:absolute;top:200px'></iframe>"
                "<iframe src='/attack' style='position:absolute;top:400px'></iframe>"))
            d.write_host(TENANT)
            orvo = d.start_orvo()
            ok, page_id = d.server.run_js(TENANT, "window.pageId")
            self.assertTrue(ok)
            d.server.wait_for(host=ELSEWHERE, path="/attack")
            d.server.wait_for(host=TENANT, path="/attack")
            # A main-frame address the engine loads but Qt's parser rejects.
            d.server.command(TENANT, "setTimeout(() => { location.href = 'http://a-.orvo.test/'; }, 100)")
            time.sleep(5)
            with self.subTest("no hand-over without a click"):
                self.assertEqual(handled(), [])
                self.assertEqual(d.server.run_js(TENANT, "window.pageId"), (True, page_id),
                                 "the view left the tenant's page")

            with self.subTest("one click, one hand-over"):
                origin = d.window_geometry(d.wait_for_window())
                d.xdotool("mousemove", origin.x + 60, origin.y + 40, "click", "1")
                wait_until(lambda: handled(), message="the click was not handed over")
                time.sleep(2)
                self.assertEqual(handled(), ["mailto:n0@orvo.test"])
            self.assertEqual(d.stop_orvo(orvo), 0)


class MediaPolicyTest(unittest.TestCase):
    def test_microphone_for_the_tenant_others_ask_once(self):
        with Desktop(name=self.id()) as d:
            d.server.page(TENANT, "/", test_page(
                "<iframe src='https://widget.orvo.test/frame' allow='microphone; camera'></iframe>"))
            d.server.page("widget.orvo.test", "/frame", test_page(title="Widget"))
            d.write_host(TENANT)
            orvo = d.start_orvo()
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
                    number = d.server.command(
                        host, f"navigator.mediaDevices.getUserMedia({constraints}).then(s => s.getTracks().length)")
                    if key:
                        d.type_into(d.wait_for_window(PERMISSION_PROMPT), "", then=key)
                    ok, value = d.server.outcome(number)
                    if tracks:
                        self.assertEqual((ok, value), (True, tracks))
                    else:
                        self.assertFalse(ok)
                        self.assertTrue(value.startswith("NotAllowedError"), value)
                    wait_until(lambda: not d.find_windows(PERMISSION_PROMPT), timeout=10)
                    if not key:
                        self.assertEqual(d.find_windows(PERMISSION_PROMPT, visible=False), [],
                                         "a prompt was made although none was due")

            with self.subTest("one prompt at a time; a prompt whose frame goes, goes unanswered"):
                askers = ["ask1.orvo.test", "ask2.orvo.test", "ask3.orvo.test"]
                add_frame = ("(h => {{ const f = document.createElement('iframe'); f.id = h; f.allow = 'camera'; "
                             "f.src = 'https://' + h + '/frame'; document.body.append(f); }})('{}'), 1")
                for host in askers:
                    d.server.page(host, "/frame", test_page(title=host))
                    since = d.server.mark()
                    d.server.run_js(TENANT, add_frame.format(host))
                    d.server.wait_for(host=host, path="/frame", since=since)
                asks = {h: d.server.command(h, "navigator.mediaDevices.getUserMedia({video: true})"
                                               ".then(s => s.getTracks().length)") for h in askers}
                d.wait_for_window(PERMISSION_PROMPT)
                time.sleep(1)
                self.assertEqual(len(d.find_windows(PERMISSION_PROMPT, visible=False)), 1, "prompts at once")
                # The first asker's frame is removed: its prompt closes, the next one shows.
                d.server.run_js(TENANT, f"document.getElementById('{askers[0]}').remove(), 1")
                for host in askers[1:]:
                    d.type_into(d.wait_for_window(PERMISSION_PROMPT), "", then="Escape")
                    self.assertFalse(d.server.outcome(asks[host])[0])
                wait_until(lambda: not d.find_windows(PERMISSION_PROMPT, visible=False), timeout=10,
                           message="a prompt outlived its frame")
                # A new frame of the removed origin asks again: nothing was remembered for it.
                since = d.server.mark()
                d.server.run_js(TENANT, add_frame.format(askers[0]))
                d.server.wait_for(host=askers[0], path="/frame", since=since)
                again = d.server.command(askers[0], "navigator.mediaDevices.getUserMedia({video: true})"
                                                    ".then(s => s.getTracks().length)")
                d.type_into(d.wait_for_window(PERMISSION_PROMPT), "", then="Escape")
                self.assertFalse(d.server.outcome(again)[0])

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


class PagePanelTest(unittest.TestCase):
    def test_no_dialogs_no_file_chooser_no_console_output(self):
        with Desktop(name=self.id()) as d:
            d.serve_tenant(test_page("<input type='file' id='f' style='position:absolute;left:10px;top:10px;"
                                     "width:400px;height:80px'>"))
            # Qt's logging as the user has it, without the harness's rule.
            orvo = d.start_orvo(env={"QT_LOGGING_RULES": ""})
            self.assertEqual(d.server.run_js(TENANT, "1"), (True, "1"))
            origin = d.window_geometry(d.wait_for_window())
            windows = d.find_windows("")

            # Each answers at once, as dismissed; a dialog would hold the script.
            self.assertEqual(d.server.run_js(
                TENANT, "(console.log('page console marker'), "
                        "JSON.stringify([confirm('Leave?'), prompt('Name?', 'x'), alert('Hi')]))", timeout=15),
                (True, "[false,null,null]"))
            # A real click, a user gesture, on the file input opens nothing.
            d.xdotool("mousemove", origin.x + 60, origin.y + 50, "click", "1")
            time.sleep(2)
            self.assertEqual(d.find_windows(""), windows)
            self.assertEqual(d.server.run_js(TENANT, "document.getElementById('f').files.length"), (True, "0"))
            # A page that asks before it is left still leaves when it navigates itself (it had a
            # user gesture above, so the engine would ask): no panel, no veto.
            d.server.page(TENANT, "/next", test_page(title="Next"))
            d.server.run_js(TENANT, "addEventListener('beforeunload', e => { e.preventDefault(); "
                                    "e.returnValue = 'stay'; }), setTimeout(() => location.href = '/next', 100), 1")
            wait_until(lambda: d.server.run_js(TENANT, "location.pathname") == (True, "/next"), timeout=10,
                       message="the page's unload handler kept it from leaving")
            self.assertEqual(d.stop_orvo(orvo), 0)

            with open(os.path.join(d.artifacts, f"{d.name}.log"), encoding="utf-8", errors="replace") as f:
                log = f.read()
            self.assertNotIn("page console marker", log)
            self.assertNotIn("Init Parameters", log)


if __name__ == "__main__":
    unittest.main()
