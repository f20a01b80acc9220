// @ts-check
// Veldra page library: a web page's way to the user's identity card, signature pad and device
// inventory, through the Veldra browser extension and native host. An ES module, no build step:
//
//   import * as veldra from './veldra.js';
//   const { readerList } = await veldra.getReaders();
//
// Every command resolves to the host's answer as an object, or rejects with a VeldraError whose
// `name` is one of ERROR_NAMES.

/**
 * The stable error names, one per kind of failure.
 * @readonly
 * @enum {string}
 */
export const ERROR_NAMES = Object.freeze({
  ExtensionMissing: 'ExtensionMissing', // the extension is not installed or not enabled in this browser
  HostMissing: 'HostMissing', // the extension is there, the native host is not (or does not allow it)
  HostFailed: 'HostFailed', // the host ended without an answer
  NotAllowed: 'NotAllowed', // the user did not allow this site
  OriginRefused: 'OriginRefused', // the page is not https (nor http://localhost)
  BadRequest: 'BadRequest', // a command or member the host does not know
  TooLarge: 'TooLarge', // the request is over the browsers' 1 MiB limit
  Busy: 'Busy', // this page has too many requests waiting already
  TimedOut: 'TimedOut', // the host's time limit, or the page's, passed
  PinWrong: 'PinWrong', // the card refused the PIN; `triesLeft` says how many tries are left
  PinBlocked: 'PinBlocked', // no PIN tries are left
  PinMalformed: 'PinMalformed', // the PIN is not 1 to 12 digits
  Cancelled: 'Cancelled', // the user cancelled the PIN dialog, or let it time out
  NoReader: 'NoReader', // no reader of that name
  NoCard: 'NoCard', // no (valid) card in the reader
  CertificateRejected: 'CertificateRejected', // the signature certificate may not sign any longer
  InvalidHash: 'InvalidHash', // the hash is not 20, 32 or 64 bytes of hexadecimal
  InvalidFileId: 'InvalidFileId', // the file id is not hexadecimal of at most 32 bytes
  ReadFailed: 'ReadFailed', // the card could not read the file
  SignatureFailed: 'SignatureFailed', // the card could not sign
  ReaderListFailed: 'ReaderListFailed', // the readers could not be listed
  DeviceListFailed: 'DeviceListFailed', // the pads or devices could not be listed
  NoPad: 'NoPad', // no signature pad of that name
  PadFailed: 'PadFailed', // the pad capture failed
  PadCancelled: 'PadCancelled', // the user cancelled on the pad, or the capture timed out
  HostError: 'HostError', // any other error the host answered
});

/** A failure of a request: a stable `name`, the host's `code` and `id` (null when the failure came
 * from the browser, the extension or this library) and the message. */
export class VeldraError extends Error {
  /**
   * @param {string} name one of ERROR_NAMES
   * @param {string} message
   * @param {{code?: number|null, id?: number|null, triesLeft?: number|null, answer?: object|null}} [details]
   */
  constructor(name, message, details = {}) {
    super(message);
    /** @type {string} */
    this.name = name;
    /** @type {number|null} */
    this.code = details.code ?? null;
    /** @type {number|null} */
    this.id = details.id ?? null;
    /** @type {number|null} PIN tries left (PinWrong) */
    this.triesLeft = details.triesLeft ?? null;
    /** @type {object|null} the host's whole answer, when there was one */
    this.answer = details.answer ?? null;
  }
}

// The name of a host error object {code, id, message}.
function hostErrorName({ code, id, message }) {
  const text = String(message ?? '');
  if (code === 14) return ERROR_NAMES.TimedOut;
  if (id === 12) return ERROR_NAMES.Cancelled;
  if (id === 13) return ERROR_NAMES.PinBlocked;
  if (code === 9 && id === 9) return ERROR_NAMES.PinMalformed;
  if (code === 0) return ERROR_NAMES.NoReader;
  if (code === 1) return /^No \(valid\) card/.test(text) ? ERROR_NAMES.NoCard : ERROR_NAMES.CertificateRejected;
  if (code === 2) return ERROR_NAMES.ReaderListFailed;
  if (code === 3) return ERROR_NAMES.InvalidFileId;
  if (code === 5) return ERROR_NAMES.ReadFailed;
  if (code === 7) return ERROR_NAMES.InvalidHash;
  if (code === 8) return ERROR_NAMES.SignatureFailed;
  if (code === 20) return ERROR_NAMES.DeviceListFailed;
  if (code === 21) return ERROR_NAMES.NoPad;
  if (code === 22) return ERROR_NAMES.PadFailed;
  if (code === 23) return ERROR_NAMES.PadCancelled;
  return ERROR_NAMES.HostError;
}

