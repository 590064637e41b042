# Journey: a call heard where the notification server plays no sound (dunst on
# xfwm4), and a page that keeps full speed while ORVO is minimised.
# The session gets a PipeWire of its own whose default output is a null sink;
# its monitor is recorded with parec and measured with sox. The desktop's sound
# settings come from xsettingsd (XSETTINGS), as a settings daemon gives them.
# (Without any sound server ORVO still shows and answers a call, silently: the
# journey on xfwm4 with dunst in test_desktops runs without one.)
# The minimised stretch lasts 30 s; SOAK_HIDDEN_MINUTES makes it that many
# minutes, checking the rate minute by minute (Chromium's own throttling steps
# down after five):
#   cd tests/e2e && ORVO_BINARY=../../build/orvo SOAK_HIDDEN_MINUTES=7 /usr/bin/python3 -m unittest -v test_sound
import json
import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import TENANT, Desktop, page, wait_until

TICKS = page("<script>window.ticks = 0; setInterval(() => window.ticks++, 100);</script>")
SINK = "orvo_null"
# A ring far longer than any wait below, so that silence can only mean that
# ORVO stopped it; quieter than the theme's own ring, to tell them apart.
THEME = "orvo-test"
LONG_RING_SECONDS, LONG_RING_VOLUME = 60, 0.5
HEARD, SILENT = 0.1, 0.01


class Recorder:
    # The null sink's monitor, as parec delivers it (16-bit stereo), kept in memory.

    def __init__(self, d):
        self.data, self.lock = bytearray(), threading.Lock()
        self.proc = d.spawn(["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", "--rate=48000",
                             "--channels=2", "--latency-msec=20"], stdout=subprocess.PIPE)
        threading.Thread(target=self.read, daemon=True).start()
        wait_until(lambda: "parec" in d.run("pactl", "list", "source-outputs"), 20, "parec did not connect")

    def read(self):
        while chunk := self.proc.stdout.read1(65536):
            with self.lock:
                self.data += chunk

    def mark(self):
        with self.lock:
            return len(self.data)

    def amplitude(self, since):
        # sox's maximum amplitude (0 to 1) of what was recorded since `since`;
        # the sink sends nothing at all while nothing plays.
        with self.lock:
            chunk = bytes(self.data[since:len(self.data) // 4 * 4])
        if not chunk:
            return 0.0
        with tempfile.NamedTemporaryFile(suffix=".raw") as f:
            f.write(chunk)
            f.flush()
            stat = subprocess.run(["sox", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "2", f.name,
                                   "-n", "stat"], capture_output=True, text=True).stderr
        return float(next(line for line in stat.splitlines() if line.startswith("Maximum amplitude")).split()[-1])

    def heard(self, since, timeout=15):
        return wait_until(lambda: (a := self.amplitude(since)) > HEARD and a, timeout, "nothing was heard")

    def quiet_for(self, seconds=1.0):
        since = self.mark()
        time.sleep(seconds)
        return self.amplitude(since) < SILENT


def start_pipewire(d):
    for argv in (["pipewire"], ["wireplumber"], ["pipewire-pulse"]):
        d.spawn(argv)
    wait_until(lambda: "Server Name" in d.run("pactl", "info"), 30, "no PipeWire")
    d.run("pactl", "load-module", "module-null-sink", f"sink_name={SINK}", check=True)
    d.run("pactl", "set-default-sink", SINK, check=True)
    wait_until(lambda: f"Default Sink: {SINK}" in d.run("pactl", "info"), 20, "the null sink is not the default")


def sound_settings(d, enabled, theme=THEME):
    # xsettingsd publishes them; GTK reading them back shows they are out.
    path = os.path.join(d.root, "xsettingsd.conf")
    with open(path, "w") as f:
        f.write(f'Net/EnableEventSounds {int(enabled)}\nNet/SoundThemeName "{theme}"\n')
    if not getattr(d, "xsettingsd", None):
        d.xsettingsd = d.spawn(["xsettingsd", "-c", path])
    else:
        d.xsettingsd.send_signal(signal.SIGHUP)
    gtk = ("import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk;"
           "s = Gtk.Settings.get_default(); print(s.props.gtk_enable_event_sounds, s.props.gtk_sound_theme_name)")
    wait_until(lambda: d.run("/usr/bin/python3", "-c", gtk).split() == [str(enabled), theme], 20, "no XSETTINGS")


def long_ring_theme(d):
    folder = os.path.join(d.data_home, "sounds", THEME)
    os.makedirs(os.path.join(folder, "stereo"))
    with open(os.path.join(folder, "index.theme"), "w") as f:
        f.write(f"[Sound Theme]\nName={THEME}\nInherits=freedesktop\nDirectories=stereo\n\n"
                "[stereo]\nOutputProfile=stereo\n")
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", "-b", "16", os.path.join(folder, "stereo",
                    "phone-incoming-call.wav"), "synth", str(LONG_RING_SECONDS), "sine", "440",
                    "vol", str(LONG_RING_VOLUME)], check=True)


