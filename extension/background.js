// The background of the extension: takes a page's request from the content script over a port,
// checks it (origin, command, members, size), asks the user once per origin and purpose, and sends
// it to the native host, one host process per request. A request's "pin" or "pinToken" is never
// logged: only the origin and the command are.
import { COMMANDS, HOST_NAME, PURPOSES, checkRequest, hostFailure, originAllowed } from './rules.js';

const api = globalThis.browser ?? globalThis.chrome;
const CONSENT_KEY = 'consent';
// A consent window left open longer than this counts as refused (for this request only).
const CONSENT_WAIT_MS = 110000;

// Consent windows waiting for the user: ticket -> {origin, purpose, windowId, resolve}.
const waiting = new Map();
// One window per origin and purpose at a time: key -> the promise of its choice.
const asking = new Map();
// "Allow once": for the page that asked, until that tab loads another page or closes
// ("tabId origin purpose").
const allowedOnce = new Set();
const forgetTab = (tabId) => { for (const key of allowedOnce) if (key.startsWith(`${tabId} `)) allowedOnce.delete(key); };
api.tabs.onRemoved.addListener(forgetTab);
api.tabs.onUpdated.addListener((tabId, change) => { if (change.status === 'loading') forgetTab(tabId); });

async function storedChoices() {
  const stored = await api.storage.local.get(CONSENT_KEY);
  return stored[CONSENT_KEY] ?? {};
}

async function storeChoice(origin, purpose, choice) {
  const all = await storedChoices();
  all[origin] = { ...(all[origin] ?? {}), [purpose]: choice };
  await api.storage.local.set({ [CONSENT_KEY]: all });
}

function settle(ticket, choice) {
  const entry = waiting.get(ticket);
  if (!entry) return;
  waiting.delete(ticket);
  clearTimeout(entry.timer);
  entry.resolve(choice);
  if (entry.windowId !== undefined) api.windows.remove(entry.windowId).catch(() => {});
}

// Opens the consent window and resolves to "once", "always", "refuse" or "dismissed" (closed
// without a choice, or left open too long: refused, nothing kept).
async function askUser(origin, purpose, command) {
  const ticket = crypto.randomUUID();
  const choice = new Promise((resolve) => {
    const timer = setTimeout(() => settle(ticket, 'dismissed'), CONSENT_WAIT_MS);
    waiting.set(ticket, { origin, purpose, resolve, timer });
  });
  const query = new URLSearchParams({ ticket, origin, purpose, command });
  try {
    const win = await api.windows.create({
      url: api.runtime.getURL(`consent.html?${query}`), type: 'popup', width: 480, height: 340,
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

// Resolves to whether origin may use purpose now, asking the user when nothing is kept.
async function consent(origin, purpose, command, tabId) {
  const kept = (await storedChoices())[origin]?.[purpose];
  if (kept === 'always') return true;
  if (kept === 'refuse') return false;
  const once = `${tabId} ${origin} ${purpose}`;
  if (allowedOnce.has(once)) return true;
  const key = `${origin} ${purpose}`;
  let pending = asking.get(key);
  if (!pending) {
    pending = askUser(origin, purpose, command).finally(() => asking.delete(key));
    asking.set(key, pending);
  }
  const choice = await pending;
  if (choice === 'always' || choice === 'refuse') await storeChoice(origin, purpose, choice);
  if (choice === 'once') allowedOnce.add(once);
  return choice === 'once' || choice === 'always';
}

async function handle(origin, tabId, request, started) {
  if (!originAllowed(origin)) {
    return { failure: { name: 'OriginRefused', message: `Only https sites (and http://localhost for development) may use signing devices, not ${origin}` } };
  }
  const bad = checkRequest(request);
  if (bad) return { failure: bad };
  const { purpose } = COMMANDS[request.cmd];
  if (purpose && !(await consent(origin, purpose, request.cmd, tabId))) {
    console.info(`veldra: ${origin} ${request.cmd}: not allowed by the user`);
    return { failure: { name: 'NotAllowed', message: `You did not allow ${origin} to use ${PURPOSES[purpose]}` } };
  }
  console.info(`veldra: ${origin} ${request.cmd}`);
  started();
  try {
    return { answer: await api.runtime.sendNativeMessage(HOST_NAME, request) };
  } catch (e) {
    return { failure: hostFailure(e?.message ?? e) };
  }
}

function originOf(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return 'null';
  }
}

// Content scripts: one port per request; the answer, or the failure, closes it.
api.runtime.onConnect.addListener((port) => {
  if (port.name !== 'veldra-request' || port.sender?.id !== api.runtime.id || !port.sender.tab) return;
  const origin = originOf(port.sender);
  let open = true;
  port.onDisconnect.addListener(() => { open = false; });
  const post = (message) => { if (open) port.postMessage(message); };
  port.onMessage.addListener((message) => {
    handle(origin, port.sender.tab.id, message?.request, () => post({ started: true }))
      .catch((e) => ({ failure: { name: 'HostFailed', message: String(e?.message ?? e) } }))
      .then((result) => { post(result); if (open) port.disconnect(); });
  });
});

// The consent window's buttons.
api.runtime.onMessage.addListener((message, sender) => {
  if (sender.id !== api.runtime.id || sender.tab && !sender.url?.startsWith(api.runtime.getURL('consent.html'))) return undefined;
  if (message?.consent && ['once', 'always', 'refuse'].includes(message.consent.choice)) {
    settle(message.consent.ticket, message.consent.choice);
  }
  return undefined;
});

// A consent window closed without a choice refuses this request, and keeps nothing.
api.windows.onRemoved.addListener((windowId) => {
  for (const [ticket, entry] of waiting) if (entry.windowId === windowId) settle(ticket, 'dismissed');
});
