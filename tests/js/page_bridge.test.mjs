// The page bridge script, run against a bare window the way the web view runs
// it: as a classic script at the start of a document whose global is window.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const scriptPath =
    process.env.ORVO_PAGE_BRIDGE_JS ||
    fileURLToPath(new URL('../../src/bridge/page_bridge.js', import.meta.url));
const script = new vm.Script(readFileSync(scriptPath, 'utf8'), { filename: 'page_bridge.js' });

const absent = Symbol('absent');

// A fresh document. `handler` is the shell's message handler: true for a
// recording one, false for none, or a function to use as its postMessage.
function makeDocument({ handler = true, chrome = absent } = {}) {
    const posted = [];
    const window = {};
    window.window = window;
    if (handler === true) {
        window.webkit = { messageHandlers: { orvo: { postMessage: (value) => posted.push(value) } } };
    } else if (typeof handler === 'function') {
        window.webkit = { messageHandlers: { orvo: { postMessage: handler } } };
    }
    if (chrome !== absent) {
        window.chrome = chrome;
    }
    vm.createContext(window);
    const run = () => script.runInContext(window);
    run();
    return { window, posted, run, webview: window.chrome && window.chrome.webview };
}

// Registers listeners that record what they receive into one shared log.
function recorder(webview, names) {
    const log = [];
    const listeners = {};
    for (const name of names) {
        listeners[name] = (event) => log.push([name, event.data]);
        webview.addEventListener('message', listeners[name]);
    }
    return { log, listeners };
}

test('a document that already has a webview keeps it untouched', () => {
    const own = { postMessage() {} };
    const chrome = { webview: own, runtime: 1 };
    const { window } = makeDocument({ chrome });
    assert.equal(window.chrome, chrome);
    assert.equal(window.chrome.webview, own);
    assert.deepEqual(Object.keys(own), ['postMessage']);
    assert.deepEqual(Object.keys(chrome), ['webview', 'runtime']);
});

test('an existing window.chrome keeps its other members and gains the webview', () => {
    const runtime = { id: 'x' };
    const chrome = { runtime };
    const { window, webview } = makeDocument({ chrome });
    assert.equal(window.chrome, chrome);
    assert.equal(window.chrome.runtime, runtime);
    assert.deepEqual(Object.keys(webview).sort(), [
        '__deliver',
        'addEventListener',
        'postMessage',
        'removeEventListener',
    ]);
});

test('a missing or falsy window.chrome is replaced by a new object', () => {
    for (const chrome of [absent, null, undefined, 0, '']) {
        const { window, webview } = makeDocument({ chrome });
        assert.equal(typeof window.chrome, 'object');
        assert.deepEqual(Object.keys(window.chrome), ['webview']);
        assert.equal(typeof webview.postMessage, 'function');
        // The script leaves no other trace in the document.
        assert.deepEqual(Object.keys(window).sort(), ['chrome', 'webkit', 'window']);
    }
});

test('postMessage hands the shell the text form of any value', () => {
    const { webview, posted } = makeDocument();
    const custom = { toString: () => 'custom text' };
    const results = [
        webview.postMessage('orvo-status:Ready'),
        webview.postMessage(42),
        webview.postMessage({}),
        webview.postMessage(custom),
        webview.postMessage([1, 2]),
        webview.postMessage(null),
        webview.postMessage(undefined),
        webview.postMessage(),
    ];
    assert.deepEqual(posted, [
        'orvo-status:Ready',
        '42',
        '[object Object]',
        'custom text',
        '1,2',
        'null',
        'undefined',
        'undefined',
    ]);
    assert.ok(results.every((r) => r === undefined));
});

test('postMessage without the shell handler does nothing and throws nothing', () => {
    const { window, webview } = makeDocument({ handler: false });
    assert.equal(webview.postMessage('orvo-call:Ann'), undefined);
    window.webkit = { messageHandlers: {} };
    assert.doesNotThrow(() => webview.postMessage('orvo-call:Ann'));
    window.webkit = { messageHandlers: { orvo: {} } };
    assert.doesNotThrow(() => webview.postMessage('orvo-call:Ann'));
});

test('postMessage swallows a throwing handler and a value that cannot become text', () => {
    const { webview } = makeDocument({
        handler: () => {
            throw new Error('handler failed');
        },
    });
    assert.doesNotThrow(() => webview.postMessage('orvo-status:x'));

    const { webview: other, posted } = makeDocument();
    const hostile = {
        toString() {
            throw new Error('no text');
        },
    };
    assert.doesNotThrow(() => other.postMessage(hostile));
    assert.doesNotThrow(() => other.postMessage(Object.create(null)));
    assert.deepEqual(posted, []);
});

