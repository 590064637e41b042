// The page side of the message transport, in two scripts that run at
// document creation in every frame, before the page's own scripts.
//
// The stub runs in the page's own script world and gives the frame
// window.webkit.messageHandlers.<name>.postMessage for each registered name.
// It knows no secret: a post becomes a DOM event on the frame's document that
// carries the text [name, body or null] as JSON.
//
// The carrier runs in an isolated script world that page scripts cannot
// reach: it has its own global objects, its own console and its own view of
// the frame's origin. It hears those events and writes one console line per
// post, linePrefix + JSON([frame origin, posted text]). The shell knows its
// lines by that prefix, which only the carrier's source holds, so a page can
// neither forge a line nor claim another frame's origin.
//
// Console lines are the one channel that reaches the shell from every frame
// kind (cross-site, sandboxed, srcdoc, data:, blob:) and keeps their order.

// The stub; the shell appends the call (handlerNames, eventName).
(function (handlerNames, eventName) {
    'use strict';
    try {
        // Everything used after this point is captured now, before a page
        // script can replace it; postMessage later touches no global.
        const doc = document;
        const dispatch = EventTarget.prototype.dispatchEvent;
        const call = Function.prototype.call.bind(dispatch);
        const Custom = CustomEvent;
        const stringify = JSON.stringify;
        const freeze = Object.freeze;
        const defineProperty = Object.defineProperty;
        const create = Object.create;

        // JSON text is plain ASCII for controls and lone surrogates, so NUL,
        // line breaks and unpaired halves of a pair arrive exactly as sent.
        const send = function (name, value) {
            const text = stringify([name, typeof value === 'string' ? value : null]);
            call(doc, new Custom(eventName, {detail: text}));
        };

        const makeHandler = function (name) {
            return freeze({
                postMessage(value) {
                    try {
                        send(name, value);
                    } catch (e) {
                        // A page must never see an exception from posting.
                    }
                },
            });
        };

        const handlers = create(null);
        for (let i = 0; i < handlerNames.length; ++i) {
            const name = handlerNames[i];
            defineProperty(handlers, name, {
                value: makeHandler(name),
                enumerable: true,
            });
        }
        const webkit = create(null);
        defineProperty(webkit, 'messageHandlers', {value: freeze(handlers), enumerable: true});
        defineProperty(window, 'webkit', {value: freeze(webkit), enumerable: false});
    } catch (e) {
        // A document that already owns window.webkit keeps it.
    }
})
