// @ts-check
// The background of the extension: takes a page's request from the content script over a port,
// checks it (origin, command, members, size), asks the user's consent (consent-ask.js), adds the
// page's origin as the browser reports it ("callerOrigin") and sends it to the native host, one
// host process per request and at most a few at a time. A request's "pin" or "pinToken" is never
// logged: only the origin and the command are.
import './texts.js';
import { consent, consentPort } from './consent-ask.js';
import {
  CALLER_ORIGIN, FAILURE, HOST_NAME, MAX_REQUEST_BYTES, PAGE_WAITING, checkRequest, commandOf, hostFailure, originAllowed,
  requestBytes,
} from './rules.js';

const api = globalThis.browser ?? globalThis.chrome;
const texts = globalThis.veldraTexts;
// Host processes running at once for the whole browser; the other requests wait in line.
const HOST_SLOTS = 3;

/** @typedef {import('./rules.js').Failure} Failure */
/** @typedef {{answer: unknown} | {failure: Failure}} Result */

let hostsRunning = 0;
/** @type {Array<() => void>} */
const hostLine = [];

/** Resolves, when a host slot is free, to the function that frees it again.
 * @returns {Promise<() => void>} */
function hostSlot() {
  return new Promise((resolve) => {
    const take = () => {
      hostsRunning++;
      let freed = false;
      resolve(() => {
        if (freed) return;
        freed = true;
        hostsRunning--;
        while (hostsRunning < HOST_SLOTS && hostLine.length) hostLine.shift()?.();
      });
    };
    if (hostsRunning < HOST_SLOTS) take();
    else hostLine.push(take);
  });
}

/** Requests waiting per tab. @type {Map<number, number>} */
const waitingPerTab = new Map();

/**
 * @param {string} origin the page's origin as the browser reports it
 * @param {number} tabId
 * @param {unknown} request as the page sent it
 * @param {AbortSignal} signal aborted when the page is gone
 * @param {() => void} started called when the host is being started
 * @returns {Promise<Result>}
 */
async function handle(origin, tabId, request, signal, started) {
  if (!originAllowed(origin)) {
    return { failure: { name: FAILURE.OriginRefused, message: `Only https sites (and http://localhost for development) may use signing devices, not ${origin}` } };
  }
  const bad = checkRequest(request);
  if (bad) return { failure: bad };
  const fields = /** @type {Record<string, string|number|boolean>} */ (request);
  const command = String(fields.cmd);
  const forwarded = { ...fields, [CALLER_ORIGIN]: origin };
  const size = requestBytes(forwarded);
  if (size > MAX_REQUEST_BYTES) {
    return { failure: { name: FAILURE.TooLarge, message: texts.tooLarge(size, MAX_REQUEST_BYTES) } };
  }
  const purpose = commandOf(command)?.purpose;
  if (purpose) {
    const decision = await consent({ origin, purpose, command, tabId, signal });
    if (!decision.allowed) {
      console.info(`veldra: ${origin} ${command}: not allowed`);
      return { failure: { name: FAILURE.NotAllowed, message: decision.message ?? '' } };
    }
  }
  const free = await hostSlot();
  try {
    if (signal.aborted) return { failure: { name: FAILURE.HostFailed, message: texts.requestClosed } };
    console.info(`veldra: ${origin} ${command}`);
    started();
    return { answer: await api.runtime.sendNativeMessage(HOST_NAME, forwarded) };
  } catch (e) {
    return { failure: hostFailure(e?.message ?? e) };
  } finally {
    free();
  }
}

/** @param {chrome.runtime.MessageSender} sender */
function originOf(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url ?? '').origin;
  } catch {
    return 'null';
  }
}

/** A content script's port: one request, then keep-alive messages until the answer or the failure,
 * which closes it.
 * @param {chrome.runtime.Port} port */
function requestPort(port) {
  const sender = port.sender;
  const tabId = sender?.tab?.id;
  if (!sender || tabId === undefined) return;
  const origin = originOf(sender);
  const gone = new AbortController();
  port.onDisconnect.addListener(() => gone.abort());
  /** @param {object} message */
  const post = (message) => { if (!gone.signal.aborted) port.postMessage(message); };
  let taken = false;
  port.onMessage.addListener((message) => {
    if (taken || !message || !('request' in message)) return;   // the content script's keep-alive
    taken = true;
    const count = waitingPerTab.get(tabId) ?? 0;
    if (count >= PAGE_WAITING) {
      post({ failure: { name: FAILURE.Busy, message: texts.tooManyWaiting(PAGE_WAITING) } });
      if (!gone.signal.aborted) port.disconnect();
      return;
    }
    waitingPerTab.set(tabId, count + 1);
    handle(origin, tabId, message.request, gone.signal, () => post({ started: true }))
      .catch((e) => ({ failure: { name: FAILURE.HostFailed, message: String(e?.message ?? e) } }))
      .then((result) => {
        const left = (waitingPerTab.get(tabId) ?? 1) - 1;
        if (left > 0) waitingPerTab.set(tabId, left);
        else waitingPerTab.delete(tabId);
        post(result);
        if (!gone.signal.aborted) port.disconnect();
      });
  });
}

api.runtime.onConnect.addListener((port) => {
  if (port.sender?.id !== api.runtime.id) return;
  if (port.name === 'veldra-request' && port.sender.tab) requestPort(port);
  else if (port.name === 'veldra-consent' && port.sender.url?.startsWith(api.runtime.getURL('consent.html'))) consentPort(port);
});
