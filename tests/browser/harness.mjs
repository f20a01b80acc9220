// Starts Debian's Chromium headless with the test extension, the native hosts registered in the
// browser's own profile folder by scripts/install-host, and a private HOME and XDG folders, so that
// nothing of the machine's user is read or written. The browser is stopped on every path: by
// Playwright when possible, otherwise by its process group id; host processes it started that are
// still alive afterwards are killed by their PIDs.
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const sourceTop = path.resolve(here, '..', '..');
export const extensionDir = path.join(here, 'extension');
export const chromiumPath = '/usr/bin/chromium';
export const defaultHostName = 'org.veldra.native_host';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The extension id Chromium derives from the manifest's public key: the first 32 hex digits of its
// SHA-256, with 0-f written as a-p.
// A private HOME, XDG folders and profile folder under workDir for one browser, and the only
// environment the browser and the host get: no DISPLAY, no session bus, nothing of the user's.
export function privateHome(workDir, profileName) {
  const dirs = {
    profile: path.join(workDir, profileName),
    home: path.join(workDir, 'home'),
    config: path.join(workDir, 'home', '.config'),
    cache: path.join(workDir, 'home', '.cache'),
    data: path.join(workDir, 'home', '.local', 'share'),
    runtime: path.join(workDir, 'runtime'),
  };
  for (const d of Object.values(dirs)) fs.mkdirSync(d, { recursive: true, mode: 0o700 });
  const env = {
    PATH: '/usr/local/bin:/usr/bin:/bin',
    HOME: dirs.home,
    XDG_CONFIG_HOME: dirs.config,
    XDG_CACHE_HOME: dirs.cache,
    XDG_DATA_HOME: dirs.data,
    XDG_RUNTIME_DIR: dirs.runtime,
    LANG: 'C.UTF-8',
  };
  return { dirs, env };
}

export function extensionId() {
  const key = JSON.parse(fs.readFileSync(path.join(extensionDir, 'manifest.json'), 'utf8')).key;
  const hex = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...hex].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

// Command line: --build DIR --node-modules DIR [--suite NAME] [--browser chromium|firefox]
// [--installed] [--keep]
export function parseArgs(argv) {
  const args = { suite: 'host', browser: 'chromium', installed: false, keep: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--build') args.build = argv[++i];
    else if (a === '--node-modules') args.nodeModules = argv[++i];
    else if (a === '--suite') args.suite = argv[++i];
    else if (a === '--browser') args.browser = argv[++i];
    else if (a === '--installed') args.installed = true;
    else if (a === '--keep') args.keep = true;
    else throw new Error(`unknown argument ${a}`);
  }
  if (!args.build) throw new Error('--build DIR is required');
  if (!['chromium', 'firefox'].includes(args.browser)) throw new Error(`unknown browser ${args.browser}`);
  if (args.installed && args.browser !== 'firefox') throw new Error('--installed is for --browser firefox');
  args.build = path.resolve(args.build);
  args.nodeModules = path.resolve(args.nodeModules ?? path.join(args.build, 'browser-node'));
  return args;
}

function loadPlaywright(nodeModules) {
  const require = createRequire(path.join(nodeModules, 'package.json'));
  try {
    return require('playwright-core');
  } catch (e) {
    throw new Error(`playwright-core is not installed in ${nodeModules} (tests/browser/setup.sh installs it): ${e.message}`);
  }
}

// --- processes, by PID --------------------------------------------------------------------------
function procStat(pid) {
  try {
    const text = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
    return { state: fields[0], ppid: Number(fields[1]), start: fields[19] };
  } catch {
    return null;
  }
}

export function childrenOf(ppid) {
  const out = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    const st = procStat(name);
    if (st && st.ppid === ppid) out.push({ pid: Number(name), start: st.start });
  }
  return out;
}

function descendantsOf(pid) {
  const all = [];
  const queue = [pid];
  while (queue.length) {
    for (const c of childrenOf(queue.shift())) {
      all.push(c);
      queue.push(c.pid);
    }
  }
  return all;
}

// Alive and still the same process (its start time guards against a reused PID).
function alive(proc) {
  const st = procStat(proc.pid);
  return st !== null && st.state !== 'Z' && st.start === proc.start;
}

function killIfAlive(proc, group = false) {
  if (!alive(proc)) return;
  try {
    process.kill(group ? -proc.pid : proc.pid, 'SIGKILL');
  } catch { /* already gone */ }
}

