// Round trip of GET_INFO through real browsers, headless Chromium and Firefox ESR: the median time
// from runtime.sendNativeMessage to its callback, timed inside the test extension (Chromium's service
// worker, Firefox's add-on page), for veldra-native-host and for the minimal frame-echo host
// registered the same way (the browser's own cost of starting a host). Also the time from starting
// the browser until the extension can be called, and the time from a page's call of the page library
// to the answer through our own extension, beside the host's own run of the same request started
// directly, for GET_INFO and for COMPUTE_SIGNATURE with a PIN token and the site always allowed
// (tests/browser/page.mjs --suite bench, under scripts/virtual-reader run).
// --host and --echo time other programs in the same places, e.g. the installed package's host
// (/usr/libexec/veldra/veldra-native-host) against the C frame echo (BUILD/bin/veldra-frame-echo-c).
// --before REV times the page calls again with the page library (web/veldra.js) and the content
// script (extension/content.js) of commit REV in this tree's web/ and extension/.
//   node bench/browser-roundtrip/roundtrip.mjs --build BUILD [--node-modules DIR] [--calls N]
//                                              [--browser chromium,firefox] [--host PATH] [--echo PATH]
//                                              [--before REV]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const harnessDir = path.resolve(here, '..', '..', 'tests', 'browser');
const { makeWorkDir, median, startBrowser } = await import(path.join(harnessDir, 'harness.mjs'));
const { startFirefox } = await import(path.join(harnessDir, 'firefox.mjs'));

const argv = process.argv.slice(2);
const opt = (name, fallback) => { const i = argv.indexOf(name); return i >= 0 ? argv[i + 1] : fallback; };
const build = path.resolve(opt('--build', path.resolve(here, '..', '..', 'build')));
const nodeModules = path.resolve(opt('--node-modules', path.join(build, 'browser-node')));
const calls = Number(opt('--calls', '20'));
const browsers = opt('--browser', 'chromium,firefox').split(',');
const warmup = 3;

const deps = spawnSync(path.join(harnessDir, 'setup.sh'), [nodeModules], { stdio: ['ignore', 'ignore', 'inherit'] });
if (deps.status !== 0) process.exit(1);

const hosts = [
  { name: 'org.veldra.native_host', path: path.resolve(opt('--host', path.join(build, 'bin', 'veldra-native-host'))) },
  { name: 'org.veldra.frame_echo', path: path.resolve(opt('--echo', path.join(build, 'bin', 'veldra-frame-echo'))) },
];
for (const h of hosts) if (!fs.existsSync(h.path)) { console.error(`${h.path} is not built`); process.exit(1); }

const fmt = (x) => x.toFixed(2);

// One browser: start it, warm up, then alternate the two hosts so that a slow moment of the machine
// hits both alike. Returns the medians.
async function measure(name) {
  const workDir = makeWorkDir(build, `bench-roundtrip-${name}`);
  const t0 = performance.now();
  const browser = name === 'firefox'
    ? await startFirefox({ nodeModules, workDir, hosts })
    : await startBrowser({ nodeModules, workDir, hosts });
  const startMs = performance.now() - t0;
  try {
    const request = { cmd: 'GET_INFO' };
    const one = async (h) => {
      const r = await browser.send(h.name, request);
      if (!r.ok) throw new Error(`${name} ${h.name}: ${JSON.stringify(r)}`);
      return r.ms;
    };
    for (let i = 0; i < warmup; i++) for (const h of hosts) await one(h);
    const times = hosts.map(() => []);
    for (let i = 0; i < calls; i++) for (const [k, h] of hosts.entries()) times[k].push(await one(h));
    return { startMs, times };
  } finally {
    await browser.close();
    fs.rmSync(workDir, { recursive: true, force: true });
  }
}

