// Starts Debian's Firefox ESR headless in a private profile and HOME, installs the test add-on as a
// temporary add-on over WebDriver BiDi (webExtension.install), opens the add-on's page and runs the
// helpers of extension/sw.js there. The host is found through the Firefox manifest that
// scripts/install-host writes into the private ~/.mozilla/native-messaging-hosts, or, with
// installed: true, the host that the system manifest in /usr/lib/mozilla/native-messaging-hosts of an
// installed package names (that manifest allows our add-on alone, so the test add-on is registered
// for that host in the private HOME). The browser is stopped on every path: by BiDi when
// possible, otherwise by its process group id; hosts it started that are still alive are killed by PID.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { extensionDir, privateHome, runInstallHost, trackedSession } from './harness.mjs';

export const firefoxPath = '/usr/bin/firefox-esr';
export const systemManifestDir = '/usr/lib/mozilla/native-messaging-hosts';
// The add-on id of manifest.json (browser_specific_settings.gecko.id), and the fixed internal
// UUID the profile gives it, so that its page has a known moz-extension:// address.
export const addonId = JSON.parse(fs.readFileSync(path.join(extensionDir, 'manifest.json'), 'utf8'))
  .browser_specific_settings.gecko.id;
const addonUuid = '5f1e6c1a-2d4b-4c8e-9a7f-0b3d5e7a9c11';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export function loadWs(nodeModules) {
  const require = createRequire(path.join(nodeModules, 'package.json'));
  try {
    return require('ws');
  } catch (e) {
    throw new Error(`ws is not installed in ${nodeModules} (tests/browser/setup.sh installs it): ${e.message}`);
  }
}

// A WebDriver BiDi connection: call(method, params) resolves with the command's result.
export function bidiClient(WebSocket, url) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    const pending = new Map();
    let next = 1;
    socket.on('message', (data) => {
      const m = JSON.parse(data.toString());
      const p = m.id !== undefined && pending.get(m.id);
      if (!p) return;
      pending.delete(m.id);
      if (m.type === 'error') p.reject(new Error(`${m.error}: ${m.message}`));
      else p.resolve(m.result);
    });
    const failAll = (e) => { for (const p of pending.values()) p.reject(e); pending.clear(); };
    socket.on('close', () => failAll(new Error('the BiDi connection closed')));
    socket.on('error', (e) => { failAll(e); reject(e); });
    socket.on('open', () => resolve({
      call(method, params = {}) {
        const id = next++;
        return new Promise((res, rej) => {
          pending.set(id, { resolve: res, reject: rej });
          socket.send(JSON.stringify({ id, method, params }));
        });
      },
      close: () => socket.close(),
    }));
  });
}

// The WebDriver BiDi address Firefox prints at its start; its output is copied to out.
export function bidiAddress(child, out, errFile) {
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`Firefox did not open its BiDi port in 30 s; see ${errFile}`)), 30000);
    const onData = (d) => {
      out.write(d);
      text += d.toString();
      const m = /WebDriver BiDi listening on (ws:\/\/\S+)/.exec(text);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    };
    child.stdout.on('data', onData);
    child.stderr.on('data', onData);
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`Firefox exited (${code}) before its BiDi port opened; see ${errFile}`)); });
  });
}

