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

// A fresh document whose shell handler records what it is posted.
function makeDocument(chrome) {
    const posted = [];
    const window = { webkit: { messageHandlers: { orvo: { postMessage: (value) => posted.push(value) } } } };
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
    makeDocument(chrome);
    assert.deepEqual(chrome, { webview: own, runtime: 1 });
    const { window, webview, run } = makeDocument({ runtime: 2 });
    run();
    assert.equal(window.chrome.webview, webview);
    assert.equal(window.chrome.runtime, 2);
});

test('postMessage hands the shell text, returns nothing and never throws', () => {
    const { webview, posted, window } = makeDocument();
    for (const value of ['orvo-status:Ready', 42, { toString: () => 'custom' }, null, undefined])
        assert.equal(webview.postMessage(value), undefined);
    assert.doesNotThrow(() => webview.postMessage({ toString() { throw new Error('no text'); } }));
    assert.deepEqual(posted, ['orvo-status:Ready', '42', 'custom', 'null', 'undefined']);
    window.webkit = { messageHandlers: {} }; // the shell's handler is missing
    assert.doesNotThrow(() => webview.postMessage('orvo-call:Ann'));
});

test('every listener gets its own event in order, whatever the others do or change', () => {
    const { webview } = makeDocument();
    const log = [];
    const a = (e) => log.push(['a', e.data]);
    const b = (e) => {
        log.push(['b', e.data]);
        e.data = 'changed';
    };
    webview.addEventListener('message', a);
    webview.addEventListener('anything', () => { throw new Error('listener failed'); });
    webview.addEventListener(undefined, b);
    webview.addEventListener('message', a);
    assert.equal(webview.__deliver('orvo-cmd:answer'), undefined);
    // One removal takes every registration of a callback, whatever the type.
    webview.removeEventListener('other', a);
    webview.__deliver('orvo-cmd:decline');
    assert.deepEqual(log, [['a', 'orvo-cmd:answer'], ['b', 'orvo-cmd:answer'], ['a', 'orvo-cmd:answer'], ['b', 'orvo-cmd:decline']]);
    // Removal and addition during a delivery take effect with the next delivery.
    const other = makeDocument().webview;
    const c = (e) => log.push(['c', e.data]);
    other.addEventListener('message', function change() {
        other.removeEventListener('message', a);
        other.removeEventListener('message', change);
        other.addEventListener('message', c);
    });
    other.addEventListener('message', a);
    other.__deliver(1);
    other.__deliver(2);
    assert.deepEqual(log.slice(4), [['a', 1], ['c', 2]]);
});