async function waitGone(procs, ms) {
  const end = Date.now() + ms;
  while (procs.some(alive) && Date.now() < end) await sleep(20);
  return !procs.some(alive);
}

// --- the session --------------------------------------------------------------------------------
const sessions = new Set();

// Last resort when the driver dies: synchronous kills of everything a session started.
function killAllNow() {
  for (const s of sessions) s.killNow();
}
process.on('exit', killAllNow);
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(sig, () => {
    killAllNow();
    process.exit(128 + ({ SIGINT: 2, SIGTERM: 15, SIGHUP: 1 })[sig]);
  });
}

// Keeps track of a browser started by someone else (a process group leader, pid) and what runs
// under it, for the same kills on every exit path.
export function trackedSession(pid) {
  const st = procStat(pid);
  const session = {
    browser: st ? { pid, start: st.start } : null,
    seen: [],
    killNow() {
      if (!this.browser) return;
      this.seen.push(...descendantsOf(this.browser.pid));
      killIfAlive(this.browser, true);
      for (const p of this.seen) killIfAlive(p);
    },
    snapshot() { if (this.browser) this.seen.push(...descendantsOf(this.browser.pid)); },
    // Processes under the browser whose program lies in one of dirs.
    processesUnder(dirs) {
      if (!this.browser) return [];
      return descendantsOf(this.browser.pid).filter((p) => {
        try { const exe = fs.readlinkSync(`/proc/${p.pid}/exe`); return dirs.some((d) => exe.startsWith(d)); } catch { return false; }
      });
    },
    async stop() {
      if (this.browser) {
        this.snapshot();
        await waitGone([this.browser], 3000);
        killIfAlive(this.browser, true);
        await waitGone([this.browser], 5000);
        for (const p of this.seen) killIfAlive(p);
        await waitGone(this.seen, 5000);
      }
      sessions.delete(this);
    },
  };
  sessions.add(session);
  return session;
}

export function runInstallHost(args, env) {
  const r = spawnSync(path.join(sourceTop, 'scripts', 'install-host'), args, { env, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`scripts/install-host ${args.join(' ')} failed (${r.status}): ${r.stderr}`);
  return r.stdout;
}

// Starts the browser. hosts: [{name, path}] registered in the profile before the start.
export async function startBrowser({ nodeModules, workDir, hosts, log = () => {} }) {
  const { chromium } = loadPlaywright(nodeModules);
  if (!fs.existsSync(chromiumPath)) throw new Error(`${chromiumPath} is missing (Debian package chromium, scripts/deps installs it)`);

  const { dirs, env } = privateHome(workDir, 'profile');

  const id = extensionId();
  for (const h of hosts) {
    log(runInstallHost(['--user-data-dir', dirs.profile, '--name', h.name, '--host', h.path, id], env).trim());
  }

  const browserLog = fs.createWriteStream(path.join(workDir, 'browser.log'));
  const session = {
    browser: null,        // {pid, start} of the browser process, a process group leader
    context: null,
    worker: null,
    seen: [],             // every process seen under the browser
    killNow() {
      if (!this.browser) return;
      this.seen.push(...descendantsOf(this.browser.pid));
      killIfAlive(this.browser, true);
      for (const p of this.seen) killIfAlive(p);
    },
  };
  sessions.add(session);

  const before = new Set(childrenOf(process.pid).map((c) => c.pid));
  const launched = chromium.launchPersistentContext(dirs.profile, {
    executablePath: chromiumPath,
    headless: true,
    timeout: 30000,
    env,
    handleSIGINT: false, handleSIGTERM: false, handleSIGHUP: false,   // handled above, by PID
    ignoreDefaultArgs: ['--disable-extensions'],
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE localhost',
      `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`],
    logger: {
      isEnabled: (name) => name === 'browser',
      log: (name, severity, message) => browserLog.write(`${message}\n`),
    },
  });
  // The browser is our new child; find it at once so that a failed start is cleaned up too.
  const findBrowser = async () => {
    for (let i = 0; i < 200 && !session.browser; i++) {
      const fresh = childrenOf(process.pid).filter((c) => !before.has(c.pid));
      if (fresh.length) session.browser = fresh[0];
      else await sleep(10);
    }
  };
  try {
    const [context] = await Promise.all([launched, findBrowser()]);
    session.context = context;
    if (!session.browser) throw new Error('could not find the browser process');
    log(`browser pid ${session.browser.pid}`);

    const swUrl = `chrome-extension://${id}/sw.js`;
    session.worker = context.serviceWorkers().find((w) => w.url() === swUrl)
      ?? await context.waitForEvent('serviceworker', { predicate: (w) => w.url() === swUrl, timeout: 15000 });
    for (let i = 0; !(await session.worker.evaluate(() => typeof globalThis.nmConnect === 'function')); i++) {
      if (i > 100) throw new Error('the extension\'s helpers never appeared');
      await sleep(50);
    }
  } catch (e) {
    await stopSession(session);
    throw e;
  }

  return {
    id,
    dirs,
    env,
    pid: session.browser.pid,
    // One sendNativeMessage from the service worker; see extension/sw.js for the result record.
    send(host, message, timeoutMs = 15000) {
      return session.worker.evaluate(([h, m, t]) => globalThis.nmSend(h, m, t), [host, message, timeoutMs]);
    },
    sendMany(host, message, count, timeoutMs = 15000) {
      return session.worker.evaluate(([h, m, c, t]) => globalThis.nmSendMany(h, m, c, t), [host, message, count, timeoutMs]);
    },
    // Messages on one connectNative port; see extension/sw.js.
    connect(host, messages, timeoutMs = 15000) {
      return session.worker.evaluate(([h, m, t]) => globalThis.nmConnect(h, m, t), [host, messages, timeoutMs]);
    },
    // Host processes the browser has running now.
    hostProcesses() {
      return descendantsOf(session.browser.pid).filter((p) => {
        try { return fs.readlinkSync(`/proc/${p.pid}/exe`).startsWith(path.dirname(hosts[0].path)); } catch { return false; }
      });
    },
    close: () => stopSession(session),
  };
}

