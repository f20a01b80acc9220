// @ts-check
// Carries requests between the page (window.postMessage, see web/veldra.js) and the background,
// one port per request, and acknowledges each request at once ("accepted"), so that the page knows
// the extension is there without asking first. Only the page's own window is listened to; answers
// go to the page's origin. A page that may not ask (not https, nor http on this computer) gets no
// answer at all, not even to a ping. While a request waits (for the consent window, a host slot or
// the host) the port carries a keep-alive message now and then, so that the browser does not stop
// the background of an extension that looks idle to it.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const texts = globalThis.veldraTexts;
  const { protocol, hostname, origin } = window.location;
  const served = protocol === 'https:' || (protocol === 'http:' && ['localhost', '127.0.0.1'].includes(hostname));
  if (!served) return;
  const version = api.runtime.getManifest().version;
  const KEEP_ALIVE_MS = 10000;
  // Requests of this page carried at once; the background keeps the same bound per tab, and a page
  // past it opens no more ports.
  const PAGE_WAITING = 16;
  let carried = 0;
  // The host takes at most 1 MiB of request; a text takes at least a byte for each UTF-16 unit, so
  // a larger request is known at once, before the browser copies it to the background.
  const MAX_REQUEST_BYTES = 1024 * 1024;
  /** @param {unknown} request */
  const leastBytes = (request) => (typeof request === 'object' && request !== null
    ? Object.entries(request).reduce((n, [name, value]) => n + name.length + (typeof value === 'string' ? value.length : 0), 0)
    : 0);
  /** @param {object} message */
  const reply = (message) => window.postMessage(message, origin);

  /** @param {unknown} id @param {unknown} request */
  function carry(id, request) {
    /** @param {string} name @param {string} message */
    const fail = (name, message) => reply({ veldra: 'failure', id, failure: { name, message } });
    const least = leastBytes(request);
    if (least > MAX_REQUEST_BYTES) {
      fail('TooLarge', texts.tooLarge(least, MAX_REQUEST_BYTES));
      return;
    }
    if (carried >= PAGE_WAITING) {
      fail('Busy', texts.tooManyWaiting(PAGE_WAITING));
      return;
    }
    let port;
    try {
      port = api.runtime.connect({ name: 'veldra-request' });
    } catch (e) {
      fail('ExtensionMissing', texts.extensionUnreachable(e.message));
      return;
    }
    let done = false;
    carried++;
    const keepAlive = setInterval(() => { if (!done) port.postMessage({ keepAlive: true }); }, KEEP_ALIVE_MS);
    const finish = () => {
      if (done) return;
      done = true;
      carried--;
      clearInterval(keepAlive);
    };
    port.onMessage.addListener((message) => {
      if (message.started) reply({ veldra: 'started', id });
      else if ('answer' in message) { finish(); reply({ veldra: 'answer', id, answer: message.answer }); }
      else if (message.failure) { finish(); reply({ veldra: 'failure', id, failure: message.failure }); }
    });
    port.onDisconnect.addListener(() => {
      if (!done) {
        finish();
        fail('HostFailed', texts.requestClosed);
      }
    });
    try {
      port.postMessage({ request });
      reply({ veldra: 'accepted', id });
    } catch (e) {
      // The browser carries at most 64 MiB in one message (and nothing that is not plain data).
      finish();
      port.disconnect();
      fail(/size|large/i.test(String(e?.message)) ? 'TooLarge' : 'BadRequest', texts.cannotCarry(String(e?.message ?? e)));
    }
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.origin !== origin) return;
    const data = event.data;
    if (typeof data !== 'object' || data === null) return;
    if (data.veldra === 'ping') reply({ veldra: 'pong', id: data.id, version });
    else if (data.veldra === 'request') carry(data.id, data.request);
  });
})();
