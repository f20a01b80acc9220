// What a hostile or careless page can do through our extension, from a page in the real browser:
// requests refused before any host starts, the origin the extension adds, the bound on hosts at a
// time and on a page's waiting requests, the silence towards pages that are not served, and the
// consent window (answered late, one per request, a site that keeps dismissing it). The host is a
// wrapper (hostWrapper) that records each run and its request before it passes it to the real host.
import assert from 'node:assert/strict';
import fs from 'node:fs';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A native host that records its start, its end and the request it got (a prefix of it), as one
// JSON line per run in logFile, around one run of the real host.
export function hostWrapper(realHost, logFile) {
  return `#!/usr/bin/python3
import json, struct, subprocess, sys, time
start = time.time()
head = sys.stdin.buffer.read(4)
body = sys.stdin.buffer.read(struct.unpack('<I', head)[0]) if len(head) == 4 else b''
run = subprocess.run([${JSON.stringify(realHost)}] + sys.argv[1:], input=head + body, stdout=subprocess.PIPE)
end = time.time()
with open(${JSON.stringify(logFile)}, 'a') as log:
    log.write(json.dumps({'start': start, 'end': end, 'request': body[:4000].decode('utf-8', 'replace')}) + '\\n')
sys.stdout.buffer.write(run.stdout)
`;
}

// The most runs that overlapped in time.
function mostAtOnce(runs) {
  const edges = runs.flatMap((r) => [[r.start, 1], [r.end, -1]]).sort((a, b) => a[0] - b[0] || a[1] - b[1]);
  let now = 0;
  let most = 0;
  for (const [, step] of edges) most = Math.max(most, (now += step));
  return most;
}

// In the page: the result of one request through the page library, as {ok} or {name, message,
// typed}; `call` is the source of a function of the library module.
const outcome = (call) => `async () => { const v = await import('/veldra.js');
  try { await (${call})(v); return { ok: true }; }
  catch (e) { return { name: e?.name, message: String(e?.message), typed: e instanceof v.VeldraError }; } }`;
// In the page: starts a request and keeps its outcome in window.outcome once settled.
const started = (call) => `() => { window.outcome = null; (${outcome(call)})().then((o) => { window.outcome = o; }); return true; }`;