test('listeners are called in registration order, whatever type they were given', () => {
    const { webview } = makeDocument();
    const log = [];
    webview.addEventListener('message', (e) => log.push(['a', e.data]));
    webview.addEventListener('anything', (e) => log.push(['b', e.data]));
    webview.addEventListener(undefined, (e) => log.push(['c', e.data]));
    assert.equal(webview.__deliver('orvo-cmd:answer'), undefined);
    assert.deepEqual(log, [
        ['a', 'orvo-cmd:answer'],
        ['b', 'orvo-cmd:answer'],
        ['c', 'orvo-cmd:answer'],
    ]);
});

test('a callback added twice is called twice, and one removal takes both', () => {
    const { webview } = makeDocument();
    const { log, listeners } = recorder(webview, ['a', 'b']);
    webview.addEventListener('message', listeners.a);
    webview.__deliver(1);
    assert.deepEqual(log.splice(0), [
        ['a', 1],
        ['b', 1],
        ['a', 1],
    ]);
    webview.removeEventListener('other type', listeners.a);
    webview.__deliver(2);
    assert.deepEqual(log.splice(0), [['b', 2]]);
    webview.removeEventListener('message', () => {});
    webview.__deliver(3);
    assert.deepEqual(log, [['b', 3]]);
});

test('every listener gets a fresh event holding only the data', () => {
    const { webview } = makeDocument();
    const events = [];
    webview.addEventListener('message', (event) => {
        events.push(event);
        event.data = 'changed';
        event.extra = true;
    });
    webview.addEventListener('message', (event) => events.push({ ...event }));
    webview.__deliver('orvo-cmd:decline');
    assert.notEqual(events[0], events[1]);
    assert.deepEqual(Object.keys(events[1]), ['data']);
    assert.equal(events[1].data, 'orvo-cmd:decline');

    webview.__deliver('orvo-cmd:answer');
    assert.notEqual(events[2], events[0]);
    assert.deepEqual(Object.keys(events[3]), ['data']);
    assert.equal(events[3].data, 'orvo-cmd:answer');
});

test('a throwing listener or a listener that is no function does not stop the rest', () => {
    const { webview } = makeDocument();
    const log = [];
    webview.addEventListener('message', () => {
        throw new Error('listener failed');
    });
    for (const notAFunction of [null, undefined, 42, {}]) {
        webview.addEventListener('message', notAFunction);
    }
    webview.addEventListener('message', (e) => log.push(e.data));
    assert.doesNotThrow(() => webview.__deliver('orvo-cmd:answer'));
    assert.deepEqual(log, ['orvo-cmd:answer']);
});

test('removal during a delivery takes effect with the next delivery', () => {
    const { webview } = makeDocument();
    const log = [];
    const second = (e) => log.push(['second', e.data]);
    webview.addEventListener('message', (e) => {
        log.push(['first', e.data]);
        webview.removeEventListener('message', second);
    });
    webview.addEventListener('message', second);
    webview.__deliver(1);
    webview.__deliver(2);
    assert.deepEqual(log, [
        ['first', 1],
        ['second', 1],
        ['first', 2],
    ]);
});

test('a listener added during a delivery first hears the next one', () => {
    const { webview } = makeDocument();
    const log = [];
    let added = false;
    webview.addEventListener('message', (e) => {
        log.push(['first', e.data]);
        if (!added) {
            added = true;
            webview.addEventListener('message', (later) => log.push(['late', later.data]));
        }
    });
    webview.__deliver(1);
    webview.__deliver(2);
    assert.deepEqual(log, [
        ['first', 1],
        ['first', 2],
        ['late', 2],
    ]);
});

test('removing and adding in one delivery keeps that delivery on its starting list', () => {
    const { webview } = makeDocument();
    const log = [];
    const b = (e) => log.push(['b', e.data]);
    const c = (e) => log.push(['c', e.data]);
    const a = (e) => {
        log.push(['a', e.data]);
        webview.removeEventListener('message', a);
        webview.addEventListener('message', c);
    };
    webview.addEventListener('message', a);
    webview.addEventListener('message', b);
    webview.__deliver(1);
    webview.__deliver(2);
    assert.deepEqual(log, [
        ['a', 1],
        ['b', 1],
        ['b', 2],
        ['c', 2],
    ]);
});

test('a second run in the same document changes nothing', () => {
    const { window, webview, run } = makeDocument();
    const { log } = recorder(webview, ['a']);
    const chrome = window.chrome;
    run();
    assert.equal(window.chrome, chrome);
    assert.equal(window.chrome.webview, webview);
    window.chrome.webview.__deliver('orvo-cmd:answer');
    assert.deepEqual(log, [['a', 'orvo-cmd:answer']]);
});

test('each document has its own listeners', () => {
    const top = makeDocument();
    const frame = makeDocument();
    const { log } = recorder(frame.webview, ['frame']);
    top.webview.__deliver('orvo-cmd:answer');
    assert.deepEqual(log, []);
});
