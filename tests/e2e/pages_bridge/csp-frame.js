// Runs under a policy that allows only same-origin script files and demands
// Trusted Types for every script sink.
window.chrome.webview.postMessage('orvo-status:In a call from ' + new URLSearchParams(location.search).get('kind'));
