// Gives the page window.chrome.webview, the object the web client talks to
// the shell through. It runs at the start of every document in every frame,
// before the page's own scripts.
(function () {
    // A document that already has the object (its own, or ours from an
    // earlier run) keeps it exactly as it is.
    if (window.chrome && window.chrome.webview) {
        return;
    }

    // Reachable only through the members below, so a page cannot reorder or
    // drop another script's listeners behind its back.
    var listeners = [];

    window.chrome = window.chrome || {};
    window.chrome.webview = {
        postMessage: function (m) {
            // The shell only ever receives text. Posting must never throw
            // into the page, not even where the shell's handler is missing.
            try {
                window.webkit.messageHandlers.orvo.postMessage(String(m));
            } catch (e) {
                // Dropped on purpose.
            }
        },
        addEventListener: function (_t, cb) {
            listeners.push(cb);
        },
        removeEventListener: function (_t, cb) {
            // A new array, so that a delivery under way keeps walking the
            // list it started with.
            listeners = listeners.filter(function (listener) {
                return listener !== cb;
            });
        },
        __deliver: function (data) {
            listeners.forEach(function (listener) {
                // Each listener gets its own event, and one that throws does
                // not keep the others from theirs.
                try {
                    listener({ data: data });
                } catch (e) {
                    // Dropped on purpose.
                }
            });
        },
    };
})();
