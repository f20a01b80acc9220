// @ts-check
// Every text of the extension that a person reads, in one place (the content script's, the
// background's and the consent window's). A plain script, not a module, so that the content script
// (which cannot import) loads it before content.js; the module files import it for its effect.
'use strict';

globalThis.veldraTexts = Object.freeze({
  /** What a request will do, in the card holder's words, by command. */
  operations: Object.freeze({
    GET_READERS: 'see which card readers are attached to this computer and whether a card is in them',
    READ_FILE: 'read data from your identity card, such as your name, photo or certificates',
    PIN_PAD_AVAILABLE: 'find out whether your card reader has its own PIN keypad',
    VERIFY_PIN: 'check the PIN of your identity card',
    COMPUTE_SIGNATURE: 'sign a document with your identity card',
    COMPUTE_AUTHENTICATION: 'log you in with your identity card',
    GET_PADS: 'see which signature pads are attached to this computer',
    COMPUTE_SIGNATURE_IMAGE: 'take your handwritten signature on your signature pad',
    GET_SYSTEM_INFO: 'list the devices attached to this computer and the versions of their drivers',
  }),
  /** @param {string} origin @param {string} device */
  notAllowed: (origin, device) => `You did not allow ${origin} to use ${device}`,
  /** @param {string} origin @param {number} seconds */
  dismissedTooOften: (origin, seconds) =>
    `The consent window of ${origin} was closed without a choice three times in a row; it is refused without asking for ${seconds} s more`,
  /** @param {number} limit */
  tooManyWaiting: (limit) => `This page has ${limit} requests waiting already; wait for their answers before sending more`,
  /** @param {string} member @param {number} limit */
  memberTooLong: (member, limit) => `The member ${member} is longer than the ${limit} bytes the host reads of it`,
  /** @param {string} member */
  memberReserved: (member) => `The member ${member} is set by the extension, never by a page`,
  /** @param {number} size @param {number} limit */
  tooLarge: (size, limit) => `The request is at least ${size} bytes; the limit is ${limit}`,
  /** @param {string} detail */
  cannotCarry: (detail) => `The browser cannot carry this request to the extension (${detail})`,
  /** @param {string} detail */
  extensionUnreachable: (detail) => `The Veldra extension cannot be reached (${detail})`,
  requestClosed: 'The extension closed the request without an answer',
});