// The host's time limit of each command, in seconds, as the page waits for it once the host has
// started: card commands with a PIN may wait for the PIN dialog (61 s) and the card (10 s), the pad
// capture for the user (60 s) and what comes after it (60 s).
export const HOST_LIMIT_S = Object.freeze({
  GET_INFO: 10,
  GET_READERS: 10,
  READ_FILE: 10,
  PIN_PAD_AVAILABLE: 10,
  VERIFY_PIN: 81,
  COMPUTE_SIGNATURE: 81,
  COMPUTE_AUTHENTICATION: 81,
  GET_PADS: 30,
  COMPUTE_SIGNATURE_IMAGE: 180,
  GET_SYSTEM_INFO: 60,
});
// Slack on top of a host limit: the host process start, and the host's one-second watchdog.
const SLACK_MS = 5000;
// Before the host starts the user may be choosing in the consent window (the extension gives up
// after 110 s).
const CONSENT_MS = 120000;
// How long the extension's content script has to answer a ping.
const PING_MS = 1000;
// The browsers give the host at most 1 MiB of request.
const MAX_REQUEST_BYTES = 1024 * 1024;

/** How long the page waits for the answer to a command once the host has started, in ms.
 * @param {unknown} cmd */
export function answerWaitMs(cmd) {
  const limitS = typeof cmd === 'string' && Object.hasOwn(HOST_LIMIT_S, cmd) ? HOST_LIMIT_S[cmd] : 10;
  return limitS * 1000 + SLACK_MS;
}

let nextId = 1;
const prefix = `veldra-${Math.random().toString(36).slice(2)}-`;

/** @typedef {[number, (arm: (wait: Wait) => void) => Error | null | Promise<Error | null>]} Wait
 * how long to wait for the next message, and what to do when none came: the error to reject with,
 * or null to keep waiting (the handler has armed a new wait) */

/**
 * One exchange with the content script: resolves with the message that ends it. The content script
 * acknowledges a request at once ("accepted"), and says when the host starts ("started"); each
 * arms the wait that onAccepted or onStarted gives.
 * @param {object} message
 * @param {{first: Wait, onAccepted?: () => Wait, onStarted?: () => Wait}} waits
 * @returns {Promise<any>}
 */
function exchange(message, { first, onAccepted, onStarted }) {
  const id = `${prefix}${nextId++}`;
  return new Promise((resolve, reject) => {
    /** @type {ReturnType<typeof setTimeout> | undefined} */
    let timer;
    let settled = false;
    /** @param {Wait} wait */
    const arm = ([ms, expire]) => {
      clearTimeout(timer);
      if (settled) return;
      timer = setTimeout(async () => {
        const error = await expire(arm);
        if (!error || settled) return;
        settled = true;
        window.removeEventListener('message', listen);
        reject(error);
      }, ms);
    };
    /** @param {MessageEvent} event */
    const listen = (event) => {
      if (event.source !== window || event.origin !== window.location.origin) return;
      const data = event.data;
      if (typeof data !== 'object' || data === null || data.id !== id) return;
      if (data.veldra === 'accepted' || data.veldra === 'started') {
        const next = data.veldra === 'accepted' ? onAccepted : onStarted;
        if (next) arm(next());
        return;
      }
      if (!['pong', 'answer', 'failure'].includes(data.veldra)) return;
      settled = true;
      clearTimeout(timer);
      window.removeEventListener('message', listen);
      resolve(data);
    };
    window.addEventListener('message', listen);
    arm(first);
    window.postMessage({ ...message, id }, window.location.origin);
  });
}

/** Whether the extension's content script answers on this page.
 * @returns {Promise<string|null>} the extension's version, or null */
async function extensionVersion() {
  try {
    const pong = await exchange({ veldra: 'ping' }, { first: [PING_MS, () => new Error('no pong')] });
    return pong.version ?? '';
  } catch {
    return null;
  }
}

const extensionMissing = () =>
  new VeldraError(ERROR_NAMES.ExtensionMissing, 'The Veldra extension is not installed or not enabled in this browser');

/** The extension serves https pages, and http ones on this computer only; it answers no other.
 * @returns {VeldraError|null} */
