// Loaded only into the tests' private GNOME Shell: answers on the session bus
// what the shell shows (windows, notification banners, the work area) and
// presses a banner's button the way a pointer click does.
const { Gio, GLib, Shell } = imports.gi;
const Main = imports.ui.main;

const IFACE = `<node><interface name="org.orvo.TestProbe">
  <method name="Windows"><arg type="s" direction="out"/></method>
  <method name="Notifications"><arg type="s" direction="out"/></method>
  <method name="PressButton"><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
  <method name="Screenshot"><arg type="s" direction="in"/></method>
</interface></node>`;

function buttonsOf(actor) {
    // Every St.Button below a banner, depth first.
    let found = [];
    for (const child of actor.get_children()) {
        if (child.constructor.name === 'St_Button' || child.constructor.$gtype?.name === 'StButton')
            found.push(child);
        found = found.concat(buttonsOf(child));
    }
    return found;
}

class Probe {
    Windows() {
        const tracker = Shell.WindowTracker.get_default();
        const area = Main.layoutManager.getWorkAreaForMonitor(Main.layoutManager.primaryIndex);
        const windows = global.get_window_actors().map(a => a.meta_window).map(w => {
            const r = w.get_frame_rect();
            const app = tracker.get_window_app(w);
            return {
                title: w.get_title(), app: app ? app.get_id() : null, appName: app ? app.get_name() : null,
                focused: w.has_focus(), frame: [r.x, r.y, r.width, r.height],
            };
        });
        return JSON.stringify({ windows, workArea: [area.x, area.y, area.width, area.height] });
    }

    Notifications() {
        const out = [];
        for (const source of Main.messageTray.getSources()) {
            for (const n of source.notifications)
                out.push({ source: source.title, title: n.title, body: n.bannerBodyText, actions: n.actions.map(a => a.label) });
        }
        const banner = Main.messageTray._banner;
        return JSON.stringify({ notifications: out, bannerButtons: banner ? buttonsOf(banner).map(b => b.label) : [] });
    }

    PressButton(label) {
        const banner = Main.messageTray._banner;
        const button = banner ? buttonsOf(banner).find(b => b.label === label) : null;
        if (!button)
            return false;
        button.emit('clicked', 1);
        return true;
    }

    ScreenshotAsync([path], invocation) {
        const fail = e => invocation.return_error_literal(Gio.DBusError, Gio.DBusError.FAILED, String(e));
        try {
            const stream = Gio.File.new_for_path(path).replace(null, false, Gio.FileCreateFlags.NONE, null);
            new Shell.Screenshot().screenshot(false, stream, (o, res) => {
                try {
                    o.screenshot_finish(res);
                    stream.close(null);
                    invocation.return_value(null);
                } catch (e) {
                    fail(e);
                }
            });
        } catch (e) {
            fail(e);
        }
    }
}

class Extension {
    enable() {
        this._impl = Gio.DBusExportedObject.wrapJSObject(IFACE, new Probe());
        this._impl.export(Gio.DBus.session, '/org/orvo/TestProbe');
        this._name = Gio.bus_own_name_on_connection(Gio.DBus.session, 'org.orvo.TestProbe',
            Gio.BusNameOwnerFlags.NONE, null, null);
        // The shell starts in the overview; windows are what the tests look at.
        if (Main.layoutManager._startingUp)
            Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        Gio.bus_unown_name(this._name);
        this._impl.unexport();
    }
}

function init() {
    return new Extension();
}
