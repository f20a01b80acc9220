// Carries requests between the page (window.postMessage, see web/veldra.js) and the background,
// one port per request. Only the page's own window is listened to; answers go to the page's origin.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const version = api.runtime.getManifest().version;
  const origin = window.location.origin;
  const local = window.location.protocol === 'https:'
    || (window.location.protocol === 'http:' && ['localhost', '127.0.0.1'].includes(window.location.hostname));
  const reply = (message) => window.postMessage(message, origin);

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.origin !== origin) return;
    const data = event.data;
    if (typeof data !== 'object' || data === null) return;
    const id = data.id;
    if (data.veldra === 'ping') {
      reply({ veldra: 'pong', id, version });
      return;
    }
    if (data.veldra !== 'request') return;
    if (!local) {
      reply({ veldra: 'failure', id, failure: { name: 'OriginRefused', message: `Only https sites (and http://localhost for development) may use signing devices, not ${origin}` } });
      return;
    }
    let port;
    try {
      port = api.runtime.connect({ name: 'veldra-request' });
    } catch (e) {
      reply({ veldra: 'failure', id, failure: { name: 'ExtensionMissing', message: `The Veldra extension cannot be reached (${e.message})` } });
      return;
    }
    let done = false;
    port.onMessage.addListener((message) => {
      if (message.started) reply({ veldra: 'started', id });
      else if ('answer' in message) { done = true; reply({ veldra: 'answer', id, answer: message.answer }); }
      else if (message.failure) { done = true; reply({ veldra: 'failure', id, failure: message.failure }); }
    });
    port.onDisconnect.addListener(() => {
      if (!done) reply({ veldra: 'failure', id, failure: { name: 'HostFailed', message: 'The extension closed the request without an answer' } });
    });
    port.postMessage({ request: data.request });
  });
})();
