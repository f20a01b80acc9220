// From a web page to the card: a local web server serves web/ (the page library and the demo),
// headless Chromium or Firefox ESR opens the demo with our extension (extension/) and the test clicks
// through it as a user would: the consent window (refused, always allowed, revoked in the options
// page, allowed once), GET_READERS, READ_FILE, VERIFY_PIN through the real PIN dialog (pinentry on a
// private Xvfb, typed with xdotool), COMPUTE_SIGNATURE verified in the page and with OpenSSL, the
// on-screen pad's capture, and the named errors of a refused origin, a missing host and a missing
// extension.
//   node page.mjs --build BUILD [--node-modules DIR] [--browser chromium|firefox] [--installed]
//                 [--firefox-profile DIR] [--suite demo|guard|locales|bench] [--keep]
// --installed: the extension and host of the installed Debian packages (Chromium through Debian's
// /usr/bin/chromium wrapper with no --load-extension of ours; Firefox from the system add-on
// folder), nothing registered; --firefox-profile: a profile that existed before the packages were
// installed; --make-profile DIR: only start Firefox once on a new profile DIR and stop it (the
// profile a user had before the install); --suite guard: instead of the demo, what a hostile page
// can do (tests/browser/guard-cases.mjs), with no card, no readers and no display; --suite locales:
// the consent window and the demo in each language (tests/browser/locale-cases.mjs), one browser
// start per language, no host. Exit code 0 when
// every case passed, 1 when one failed, 77 when the tools are missing.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import path from 'node:path';
import { bidiAddress, bidiClient, firefoxPath, loadWs, writePrefs } from './firefox.mjs';
import { guardCases, hostWrapper } from './guard-cases.mjs';
import { LANGUAGES, localeCases } from './locale-cases.mjs';
import {
  askHostDirectly, childrenOf, defaultHostName, makeWorkDir, median, privateHome, rerunUnderVirtualReaders,
  runInstallHost, sourceTop, trackedSession,
} from './harness.mjs';

const SKIP = 77;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const log = (...m) => console.log(...m);

// --- arguments ----------------------------------------------------------------------------------
const args = { browser: 'chromium', installed: false, keep: false, firefoxProfile: null, suite: 'demo' };
for (let i = 2; i < process.argv.length; i++) {
  const a = process.argv[i];
  if (a === '--build') args.build = path.resolve(process.argv[++i]);
  else if (a === '--node-modules') args.nodeModules = path.resolve(process.argv[++i]);
  else if (a === '--browser') args.browser = process.argv[++i];
  else if (a === '--installed') args.installed = true;
  else if (a === '--firefox-profile') args.firefoxProfile = path.resolve(process.argv[++i]);
  else if (a === '--make-profile') args.makeProfile = path.resolve(process.argv[++i]);
  else if (a === '--keep') args.keep = true;
  else if (a === '--suite') args.suite = process.argv[++i];
  else if (a === '--calls') args.calls = Number(process.argv[++i]);
  else if (a === '--web') args.web = path.resolve(process.argv[++i]);
  else if (a === '--extension') args.extension = path.resolve(process.argv[++i]);
  else throw new Error(`unknown argument ${a}`);
}
if (!args.build) throw new Error('--build DIR is required');
args.nodeModules ??= path.join(args.build, 'browser-node');
const firefox = args.browser === 'firefox';

const extensionDir = args.extension ?? path.join(sourceTop, 'extension');
const manifest = JSON.parse(fs.readFileSync(path.join(extensionDir, 'manifest.json'), 'utf8'));
const chromeId = 'jlcdhkdjighmfoibpoaickdcjhiogpbn';
const geckoId = manifest.browser_specific_settings.gecko.id;
// The internal address Firefox gives the add-on in the test's profiles.
const geckoUuid = '7c0e3c55-61a4-4d8b-b2a2-3f1d2c9e8a01';
const systemManifest = firefox
  ? `/usr/lib/mozilla/native-messaging-hosts/${defaultHostName}.json`
  : `/etc/chromium/native-messaging-hosts/${defaultHostName}.json`;
const hostPath = args.installed
  ? JSON.parse(fs.readFileSync(systemManifest, 'utf8')).path
  : path.join(args.build, 'bin', 'veldra-native-host');
const pinentry = '/usr/bin/pinentry-gtk-2';

// --- services: Xvfb and the web server ------------------------------------------------------------
const stops = [];
process.on('exit', () => { for (const stop of stops.reverse()) try { stop(); } catch { /* gone */ } });

