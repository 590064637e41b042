# Journey: the tenant's page with frames of its own site and of others,
# attack pages among them; permissions, panels, and links the user clicks.
import json
import os
import time
import unittest

from harness import ELSEWHERE, PREFIX, TENANT, WIDGETS, Desktop, Monitor, descendants, page, wait_until

# Links as blocks at known places, so that a real click (a user gesture) hits them.
LINKS = [("many", "#"), ("http", "http://plain.orvo.test/p?q=1"), ("mailto", "mailto:a@orvo.test?subject=Hi"),
         ("tel", "tel:+15551234567"), ("sip", "sip:alice@orvo.test"), ("file", "file:///etc/hostname"),
         ("new window", "https://other.orvo.test/popup"), ("https", "https://other.orvo.test/landing")]
TOP = page("".join(
    f"<a href='{href}' target='{'_blank' if name == 'new window' else '_self'}' style='position:absolute;left:10px;"
    f"top:{10 + 70 * i}px;width:400px;height:60px'>{name}</a>" for i, (name, href) in enumerate(LINKS)) + """
<input type=file id=f style='position:absolute;left:10px;top:600px;width:400px;height:60px'>
<div id=frames style='position:absolute;left:500px'></div><script>
window.pageId = String(Math.random());
// One click schedules 30 navigations to an external scheme.
document.querySelector('a').onclick = e => { e.preventDefault();
  for (let i = 0; i < 30; ++i) setTimeout(() => location.href = 'mailto:n' + i + '@orvo.test', i * 30); };
function frame(attributes) {
  const f = document.createElement('iframe');
  for (const [k, v] of Object.entries(attributes)) f.setAttribute(k, v);
  document.getElementById('frames').replaceChildren(f);
  return 1;
}
</script>""")
POST_KIND = ("<script>window.chrome.webview.postMessage('orvo-status:In a call from ' + "
             "new URLSearchParams(location.search).get('kind'))</script>")
# A frame that is not the tenant's tries to drive the desktop, also by learning
# the transport's console lines (hooking its own and a fresh frame's console)
# and forging them in the tenant's name; it reports how many lines it caught.
# With ?nav it tries every way to leave the view without a click instead.
ATTACK = """<script>
const q = new URLSearchParams(location.search), kind = q.get('kind'), post = m => window.chrome.webview.postMessage(m);
if (q.get('nav')) {
  const targets = %s;
  let n = 0;
  const loop = setInterval(() => { location.href = targets[n++ %% targets.length]; }, 50);
  setTimeout(() => clearInterval(loop), 3000);
  const add = (tag, props) => document.documentElement.appendChild(Object.assign(document.createElement(tag), props));
  for (let i = 0; i < 200; ++i) add('iframe', {src: targets[i %% targets.length]});
  add('form', {action: 'smb://host.orvo.test/form', method: 'GET'}).submit();
  add('iframe', {srcdoc: '<meta http-equiv="refresh" content="0; url=ssh://refresh.orvo.test">'});
  add('iframe', {src: 'data:text/html,<p>x'});
  add('iframe', {src: URL.createObjectURL(new Blob(['<p>x'], {type: 'text/html'}))});
} else {
  let caught = 0;
  const hook = w => { try { const o = w.console.log; w.console.log = function (...a) { caught++; return o.apply(this, a); }; } catch (e) {} };
  hook(window);
  Object.defineProperty(window, 'origin', {get: () => 'https://tenant.orvo.test'});  // a lie to page-world readers
  const blank = document.documentElement.appendChild(document.createElement('iframe'));
  hook(blank.contentWindow);
  try { blank.contentWindow.webkit.messageHandlers.orvo.postMessage('orvo-status:from blank'); } catch (e) {}
  for (let i = 0; i < Number(q.get('calls') || 1); ++i) post('orvo-call:Mallory ' + i);
  post('orvo-status:hijacked by ' + kind);
  post('orvo-notify:{"title": "from ' + kind + '"}');
  const leaked = caught, inner = JSON.stringify(['orvo', 'orvo-status:forged by ' + kind]);
  for (const prefix of ['orvo-transport-' + '0'.repeat(32) + ':', 'orvo-transport-:']) {
    const line = prefix + JSON.stringify(['https://tenant.orvo.test', inner]);
    console.log(line);
    eval('console.log(' + JSON.stringify(line) + ')\\n//# sourceURL=userscript:orvo-message-transport');
  }
  document.dispatchEvent(new CustomEvent('orvo-message-transport', {detail: inner}));
  setTimeout(() => navigator.sendBeacon('/beacon?what=attacked&data=' + kind + ':' + leaked), 300);
}
</script>""" % json.dumps(["mailto:x@orvo.test", "tel:+15550100", "ssh://host.orvo.test", "smb://host.orvo.test/s",
                          "zzorvo-custom:payload", "http://plain.orvo.test/"])
