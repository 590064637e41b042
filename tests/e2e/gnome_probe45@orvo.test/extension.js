// The journeys' probe (probe.js) as GNOME Shell 45 and later load extensions.
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Probe} from './probe.js';

export default class extends Extension {
    enable() {
        this.probe = new Probe(Main);
        this.probe.enable();
    }

    disable() {
        this.probe.disable();
        this.probe = null;
    }
}