function originRefused() {
  const { protocol, hostname, origin } = window.location;
  if (protocol === 'https:' || (protocol === 'http:' && ['localhost', '127.0.0.1'].includes(hostname))) return null;
  return new VeldraError(ERROR_NAMES.OriginRefused, `Only https sites (and http://localhost for development) may use signing devices, not ${origin}`);
}

/** Why a request cannot be sent as it is, or null: an object whose members are texts, numbers or
 * booleans, in all at most what the browsers carry to the host.
 * @param {unknown} request
 * @returns {VeldraError|null} */
function requestProblem(request) {
  if (typeof request !== 'object' || request === null || Array.isArray(request)) {
    return new VeldraError(ERROR_NAMES.BadRequest, 'A request is an object with a "cmd" member');
  }
  for (const [name, value] of Object.entries(request)) {
    if (!(typeof value === 'string' || typeof value === 'boolean' || typeof value === 'number' && Number.isFinite(value))) {
      return new VeldraError(ERROR_NAMES.BadRequest, `The member ${name.slice(0, 100)} must be a string, a number or a boolean`);
    }
  }
  // A text takes at least a byte for each of its UTF-16 units: that alone may tell at once.
  const least = Object.entries(request).reduce((n, [name, value]) => n + name.length + (typeof value === 'string' ? value.length : 0), 0);
  const size = least > MAX_REQUEST_BYTES ? least : new TextEncoder().encode(JSON.stringify(request)).length;
  if (size > MAX_REQUEST_BYTES) {
    return new VeldraError(ERROR_NAMES.TooLarge, `The request is at least ${size} bytes; the limit is ${MAX_REQUEST_BYTES}`);
  }
  return null;
}

/**
 * Sends one request to the host and resolves to its answer; every failure rejects with a
 * VeldraError.
 * @param {object} request the host's request: "cmd" and the command's members
 * @returns {Promise<object>}
 */
export async function send(request) {
  try {
    return await sendChecked(request);
  } catch (e) {
    if (e instanceof VeldraError) throw e;
    throw new VeldraError(ERROR_NAMES.BadRequest, `The request could not be sent (${e?.name ?? 'Error'}: ${e?.message ?? e})`);
  }
}

/** @param {object} request @returns {Promise<object>} */
async function sendChecked(request) {
  const refused = originRefused() ?? requestProblem(request);
  if (refused) throw refused;
  const cmd = /** @type {{cmd?: unknown}} */ (request).cmd;
  const limitMs = answerWaitMs(cmd);
  const timedOut = () => new VeldraError(ERROR_NAMES.TimedOut, `No answer to ${String(cmd).slice(0, 100)} within ${limitMs / 1000} s`);
  // No acknowledgement within a second: an extension without one is asked whether it is there at
  // all, and when it is, the request it took is waited for as if acknowledged.
  /** @param {(wait: Wait) => void} arm */
  const silent = async (arm) => {
    if (await extensionVersion() === null) return extensionMissing();
    arm([CONSENT_MS + limitMs, timedOut]);
    return null;
  };
  const result = await exchange({ veldra: 'request', request }, {
    first: [PING_MS, silent],
    onAccepted: () => [CONSENT_MS + limitMs, timedOut],
    onStarted: () => [limitMs, timedOut],
  });
  if (result.veldra === 'failure') {
    throw new VeldraError(result.failure?.name ?? ERROR_NAMES.HostFailed, result.failure?.message ?? 'failed');
  }
  const answer = result.answer;
  if (answer && typeof answer.error === 'object' && answer.error !== null) {
    const { code, id, message } = answer.error;
    throw new VeldraError(hostErrorName(answer.error), String(message ?? ''), { code, id, answer });
  }
  if (answer && answer.pinValid === false) {
    const tries = answer.pinRemainingAttempts;
    throw new VeldraError(ERROR_NAMES.PinWrong,
      `Wrong PIN${typeof tries === 'number' && tries >= 0 ? `, ${tries} ${tries === 1 ? 'try' : 'tries'} left` : ''}`,
      { triesLeft: typeof tries === 'number' ? tries : null, answer });
  }
  return answer;
}

/**
 * @typedef {object} Status
 * @property {boolean} extension the extension answers on this page
 * @property {string|null} extensionVersion
 * @property {boolean} host the native host answered
 * @property {string|null} hostVersion the host's "version"
 * @property {string|null} binVersion the host's "binVersion"
 * @property {VeldraError|null} error why not, when either is missing
 */