async function startXvfb() {
  for (let n = 150; n <= 159; n++) {
    if (fs.existsSync(`/tmp/.X${n}-lock`) || fs.existsSync(`/tmp/.X11-unix/X${n}`)) continue;
    const child = spawn('Xvfb', [`:${n}`, '-screen', '0', '1280x1024x24', '-noreset', '-nolisten', 'tcp'],
      { stdio: 'ignore', detached: true });
    // Once, and only while it is our child still running (its PID is not reused before we reap it).
    const stop = () => { if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM'); };
    stops.push(stop);
    for (let i = 0; i < 200 && child.exitCode === null; i++) {
      if (fs.existsSync(`/tmp/.X11-unix/X${n}`)) return { display: `:${n}`, stop };
      await sleep(25);
    }
    stop();
  }
  throw new Error('no Xvfb display free among :150 to :159');
}

// web/ at /, and the X.509 library's self-contained browser build and the polyfill it needs at
// /demo/vendor/.
export const vendored = (nodeModules) => ({
  '/demo/vendor/x509.js': path.join(nodeModules, 'node_modules', '@peculiar', 'x509', 'build', 'x509.js'),
  '/demo/vendor/Reflect.js': path.join(nodeModules, 'node_modules', 'reflect-metadata', 'Reflect.js'),
});

function startServer() {
  const web = args.web ?? path.join(sourceTop, 'web');
  const vendor = vendored(args.nodeModules);
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://localhost');
    if (url.pathname === '/blank') {   // a page of the site that sends nothing by itself
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' }).end('<!DOCTYPE html><title>blank</title>');
      return;
    }
    const file = vendor[url.pathname] ?? path.join(web, path.normalize(url.pathname).replace(/\/$/, '/index.html'));
    if (!file.startsWith(web) && !vendor[url.pathname] || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': `${types[path.extname(file)] ?? 'application/octet-stream'}; charset=utf-8`, 'cache-control': 'no-store' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve, reject) => {
    // The port is the one the server holds: a failed try's listen callback would also run at the
    // next try's success and name the busy port, which belongs to another suite's server.
    server.once('listening', () => {
      server.removeAllListeners('error');
      stops.push(() => server.close());
      const { port } = /** @type {import('node:net').AddressInfo} */ (server.address());
      resolve({ port, close: () => new Promise((r) => server.close(r)) });
    });
    const tryPort = (port) => {
      server.once('error', (e) => (e.code === 'EADDRINUSE' && port < 18159 ? tryPort(port + 1) : reject(e)));
      server.listen({ port, host: '::', ipv6Only: false });
    };
    tryPort(18150);
  });
}

function xdotool(display, ...argv) {
  return spawnSync('xdotool', argv, { env: { ...process.env, DISPLAY: display }, encoding: 'utf8', timeout: 15000 });
}

async function waitWindow(display, name, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const r = xdotool(display, 'search', '--onlyvisible', '--name', name);
    const id = r.stdout.trim().split('\n')[0];
    if (r.status === 0 && id) return id;
    await sleep(50);
  }
  throw new Error(`no window named ${name} within ${ms} ms`);
}

// The card's PIN typed into the PIN dialog (pinentry) as a user would. The dialog's title names the
// site the extension reported for the page and what the PIN will do.
async function typePin(display) {
  const dialog = await waitWindow(display, '^(PIN check for|Sign for|Log in to) http://localhost:[0-9]+$');
  xdotool(display, 'windowactivate', '--sync', dialog);
  xdotool(display, 'type', '--delay', '5', '1234');
  xdotool(display, 'key', 'Return');
}

// Whether a process descends from this one (through the browser it started): other suites run
// the same host at the same time.
function ourDescendant(pid) {
  for (let p = Number(pid), depth = 0; p > 1 && depth < 64; depth++) {
    if (p === process.pid) return true;
    const parent = fs.readFileSync(`/proc/${p}/status`, 'utf8').match(/^PPid:\s+(\d+)/m);
    if (!parent) return false;
    p = Number(parent[1]);
  }
  return false;
}

// Host processes this suite's browser started while fn runs, seen by polling every process's program.
async function hostStartsDuring(fn) {
  const target = fs.realpathSync(hostPath);
  const seen = new Set();
  const poll = () => {
    for (const name of fs.readdirSync('/proc')) {
      if (!/^\d+$/.test(name) || seen.has(name)) continue;
      try { if (fs.readlinkSync(`/proc/${name}/exe`) === target && ourDescendant(name)) seen.add(name); } catch { /* gone */ }
    }
  };
  const timer = setInterval(poll, 5);
  try {
    await fn();
    await sleep(200);
  } finally {
    clearInterval(timer);
  }
  return seen.size;
}

// --- the browsers: pages opened, evaluated in and clicked ------------------------------------------
// A page: evaluate(source of a function, ...args) resolves to its JSON value; click(selector).
function waitUntil(page, source, what, ms = 20000) {
  return (async () => {
    const end = Date.now() + ms;
    let last;
    while (Date.now() < end) {
      last = await page.evaluate(source).catch((e) => `(${e.message})`);
      if (last) return last;
      await sleep(50);
    }
    throw new Error(`${what}: not within ${ms} ms (last: ${JSON.stringify(last)})`);
  })();
}

const chromeArgs = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE localhost , EXCLUDE 127.0.0.1 , EXCLUDE [::1] , EXCLUDE ::1'];