async function stopSession(session) {
  if (session.browser) session.seen.push(...descendantsOf(session.browser.pid));
  if (session.context) {
    const closed = session.context.close().then(() => true, () => false);
    await Promise.race([closed, sleep(5000)]);
  }
  if (session.browser) {
    killIfAlive(session.browser, true);
    await waitGone([session.browser], 5000);
    for (const p of session.seen) killIfAlive(p);
    await waitGone(session.seen, 5000);
  }
  sessions.delete(session);
}

// A fresh folder for one run, under the build tree.
export function makeWorkDir(build, name) {
  const base = path.join(build, 'tests', 'browser');
  fs.mkdirSync(base, { recursive: true });
  return fs.mkdtempSync(path.join(base, `${name}-`));
}

// The card cases run inside "scripts/virtual-reader run": it waits for the machine's pcscd lock,
// starts pcscd and the readers with a card in the plain one, runs this script again with
// VELDRA_E2E_READERS=up, and stops the readers on every exit path. Resolves to the inner exit code.
export function rerunUnderVirtualReaders(build, stateName) {
  const env = {
    ...process.env, VELDRA_E2E_READERS: 'up',
    VELDRA_VR_DIR: path.join(build, stateName), VELDRA_BIN_DIR: path.join(build, 'bin'),
  };
  const child = spawn(path.join(sourceTop, 'scripts', 'virtual-reader'), ['run', '--', process.execPath, ...process.argv.slice(1)],
    { env, stdio: 'inherit', detached: true });
  // A stop of this process stops the whole run (the browser, the readers) through its group.
  const stop = (sig) => { try { process.kill(-child.pid, sig); } catch { /* gone */ } };
  for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(sig, () => stop(sig));
  process.on('exit', () => stop('SIGTERM'));
  return new Promise((resolve) => child.on('exit', (code, sig) => resolve(code ?? (sig ? 1 : 0))));
}

// One request straight to a host program (no browser), framed as a browser frames it; its answer.
export function askHostDirectly(host, message, env) {
  const body = Buffer.from(JSON.stringify(message));
  const head = Buffer.alloc(4);
  head.writeUInt32LE(body.length);
  const r = spawnSync(host, [], { input: Buffer.concat([head, body]), env, timeout: 20000 });
  const out = r.stdout ?? Buffer.alloc(0);
  if (out.length < 4 || out.length !== 4 + out.readUInt32LE(0)) throw new Error(`no answer frame from the host (exit ${r.status})`);
  return JSON.parse(out.subarray(4).toString('utf8'));
}

/** @param {number[]} xs */
export const median = (xs) => { const s = [...xs].sort((a, b) => a - b); const m = s.length >> 1; return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2; };
