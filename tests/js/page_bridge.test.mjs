// The page bridge script, run against a bare window the way the web view runs
// it: as a classic script at the start of a document whose global is window.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const scriptPath =
    process.env.ORVO_PAGE_BRIDGE_JS || fileURLToPath(new URL('../../src/bridge/page_bridge.js', import.meta.url));
const script = new vm.Script(readFileSync(scriptPath, 'utf8'), { filename: 'page_bridge.js' });

// A fresh document; `postMessage` is the shell's handler, a recording one unless given.
function makeDocument({ chrome, postMessage } = {}) {
    const posted = [];
    postMessage ??= (value) => posted.push(value);
    const window = { webkit: { messageHandlers: { orvo: { postMessage } } } };
    window.window = window;
    if (chrome !== undefined) window.chrome = chrome;
    vm.createContext(window);
    const run = () => script.runInContext(window);
    run();
    return { window, posted, run, webview: window.chrome.webview };
}

test('a webview the document has is kept, and so are the other members of window.chrome', () => {
    const own = { postMessage() {} };
    const chrome = { webview: own, runtime: 1 };
    makeDocument({ chrome });
    assert.deepEqual(chrome, { webview: own, runtime: 1 });
    for (const falsy of [null, 0, '']) assert.deepEqual(Object.keys(makeDocument({ chrome: falsy }).window.chrome), ['webview']);
    const { window, webview, run } = makeDocument({ chrome: { runtime: 2 } });
    run();
    assert.equal(window.chrome.webview, webview);
    assert.equal(window.chrome.runtime, 2);
});

test('postMessage hands the shell text, returns nothing and never throws', () => {
    const { webview, posted, window } = makeDocument();
    for (const value of ['orvo-status:Ready', 42, { toString: () => 'custom' }, [1, 2], null, undefined])
        assert.equal(webview.postMessage(value), undefined);
    assert.doesNotThrow(() => webview.postMessage({ toString() { throw new Error('no text'); } }));
    assert.doesNotThrow(() => webview.postMessage(Object.create(null)));
    assert.deepEqual(posted, ['orvo-status:Ready', '42', 'custom', '1,2', 'null', 'undefined']);
    for (const webkit of [undefined, { messageHandlers: {} }, { messageHandlers: { orvo: {} } }]) {
        window.webkit = webkit;
        assert.doesNotThrow(() => webview.postMessage('orvo-call:Ann'));
    }
    const failing = makeDocument({ postMessage: () => { throw new Error('handler failed'); } });
    assert.doesNotThrow(() => failing.webview.postMessage('orvo-status:x'));
});

test('every listener gets its own event in order, whatever the others do', () => {
    const { webview } = makeDocument();
    const log = [];
    const a = (e) => log.push(['a', e.data]);
    const b = (e) => {
        log.push(['b', e.data]);
        e.data = 'changed';
    };
    webview.addEventListener('message', a);
    webview.addEventListener('anything', () => { throw new Error('listener failed'); });
    for (const notAFunction of [null, 42, {}]) webview.addEventListener('message', notAFunction);
    webview.addEventListener(undefined, b);
    webview.addEventListener('message', a);
    assert.equal(webview.__deliver('orvo-cmd:answer'), undefined);
    // One removal takes every registration of a callback, whatever the type.
    webview.removeEventListener('other', a);
    webview.__deliver('orvo-cmd:decline');
    assert.deepEqual(log, [['a', 'orvo-cmd:answer'], ['b', 'orvo-cmd:answer'], ['a', 'orvo-cmd:answer'], ['b', 'orvo-cmd:decline']]);
    // Another document has listeners of its own.
    makeDocument().webview.__deliver('orvo-cmd:answer');
    assert.equal(log.length, 4);
});

test('removal and addition during a delivery take effect with the next delivery', () => {
    const { webview } = makeDocument();
    const log = [];
    const b = (e) => log.push(['b', e.data]);
    const c = (e) => log.push(['c', e.data]);
    webview.addEventListener('message', function change() {
        webview.removeEventListener('message', b);
        webview.removeEventListener('message', change);
        webview.addEventListener('message', c);
    });
    webview.addEventListener('message', b);
    webview.__deliver(1);
    webview.__deliver(2);
    assert.deepEqual(log, [['b', 1], ['c', 2]]);
});