async function startChromium({ workDir, env, withExtension, profile, lang }) {
  const require = createRequire(path.join(args.nodeModules, 'package.json'));
  const { chromium } = require('playwright-core');
  // Installed: Debian's wrapper loads the packaged extension from /usr/share/chromium/extensions;
  // the bare binary loads none.
  const executablePath = withExtension ? '/usr/bin/chromium' : '/usr/lib/chromium/chromium';
  const extra = withExtension && !args.installed ? [`--load-extension=${extensionDir}`] : [];
  if (lang) {
    // As a user sets it: the program's language (--lang) and the languages pages are told of.
    extra.push(`--lang=${lang}`);
    fs.mkdirSync(path.join(profile, 'Default'), { recursive: true });
    fs.writeFileSync(path.join(profile, 'Default', 'Preferences'), JSON.stringify({ intl: { accept_languages: lang, selected_languages: lang } }));
  }
  const before = new Set(childrenOf(process.pid).map((c) => c.pid));
  let session = null;
  const launched = chromium.launchPersistentContext(profile, {
    executablePath, headless: true, timeout: 30000, env,
    handleSIGINT: false, handleSIGTERM: false, handleSIGHUP: false,
    ignoreDefaultArgs: ['--disable-extensions'], args: [...chromeArgs, ...extra],
  });
  for (let i = 0; i < 300 && !session; i++) {
    const fresh = childrenOf(process.pid).filter((c) => !before.has(c.pid));
    if (fresh.length) session = trackedSession(fresh[0].pid);
    else await sleep(10);
  }
  const context = await launched;
  const wrap = (page) => ({
    raw: page,
    url: () => page.url(),
    evaluate: (source, ...a) => page.evaluate(`(${source})(...${JSON.stringify(a)})`),
    // A consent window closes at its button's click: that is no failure.
    click: (selector) => page.click(selector, { timeout: 10000 }).catch((e) => {
      if (!page.isClosed()) throw e;
    }),
    goto: (url) => page.goto(url, { waitUntil: 'load' }),
    close: () => page.close(),
  });
  return {
    async open(url) {
      const page = wrap(await context.newPage());
      await page.goto(url);
      return page;
    },
    async findPage(part, ms = 15000) {
      const end = Date.now() + ms;
      while (Date.now() < end) {
        const found = context.pages().find((p) => p.url().includes(part));
        if (found) {
          await found.waitForLoadState('load');
          return wrap(found);
        }
        await sleep(50);
      }
      throw new Error(`no page ${part} within ${ms} ms`);
    },
    pages: () => context.pages().map((p) => p.url()),
    async close() {
      if (session) session.snapshot();
      await Promise.race([context.close().catch(() => {}), sleep(5000)]);
      if (session) await session.stop();
    },
  };
}

