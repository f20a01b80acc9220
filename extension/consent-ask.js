// @ts-check
// Whether a page may use a device now: a choice the user kept for the site and device ("Always
// allow", "Refuse"), a grant of "Allow once" for that tab's page and command, or else the user's
// answer in a consent window of its own for this one request. A tab shows one window at a time (its
// other requests wait behind it); a site whose windows were closed without a choice three times in a
// row is refused without a window for a minute. The window keeps a port open to the background
// while it is shown, which keeps a background that the browser would stop when idle alive.
import './texts.js';
import { CONSENT_KEY } from './rules.js';

const api = globalThis.browser ?? globalThis.chrome;
const texts = globalThis.veldraTexts;
const DISMISSED_KEY = 'dismissed';
// A consent window left open longer than this counts as closed without a choice.
const CONSENT_WAIT_MS = 110000;
const DISMISSALS_IN_A_ROW = 3;
const DISMISSED_PAUSE_MS = 60000;

/** @typedef {'once'|'always'|'refuse'|'dismissed'|'gone'} Choice */
/** @typedef {{allowed: boolean, message?: string}} Decision */
/** @typedef {{origin: string, purpose: string, command: string, tabId: number, signal: AbortSignal}} Asked */

/** Consent windows shown: ticket -> {windowId, resolve, timer}.
 * @type {Map<string, {windowId?: number, resolve: (c: Choice) => void, timer: ReturnType<typeof setTimeout>}>} */
const waiting = new Map();
/** Per tab, the end of its line of requests waiting for a window. @type {Map<number, Promise<unknown>>} */
const tabLines = new Map();
// "Allow once": "tabId page origin command", for the page that asked until the tab loads another.
const allowedOnce = new Set();
/** Pages loaded in each tab so far: a grant names the page it was given to. @type {Map<number, number>} */
const pageOfTab = new Map();

const forgetTab = (/** @type {number} */ tabId) => {
  pageOfTab.set(tabId, (pageOfTab.get(tabId) ?? 0) + 1);
  for (const key of allowedOnce) if (key.startsWith(`${tabId} `)) allowedOnce.delete(key);
};
api.tabs.onRemoved.addListener((tabId) => { forgetTab(tabId); pageOfTab.delete(tabId); });
api.tabs.onUpdated.addListener((tabId, change) => { if (change.status === 'loading') forgetTab(tabId); });

/** @returns {Promise<Record<string, Record<string, string>>>} */
async function storedChoices() {
  const stored = await api.storage.local.get(CONSENT_KEY);
  return /** @type {Record<string, Record<string, string>>} */ (stored[CONSENT_KEY] ?? {});
}

/** @param {string} origin @param {string} purpose @param {string} choice */
async function storeChoice(origin, purpose, choice) {
  const all = await storedChoices();
  all[origin] = { ...(all[origin] ?? {}), [purpose]: choice };
  await api.storage.local.set({ [CONSENT_KEY]: all });
}

// Dismissals in a row per origin, kept where a restarted background finds them (session storage
// when the browser has it).
const dismissedArea = api.storage.session ?? api.storage.local;
/** @returns {Promise<Record<string, {count: number, until: number}>>} */
async function dismissals() {
  return /** @type {Record<string, {count: number, until: number}>} */ ((await dismissedArea.get(DISMISSED_KEY))[DISMISSED_KEY] ?? {});
}

/** @param {string} origin @param {Choice} choice */
async function countDismissal(origin, choice) {
  if (choice === 'gone') return;
  const all = await dismissals();
  if (choice !== 'dismissed') delete all[origin];
  else {
    const count = (all[origin]?.count ?? 0) + 1;
    all[origin] = count >= DISMISSALS_IN_A_ROW ? { count: 0, until: Date.now() + DISMISSED_PAUSE_MS } : { count, until: 0 };
  }
  await dismissedArea.set({ [DISMISSED_KEY]: all });
}

/** @param {string} ticket @param {Choice} choice */
function settle(ticket, choice) {
  const entry = waiting.get(ticket);
  if (!entry) return;
  waiting.delete(ticket);
  clearTimeout(entry.timer);
  entry.resolve(choice);
  if (entry.windowId !== undefined) api.windows.remove(entry.windowId).catch(() => {});
}

