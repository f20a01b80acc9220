// @ts-check
// What a page may ask of the native host through this extension: the commands, their members, which
// of the user's devices each one reaches, and which origins may ask at all.
import './texts.js';

const texts = globalThis.veldraTexts;

export const HOST_NAME = 'org.veldra.native_host';

// The names of the failures the extension gives a page; each is one of the page library's
// ERROR_NAMES (web/veldra.js), which says what each means.
export const FAILURE = Object.freeze({
  BadRequest: 'BadRequest',
  Busy: 'Busy',
  ExtensionMissing: 'ExtensionMissing',
  HostFailed: 'HostFailed',
  HostMissing: 'HostMissing',
  NotAllowed: 'NotAllowed',
  OriginRefused: 'OriginRefused',
  TooLarge: 'TooLarge',
});

// Where the user's kept choices ("Always allow", "Refuse") are stored: origin -> purpose -> choice.
export const CONSENT_KEY = 'consent';

// Requests one page may have waiting (for consent, a host slot or the host's answer); the content
// script keeps the same bound.
export const PAGE_WAITING = 16;

// The browsers refuse a native message over 1 MiB; a request is refused here before that.
export const MAX_REQUEST_BYTES = 1024 * 1024;

// The member the extension adds to every request it forwards: the requesting page's origin as the
// browser reports it. A page never sets it.
export const CALLER_ORIGIN = 'callerOrigin';

const PIN_MEMBERS = ['pin', 'pinToken', 'entry_title', 'entry_message'];

// The most of each member the host reads, in bytes of its JSON text: a card command's text member
// is read into a 256-byte buffer (254 characters), "debug" into 10 bytes (only "true" counts), a
// pad's name into 500; "image" may take the whole request. A pad shows "reason" and "signer" on one
// line each, and the rectangle is a number.
const MEMBER_BYTES = { debug: 8, pad: 498, image: MAX_REQUEST_BYTES, rectX: 20, rectY: 20, rectW: 20, rectH: 20 };
const TEXT_MEMBER_BYTES = 254;

// Command -> the purpose it needs (null: no consent, it names no device) and its members besides
// "cmd" and "debug".
export const COMMANDS = {
  GET_INFO: { purpose: null, members: [] },
  GET_READERS: { purpose: 'card', members: [] },
  READ_FILE: { purpose: 'card', members: ['reader', 'label', 'fileId'] },
  PIN_PAD_AVAILABLE: { purpose: 'card', members: ['reader'] },
  VERIFY_PIN: { purpose: 'card', members: ['reader', ...PIN_MEMBERS] },
  COMPUTE_SIGNATURE: { purpose: 'card', members: ['reader', 'hash', ...PIN_MEMBERS] },
  COMPUTE_AUTHENTICATION: { purpose: 'card', members: ['reader', 'hash', ...PIN_MEMBERS] },
  GET_PADS: { purpose: 'pad', members: [] },
  COMPUTE_SIGNATURE_IMAGE: {
    purpose: 'pad',
    members: ['pad', 'hash', 'image', 'rectX', 'rectY', 'rectW', 'rectH', 'reason', 'signer'],
  },
  GET_SYSTEM_INFO: { purpose: 'inventory', members: [] },
};

/** https origins, and http only on this computer (localhost, 127.0.0.1) for development; the
 * content script and the page library apply the same rule.
 * @param {string} origin */
export function originAllowed(origin) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.protocol === 'https:') return true;
  return url.protocol === 'http:' && (url.hostname === 'localhost' || url.hostname === '127.0.0.1');
}

/** Bytes of the request as the browser sends it to the host (compact JSON, UTF-8).
 * @param {unknown} request */
export function requestBytes(request) {
  return new TextEncoder().encode(JSON.stringify(request)).length;
}

/** @typedef {{name: string, message: string}} Failure */

/** The command a request names, only when it is one of ours (never a name of Object.prototype).
 * @param {unknown} cmd
 * @returns {{purpose: string|null, members: string[]}|null} */
export function commandOf(cmd) {
  return typeof cmd === 'string' && Object.hasOwn(COMMANDS, cmd) ? COMMANDS[cmd] : null;
}

/** A member's value as the host reads it: its JSON text without the quotes of a string, in bytes.
 * @param {string|number|boolean} value */
const valueBytes = (value) => new TextEncoder().encode(JSON.stringify(value)).length - (typeof value === 'string' ? 2 : 0);

/** null when the request may go to the host, else the failure to give the page.
 * @param {unknown} request
 * @returns {Failure|null} */
export function checkRequest(request) {
  if (typeof request !== 'object' || request === null || Array.isArray(request)) {
    return { name: FAILURE.BadRequest, message: 'A request is an object with a "cmd" member' };
  }
  const fields = /** @type {Record<string, unknown>} */ (request);
  if (Object.hasOwn(fields, CALLER_ORIGIN)) return { name: FAILURE.BadRequest, message: texts.memberReserved(CALLER_ORIGIN) };
  const command = commandOf(fields.cmd);
  if (!command) {
    return { name: FAILURE.BadRequest, message: `Unknown command ${JSON.stringify(String(fields.cmd)).slice(0, 120)}` };
  }
  for (const [name, value] of Object.entries(fields)) {
    if (name !== 'cmd' && name !== 'debug' && !command.members.includes(name)) {
      return { name: FAILURE.BadRequest, message: `${fields.cmd} has no member ${JSON.stringify(name).slice(0, 120)}` };
    }
    if (!(typeof value === 'string' || typeof value === 'boolean' || typeof value === 'number' && Number.isFinite(value))) {
      return { name: FAILURE.BadRequest, message: `The member ${name} must be a string or a number` };
    }
  }
  const size = requestBytes(request);
  if (size > MAX_REQUEST_BYTES) {
    return { name: FAILURE.TooLarge, message: texts.tooLarge(size, MAX_REQUEST_BYTES) };
  }
  for (const [name, value] of Object.entries(fields)) {
    const limit = MEMBER_BYTES[name] ?? TEXT_MEMBER_BYTES;
    if (name !== 'cmd' && valueBytes(/** @type {string|number|boolean} */ (value)) > limit) {
      return { name: FAILURE.BadRequest, message: texts.memberTooLong(name, limit) };
    }
  }
  return null;
}

/** How the browser's failure to reach the host is named for the page.
 * @param {unknown} message
 * @returns {Failure} */
export function hostFailure(message) {
  const text = String(message ?? '');
  if (/not found|No such native application|forbidden|unexpected error/i.test(text)) {
    return { name: FAILURE.HostMissing, message: texts.hostMissing(text) };
  }
  return { name: FAILURE.HostFailed, message: texts.hostFailed(text) };
}
