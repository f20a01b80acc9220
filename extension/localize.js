// @ts-check
// Puts the catalog's texts into one of the extension's own pages: an element with a data-message
// attribute gets the message it names as its text; the page's title and language come from the
// catalog too. A message with other elements inside ("$ORIGIN$ asks to $OPERATION$.") is filled
// with fillMessage, so that each language puts them where its word order wants them.
import './texts.js';

const texts = globalThis.veldraTexts;

/** @param {Document} page @param {string} titleMessage */
export function localize(page, titleMessage) {
  page.documentElement.lang = texts.message('lang') || 'en';
  page.title = texts.message(titleMessage);
  for (const element of page.querySelectorAll('[data-message]')) {
    element.textContent = texts.message(/** @type {HTMLElement} */ (element).dataset.message ?? '');
  }
}

/** Sets element's content to the message, each placeholder replaced by the node given for it, in
 * the placeholders' order.
 * @param {Element} element @param {string} name @param {Node[]} nodes */
export function fillMessage(element, name, nodes) {
  // Marks that no catalog text contains stand in for the nodes, then the text is split at them.
  const marks = nodes.map((_, i) => `\u{E000}${i}\u{E001}`);
  const parts = texts.message(name, ...marks).split(/\u{E000}(\d+)\u{E001}/u);
  element.replaceChildren(...parts.map((part, i) => (i % 2 ? nodes[Number(part)] : document.createTextNode(part))));
}