def post(d, message):
    d.server.run_js(TENANT, f"window.chrome.webview.postMessage({json.dumps(message)}), 1")


def shown(d):
    return int(d.run("dunstctl", "count", "displayed") or 0)


class SoundJourney(unittest.TestCase):
    def test_journey(self):
        with Desktop(self.id(), wm=True, dunst=True) as d:
            start_pipewire(d)
            long_ring_theme(d)
            record = Recorder(d)
            d.tenant(TICKS)
            orvo = d.start_orvo()
            wid = d.window()
            self.assertEqual(d.server.run_js(TENANT, "1", 60), (True, "1"))

            # Minimised, the page's timers keep their pace (a throttled page
            # gets one tick a second at once, one a minute after five minutes).
            d.run("xdotool", "windowminimize", wid)
            wait_until(lambda: d.server.run_js(TENANT, "document.visibilityState")[1] == "hidden", 10)
            minutes = float(os.environ.get("SOAK_HIDDEN_MINUTES") or 0.5)
            start, last = time.monotonic(), int(d.server.run_js(TENANT, "window.ticks")[1])
            for step in range(1, max(1, round(minutes)) + 1):
                seconds = 60 * min(minutes, 1)
                time.sleep(max(0.0, start + seconds * step - time.monotonic()))
                now = int(d.server.run_js(TENANT, "window.ticks")[1])
                print(f"minimised, {step * seconds:.0f} s: {now - last} ticks in {seconds:.0f} s", flush=True)
                self.assertGreaterEqual(now - last, 250 * seconds / 30, f"timers throttled in stretch {step}")
                last = now
            d.run("xdotool", "windowactivate", "--sync", wid)

            # dunst plays nothing, so ORVO rings with the theme's sound.
            since = record.mark()
            post(d, "orvo-call:Alice")
            record.heard(since)
            self.assertEqual(shown(d), 1)
            d.choose("Answer")
            wait_until(lambda: shown(d) == 0, 10, "Answer did not settle the call")
            wait_until(record.quiet_for, 10, "the sink did not fall quiet")
            levels = [f"call, freedesktop theme: {record.amplitude(since):.3f}"]

            # Event sounds off on the desktop: the call comes silently.
            sound_settings(d, False)
            post(d, "orvo-call:Silent Sam")
            wait_until(lambda: shown(d) == 1, 10, "no call on screen")
            self.assertTrue(record.quiet_for(1.5), "a call rang with event sounds off")
            d.run("dunstctl", "close-all")

            # With the desktop's theme (a long ring), each way of settling the
            # call stops it, and the next call is heard again.
            sound_settings(d, True)
            for settle in (lambda: d.choose("Answer"), lambda: d.choose("Decline"), lambda: d.run("dunstctl", "close")):
                since = record.mark()
                post(d, "orvo-call:Bob")
                record.heard(since)
                settle()
                wait_until(lambda: shown(d) == 0, 10, "the call is still shown")
                wait_until(record.quiet_for, 15, "the ring did not stop")
                level = record.amplitude(since)
                self.assertLess(level, LONG_RING_VOLUME + 0.05, "not the theme's ring")
                levels.append(f"call, {THEME} theme: {level:.3f}")
            commands = d.server.run_js(TENANT, "window.commands.join('|')")[1].split("|")
            self.assertEqual(commands, ["orvo-cmd:answer", "orvo-cmd:answer", "orvo-cmd:decline"])
            with open(os.path.join(d.artifacts, f"{d.name}.levels"), "w") as f:
                f.write("\n".join(levels) + "\n")
            self.assertEqual(d.printed(), "")
            self.assertEqual(d.stop_orvo(orvo), 0)


if __name__ == "__main__":
    unittest.main()
