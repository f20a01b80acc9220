// The consent window: names the origin and what it asks for; each button sends the choice to the
// background, which closes the window.
import { PURPOSES } from './rules.js';

const api = globalThis.browser ?? globalThis.chrome;
const query = new URLSearchParams(window.location.search);
const ticket = query.get('ticket');
document.getElementById('origin').textContent = query.get('origin');
document.getElementById('purpose').textContent = PURPOSES[query.get('purpose')] ?? 'a device';
document.getElementById('command').textContent = query.get('command');
for (const choice of ['once', 'always', 'refuse']) {
  document.getElementById(choice).addEventListener('click', () => {
    api.runtime.sendMessage({ consent: { ticket, choice } });
  });
}
document.getElementById('manage').addEventListener('click', (event) => {
  event.preventDefault();
  api.runtime.openOptionsPage();
});
document.body.dataset.ready = 'true';