// Preferences of the private profile: no first-run pages, no updates, no network of its own.
// (The remote agent adds its recommended automation preferences on top.)
export function writePrefs(profile, extra = {}) {
  const prefs = {
    'extensions.webextensions.uuids': JSON.stringify({ [addonId]: addonUuid }),
    'app.update.enabled': false,
    'browser.shell.checkDefaultBrowser': false,
    'datareporting.policy.dataSubmissionEnabled': false,
    'toolkit.telemetry.reportingpolicy.firstRun': false,
    'extensions.update.enabled': false,
    'extensions.getAddons.cache.enabled': false,
    'network.dns.disablePrefetch': true,
    'network.proxy.type': 0,
    'network.captive-portal-service.enabled': false,
    'network.connectivity-service.enabled': false,
    'browser.safebrowsing.update.enabled': false,
    'browser.startup.page': 0,
    'browser.startup.homepage_override.mstone': 'ignore',
    'browser.aboutwelcome.enabled': false,
    'messaging-system.rsexperimentloader.enabled': false,
    'app.normandy.enabled': false,
    ...extra,
  };
  const lines = Object.entries(prefs).map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});`);
  fs.writeFileSync(path.join(profile, 'user.js'), `${lines.join('\n')}\n`);
}

// Starts Firefox. hosts: [{name, path}] registered with scripts/install-host in the private HOME
// before the start; with installed, the host that the system manifest names is registered instead.
export async function startFirefox({ nodeModules, workDir, hosts = [], installed = false, log = () => {} }) {
  const WebSocket = loadWs(nodeModules);
  if (!fs.existsSync(firefoxPath)) throw new Error(`${firefoxPath} is missing (Debian package firefox-esr, scripts/deps installs it)`);

  const { dirs, env: baseEnv } = privateHome(workDir, 'firefox-profile');
  writePrefs(dirs.profile);
  const env = { ...baseEnv, MOZ_HEADLESS: '1', MOZ_CRASHREPORTER_DISABLE: '1' };

  let hostPaths = hosts.map((h) => h.path);
  if (installed) {
    const manifest = path.join(systemManifestDir, 'org.veldra.native_host.json');
    if (!fs.existsSync(manifest)) throw new Error(`${manifest} is missing: is the package installed?`);
    const system = JSON.parse(fs.readFileSync(manifest, 'utf8'));
    if (JSON.stringify(system.allowed_extensions) !== JSON.stringify(['webext@veldra.org'])) {
      throw new Error(`${manifest} allows ${JSON.stringify(system.allowed_extensions)}: our add-on alone expected`);
    }
    hostPaths = [system.path];
    log(`system manifest ${manifest}: host ${hostPaths[0]}`);
    log(runInstallHost(['--browser', 'firefox', '--host', system.path, addonId], env).trim());
  } else {
    for (const h of hosts) {
      log(runInstallHost(['--browser', 'firefox', '--name', h.name, '--host', h.path, addonId], env).trim());
    }
  }

  const t0 = Date.now();
  const errFile = path.join(workDir, 'firefox.log');
  const child = spawn(firefoxPath, ['--headless', '--no-remote', '--profile', dirs.profile,
    '--remote-debugging-port', '0', 'about:blank'], {
    env, detached: true, stdio: ['ignore', 'pipe', 'pipe'],
  });
  const session = trackedSession(child.pid);
  const out = fs.createWriteStream(errFile);
  let client = null;
  try {
    const url = await bidiAddress(child, out, errFile);
    log(`firefox: BiDi port open after ${Date.now() - t0} ms`);
    client = await bidiClient(WebSocket, `${url}/session`);
    await client.call('session.new', { capabilities: {} });
    log(`firefox: session after ${Date.now() - t0} ms`);
    const installedAddon = await client.call('webExtension.install', { extensionData: { type: 'path', path: extensionDir } });
    if (installedAddon.extension !== addonId) throw new Error(`the add-on was installed as ${installedAddon.extension}, not ${addonId}`);
    const tree = await client.call('browsingContext.getTree', {});
    const context = tree.contexts[0].context;
    log(`firefox: add-on installed after ${Date.now() - t0} ms`);
    // The remote agent does not navigate to an add-on's page itself; the tab does, as the page is
    // web-accessible (manifest.json).
    await client.call('script.evaluate', { expression: `location.href = 'moz-extension://${addonUuid}/page.html'`, target: { context }, awaitPromise: false });
    const evaluate = async (fn, args) => {
      const r = await client.call('script.callFunction', {
        functionDeclaration: `async (a) => JSON.stringify(await (${fn})(...JSON.parse(a)))`,
        arguments: [{ type: 'string', value: JSON.stringify(args) }],
        awaitPromise: true, target: { context }, resultOwnership: 'none',
      });
      if (r.type === 'exception') throw new Error(`in the add-on page: ${r.exceptionDetails?.text}`);
      return JSON.parse(r.result.value);
    };
    // Until the add-on's page has replaced about:blank (an evaluation during the switch may fail).
    const ready = () => evaluate('() => location.protocol === "moz-extension:" && typeof globalThis.nmConnect === "function"', [])
      .catch(() => false);
    for (let i = 0; !(await ready()); i++) {
      if (i > 200) throw new Error('the add-on\'s page and its helpers never appeared');
      await sleep(25);
    }
    const startMs = Date.now() - t0;
    log(`firefox pid ${child.pid}, ready in ${startMs} ms`);

    return {
      id: addonId,
      dirs,
      env,
      pid: child.pid,
      startMs,
      send: (host, message, timeoutMs = 15000) =>
        evaluate('(h, m, t) => globalThis.nmSend(h, m, t)', [host, message, timeoutMs]),
      sendMany: (host, message, count, timeoutMs = 15000) =>
        evaluate('(h, m, c, t) => globalThis.nmSendMany(h, m, c, t)', [host, message, count, timeoutMs]),
      connect: (host, messages, timeoutMs = 15000) =>
        evaluate('(h, m, t) => globalThis.nmConnect(h, m, t)', [host, messages, timeoutMs]),
      hostProcesses: () => session.processesUnder(hostPaths.map((p) => path.dirname(p))),
      close: () => stop(),
    };
  } catch (e) {
    await stop();
    throw e;
  }

  async function stop() {
    session.snapshot();
    if (client) {
      const closed = client.call('browser.close', {}).then(() => true, () => false);
      await Promise.race([closed, sleep(5000)]);
      client.close();
    }
    await session.stop();
    out.end();
  }
}
