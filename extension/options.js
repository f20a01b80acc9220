// @ts-check
// The options page: lists the kept choices per origin and device, and revokes them.
import './texts.js';
import { localize } from './localize.js';
import { CONSENT_KEY } from './rules.js';

const api = globalThis.browser ?? globalThis.chrome;
const texts = globalThis.veldraTexts;

async function revoke(origin, purpose) {
  const all = (await api.storage.local.get(CONSENT_KEY))[CONSENT_KEY] ?? {};
  if (all[origin]) {
    delete all[origin][purpose];
    if (Object.keys(all[origin]).length === 0) delete all[origin];
  }
  await api.storage.local.set({ [CONSENT_KEY]: all });
}

async function show() {
  const all = (await api.storage.local.get(CONSENT_KEY))[CONSENT_KEY] ?? {};
  const body = document.getElementById('choices');
  body.replaceChildren();
  for (const origin of Object.keys(all).sort()) {
    for (const [purpose, choice] of Object.entries(all[origin])) {
      const row = document.createElement('tr');
      row.dataset.origin = origin;
      row.dataset.purpose = purpose;
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = texts.message('optionsRevoke');
      button.className = 'revoke';
      button.addEventListener('click', () => revoke(origin, purpose));
      for (const text of [origin, texts.purpose(purpose), choice === 'always' ? texts.message('consentAlways') : texts.message('consentRefuse')]) {
        const cell = document.createElement('td');
        cell.textContent = text;
        row.append(cell);
      }
      const last = document.createElement('td');
      last.append(button);
      row.append(last);
      body.append(row);
    }
  }
  document.getElementById('none').hidden = body.children.length > 0;
  document.body.dataset.ready = 'true';
}

localize(document, 'optionsTitle');
api.storage.onChanged.addListener((changes, area) => { if (area === 'local' && changes[CONSENT_KEY]) show(); });
show();
