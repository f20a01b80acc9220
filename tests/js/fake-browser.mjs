// A page's window and the extension API, as small as the extension's scripts and the page library
// use them, for the unit tests: window.postMessage dispatches in a later microtask, as a browser
// dispatches in a later task, and the background behind a content script's port is a function.
import fs from 'node:fs';
import vm from 'node:vm';
import { i18n } from './english.mjs';

export const root = new URL('../../', import.meta.url);

/** A window of the page at `origin` (its messages, its location); becomes globalThis.window.
 * @param {string} origin */
export function pageWindow(origin) {
  const url = new URL(origin);
  /** @type {Set<(event: object) => void>} */
  const listeners = new Set();
  const win = {
    location: { protocol: url.protocol, hostname: url.hostname, origin: url.origin },
    posted: /** @type {object[]} */ ([]),
    addEventListener: (/** @type {string} */ type, /** @type {(event: object) => void} */ f) => { if (type === 'message') listeners.add(f); },
    removeEventListener: (/** @type {string} */ type, /** @type {(event: object) => void} */ f) => { listeners.delete(f); },
    listening: () => listeners.size,
    postMessage(/** @type {object} */ data, /** @type {string} */ targetOrigin) {
      win.posted.push(data);
      if (targetOrigin !== url.origin) return;
      const event = { source: win, origin: url.origin, data: structuredClone(data) };
      queueMicrotask(() => { for (const f of [...listeners]) f(event); });
    },
  };
  globalThis.window = /** @type {any} */ (win);
  return win;
}

/** The extension's API for a content script: each port's request goes to `background(request,
 * post)`, whose post(message) answers on the port. */
export function extensionApi(background) {
  return {
    i18n,
    runtime: {
      getManifest: () => ({ version: '9.8.7' }),
      connect() {
        const onMessage = new Set();
        const onDisconnect = new Set();
        return {
          onMessage: { addListener: (f) => onMessage.add(f) },
          onDisconnect: { addListener: (f) => onDisconnect.add(f) },
          disconnect() {},
          postMessage(message) {
            if ('request' in message) {
              background(structuredClone(message.request), (answer) => queueMicrotask(() => { for (const f of onMessage) f(answer); }));
            }
          },
        };
      },
    },
  };
}

/** Runs the extension's content script (with its texts) in the current window. */
export function runContentScript(api) {
  globalThis.chrome = api;
  for (const file of ['extension/texts.js', 'extension/content.js']) {
    vm.runInThisContext(fs.readFileSync(new URL(file, root), 'utf8'), { filename: file });
  }
}
