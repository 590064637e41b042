// The isolated half of the message transport (see message_transport.js). The
// shell appends the call (eventName, linePrefix). This world's console,
// JSON and origin are its own: page scripts can neither see the prefix nor
// change what this script reads.
(function (eventName, linePrefix) {
    'use strict';
    // The shell installs this script twice (see installScripts); a document
    // hears each post once.
    if (self.orvoCarrierInstalled) {
        return;
    }
    self.orvoCarrierInstalled = true;
    try {
        const log = console.log.bind(console);
        const stringify = JSON.stringify;
        const onPost = function (event) {
            // Qt 6.8 may run the two installed copies of this script in two
            // isolated worlds, where the flag above does not reach: the first
            // copy to hear a post keeps it from the other.
            event.stopImmediatePropagation();
            if (typeof event.detail === 'string') {
                log(linePrefix + stringify([String(self.origin), event.detail]));
            }
        };
        const listen = function () {
            document.addEventListener(eventName, onPost, true);
        };
        listen();
        // The shell learns when a document of this origin comes and goes, so
        // that a permission prompt whose asking frames are all gone goes too.
        const presence = function (present) {
            log(linePrefix + stringify([String(self.origin), present ? 1 : 0]));
        };
        presence(true);
        addEventListener('pagehide', function () {
            presence(false);
        }, true);
        // document.open() drops every listener of the document; the page then
        // writes new content into it, which brings the listener back.
        new MutationObserver(listen).observe(document, {childList: true});
    } catch (e) {
        // Without the carrier this frame's posts go nowhere.
    }
})