let code = 0;
const results = {};
for (const name of browsers) {
  try {
    results[name] = await measure(name);
  } catch (e) {
    console.error(`bench: ${name}: ${e.message}`);
    code = 1;
  }
}
const pad = (x, n) => String(x).padEnd(n);
console.log(`GET_INFO round trip, sendNativeMessage to callback, median of ${calls} calls (${warmup} warm-up calls each not counted)`);
console.log(`${pad('', 20)}${browsers.map((b) => pad(b, 36)).join('')}`);
for (const [k, h] of hosts.entries()) {
  const cells = browsers.map((b) => {
    const t = results[b]?.times[k];
    return pad(t ? `median ${fmt(median(t))} ms (${fmt(Math.min(...t))}-${fmt(Math.max(...t))})` : '-', 36);
  });
  console.log(`${pad(path.basename(h.path), 20)}${cells.join('')}`);
}
console.log(`${pad('ratio', 20)}${browsers.map((b) => pad(results[b] ? (median(results[b].times[0]) / median(results[b].times[1])).toFixed(2) : '-', 36)).join('')}`);
console.log(`${pad('browser start', 20)}${browsers.map((b) => pad(results[b] ? `${results[b].startMs.toFixed(0)} ms to a callable extension` : '-', 36)).join('')}`);

// From a page: the page library, our extension and the built host; with --before, also the library
// and content script of that commit.
const before = opt('--before', null);
const variants = [{ name: 'this tree', flags: [] }];
let beforeDir = null;
if (before) {
  const top = path.resolve(here, '..', '..');
  beforeDir = fs.mkdtempSync(path.join(build, 'bench-before-'));
  for (const d of ['web', 'extension']) fs.cpSync(path.join(top, d), path.join(beforeDir, d), { recursive: true });
  for (const f of ['web/veldra.js', 'extension/content.js']) {
    const shown = spawnSync('git', ['-C', top, 'show', `${before}:${f}`]);
    if (shown.status !== 0) { console.error(`bench: git show ${before}:${f} failed`); process.exit(1); }
    fs.writeFileSync(path.join(beforeDir, f), shown.stdout);
  }
  const short = spawnSync('git', ['-C', top, 'rev-parse', '--short', before], { encoding: 'utf8' }).stdout.trim();
  variants.push({ name: `before (${short || before})`, flags: ['--web', path.join(beforeDir, 'web'), '--extension', path.join(beforeDir, 'extension')] });
}
const pageRows = variants.map(() => ({}));
for (const name of browsers) {
  for (const [k, v] of variants.entries()) {
    const run = spawnSync(process.execPath, [path.join(harnessDir, 'page.mjs'), '--suite', 'bench', '--browser', name,
      '--build', build, '--node-modules', nodeModules, '--calls', String(calls), ...v.flags], { encoding: 'utf8' });
    const line = run.stdout.split('\n').find((l) => l.startsWith('{"bench":"page"'));
    if (run.status !== 0 || !line) {
      console.error(`bench: page ${name} (${v.name}): ${run.stderr.trim().split('\n').at(-1) ?? run.status}`);
      code = 1;
      continue;
    }
    pageRows[k][name] = JSON.parse(line);
  }
}
if (beforeDir) fs.rmSync(beforeDir, { recursive: true, force: true });
const cell = (t) => pad(t ? `median ${fmt(t.median)} ms (${fmt(t.min)}-${fmt(t.max)})` : '-', 36);
const row = (label, pick) => console.log(`${pad(label, 46)}${browsers.map((b) => cell(pick(b))).join('')}`);
console.log(`\nFrom a page: the library's call to its answer through the extension, beside the host's own run of the same`);
console.log(`request (until it has exited); median of ${calls} calls`);
console.log(`${pad('', 46)}${browsers.map((b) => pad(b, 36)).join('')}`);
for (const [cmd, pageKey, hostKey] of [['GET_INFO', 'page', 'host'], ['COMPUTE_SIGNATURE, PIN token, kept consent', 'pageSign', 'hostSign']]) {
  console.log(cmd);
  for (const [k, v] of variants.entries()) row(`  page call to answer${k ? `, ${v.name}` : ''}`, (b) => pageRows[k][b]?.[pageKey]);
  row('  host run alone', (b) => pageRows[0][b]?.[hostKey]);
}
process.exit(code);