export function guardCases({ browser, port, logFile, waitUntil }) {
  const local = `http://localhost:${port}`;
  const other = `http://127.0.0.1:${port}`;
  const runs = () => (fs.existsSync(logFile) ? fs.readFileSync(logFile, 'utf8').trim().split('\n').filter(Boolean).map((l) => JSON.parse(l)) : []);
  const consentFor = (command) => browser.findPage(`command=${command}`);
  const noConsentWindow = async () => assert.ok(!(await browser.pages()).some((u) => u.includes('/consent.html')), 'a consent window is open');
  let page = null;

  return [
    ['requests refused at once, no host started: long members, prototype names, callerOrigin, 64 MiB, untyped values', async () => {
      page = await browser.open(`${local}/blank`);
      const before = runs().length;
      const cases = {
        longDebug: "(v) => v.send({ cmd: 'GET_INFO', debug: 'x'.repeat(1000000) })",
        longReader: "(v) => v.send({ cmd: 'READ_FILE', reader: 'r'.repeat(255), fileId: '3F00' })",
        constructor: "(v) => v.send({ cmd: 'constructor' })",
        proto: "(v) => v.send({ cmd: '__proto__' })",
        toString: "(v) => v.send({ cmd: 'toString' })",
        hasOwnProperty: "(v) => v.send({ cmd: 'hasOwnProperty' })",
        callerOrigin: "(v) => v.send({ cmd: 'GET_INFO', callerOrigin: 'https://bank.example' })",
        huge: "(v) => v.send({ cmd: 'GET_INFO', debug: 'x'.repeat(65 * 1024 * 1024) })",
        nul: '(v) => v.send(null)',
        func: "(v) => v.send({ cmd: 'GET_INFO', debug: () => 1 })",
        symbol: "(v) => v.send({ cmd: 'GET_INFO', debug: Symbol('x') })",
      };
      const want = new Map([['huge', 'TooLarge']]);
      for (const [what, call] of Object.entries(cases)) {
        const t0 = Date.now();
        const o = await page.evaluate(outcome(call));
        assert.deepEqual([o.name, o.typed], [want.get(what) ?? 'BadRequest', true], `${what}: ${JSON.stringify(o)}`);
        assert.ok(Date.now() - t0 < 5000, `${what} took ${Date.now() - t0} ms`);
      }
      // Past the library, straight to the content script: over 64 MiB is refused at once too.
      const raw = await page.evaluate(`() => new Promise((resolve) => {
        addEventListener('message', (e) => { if (e.data?.id === 'raw' && e.data.veldra === 'failure') resolve(e.data.failure.name); });
        postMessage({ veldra: 'request', id: 'raw', request: { cmd: 'GET_INFO', debug: 'x'.repeat(65 * 1024 * 1024) } }, location.origin);
        setTimeout(() => resolve('no answer'), 5000); })`);
      assert.equal(raw, 'TooLarge');
      await sleep(300);
      assert.equal(runs().length, before, 'a host was started');
      await noConsentWindow();
    }],
    ['the extension adds the page\'s origin as callerOrigin', async () => {
      const o = await page.evaluate(outcome('(v) => v.send({ cmd: "GET_INFO" })'));
      assert.deepEqual(o, { ok: true });
      const last = JSON.parse(runs().at(-1).request);
      assert.deepEqual(last, { cmd: 'GET_INFO', callerOrigin: local });
    }],
    ['30 requests at once: at most 3 hosts at a time, 16 waiting per page, every one answered', async () => {
      const before = runs().length;
      const results = await page.evaluate(`async () => { const v = await import('/veldra.js');
        const all = await Promise.allSettled(Array.from({ length: 30 }, () => v.send({ cmd: 'GET_INFO' })));
        return all.map((r) => r.status === 'fulfilled' ? 'ok' : r.reason.name); }`);
      const ok = results.filter((r) => r === 'ok').length;
      assert.equal(ok + results.filter((r) => r === 'Busy').length, 30, JSON.stringify(results));
      assert.ok(ok >= 16, JSON.stringify(results));
      await sleep(300);
      const mine = runs().slice(before);
      assert.equal(mine.length, ok);
      assert.ok(mostAtOnce(mine) <= 3, `${mostAtOnce(mine)} hosts at once`);
    }],
    ['a page that is not served gets no answer, not even to a ping', async () => {
      const unserved = await browser.open(`http://[::1]:${port}/blank`);
      const ping = `() => new Promise((resolve) => {
        addEventListener('message', (e) => { if (e.data?.veldra === 'pong') resolve('pong'); });
        postMessage({ veldra: 'ping', id: 'p' }, location.origin);
        setTimeout(() => resolve('silence'), 1500); })`;
      assert.equal(await unserved.evaluate(ping), 'silence');
      assert.equal(await page.evaluate(ping), 'pong');
      assert.equal((await unserved.evaluate(outcome('(v) => v.getReaders()'))).name, 'OriginRefused');
      await unserved.close();
    }],
    ['two tabs, two requests: a window each, naming what it will do; one choice answers one request', async () => {
      const second = await browser.open(`${local}/blank`);
      const before = runs().length;
      await page.evaluate(started('(v) => v.getReaders()'));
      await second.evaluate(started("(v) => v.computeSignature({ reader: 'r', hash: '00'.repeat(32), entryMessage: 'Sign the contract' })"));
      const readers = await consentFor('GET_READERS');
      const signing = await consentFor('COMPUTE_SIGNATURE');
      assert.match(await readers.evaluate('() => document.body.innerText'), /see which card readers are attached[^]*your identity card/);
      assert.match(await signing.evaluate('() => document.body.innerText'), /sign a document with your identity card/);
      await readers.click('#once');
      const first = await waitUntil(page, '() => window.outcome', 'GET_READERS outcome');
      assert.notEqual(first.name, 'NotAllowed', JSON.stringify(first));
      assert.equal(await second.evaluate('() => window.outcome'), null, 'the second tab was answered by the first tab\'s choice');
      await signing.close();
      assert.equal((await waitUntil(second, '() => window.outcome', 'COMPUTE_SIGNATURE outcome')).name, 'NotAllowed');
      assert.deepEqual(runs().slice(before).map((r) => JSON.parse(r.request).cmd), ['GET_READERS']);
      await second.close();
    }],
    ['a consent window answered after 40 s lets its request through', async () => {
      await page.goto(`${local}/blank`);   // "Allow once" of the last case ends with the page
      const before = runs().length;
      await page.evaluate(started('(v) => v.getReaders()'));
      const consent = await consentFor('GET_READERS');
      await sleep(40000);
      await consent.click('#once');
      const o = await waitUntil(page, '() => window.outcome', 'outcome');
      assert.ok(!['NotAllowed', 'HostFailed', 'TimedOut'].includes(o.name), JSON.stringify(o));
      assert.equal(runs().length, before + 1);
    }],
    ['a site whose window was closed three times in a row is refused without a window for a minute', async () => {
      const site = await browser.open(`${other}/blank`);
      for (let i = 0; i < 3; i++) {
        await site.evaluate(started('(v) => v.getPads()'));
        await (await consentFor('GET_PADS')).close();
        assert.equal((await waitUntil(site, '() => window.outcome', 'outcome')).name, 'NotAllowed');
      }
      const t0 = Date.now();
      const o = await site.evaluate(outcome('(v) => v.getPads()'));
      assert.equal(o.name, 'NotAllowed');
      assert.match(o.message, /three times/);
      assert.ok(Date.now() - t0 < 3000);
      await noConsentWindow();
      await site.close();
    }],
  ];
}
