// @ts-check
// The consent window: names the site, what its request will do and with which device; a button
// sends the choice to the background over the window's port, which closes the window. The port
// stays open while the window is shown (closing the window refuses the request) and carries a
// keep-alive message now and then, so that the browser does not stop the background meanwhile.
import './texts.js';
import { fillMessage, localize } from './localize.js';

const api = globalThis.browser ?? globalThis.chrome;
const texts = globalThis.veldraTexts;
const KEEP_ALIVE_MS = 10000;
const query = new URLSearchParams(window.location.search);
const command = query.get('command') ?? '';
/** @param {string} id */
const element = (id) => /** @type {HTMLElement} */ (document.getElementById(id));
localize(document, 'consentTitle');
element('origin').textContent = query.get('origin') ?? '';
element('operation').textContent = texts.operation(command);
element('purpose').textContent = texts.purpose(query.get('purpose') ?? '');
fillMessage(element('asks'), 'consentAsks', [element('origin'), element('operation')]);
fillMessage(element('device'), 'consentDevice', [element('purpose')]);
fillMessage(element('note'), 'consentNote', [element('manage')]);

const port = api.runtime.connect({ name: 'veldra-consent' });
port.postMessage({ ticket: query.get('ticket') });
setInterval(() => port.postMessage({ keepAlive: true }), KEEP_ALIVE_MS);
for (const choice of ['once', 'always', 'refuse']) {
  document.getElementById(choice)?.addEventListener('click', () => port.postMessage({ choice }));
}
document.getElementById('manage')?.addEventListener('click', (event) => {
  event.preventDefault();
  api.runtime.openOptionsPage();
});
document.body.dataset.ready = 'true';