async function startFirefoxBrowser({ workDir, env, withExtension, profile, lang }) {
  const WebSocket = loadWs(args.nodeModules);
  writePrefs(profile, {
    'extensions.webextensions.uuids': JSON.stringify({ [geckoId]: geckoUuid }),
    // The system add-on folder stays on although the remote agent would turn it off; off without
    // the extension.
    'extensions.enabledScopes': withExtension ? 15 : 5,
    // As a user sets it: the program's language (its language pack from Debian's firefox-esr-l10n-*
    // packages) and the languages pages are told of.
    ...(lang ? { 'intl.locale.requested': lang, 'intl.accept_languages': lang } : {}),
  });
  const errFile = path.join(workDir, `firefox-${withExtension ? 'with' : 'without'}.log`);
  const child = spawn(firefoxPath, ['--headless', '--no-remote', '--profile', profile, '--remote-debugging-port', '0', 'about:blank'],
    { env: { ...env, MOZ_HEADLESS: '1', MOZ_CRASHREPORTER_DISABLE: '1' }, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  const session = trackedSession(child.pid);
  const out = fs.createWriteStream(errFile);
  const url = await bidiAddress(child, out, errFile);
  const client = await bidiClient(WebSocket, `${url}/session`);
  await client.call('session.new', { capabilities: {} });
  if (withExtension && !args.installed && !args.makeProfile) {
    const r = await client.call('webExtension.install', { extensionData: { type: 'path', path: extensionDir } });
    assert.equal(r.extension, geckoId);
  }
  const wrap = (context) => {
    const evaluate = async (source, ...a) => {
      const r = await client.call('script.callFunction', {
        functionDeclaration: `async (a) => JSON.stringify(await (${source})(...JSON.parse(a)))`,
        arguments: [{ type: 'string', value: JSON.stringify(a) }],
        awaitPromise: true, target: { context }, resultOwnership: 'none',
      });
      if (r.type === 'exception') throw new Error(`in the page: ${r.exceptionDetails?.text}`);
      return r.result.value === undefined ? undefined : JSON.parse(r.result.value);
    };
    return {
      context,
      evaluate,
      click: (selector) => evaluate('(s) => { document.querySelector(s).click(); return true; }', selector),
      goto: (u) => client.call('browsingContext.navigate', { context, url: u, wait: 'complete' }),
      close: () => client.call('browsingContext.close', { context }).catch(() => {}),
    };
  };
  const tree = async () => (await client.call('browsingContext.getTree', { maxDepth: 0 })).contexts;
  return {
    async open(u) {
      const { context } = await client.call('browsingContext.create', { type: 'tab' });
      const page = wrap(context);
      await page.goto(u);
      return page;
    },
    async findPage(part, ms = 15000) {
      const end = Date.now() + ms;
      while (Date.now() < end) {
        const found = (await tree()).find((c) => c.url.includes(part));
        if (found) {
          const page = wrap(found.context);
          await waitUntil(page, '() => document.readyState === "complete"', `${part} loaded`);
          return page;
        }
        await sleep(50);
      }
      throw new Error(`no page ${part} within ${ms} ms`);
    },
    pages: async () => (await tree()).map((c) => c.url),
    async close() {
      session.snapshot();
      await Promise.race([client.call('browser.close', {}).catch(() => {}), sleep(5000)]);
      client.close();
      await session.stop();
      out.end();
    },
  };
}

// --- the cases ----------------------------------------------------------------------------------
async function runCases(cases) {
  let failed = 0;
  for (const [name, fn] of cases) {
    const t0 = Date.now();
    try {
      await fn();
      log(`ok - ${name} (${Date.now() - t0} ms)`);
    } catch (e) {
      failed++;
      log(`not ok - ${name} (${Date.now() - t0} ms)\n  ${String(e && e.stack || e).replace(/\n/g, '\n  ')}`);
    }
  }
  log(`${cases.length - failed} passed, ${failed} failed`);
  return failed === 0;
}

const stateOf = (id) => `() => { const e = document.getElementById(${JSON.stringify(id)}); return e && e.dataset.state !== 'busy' && e.dataset.state !== 'idle' && e.dataset.state !== 'pending' ? { state: e.dataset.state, name: e.dataset.errorName || '', text: e.textContent } : null; }`;
const errorName = '() => document.getElementById("error").dataset.errorName';

// An ECDSA signature as the card gives it (r || s, fixed width) in DER, as OpenSSL reads it.
function ecdsaDer(raw) {
  const integer = (bytes) => {
    let i = 0;
    while (i < bytes.length - 1 && bytes[i] === 0) i++;
    const v = bytes.subarray(i);
    const body = v[0] & 0x80 ? Buffer.concat([Buffer.from([0]), v]) : v;
    return Buffer.concat([Buffer.from([0x02, body.length]), body]);
  };
  const half = raw.length / 2;
  const content = Buffer.concat([integer(raw.subarray(0, half)), integer(raw.subarray(half))]);
  const length = content.length < 128 ? Buffer.from([content.length]) : Buffer.from([0x81, content.length]);
  return Buffer.concat([Buffer.from([0x30]), length, content]);
}

function verifyWithOpenssl(dir, certHex, data, signatureHex, ecdsa = false) {
  const signature = Buffer.from(signatureHex, 'hex');
  fs.writeFileSync(path.join(dir, 'cert.der'), Buffer.from(certHex, 'hex'));
  fs.writeFileSync(path.join(dir, 'document'), data);
  fs.writeFileSync(path.join(dir, 'document.sig'), ecdsa ? ecdsaDer(signature) : signature);
  const key = spawnSync('openssl', ['x509', '-inform', 'DER', '-in', 'cert.der', '-noout', '-pubkey', '-out', 'key.pem'], { cwd: dir, encoding: 'utf8' });
  assert.equal(key.status, 0, key.stderr);
  const v = spawnSync('openssl', ['dgst', '-sha256', '-verify', 'key.pem', '-signature', 'document.sig', 'document'], { cwd: dir, encoding: 'utf8' });
  assert.match(`${v.stdout}${v.stderr}`, /Verified OK/);
}

async function pageCases({ browser, port, display, workDir, userManifest }) {
  const local = `http://localhost:${port}/demo/`;
  const other = `http://127.0.0.1:${port}/demo/`;
  const refusedOrigin = `http://[::1]:${port}/demo/`;
  let demo = null;
  const consentWindow = () => browser.findPage('/consent.html');
  const noConsentWindow = async () => assert.ok(!(await browser.pages()).some((u) => u.includes('/consent.html')), 'a consent window is open');

  return runCases([
    ['extension present, host missing: the page names HostMissing', async () => {
      const saved = fs.existsSync(userManifest) ? fs.readFileSync(userManifest) : null;
      fs.mkdirSync(path.dirname(userManifest), { recursive: true });
      fs.writeFileSync(userManifest, JSON.stringify({
        name: defaultHostName, description: 'missing host', path: path.join(workDir, 'no-such-host'), type: 'stdio',
        ...(firefox ? { allowed_extensions: [geckoId] } : { allowed_origins: [`chrome-extension://${chromeId}/`] }),
      }));
      try {
        const page = await browser.open(local);
        const status = await waitUntil(page, stateOf('status'), 'status');
        assert.deepEqual([status.state, status.name], ['error', 'HostMissing'], JSON.stringify(status));
        await page.close();
      } finally {
        if (saved) fs.writeFileSync(userManifest, saved);
        else fs.rmSync(userManifest);
      }
    }],
    ['status: extension and host versions, no consent asked', async () => {
      demo = await browser.open(local);
      const status = await waitUntil(demo, stateOf('status'), 'status');
      assert.equal(status.state, 'ok', JSON.stringify(status));
      assert.match(status.text, /native host 2\.0\.2 \(2\.0\.14\)/);
      await noConsentWindow();
    }],
    ['a request over 1 MiB is refused with TooLarge before any consent', async () => {
      const name = await demo.evaluate(`async () => { const v = await import('/veldra.js');
        try { await v.readFile({ reader: 'r', fileId: '0'.repeat(1100000) }); return 'resolved'; } catch (e) { return e.name; } }`);
      assert.equal(name, 'TooLarge');
      await noConsentWindow();
    }],
    ['an http origin other than localhost is refused (OriginRefused), no consent asked', async () => {
      const page = await browser.open(refusedOrigin);
      await page.click('#load-readers');
      const name = await waitUntil(page, errorName, 'error name');
      assert.equal(name, 'OriginRefused');
      await noConsentWindow();
      await page.close();
    }],
    ['a site the user refuses gets NotAllowed, and no host process starts', async () => {
      const page = await browser.open(other);
      // The status line's GET_INFO (no consent needed) has run before the watch starts.
      await waitUntil(page, stateOf('status'), 'status');
      const starts = await hostStartsDuring(async () => {
        await page.click('#load-readers');
        const consent = await consentWindow();
        const text = await consent.evaluate('() => document.body.innerText');
        assert.match(text, new RegExp(`http://127\\.0\\.0\\.1:${port}`));
        assert.match(text, /your identity card/);
        await consent.click('#refuse');
        assert.equal(await waitUntil(page, errorName, 'error name'), 'NotAllowed');
        // The refusal is kept: asked again, no window, the same answer.
        await page.evaluate('() => { document.getElementById("error").dataset.errorName = ""; }');
        await page.click('#load-readers');
        assert.equal(await waitUntil(page, errorName, 'error name'), 'NotAllowed');
        await noConsentWindow();
      });
      assert.equal(starts, 0, 'the host was started for a refused site');
      await page.close();
    }],
    ['always allow: GET_READERS lists the virtual readers, a card in one', async () => {
      await demo.click('#load-readers');
      const consent = await consentWindow();
      await consent.click('#always');
      const readers = await waitUntil(demo, `() => document.getElementById('reader').dataset.state === 'ok' && [...document.getElementById('reader').options].map((o) => o.value)`, 'readers');
      assert.ok(readers.includes('Veldra Virtual Reader 00 00'), JSON.stringify(readers));
      assert.equal(await demo.evaluate('() => document.getElementById("reader").value'), 'Veldra Virtual Reader 00 00');
    }],
    ['READ_FILE: the holder\'s name and photo, without asking again', async () => {
      await demo.click('#read-card');
      const holder = await waitUntil(demo, stateOf('holder'), 'holder');
      assert.equal(holder.state, 'ok', JSON.stringify(holder));
      assert.equal(await demo.evaluate('() => document.getElementById("holder-name").textContent'), 'Alice Marie Tester');
      assert.equal(await demo.evaluate('() => document.getElementById("holder-photo").dataset.bytes'), '3064');
      await noConsentWindow();
    }],
    ['VERIFY_PIN through the PIN dialog: the PIN typed in pinentry', async () => {
      await demo.click('#verify-pin');
      await typePin(display);
      const pin = await waitUntil(demo, '() => document.getElementById("holder-name").dataset.pin', 'PIN result');
      assert.equal(pin, 'valid');
    }],
    ['COMPUTE_SIGNATURE with the PIN token: verified in the page and with OpenSSL', async () => {
      await demo.click('#sign');
      const result = await waitUntil(demo, stateOf('sign-result'), 'signature', 40000);
      assert.equal(result.state, 'ok', JSON.stringify(result));
      assert.match(result.text, /Signed and verified/);
      const data = await demo.evaluate('() => ({ ...document.getElementById("sign-result").dataset })');
      verifyWithOpenssl(workDir, data.certificate, data.document, data.signature);
    }],
    ['the 1.8 card (ECDSA P-384) in the reader: the signature verified in the page and with OpenSSL', async () => {
      const virtualReader = path.join(sourceTop, 'scripts', 'virtual-reader');
      for (const step of [['remove', 'plain'], ['insert', 'plain', '--generation', '1.8']]) {
        const r = spawnSync(virtualReader, step, { encoding: 'utf8', timeout: 30000 });
        assert.equal(r.status, 0, `virtual-reader ${step.join(' ')}: ${r.stderr}`);
      }
      await demo.evaluate('() => { document.getElementById("sign-result").dataset.state = "idle"; }');
      await demo.click('#sign');
      // The PIN token of the first card is not taken for another card: the PIN dialog again.
      await typePin(display);
      const result = await waitUntil(demo, stateOf('sign-result'), 'signature', 40000);
      assert.equal(result.state, 'ok', JSON.stringify(result));
      const data = await demo.evaluate('() => ({ ...document.getElementById("sign-result").dataset })');
      assert.equal(data.signature.length, 2 * 96, 'not a P-384 r || s');
      verifyWithOpenssl(workDir, data.certificate, data.document, data.signature, true);
    }],
    ['the pad: a handwritten signature drawn on the on-screen pad comes back as a PNG', async () => {
      await demo.click('#capture');
      const consent = await consentWindow();
      assert.match(await consent.evaluate('() => document.body.innerText'), /your signature pad/);
      await consent.click('#once');
      // "Allow once" answered the listing of the pads; the capture asks on its own.
      await (await browser.findPage('command=COMPUTE_SIGNATURE_IMAGE')).click('#once');
      const pad = await Promise.race([waitWindow(display, '^Signature pad$'),
        waitUntil(demo, stateOf('pad-result'), 'pad', 15000).then((r) => { throw new Error(`no pad window: ${JSON.stringify(r)}`); })]);
      xdotool(display, 'mousemove', '--window', pad, '200', '150', 'mousedown', '1', 'sleep', '0.05',
        'mousemove', '--window', pad, '300', '190', 'sleep', '0.05', 'mousemove', '--window', pad, '400', '230', 'sleep', '0.05', 'mouseup', '1');
      xdotool(display, 'mousemove', '--window', pad, '735', '450', 'click', '1');
      const result = await waitUntil(demo, stateOf('pad-result'), 'pad', 40000);
      assert.equal(result.state, 'ok', JSON.stringify(result));
      assert.ok(Number(await demo.evaluate('() => document.getElementById("pad-result").dataset.imageBytes')) > 1000);
    }],
    ['the options page, opened from a consent window, lists the kept choices; a revoked site is asked again', async () => {
      await demo.goto(local);
      await waitUntil(demo, stateOf('status'), 'status');
      await demo.click('#capture');
      const asking = await consentWindow();
      await asking.click('#manage');
      const options = await browser.findPage('/options.html');
      await asking.close();
      assert.equal((await waitUntil(demo, stateOf('pad-result'), 'pad')).name, 'NotAllowed');
      const rows = await waitUntil(options, `() => document.body.dataset.ready && [...document.querySelectorAll('#choices tr')].map((r) => [r.dataset.origin, r.dataset.purpose, r.cells[2].textContent])`, 'options');
      assert.deepEqual(rows.sort(), [[`http://127.0.0.1:${port}`, 'card', 'Refuse'], [`http://localhost:${port}`, 'card', 'Always allow']]);
      await options.click(`tr[data-origin="http://localhost:${port}"] button.revoke`);
      await waitUntil(options, `() => document.querySelectorAll('#choices tr').length === 1`, 'revoked');
      await options.close();
      await demo.evaluate('() => { document.getElementById("reader").dataset.state = ""; }');
      await demo.click('#load-readers');
      const consent = await consentWindow();
      await consent.click('#once');
      await waitUntil(demo, `() => document.getElementById('reader').dataset.state === 'ok'`, 'readers after allow once');
      // Allowed once: for this page until it is loaded again; then asked again, and a window closed
      // without a choice refuses.
      await demo.evaluate('() => { document.getElementById("reader").dataset.state = ""; }');
      await demo.click('#load-readers');
      await waitUntil(demo, `() => document.getElementById('reader').dataset.state === 'ok'`, 'readers allowed once again');
      await noConsentWindow();
      await demo.goto(local);
      await waitUntil(demo, stateOf('status'), 'status');
      await demo.click('#load-readers');
      const again = await consentWindow();
      await again.close();
      assert.equal(await waitUntil(demo, errorName, 'error name'), 'NotAllowed');
    }],
  ]);
}

// --- main ---------------------------------------------------------------------------------------
function blocker() {
  for (const tool of ['Xvfb', 'xdotool', 'openssl']) {
    if (spawnSync('sh', ['-c', `command -v ${tool}`]).status !== 0) return `${tool} is missing`;
  }
  if (!fs.existsSync(pinentry)) return `${pinentry} is missing`;
  for (const file of Object.values(vendored(args.nodeModules))) {
    if (!fs.existsSync(file)) return `${file} is missing (tests/browser/setup.sh installs it)`;
  }
  if (!fs.existsSync(path.join(sourceTop, 'scripts', 'virtual-reader'))) return 'scripts/virtual-reader is missing';
  return null;
}

async function makeProfile() {
  const workDir = fs.mkdtempSync(path.join(path.dirname(args.makeProfile), 'make-profile-'));
  const { env } = privateHome(workDir, 'unused');
  const browser = await startFirefoxBrowser({ workDir, env, withExtension: true, profile: args.makeProfile });
  await browser.close();
  fs.rmSync(workDir, { recursive: true, force: true });
  log(`firefox profile made in ${args.makeProfile}`);
  return 0;
}

// The host registered for our extension in the profile (Chromium) or the private HOME (Firefox).
function registerHost(profile, env, host) {
  const register = firefox ? ['--browser', 'firefox', '--name', defaultHostName, '--host', host, geckoId]
    : ['--user-data-dir', profile, '--name', defaultHostName, '--host', host, chromeId];
  log(runInstallHost(register, env).trim());
}

// The hostile page's cases: one browser, the built host behind a wrapper that records its runs.
async function guardMain() {
  if (!fs.existsSync('/usr/bin/python3')) {
    log('SKIPPED: /usr/bin/python3 (the recording host wrapper) is missing');
    return SKIP;
  }
  const workDir = makeWorkDir(args.build, `guard-${args.browser}`);
  log(`work folder ${workDir}`);
  setTimeout(() => { console.error('page: the run took longer than 150 s; stopping'); process.exit(1); }, 150000).unref();
  const server = await startServer();
  const { dirs, env } = privateHome(workDir, 'profile');
  const wrapper = path.join(workDir, 'bin', 'recording-host');
  const logFile = path.join(workDir, 'host-runs.jsonl');
  fs.mkdirSync(path.dirname(wrapper));
  fs.writeFileSync(wrapper, hostWrapper(hostPath, logFile), { mode: 0o755 });
  registerHost(dirs.profile, env, wrapper);
  let ok = false;
  let browser = null;
  try {
    browser = await (firefox ? startFirefoxBrowser : startChromium)({ workDir, env, withExtension: true, profile: dirs.profile });
    ok = await runCases(guardCases({ browser, port: server.port, logFile, waitUntil }));
  } finally {
    if (browser) await browser.close();
    await server.close();
  }
  if (ok && !args.keep) fs.rmSync(workDir, { recursive: true, force: true });
  return ok ? 0 : 1;
}

// The consent window and the demo page in each language: a browser start of its own for each.
async function localesMain() {
  const workDir = makeWorkDir(args.build, `locales-${args.browser}`);
  log(`work folder ${workDir}`);
  setTimeout(() => { console.error('page: the run took longer than 180 s; stopping'); process.exit(1); }, 180000).unref();
  const server = await startServer();
  let ok = true;
  try {
    for (const lang of LANGUAGES) {
      const { dirs, env } = privateHome(workDir, `profile-${lang}`);
      const browser = await (firefox ? startFirefoxBrowser : startChromium)({ workDir, env, withExtension: true, profile: dirs.profile, lang });
      try {
        ok = await runCases(await localeCases({ browser, port: server.port, waitUntil, lang, sourceTop })) && ok;
      } finally {
        await browser.close();
      }
    }
  } finally {
    await server.close();
  }
  if (ok && !args.keep) fs.rmSync(workDir, { recursive: true, force: true });
  return ok ? 0 : 1;
}

// For bench/browser-roundtrip: the time from a page's call of the library to the answer through
// our extension and the built host, beside the host's own run for the same request started
// directly: GET_INFO, and COMPUTE_SIGNATURE on the plain virtual reader's card with a PIN token and
// the site always allowed (the consent window clicked once, the token from a VERIFY_PIN answered by
// the stand-in pinentry; the host run alone gets its own token the same way). Medians of --calls
// calls after 3 not counted; prints one JSON line. --web and --extension serve another page
// library and load another extension (the bench's "before").
async function benchMain() {
  if (process.env.VELDRA_E2E_READERS !== 'up') return rerunUnderVirtualReaders(args.build, `virtual-reader-bench-${args.browser}`);
  const calls = args.calls ?? 20;
  const warmup = 3;
  const workDir = makeWorkDir(args.build, `bench-page-${args.browser}`);
  const server = await startServer();
  const { dirs, env: baseEnv } = privateHome(workDir, 'profile');
  const env = { ...baseEnv, PATH: `${path.join(args.build, 'modules', 'user-input', 'fake-bin')}:${baseEnv.PATH}`, FAKE_PIN: '1234' };
  registerHost(dirs.profile, env, hostPath);
  const summary = (xs) => ({ median: median(xs.slice(warmup)), min: Math.min(...xs.slice(warmup)), max: Math.max(...xs.slice(warmup)) });
  const reader = 'Veldra Virtual Reader 00 00';
  const hash = '9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08';
  // The host alone, timed until it has exited.
  const hostTimes = (request) => Array.from({ length: warmup + calls }, () => {
    const t0 = performance.now();
    askHostDirectly(hostPath, request, env);
    return performance.now() - t0;
  });
  const info = hostTimes({ cmd: 'GET_INFO', callerOrigin: `http://localhost:${server.port}` });
  const { pinToken } = askHostDirectly(hostPath, { cmd: 'VERIFY_PIN', reader }, env);
  if (!pinToken) throw new Error('VERIFY_PIN through the stand-in pinentry gave no token');
  const sign = hostTimes({ cmd: 'COMPUTE_SIGNATURE', reader, hash, pinToken });
  let browser = null;
  try {
    browser = await (firefox ? startFirefoxBrowser : startChromium)({ workDir, env, withExtension: true, profile: dirs.profile });
    const page = await browser.open(`http://localhost:${server.port}/blank`);
    const timed = (call) => page.evaluate(`async () => { const v = await import('/veldra.js'); const out = [];
      for (let i = 0; i < ${warmup + calls}; i++) { const t0 = performance.now(); await ${call}; out.push(performance.now() - t0); }
      return out; }`);
    const pageInfo = await timed(`v.send({ cmd: 'GET_INFO' })`);
    const verified = page.evaluate(`async () => (await (await import('/veldra.js')).verifyPin({ reader: ${JSON.stringify(reader)} })).pinToken`);
    await (await browser.findPage('/consent.html')).click('#always');
    const token = await verified;
    if (!token) throw new Error('VERIFY_PIN from the page gave no token');
    const pageSign = await timed(`v.computeSignature({ reader: ${JSON.stringify(reader)}, hash: '${hash}', pinToken: '${token}' })`);
    log(JSON.stringify({
      bench: 'page', browser: args.browser, calls,
      page: summary(pageInfo), host: summary(info), pageSign: summary(pageSign), hostSign: summary(sign),
    }));
  } finally {
    if (browser) await browser.close();
    await server.close();
  }
  fs.rmSync(workDir, { recursive: true, force: true });
  return 0;
}

async function main() {
  if (args.makeProfile) return makeProfile();
  if (args.suite === 'bench') return benchMain();
  const why = blocker();
  if (why) {
    log(`SKIPPED: ${why}`);
    return SKIP;
  }
  if (!fs.existsSync(hostPath)) throw new Error(`${hostPath} is not there`);
  if (args.suite === 'guard') return guardMain();
  if (args.suite === 'locales') return localesMain();
  if (process.env.VELDRA_E2E_READERS !== 'up') return rerunUnderVirtualReaders(args.build, `virtual-reader-page-${args.browser}`);

  const workDir = makeWorkDir(args.build, `page-${args.browser}`);
  log(`work folder ${workDir}`);
  setTimeout(() => { console.error('page: the run took longer than 150 s; stopping'); process.exit(1); }, 150000).unref();
  const xvfb = await startXvfb();
  const server = await startServer();
  log(`Xvfb ${xvfb.display}, web server on port ${server.port}`);

  // The PIN dialog is pinentry-gtk-2, found as "pinentry" first on the host's PATH.
  const { dirs, env: baseEnv } = privateHome(workDir, 'profile');
  const bin = path.join(workDir, 'bin');
  fs.mkdirSync(bin);
  fs.symlinkSync(pinentry, path.join(bin, 'pinentry'));
  const env = { ...baseEnv, PATH: `${bin}:${baseEnv.PATH}`, DISPLAY: xvfb.display };
  const profile = args.firefoxProfile ?? dirs.profile;
  const userManifest = firefox
    ? path.join(dirs.home, '.mozilla', 'native-messaging-hosts', `${defaultHostName}.json`)
    : path.join(profile, 'NativeMessagingHosts', `${defaultHostName}.json`);
  if (!args.installed) registerHost(profile, env, hostPath);
  const start = firefox ? startFirefoxBrowser : startChromium;
  let ok = true;
  let browser = null;
  try {
    const t0 = Date.now();
    browser = await start({ workDir, env, withExtension: true, profile });
    log(`${args.browser} ready in ${Date.now() - t0} ms`);
    ok = await pageCases({ browser, port: server.port, display: xvfb.display, workDir, userManifest });
    await browser.close();
    browser = null;

    // The same page in a browser without the extension (a profile of its own), the host present.
    const bare = privateHome(workDir, 'profile-without-extension');
    browser = await start({ workDir, env, withExtension: false, profile: bare.dirs.profile });
    ok = await runCases([['host present, extension missing: the page names ExtensionMissing', async () => {
      const page = await browser.open(`http://localhost:${server.port}/demo/`);
      const status = await waitUntil(page, stateOf('status'), 'status');
      assert.deepEqual([status.state, status.name], ['error', 'ExtensionMissing'], JSON.stringify(status));
    }]]) && ok;
  } finally {
    if (browser) await browser.close();
    await server.close();
    xvfb.stop();
  }
  if (ok && !args.keep) fs.rmSync(workDir, { recursive: true, force: true });
  return ok ? 0 : 1;
}

main().then((code) => process.exit(code), (e) => {
  console.error(`page: ${e && e.stack || e}`);
  process.exit(1);
});
