// The page side of the message transport. It runs at document creation in
// every frame, before the page's own scripts, and gives the frame
// window.webkit.messageHandlers.<name>.postMessage for each registered name.
//
// The shell appends the call: (handlerNames, linePrefix). Every posted value
// leaves as one console line, linePrefix + JSON([name, body or null]);
// the shell recognises its own lines by that private prefix and by the
// script's source id, so a page's console output is never taken for a message.
// Console lines are the one channel that reaches the shell from every frame
// kind (cross-site, sandboxed, srcdoc, data:, blob:) and keeps their order.
(function (handlerNames, linePrefix) {
    'use strict';
    try {
        // Everything used after this point is captured now, before a page
        // script can replace it; postMessage later touches no global.
        const log = console.log.bind(console);
        const stringify = JSON.stringify;
        const freeze = Object.freeze;
        const defineProperty = Object.defineProperty;
        const create = Object.create;

        // JSON text is plain ASCII for controls and lone surrogates, so NUL,
        // line breaks and unpaired halves of a pair arrive exactly as sent.
        const send = function (name, value) {
            log(linePrefix + stringify([name, typeof value === 'string' ? value : null]));
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