SPOOF = """(() => { const line = 'orvo-transport-' + '0'.repeat(32) + ':' + JSON.stringify(['https://tenant.orvo.test',
  JSON.stringify(['orvo', 'orvo-status:spoofed'])]); console.log(line);
  eval('console.log(' + JSON.stringify(line) + ')\\n//# sourceURL=userscript:orvo-message-transport'); return 1; })()"""
CSP = [("Content-Security-Policy", "default-src 'none'; script-src 'self'; require-trusted-types-for 'script'; "
        "trusted-types 'none'")]


class LinksJourney(unittest.TestCase):
    def test_journey(self):
        with Desktop(self.id()) as d:
            handled = d.url_handler(["http", "https", "mailto", "tel", "sip", "ssh", "smb", "zzorvo-custom"])
            pages = d.server.pages
            pages.update({("*", "/frame.html"): POST_KIND, ("*", "/attack.html"): ATTACK,
                          ("*", "/control.html"): page(title="Widget"), ("other.orvo.test", "/landing"): page(),
                          (WIDGETS, "/nest.html"): f"<iframe src='https://{TENANT}/frame.html?kind=nested'></iframe>",
                          (TENANT, "/csp.html"): (lambda r: (200, CSP, "<script src=/csp.js></script>")),
                          (TENANT, "/csp.js"): (lambda r: (200, CSP + [("Content-Type", "text/javascript")],
                                                           POST_KIND[8:-9]))})
            d.tenant(TOP)
            monitor = Monitor(d)
            orvo = d.start_orvo(env={"QT_LOGGING_RULES": ""})  # Qt's logging as users have it
            ok, page_id = d.server.run_js(TENANT, "pageId")
            wait_until(lambda: d.tooltip() == "ORVO", 20, "no tray item")

            def frame(attributes):
                return d.server.run_js(TENANT, f"frame({json.dumps(attributes)})")

            # Every frame of the tenant's site reaches the shell.
            for kind, attributes in [("same-origin", {"src": "/frame.html?kind=same-origin"}),
                                     ("cross-origin", {"src": f"https://{WIDGETS}/frame.html?kind=cross-origin"}),
                                     ("nested", {"src": f"https://{WIDGETS}/nest.html"}),
                                     ("srcdoc", {"srcdoc": POST_KIND.replace("' + new", "srcdoc' || new")}),
                                     ("strict-csp", {"src": "/csp.html?kind=strict-csp"})]:
                frame(attributes)
                wait_until(lambda: d.tooltip() == f"{PREFIX}In a call from {kind}", 10, f"{kind}: {d.tooltip()!r}")
                if kind == "cross-origin":
                    self.assertGreaterEqual(len(descendants(orvo.pid, renderers=True)), 2, "not out of process")

            # Frames of other sites, sandboxed and data: frames, and forged
            # transport lines: no line caught, no notification, no tooltip change.
            def nothing_but(step, expected_beacon=None):
                since, tips, notes = d.server.mark(), monitor.tooltips(), len(monitor.notifies())
                step()
                if expected_beacon:
                    self.assertEqual(d.server.wait_for(lambda r: r.query.get("what") == "attacked", since)
                                     .query["data"], expected_beacon, "the frame caught a line of the transport")
                time.sleep(1.5)
                d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-status:after'), 1")
                wait_until(lambda: d.tooltip() == PREFIX + "after" and monitor.tooltips() > tips, 10)
                self.assertEqual((monitor.tooltips() - tips, len(monitor.notifies()) - notes), (1, 0))
                tips = monitor.tooltips()
                d.server.run_js(TENANT, "window.chrome.webview.postMessage('orvo-status:before'), 1")
                wait_until(lambda: d.tooltip() == PREFIX + "before" and monitor.tooltips() > tips, 10)

            nothing_but(lambda: frame({"src": f"https://{ELSEWHERE}/attack.html?kind=cross-site&calls=1000"}),
                        "cross-site:0")
            nothing_but(lambda: frame({"sandbox": "allow-scripts", "src": "/attack.html?kind=sandboxed"}), "sandboxed:0")
            nothing_but(lambda: frame({"src": "data:text/html," + POST_KIND}))
            nothing_but(lambda: d.server.run_js(TENANT, SPOOF))  # the tenant's own console

            # Text arrives unchanged (a D-Bus string shows NUL as U+FFFD), half
            # a surrogate pair as a replacement character, 1.4 MB whole.
            for text, shown in [("a\nb|\t|\"'|\\|\U0001F4DE|\u2028|</script>|nul\0end", None),
                                ("half \ud83d pair", "half \ufffd\ufffd\ufffd pair"), ("abc\u00e9\U0001F4DE" * 200000, None)]:
                d.server.run_js(TENANT, f"window.chrome.webview.postMessage('orvo-status:' + {json.dumps(text)}), 1")
                want = PREFIX + (shown or text.replace("\0", "\ufffd"))
                wait_until(lambda: d.tooltip() == want, 20, f"tooltip {d.tooltip()[:80]!r}")

            # Permissions: (host, request, key in the prompt or None for no prompt, tracks or the error).
            # A screen is asked for each time; other kinds are refused unasked.
            frame({"src": f"https://{WIDGETS}/control.html", "allow": "microphone; camera"})
            user, screen = "getUserMedia({})", "getDisplayMedia({video: true})"
            for host, call, key, expected in [
                    (TENANT, user.format("{audio: true}"), None, "1"), (TENANT, user.format("{video: true}"), "alt+a", "1"),
                    (TENANT, user.format("{video: true}"), None, "1"),
                    (TENANT, user.format("{audio: true, video: true}"), "Escape", "NotAllowedError"),
                    (TENANT, user.format("{audio: true, video: true}"), None, "NotAllowedError"),
                    (WIDGETS, user.format("{audio: true}"), "alt+a", "1"), (TENANT, screen, "alt+a", "1"),
                    (TENANT, screen, "Escape", "NotAllowedError"), (TENANT, screen, "alt+a", "1"),
                    (TENANT, "Notification.requestPermission()", None, "denied"),
                    (TENANT, "new Promise(r => navigator.geolocation.getCurrentPosition(() => r('located'), e => "
                             "r(e.code)))", None, "1")]:
                if call.startswith("get"):
                    call = f"navigator.mediaDevices.{call}.then(s => s.getTracks().filter(t => t.stop() || 1).length)"
                n = d.server.command(host, call)
                if key and "Display" in call:
                    # Qt 6.7 and later first let the user pick what to share.
                    wid = d.window("^(Permission|Screen sharing)$", main=False)
                    if d.windows("^Screen sharing$") == [wid]:
                        d.run("xdotool", "windowfocus", "--sync", wid, "key", "Return")
                if key:
                    d.run("xdotool", "windowfocus", "--sync", d.window("^Permission$", main=False), "key", key)
                ok, value = d.server.outcome(n)
                self.assertEqual(value if ok else value.split(":")[0], expected, (host, call, key))
                self.assertEqual(d.windows("^(Permission|Screen sharing)$"), [], "a prompt stayed or came unasked")
            # One prompt at a time; one whose frame goes closes unanswered and
            # is not remembered: a new frame of that origin asks again.
            add = "(h => {{ document.getElementById('frames').append(Object.assign(document.createElement('iframe'), " \
                  "{{id: h, allow: 'camera', src: 'https://' + h + '/control.html'}})) }})('{}'), 1"
            camera = "navigator.mediaDevices.getUserMedia({video: true}).then(s => s.getTracks().length)"
            asks = {}
            for i, host in enumerate(("ask1.orvo.test", "ask2.orvo.test", "ask3.orvo.test", "ask1.orvo.test")):
                mark = d.server.mark()
                d.server.run_js(TENANT, add.format(host))
                d.server.wait_for(lambda r: r.host == host and r.path == "/control.html", mark)
                asks[host] = d.server.command(host, camera)
                if i == 2:
                    wait_until(lambda: d.windows("^Permission$"), 10, "no prompt")
                    time.sleep(1)
                    self.assertEqual(len(d.windows("^Permission$")), 1, "prompts at once")
                    # Its title as the desktop shows it names ORVO once.
                    self.assertIn('= "Permission \u2014 ORVO"', d.run("xprop", "-id", d.window("^Permission$", main=False),
                                                                   "_NET_WM_NAME"))
                    d.server.run_js(TENANT, "document.getElementById('ask1.orvo.test').remove(), 1")
                    for other in ("ask2.orvo.test", "ask3.orvo.test"):
                        d.run("xdotool", "windowfocus", "--sync", d.window("^Permission$", main=False), "key", "Escape")
                        self.assertFalse(d.server.outcome(asks[other])[0])
                    wait_until(lambda: not d.windows("^Permission$"), 10, "a prompt outlived its frame")
            d.run("xdotool", "windowfocus", "--sync", d.window("^Permission$", main=False), "key", "Escape")
            self.assertFalse(d.server.outcome(asks["ask1.orvo.test"])[0])

            # Nothing leaves the view without a click, from another site or the tenant.
            frame({"src": f"https://{ELSEWHERE}/attack.html?nav=1"})
            d.server.run_js(TENANT, "document.getElementById('frames').appendChild(Object.assign("
                                    "document.createElement('iframe'), {src: '/attack.html?nav=1'})), 1")
            d.server.command(TENANT, "setTimeout(() => location.href = 'http://a-.orvo.test/', 100)")
            d.server.command(TENANT, "['https://other.orvo.test/popup', 'mailto:w@orvo.test'].map(u => window.open(u))")
            time.sleep(5)
            self.assertEqual((handled(), d.server.run_js(TENANT, "pageId")), ([], (True, page_id)))

            x, y, _, _ = d.geometry(d.window())
            # Panels, even with a permission prompt open: answered at once as
            # dismissed; a click on the file input opens nothing.
            frame({"src": f"https://{WIDGETS}/control.html", "allow": "camera"})
            first = d.server.command(WIDGETS, "navigator.mediaDevices.getUserMedia({video: true}).then(() => 1)")
            wait_until(lambda: d.windows("^Permission$"), 10, "no prompt")
            self.assertEqual(d.server.run_js(TENANT, "console.log('console marker'), JSON.stringify("
                                                     "[confirm('Leave?'), prompt('Name?', 'x'), alert('Hi')])", 15),
                             (True, "[false,null,null]"))
            d.run("xdotool", "key", "Escape")
            self.assertEqual(d.server.outcome(first)[0], False)
            windows = d.windows(".")
            d.run("xdotool", "mousemove", x + 60, y + 630, "click", 1)
            time.sleep(2)
            self.assertEqual(d.windows("."), windows, "a dialog or window opened")

            # Each click hands over exactly once, a new window's address too (and no window opens);
            # file links go nowhere.
            def click(name):
                d.run("xdotool", "mousemove", x + 60, y + 40 + 70 * [n for n, _ in LINKS].index(name), "click", 1)

            for name, href in LINKS[:7]:
                click(name)
                if name != "file":
                    wait_until(lambda: handled()[-1:] == [href if name != "many" else "mailto:n0@orvo.test"], 10, name)
                time.sleep(2 if name == "many" else 0)  # the other 29 navigations are over
            time.sleep(2)
            self.assertEqual(handled(), ["mailto:n0@orvo.test"] + [h for _, h in LINKS[1:5] + LINKS[6:7]])
            self.assertEqual((d.server.loads("other.orvo.test", "/popup"), d.windows("."), d.server.run_js(
                TENANT, "pageId")), ([], windows, (True, page_id)))

            # A page that asks before it is left still leaves; https loads in the view.
            d.server.run_js(TENANT, "addEventListener('beforeunload', e => { e.preventDefault(); e.returnValue = 'x'; })"
                                    ", 1")
            click("https")
            self.assertEqual(d.server.run_js("other.orvo.test", "location.href"), (True, "https://other.orvo.test/landing"))
            self.assertEqual(len(handled()), 6)
            self.assertEqual(d.stop_orvo(orvo), 0)
            with open(os.path.join(d.artifacts, f"{d.name}.log"), errors="replace") as f:
                self.assertNotIn("console marker", f.read())


if __name__ == "__main__":
    unittest.main()
