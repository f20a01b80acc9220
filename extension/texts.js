// @ts-check
// Every text of the extension that a person reads, by name from the browser's message catalogs
// (_locales/<language>/messages.json, in the browser's language, English where a text is missing).
// A plain script, not a module, so that the content script (which cannot import) loads it before
// content.js; the module files import it for its effect.
'use strict';

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  /** The catalog's text of name, its placeholders filled in order. @param {string} name @param {...(string|number)} values */
  const message = (name, ...values) => api.i18n.getMessage(name, values.map(String));
  /** @param {string} prefix @param {string} key @param {string} fallback */
  const known = (prefix, key, fallback) => (/^\w+$/.test(key) && message(`${prefix}_${key}`)) || fallback;
  /** The device a purpose reaches ("card", "pad", "inventory"). @param {string} name */
  const purpose = (name) => known('purpose', name, message('purpose_unknown'));

  globalThis.veldraTexts = Object.freeze({
    message,
    /** What a request will do, in the card holder's words; the command itself when it has none. @param {string} command */
    operation: (command) => known('operation', command, command),
    purpose,
    /** @param {string} origin @param {string} device the purpose of the device */
    notAllowed: (origin, device) => message('failNotAllowed', origin, purpose(device)),
    /** @param {string} origin @param {number} seconds */
    dismissedTooOften: (origin, seconds) => message('failDismissedTooOften', origin, seconds),
    /** @param {number} limit */
    tooManyWaiting: (limit) => message('failTooManyWaiting', limit),
    /** @param {string} member @param {number} limit */
    memberTooLong: (member, limit) => message('failMemberTooLong', member, limit),
    /** @param {string} member */
    memberReserved: (member) => message('failMemberReserved', member),
    /** @param {number} size @param {number} limit */
    tooLarge: (size, limit) => message('failTooLarge', size, limit),
    /** @param {string} detail */
    cannotCarry: (detail) => message('failCannotCarry', detail),
    /** @param {string} detail */
    extensionUnreachable: (detail) => message('failExtensionUnreachable', detail),
    /** @param {string} detail */
    hostMissing: (detail) => message('failHostMissing', detail),
    /** @param {string} detail */
    hostFailed: (detail) => message('failHostFailed', detail),
    requestClosed: message('failRequestClosed'),
  });
})();
