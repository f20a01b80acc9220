// The extension's message catalogs and the demo page's tables: every language has every text of
// the English one with the same placeholders (none falls back to English unseen), and every message
// name the extension uses exists.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { catalog, getMessage } from '../js/english.mjs';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const extension = path.join(top, 'extension');
const locales = path.join(extension, '_locales');
const languages = fs.readdirSync(locales).sort();
const english = catalog('en');
// $NAME$ in a message, as the browsers read them (case-insensitive names).
const named = (message) => [...message.matchAll(/\$(\w+)\$/g)].map((m) => m[1].toLowerCase()).sort();
const declared = (entry) => Object.entries(entry.placeholders ?? {}).map(([name, p]) => `${name.toLowerCase()}=${p.content}`).sort();

test('every catalog has every English message, with the same placeholders, and no other', () => {
  assert.deepEqual(languages.filter((l) => ['en', 'nl', 'fr', 'de'].includes(l)), ['de', 'en', 'fr', 'nl']);
  for (const lang of languages) {
    const messages = catalog(lang);
    assert.deepEqual(Object.keys(messages).sort(), Object.keys(english).sort(), `${lang}: the names differ from en`);
    for (const [name, entry] of Object.entries(messages)) {
      assert.ok(entry.message.trim(), `${lang} ${name} is empty`);
      assert.deepEqual(declared(entry), declared(english[name]), `${lang} ${name}: placeholders`);
      assert.deepEqual(named(entry.message), Object.keys(entry.placeholders ?? {}).map((n) => n.toLowerCase()).sort(),
        `${lang} ${name}: each placeholder once in the text`);
    }
    assert.equal(messages.lang.message, lang);
    assert.ok(messages.extDescription.message.length <= 132, `${lang}: description longer than 132`);
  }
});


test('every message name the extension uses exists, and every message is used', async () => {
  const sources = fs.readdirSync(extension).filter((f) => /\.(js|html|json)$/.test(f))
    .map((f) => fs.readFileSync(path.join(extension, f), 'utf8')).join('\n');
  const used = new Set([
    ...[...sources.matchAll(/__MSG_(\w+)__/g)].map((m) => m[1]),
    ...[...sources.matchAll(/data-message="(\w+)"/g)].map((m) => m[1]),
    ...[...sources.matchAll(/\bmessage\('(\w+)'|fillMessage\([^,]+, '(\w+)'|localize\(document, '(\w+)'/g)].map((m) => m[1] ?? m[2] ?? m[3]),
  ]);
  // Names made from a command or a purpose: every one the rules know, through texts.js itself.
  const asked = [];
  globalThis.chrome = { i18n: { getMessage: (name, values) => { asked.push(name); return getMessage(english)(name, values); } } };
  const { COMMANDS } = await import(pathToFileURL(path.join(extension, 'rules.js')).href);
  const texts = globalThis.veldraTexts;
  for (const [command, { purpose }] of Object.entries(COMMANDS)) {
    if (!purpose) continue;
    assert.notEqual(texts.operation(command), command, `no words for ${command}`);
    assert.notEqual(texts.purpose(purpose), english.purpose_unknown.message, `no words for ${purpose}`);
  }
  assert.equal(texts.notAllowed('https://a.example', 'pad'), 'You did not allow https://a.example to use your signature pad');
  for (const name of [...used, ...asked]) assert.ok(Object.hasOwn(english, name), `${name} is used but not in the catalog`);
  const all = new Set([...used, ...asked]);
  assert.deepEqual(Object.keys(english).filter((n) => !all.has(n)), [], 'messages nothing uses');
});

test('the demo page has every text in every language, with the same {placeholders}', async () => {
  const demo = await import(pathToFileURL(path.join(top, 'web', 'demo', 'texts.js')).href);
  const keys = (table) => Object.keys(table).sort();
  const holders = (s) => [...s.matchAll(/\{(\w+)\}/g)].map((m) => m[1]).sort();
  assert.deepEqual(Object.keys(demo.TABLES).sort(), languages);
  for (const [lang, table] of Object.entries(demo.TABLES)) {
    assert.deepEqual(keys(table), keys(demo.TABLES.en), `demo ${lang}: the names differ from en`);
    for (const [name, s] of Object.entries(table)) assert.deepEqual(holders(s), holders(demo.TABLES.en[name]), `demo ${lang} ${name}`);
  }
  const html = fs.readFileSync(path.join(top, 'web', 'demo', 'index.html'), 'utf8')
    + fs.readFileSync(path.join(top, 'web', 'demo', 'demo.js'), 'utf8');
  const used = [...html.matchAll(/data-text="(\w+)"|text\('(\w+)'/g)].map((m) => m[1] ?? m[2]);
  for (const name of used) assert.ok(demo.hasText(name), `demo: ${name} is used but not in the tables`);
  assert.equal(demo.pickLanguage(['nl-BE', 'en']), 'nl');
  assert.equal(demo.pickLanguage(['es-ES', 'fr-BE']), 'fr');
  assert.equal(demo.pickLanguage(['es']), 'en');
});
