// @ts-check
// The demo page's texts in the first of the browser's languages (navigator.languages) that the
// page has, English otherwise and for any text a language lacks. One plain table per language in
// texts/; a language is added by adding its file and its line here.
import en from './texts/en.js';
import nl from './texts/nl.js';
import fr from './texts/fr.js';
import de from './texts/de.js';

/** @type {Record<string, Record<string, string>>} */
export const TABLES = { en, nl, fr, de };

/** The page's language for a list of the browser's languages ("nl-BE", "fr", …).
 * @param {readonly string[]} languages */
export function pickLanguage(languages) {
  for (const tag of languages) {
    const base = tag.toLowerCase().split('-')[0];
    if (Object.hasOwn(TABLES, base)) return base;
  }
  return 'en';
}

export const language = pickLanguage(globalThis.navigator?.languages ?? []);

/** The text of name in the page's language, each {key} replaced by values[key].
 * @param {string} name @param {Record<string, string|number>} [values] */
export function text(name, values = {}) {
  const template = TABLES[language][name] ?? TABLES.en[name] ?? name;
  return template.replace(/\{(\w+)\}/g, (whole, key) => (Object.hasOwn(values, key) ? String(values[key]) : whole));
}

/** Whether the page has a text of that name. @param {string} name */
export const hasText = (name) => Object.hasOwn(en, name);

/** Puts the texts into the page: the element with data-text="name" gets that text (a textarea its
 * value), the title and the lang attribute follow the language. @param {Document} page */
export function localizePage(page) {
  page.documentElement.lang = language;
  page.title = text('title');
  for (const element of page.querySelectorAll('[data-text]')) {
    element.textContent = text(/** @type {HTMLElement} */ (element).dataset.text ?? '');
  }
}
