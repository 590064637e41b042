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
    if (handler) {
        const postMessage = handler === true ? (value) => posted.push(value) : handler;
        window.webkit = { messageHandlers: { orvo: { postMessage } } };
    }
    if (chrome !== absent) {
        window.chrome = chrome;
    }
    vm.createContext(window);
    const run = () => script.runInContext(window);
    run();
    return { window, posted, run, webview: window.chrome && window.chrome.webview };
}

// A webview whose listeners (named by `names`, each registered once) record
// what they receive into `log`; deliver(...) delivers each value in turn.
function recorded(names) {
    const { webview } = makeDocument();
    const log = [];
    const listeners = {};
    for (const name of names) {
        listeners[name] = (event) => log.push([name, event.data]);
        webview.addEventListener('message', listeners[name]);
    }
    const deliver = (...values) => values.forEach((value) => webview.__deliver(value));
    return { webview, log, listeners, deliver };
}

test('an existing webview is kept untouched, other window.chrome members are kept', () => {
    const own = { postMessage() {} };
    const chrome = { webview: own, runtime: 1 };
    makeDocument({ chrome });
    assert.equal(chrome.webview, own);
    assert.deepEqual(Object.keys(own), ['postMessage']);
    assert.deepEqual(Object.keys(chrome), ['webview', 'runtime']);

    const runtime = { id: 'x' };
    const { window, webview } = makeDocument({ chrome: { runtime } });
    assert.equal(window.chrome.runtime, runtime);
    assert.deepEqual(Object.keys(webview).sort(), ['__deliver', 'addEventListener', 'postMessage', 'removeEventListener']);
});

test('a missing or falsy window.chrome is replaced, leaving no other trace', () => {
    for (const chrome of [absent, null, undefined, 0, '']) {
        const { window } = makeDocument({ chrome });
        assert.deepEqual(Object.keys(window.chrome), ['webview']);
        assert.deepEqual(Object.keys(window).sort(), ['chrome', 'webkit', 'window']);
    }
});

test('postMessage hands the shell the text form of any value and returns nothing', () => {
    const { webview, posted } = makeDocument();
    const values = ['orvo-status:Ready', 42, {}, { toString: () => 'custom text' }, [1, 2], null, undefined];
    assert.ok(values.every((value) => webview.postMessage(value) === undefined));
    webview.postMessage();
    assert.deepEqual(posted, ['orvo-status:Ready', '42', '[object Object]', 'custom text', '1,2', 'null', 'undefined', 'undefined']);
});

test('postMessage throws nothing without a handler, from a handler or for a value without text', () => {
    const { window, webview } = makeDocument({ handler: false });
    for (const webkit of [undefined, { messageHandlers: {} }, { messageHandlers: { orvo: {} } }]) {
        window.webkit = webkit;
        assert.doesNotThrow(() => webview.postMessage('orvo-call:Ann'));
    }
    const failing = makeDocument({
        handler: () => {
            throw new Error('handler failed');
        },
    });
    assert.doesNotThrow(() => failing.webview.postMessage('orvo-status:x'));

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
    for (const [name, type] of [['a', 'message'], ['b', 'anything'], ['c', undefined]]) {
        webview.addEventListener(type, (e) => log.push([name, e.data]));
    }
    assert.equal(webview.__deliver('orvo-cmd:answer'), undefined);
    assert.deepEqual(log, [['a', 'orvo-cmd:answer'], ['b', 'orvo-cmd:answer'], ['c', 'orvo-cmd:answer']]);
});

test('a callback added twice is called twice, and one removal takes both', () => {
    const { webview, log, listeners, deliver } = recorded(['a', 'b']);
    webview.addEventListener('message', listeners.a);
    deliver(1);
    webview.removeEventListener('other type', listeners.a);
    deliver(2);
    webview.removeEventListener('message', () => {});
    deliver(3);
    assert.deepEqual(log, [['a', 1], ['b', 1], ['a', 1], ['b', 2], ['b', 3]]);
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
    webview.__deliver('orvo-cmd:answer');
    assert.notEqual(events[0], events[2]);
    assert.deepEqual(events[1], { data: 'orvo-cmd:decline' });
    assert.deepEqual(events[3], { data: 'orvo-cmd:answer' });
});

test('a throwing listener or one that is no function does not stop the rest, and __deliver never throws', () => {
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

test('removal and addition during a delivery take effect with the next delivery', () => {
    const { webview, log, deliver } = recorded(['a']);
    const b = (e) => log.push(['b', e.data]);
    const c = (e) => log.push(['c', e.data]);
    webview.addEventListener('message', function change() {
        // Once: takes away b, whose turn is still to come, and itself; adds c.
        webview.removeEventListener('message', b);
        webview.removeEventListener('message', change);
        webview.addEventListener('message', c);
    });
    webview.addEventListener('message', b);
    deliver(1, 2);
    assert.deepEqual(log, [['a', 1], ['b', 1], ['a', 2], ['c', 2]]);

    // An addition alone, with no removal that gives the list a new array:
    // the listener added to the list being walked still waits its turn.
    const late = recorded(['a']);
    late.webview.addEventListener('message', (e) => {
        if (e.data === 1) late.webview.addEventListener('message', (ev) => late.log.push(['d', ev.data]));
    });
    late.deliver(1, 2);
    assert.deepEqual(late.log, [['a', 1], ['a', 2], ['d', 2]]);
});

test('a second run in the same document changes nothing, and documents do not share listeners', () => {
    const { window, webview, run } = makeDocument();
    const log = [];
    webview.addEventListener('message', (e) => log.push(e.data));
    const chrome = window.chrome;
    run();
    assert.equal(window.chrome, chrome);
    assert.equal(window.chrome.webview, webview);
    window.chrome.webview.__deliver('orvo-cmd:answer');
    makeDocument().webview.__deliver('orvo-cmd:decline');
    assert.deepEqual(log, ['orvo-cmd:answer']);
});
