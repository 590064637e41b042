// The journeys' probe as GNOME Shell 43 loads extensions: a legacy script,
// which brings in the shared module (gnome_probe45@orvo.test/probe.js) by its
// file address.
const Me = imports.misc.extensionUtils.getCurrentExtension();
const Main = imports.ui.main;

function init() {
    let probe = null;
    return {
        enable() {
            import(Me.dir.get_child('probe.js').get_uri()).then(m => {
                probe = new m.Probe(Main);
                probe.enable();
            }).catch(logError);
        },
        disable() {
            probe?.disable();
            probe = null;
        },
    };
}
