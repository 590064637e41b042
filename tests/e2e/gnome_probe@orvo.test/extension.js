// Loaded only into the journeys' private GNOME Shell: tells over the session
// bus what the shell shows (windows, the work area, notification banners),
// presses a banner's button as a click does, and takes a screenshot.
const { Gio, Shell } = imports.gi;
const Main = imports.ui.main;

const IFACE = `<node><interface name="org.orvo.TestProbe">
  <method name="Windows"><arg type="s" direction="out"/></method>
  <method name="Notifications"><arg type="s" direction="out"/></method>
  <method name="PressButton"><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
  <method name="Screenshot"><arg type="s" direction="in"/></method>
</interface></node>`;

const buttonsOf = actor => actor.get_children().flatMap(
    c => (c.constructor.$gtype?.name === 'StButton' ? [c] : []).concat(buttonsOf(c)));
const banner = () => Main.messageTray._banner;

class Probe {
    Windows() {
        const area = Main.layoutManager.getWorkAreaForMonitor(Main.layoutManager.primaryIndex);
        const windows = global.get_window_actors().map(a => a.meta_window).map(w => {
            const r = w.get_frame_rect(), app = Shell.WindowTracker.get_default().get_window_app(w);
            return { title: w.get_title(), app: app?.get_id(), focused: w.has_focus(), frame: [r.x, r.y, r.width, r.height] };
        });
        return JSON.stringify({ windows, workArea: [area.x, area.y, area.width, area.height] });
    }

    Notifications() {
        const notifications = Main.messageTray.getSources().flatMap(
            s => s.notifications.map(n => ({ source: s.title, title: n.title, body: n.bannerBodyText })));
        return JSON.stringify({ notifications, bannerButtons: banner() ? buttonsOf(banner()).map(b => b.label) : [] });
    }

    PressButton(label) {
        const button = banner() && buttonsOf(banner()).find(b => b.label === label);
        button?.emit('clicked', 1);
        return !!button;
    }

    ScreenshotAsync([path], invocation) {
        const stream = Gio.File.new_for_path(path).replace(null, false, Gio.FileCreateFlags.NONE, null);
        new Shell.Screenshot().screenshot(false, stream, (o, res) => {
            o.screenshot_finish(res);
            stream.close(null);
            invocation.return_value(null);
        });
    }
}

function init() {
    return {
        enable() {
            this.impl = Gio.DBusExportedObject.wrapJSObject(IFACE, new Probe());
            this.impl.export(Gio.DBus.session, '/org/orvo/TestProbe');
            this.name = Gio.bus_own_name_on_connection(Gio.DBus.session, 'org.orvo.TestProbe', 0, null, null);
            // The shell starts in the overview; the journeys look at windows.
            if (Main.layoutManager._startingUp)
                Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
            else
                Main.overview.hide();
        },
        disable() {
            Gio.bus_unown_name(this.name);
            this.impl.unexport();
        },
    };
}