/** Whether the extension and the host are there, their versions, else why not. Asks the user
 * nothing: the version query needs no consent.
 * @returns {Promise<Status>} */
export async function status() {
  const refused = originRefused();
  const version = refused ? null : await extensionVersion();
  const out = { extension: version !== null, extensionVersion: version, host: false, hostVersion: null, binVersion: null, error: refused };
  if (version === null && !refused) {
    out.error = extensionMissing();
    return out;
  }
  try {
    const info = await send({ cmd: 'GET_INFO' });
    out.host = true;
    out.hostVersion = info.version ?? null;
    out.binVersion = info.binVersion ?? null;
  } catch (e) {
    out.error = e;
  }
  return out;
}

// Members with a value (undefined ones are left out) and the PIN members in their host names.
function members(cmd, fields) {
  const request = { cmd };
  for (const [name, value] of Object.entries(fields)) if (value !== undefined && value !== null) request[name] = value;
  return request;
}

/** @typedef {{pin?: string, pinToken?: string, entryTitle?: string, entryMessage?: string}} PinOptions */
/** @param {PinOptions} [options] */
function pinMembers({ pin, pinToken, entryTitle, entryMessage } = {}) {
  return { pin, pinToken, entry_title: entryTitle, entry_message: entryMessage };
}

/** The readers and their cards.
 * @returns {Promise<{readerList: Array<{index: number, library: string, name: string, atr?: string, cardPresent: boolean, cardType: number}>}>} */
export function getReaders() {
  return send({ cmd: 'GET_READERS' });
}

/** Reads a card file. @param {{reader: string, fileId: string, label?: string}} p
 * @returns {Promise<{data: string}>} the file's bytes in upper-case hexadecimal */
export function readFile({ reader, fileId, label }) {
  return send(members('READ_FILE', { reader, fileId, label }));
}

/** @param {{reader: string}} p @returns {Promise<{available: boolean}>} */
export function pinPadAvailable({ reader }) {
  return send(members('PIN_PAD_AVAILABLE', { reader }));
}

/** Verifies the PIN: from `pin`, `pinToken`, the reader's PIN pad or the PIN dialog. Rejects with
 * PinWrong (triesLeft), PinBlocked, Cancelled, ...
 * @param {{reader: string} & PinOptions} p
 * @returns {Promise<{pinToken?: string, pinRemainingAttempts: number, pinValid: boolean, valid: boolean}>} */
export function verifyPin({ reader, ...pin }) {
  return send(members('VERIFY_PIN', { reader, ...pinMembers(pin) }));
}

/** Signs a hash (hexadecimal, 20, 32 or 64 bytes) with the card's signature key.
 * @param {{reader: string, hash: string} & PinOptions} p
 * @returns {Promise<{pinToken?: string, pinRemainingAttempts: number, pinValid: boolean, valid: boolean, signature: string}>} */
export function computeSignature({ reader, hash, ...pin }) {
  return send(members('COMPUTE_SIGNATURE', { reader, hash, ...pinMembers(pin) }));
}

/** Signs a hash with the card's authentication key. Same parameters and answer as computeSignature. */
export function computeAuthentication({ reader, hash, ...pin }) {
  return send(members('COMPUTE_AUTHENTICATION', { reader, hash, ...pinMembers(pin) }));
}

/** @returns {Promise<{padList: Array<{index: number, type: string, name: string, certificate?: string, width: number, height: number}>}>} */
export function getPads() {
  return send({ cmd: 'GET_PADS' });
}

/** Captures a handwritten signature on a pad.
 * @param {{pad: string, hash?: string, image?: string, rect?: {x: number, y: number, w: number, h: number}, reason?: string, signer?: string}} p
 * @returns {Promise<{metadata: Object<string, string>, image: string}>} image: a PNG in Base64 */
export function computeSignatureImage({ pad, hash = '', image, rect, reason, signer }) {
  return send(members('COMPUTE_SIGNATURE_IMAGE', {
    pad, hash, image, reason, signer,
    rectX: rect?.x, rectY: rect?.y, rectW: rect?.w, rectH: rect?.h,
  }));
}

/** @returns {Promise<{deviceList: Array<{index: number, vidpid: string}>, packageList: Array<{index: number, component: string, version: string}>}>} */
export function getSystemInfo() {
  return send({ cmd: 'GET_SYSTEM_INFO' });
}