/** Opens the consent window for one request and resolves to the user's choice: "dismissed" when
 * the window was closed without one or left open too long, "gone" when the page went away first.
 * @param {Asked} asked
 * @returns {Promise<Choice>} */
async function askUser({ origin, purpose, command, signal }) {
  const ticket = crypto.randomUUID();
  /** @type {Promise<Choice>} */
  const choice = new Promise((resolve) => {
    const timer = setTimeout(() => settle(ticket, 'dismissed'), CONSENT_WAIT_MS);
    waiting.set(ticket, { resolve, timer });
  });
  signal.addEventListener('abort', () => settle(ticket, 'gone'), { once: true });
  const query = new URLSearchParams({ ticket, origin, purpose, command });
  try {
    const win = await api.windows.create({
      url: api.runtime.getURL(`consent.html?${query}`), type: 'popup', width: 520, height: 360,
    });
    const entry = waiting.get(ticket);
    if (entry) entry.windowId = win.id;
    else api.windows.remove(win.id).catch(() => {});
  } catch (e) {
    console.warn(`veldra: no consent window for ${origin}: ${e.message}`);
    settle(ticket, 'dismissed');
  }
  return choice;
}

/** What is decided without a window: a kept choice, a grant of "Allow once", a pause after
 * dismissals; null when the user must be asked.
 * @param {Asked} asked @param {string} once
 * @returns {Promise<Decision|null>} */
async function decidedAlready({ origin, purpose }, once) {
  const kept = (await storedChoices())[origin]?.[purpose];
  if (kept === 'always') return { allowed: true };
  if (kept === 'refuse') return { allowed: false, message: texts.notAllowed(origin, purpose) };
  if (allowedOnce.has(once)) return { allowed: true };
  const until = (await dismissals())[origin]?.until ?? 0;
  if (until > Date.now()) return { allowed: false, message: texts.dismissedTooOften(origin, Math.ceil((until - Date.now()) / 1000)) };
  return null;
}

/** @param {Asked} asked @param {string} once @returns {Promise<Decision>} */
async function decide(asked, once) {
  const already = await decidedAlready(asked, once);
  if (already) return already;
  if (asked.signal.aborted) return { allowed: false };
  const choice = await askUser(asked);
  await countDismissal(asked.origin, choice);
  if (choice === 'always' || choice === 'refuse') await storeChoice(asked.origin, asked.purpose, choice);
  if (choice === 'once') allowedOnce.add(once);
  if (choice === 'once' || choice === 'always') return { allowed: true };
  return { allowed: false, message: texts.notAllowed(asked.origin, asked.purpose) };
}

/** Whether the page in asked.tabId may run asked.command now, asking the user when nothing is
 * decided; the tab's requests that need a window wait for it one after another.
 * @param {Asked} asked
 * @returns {Promise<Decision>} */
export async function consent(asked) {
  const once = `${asked.tabId} ${pageOfTab.get(asked.tabId) ?? 0} ${asked.origin} ${asked.command}`;
  const already = await decidedAlready(asked, once);
  if (already) return already;
  const line = tabLines.get(asked.tabId) ?? Promise.resolve();
  const mine = line.then(() => decide(asked, once));
  const end = mine.catch(() => {});
  tabLines.set(asked.tabId, end);
  end.then(() => { if (tabLines.get(asked.tabId) === end) tabLines.delete(asked.tabId); });
  return mine;
}

/** The consent window's port: its ticket first, then keep-alive messages, then the choice; the
 * port closing (the window closed) is a dismissal.
 * @param {chrome.runtime.Port} port */
export function consentPort(port) {
  let ticket = null;
  port.onMessage.addListener((message) => {
    if (ticket === null && typeof message?.ticket === 'string') ticket = message.ticket;
    else if (ticket !== null && ['once', 'always', 'refuse'].includes(message?.choice)) settle(ticket, message.choice);
  });
  port.onDisconnect.addListener(() => { if (ticket !== null) settle(ticket, 'dismissed'); });
}

// A consent window closed before its page connected refuses its request too.
api.windows.onRemoved.addListener((windowId) => {
  for (const [ticket, entry] of waiting) if (entry.windowId === windowId) settle(ticket, 'dismissed');
});
