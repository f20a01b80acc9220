// The consent bookkeeping of the extension's background: kept choices, "Allow once" for one page,
// and the pause after consent windows closed without a choice, over a fake browser whose consent
// windows the test answers.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { i18n } from './english.mjs';

const stored = { local: {}, session: {} };
const area = (name) => ({
  get: async (key) => (key in stored[name] ? { [key]: structuredClone(stored[name][key]) } : {}),
  set: async (values) => { Object.assign(stored[name], structuredClone(values)); },
});
const listeners = { removed: [], updated: [], windowRemoved: [] };
/** The consent windows opened: their tickets, in order. */
const opened = [];
globalThis.chrome = {
  i18n,
  runtime: { getURL: (path) => `chrome-extension://veldra/${path}` },
  storage: { local: area('local'), session: area('session') },
  tabs: { onRemoved: { addListener: (f) => listeners.removed.push(f) }, onUpdated: { addListener: (f) => listeners.updated.push(f) } },
  windows: {
    create: async ({ url }) => { opened.push(new URL(url).searchParams.get('ticket')); return { id: opened.length }; },
    remove: async () => {},
    onRemoved: { addListener: (f) => listeners.windowRemoved.push(f) },
  },
};
const { consent, consentPort } = await import('../../extension/consent-ask.js');
const { CONSENT_KEY } = await import('../../extension/rules.js');

const settle = async () => { for (let i = 0; i < 20; i++) await new Promise((resolve) => setImmediate(resolve)); };
/** Answers the last consent window opened: a choice, or closing it without one. */
async function answer(choice) {
  await settle();
  const handlers = { message: [], disconnect: [] };
  consentPort(/** @type {any} */ ({
    onMessage: { addListener: (f) => handlers.message.push(f) },
    onDisconnect: { addListener: (f) => handlers.disconnect.push(f) },
  }));
  for (const f of handlers.message) f({ ticket: opened.at(-1) });
  if (choice === 'dismissed') for (const f of handlers.disconnect) f();
  else for (const f of handlers.message) f({ choice });
}
const ask = (origin, tabId, command = 'GET_READERS', purpose = 'card') =>
  consent({ origin, purpose, command, tabId, signal: new AbortController().signal });

test('kept choices and "Allow once" for one page of one tab', async () => {
  stored.local[CONSENT_KEY] = { 'https://kept.example': { card: 'always', pad: 'refuse' } };
  assert.deepEqual(await ask('https://kept.example', 1), { allowed: true });
  assert.equal((await ask('https://kept.example', 1, 'GET_PADS', 'pad')).allowed, false);
  assert.equal(opened.length, 0);

  let decision = ask('https://once.example', 2);
  await answer('once');
  assert.deepEqual(await decision, { allowed: true });
  assert.deepEqual(await ask('https://once.example', 2), { allowed: true });
  assert.equal(opened.length, 1, 'the grant holds for the page that got it');
  for (const f of listeners.updated) f(2, { status: 'loading' });
  decision = ask('https://once.example', 2);
  await answer('always');
  assert.deepEqual(await decision, { allowed: true });
  assert.equal(opened.length, 2, 'a new page in the tab is asked again');
  assert.equal(stored.local[CONSENT_KEY]['https://once.example'].card, 'always');
});

test('three windows closed without a choice pause the site\'s requests', async () => {
  const origin = 'https://pushy.example';
  for (let i = 0; i < 3; i++) {
    const decision = ask(origin, 3);
    await answer('dismissed');
    assert.equal((await decision).allowed, false);
  }
  const before = opened.length;
  const paused = await ask(origin, 3);
  assert.equal(paused.allowed, false);
  assert.match(paused.message, /closed without a choice three times in a row/);
  assert.equal(opened.length, before, 'no window while paused');
});
