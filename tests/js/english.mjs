// @ts-check
// The browsers' i18n.getMessage over one of the extension's catalogs, for tests that run the
// extension's scripts outside a browser; importing this module gives a bare globalThis.chrome the
// English one, so that texts.js finds it when a module that imports it is loaded.
import fs from 'node:fs';

/** @typedef {Record<string, { message: string, placeholders?: Record<string, { content: string }> }>} Catalog */

/** The catalog of a language. @param {string} lang @returns {Catalog} */
export function catalog(lang) {
  return JSON.parse(fs.readFileSync(new URL(`../../extension/_locales/${lang}/messages.json`, import.meta.url), 'utf8'));
}

/** getMessage over messages: "" for an unknown name, placeholders filled from values ($1 ...).
 * @param {Catalog} messages */
export function getMessage(messages) {
  return (/** @type {string} */ name, /** @type {string[]} */ values = []) => {
    const entry = messages[name];
    if (!entry) return '';
    return entry.message.replace(/\$(\w+)\$/g, (_, p) => String(entry.placeholders?.[p.toLowerCase()]?.content ?? '')
      .replace(/\$(\d)/g, (__, i) => values[Number(i) - 1] ?? ''));
  };
}

export const i18n = { getMessage: getMessage(catalog('en')) };
globalThis.chrome ??= /** @type {any} */ ({ i18n });
