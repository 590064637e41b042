// Loaded only into the journeys' private GNOME Shell: tells over the session
// bus what the shell shows (windows, the work area, notification banners and
// where their buttons are), clicks as a pointer does, and takes a screenshot.
// Both extension formats load this module; each hands in the shell's Main,
// which GNOME 43 offers only to legacy scripts and GNOME 45 only as a module.
import Clutter from 'gi://Clutter';
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';

const IFACE = `<node><interface name="org.orvo.TestProbe">
  <method name="Windows"><arg type="s" direction="out"/></method>
  <method name="Notifications"><arg type="s" direction="out"/></method>
  <method name="Click"><arg type="i" direction="in"/><arg type="i" direction="in"/></method>
  <method name="Screenshot"><arg type="s" direction="in"/></method>
</interface></node>`;
const SHOWN = 2; // the message tray's state once a banner has slid in

const buttonsOf = actor => actor.get_children().flatMap(
    c => (c.constructor.$gtype?.name === 'StButton' && c.label ? [c] : []).concat(buttonsOf(c)));
// Every text the banner shows, as the user reads it (markup rendered).
const textsOf = actor => actor.get_children().flatMap(
    c => (c instanceof Clutter.Text ? [c.get_text()] : []).concat(textsOf(c)));

export class Probe {
    constructor(Main) {
        this.Main = Main;
    }

    enable() {
        this.impl = Gio.DBusExportedObject.wrapJSObject(IFACE, this);
        this.impl.export(Gio.DBus.session, '/org/orvo/TestProbe');
        this.name = Gio.bus_own_name_on_connection(Gio.DBus.session, 'org.orvo.TestProbe', 0, null, null);
        // The shell starts in the overview; the journeys look at windows.
        const layout = this.Main.layoutManager;
        if (layout._startingUp)
            layout.connect('startup-complete', () => this.Main.overview.hide());
        else
            this.Main.overview.hide();
    }

    disable() {
        Gio.bus_unown_name(this.name);
        this.impl.unexport();
    }

    Windows() {
        const layout = this.Main.layoutManager, area = layout.getWorkAreaForMonitor(layout.primaryIndex);
        const windows = global.get_window_actors().map(a => a.meta_window).map(w => {
            const r = w.get_frame_rect(), app = Shell.WindowTracker.get_default().get_window_app(w);
            return {title: w.get_title(), app: app?.get_id(), focused: w.has_focus(), frame: [r.x, r.y, r.width, r.height]};
        });
        return JSON.stringify({windows, workArea: [area.x, area.y, area.width, area.height]});
    }

    // Each notification, and the banner's buttons by label with their centre
    // on the screen, which is known only once the banner has stopped moving.
    Notifications() {
        const tray = this.Main.messageTray, banner = tray._banner;
        const notifications = tray.getSources().flatMap(s => s.notifications.map(
            n => ({source: s.title, title: n.title})));
        const buttons = Object.fromEntries((banner ? buttonsOf(banner) : []).map(b => {
            const [x, y] = b.get_transformed_position(), [w, h] = b.get_transformed_size();
            return [b.label, tray._notificationState === SHOWN ? [Math.round(x + w / 2), Math.round(y + h / 2)] : null];
        }));
        return JSON.stringify({notifications, bannerButtons: buttons, bannerTexts: banner ? textsOf(banner) : []});
    }

    // A click by a virtual pointer: a real input event, which the shell
    // requires before it hands out an activation token.
    Click(x, y) {
        this.pointer ??= Clutter.get_default_backend().get_default_seat().create_virtual_device(
            Clutter.InputDeviceType.POINTER_DEVICE);
        const now = GLib.get_monotonic_time();
        this.pointer.notify_absolute_motion(now, x, y);
        this.pointer.notify_button(now, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED);
        this.pointer.notify_button(now, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED);
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
