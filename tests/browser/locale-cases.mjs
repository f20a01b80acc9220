// The consent window and the demo page in the browser's language, as a user sets it: the window's
// texts are the catalog's of that language (its word order, the placeholders filled), the page's
// refusal carries the reason in that language, and the demo page follows the browser's languages.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

export const LANGUAGES = ['en', 'nl', 'fr', 'de'];

// A catalog's message with its placeholders filled, as the browsers do.
function filled(messages, name, values = []) {
  const entry = messages[name];
  return entry.message.replace(/\$(\w+)\$/g, (_, p) => entry.placeholders[p.toLowerCase()].content
    .replace(/\$(\d)/g, (__, i) => values[Number(i) - 1]));
}

export async function localeCases({ browser, port, waitUntil, lang, sourceTop }) {
  const messages = JSON.parse(fs.readFileSync(path.join(sourceTop, 'extension', '_locales', lang, 'messages.json'), 'utf8'));
  const demoTexts = (await import(pathToFileURL(path.join(sourceTop, 'web', 'demo', 'texts', `${lang}.js`)).href)).default;
  const local = `http://localhost:${port}`;
  // innerText turns the no-break spaces of French typography into plain ones.
  const plain = (s) => s.replace(/\u00a0/g, ' ');
  return [
    [`${lang}: the consent window's texts, and the refusal's reason to the page`, async () => {
      const page = await browser.open(`${local}/blank`);
      await page.evaluate(`() => { window.outcome = null; import('/veldra.js').then((v) => v.getPads()).then(
        () => { window.outcome = { ok: true }; }, (e) => { window.outcome = { name: e.name, message: e.message }; }); return true; }`);
      const consent = await browser.findPage('/consent.html');
      const shown = await waitUntil(consent, `() => document.body.dataset.ready && {
        lang: document.documentElement.lang, title: document.title,
        heading: document.querySelector('h1').textContent,
        asks: document.getElementById('asks').textContent, device: document.getElementById('device').textContent,
        buttons: [...document.querySelectorAll('button')].map((b) => b.textContent),
        note: document.getElementById('note').textContent, manage: document.getElementById('manage').textContent }`, 'consent window');
      const origin = local;
      assert.deepEqual(shown, {
        lang, title: messages.consentTitle.message, heading: messages.consentHeading.message,
        asks: filled(messages, 'consentAsks', [origin, messages.operation_GET_PADS.message]),
        device: filled(messages, 'consentDevice', [messages.purpose_pad.message]),
        buttons: ['consentOnce', 'consentAlways', 'consentRefuse'].map((n) => messages[n].message),
        note: filled(messages, 'consentNote', [messages.consentManage.message]),
        manage: messages.consentManage.message,
      });
      await consent.click('#refuse');
      const outcome = await waitUntil(page, '() => window.outcome', 'outcome');
      assert.deepEqual(outcome, { name: 'NotAllowed', message: filled(messages, 'failNotAllowed', [origin, messages.purpose_pad.message]) });
      await page.close();
    }],
    [`${lang}: the demo page from the browser's languages`, async () => {
      const demo = await browser.open(`${local}/demo/`);
      const shown = await waitUntil(demo, `() => document.getElementById('status').dataset.state !== 'pending' && {
        lang: document.documentElement.lang, heading: document.querySelector('h1').innerText,
        sign: document.getElementById('sign').innerText, status: document.getElementById('status').innerText,
        error: document.getElementById('status').dataset.errorName ?? '' }`, 'demo');
      const { status, error, ...rest } = shown;
      assert.deepEqual(rest, { lang, heading: plain(demoTexts.heading), sign: plain(demoTexts.sign) });
      // No host is registered here (HostMissing), unless the machine has one for every profile.
      if (error) assert.equal(status, plain(demoTexts[`error_${error}`]));
      else assert.match(status, new RegExp(`^${plain(demoTexts.versions).replace(/[.()]/g, '\\$&').replace(/\{\w+\}/g, '.+')}$`));
      await demo.close();
    }],
  ];
}
