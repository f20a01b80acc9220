// Test extension: the driver evaluates these helpers in this service worker. None of them rejects;
// each resolves to a plain record the driver can check.

// One request through chrome.runtime.sendNativeMessage, timed from the call to its callback:
// {ok: true, value, ms} | {ok: false, error, ms} (chrome.runtime.lastError) |
// {ok: false, thrown} (the call itself threw) | {ok: false, timeout: true, ms} (no callback in time).
globalThis.nmSend = (host, message, timeoutMs = 15000) => new Promise((resolve) => {
  const start = performance.now();
  const timer = setTimeout(() => resolve({ ok: false, timeout: true, ms: performance.now() - start }), timeoutMs);
  try {
    chrome.runtime.sendNativeMessage(host, message, (value) => {
      const ms = performance.now() - start;
      clearTimeout(timer);
      const err = chrome.runtime.lastError;
      resolve(err ? { ok: false, error: err.message, ms } : { ok: true, value, ms });
    });
  } catch (e) {
    clearTimeout(timer);
    resolve({ ok: false, thrown: String(e && e.message || e) });
  }
});

// The same request several times, one after the other; returns every result.
globalThis.nmSendMany = async (host, message, count, timeoutMs = 15000) => {
  const results = [];
  for (let i = 0; i < count; i++) results.push(await globalThis.nmSend(host, message, timeoutMs));
  return results;
};

// Messages on one chrome.runtime.connectNative port: {got: [answers], disconnect: error text or
// null, timeout: bool}. Resolves when the port disconnects or after timeoutMs.
globalThis.nmConnect = (host, messages, timeoutMs = 15000) => new Promise((resolve) => {
  const got = [];
  let port;
  const timer = setTimeout(() => { try { port.disconnect(); } catch {} resolve({ got, disconnect: null, timeout: true }); }, timeoutMs);
  try {
    port = chrome.runtime.connectNative(host);
  } catch (e) {
    clearTimeout(timer);
    resolve({ got, thrown: String(e && e.message || e) });
    return;
  }
  port.onMessage.addListener((m) => got.push(m));
  port.onDisconnect.addListener(() => {
    clearTimeout(timer);
    resolve({ got, disconnect: chrome.runtime.lastError ? chrome.runtime.lastError.message : '', timeout: false });
  });
  for (const m of messages) port.postMessage(m);
});
