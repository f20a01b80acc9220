// Round trip of GET_INFO through a real browser: the median time from chrome.runtime.sendNativeMessage
// to its callback, timed inside the test extension's service worker, for veldra-native-host and for
// the minimal frame-echo host registered the same way (the browser's own cost of starting a host).
//   node bench/browser-roundtrip/roundtrip.mjs --build BUILD [--node-modules DIR] [--calls N]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const harnessDir = path.resolve(here, '..', '..', 'tests', 'browser');
const { makeWorkDir, startBrowser } = await import(path.join(harnessDir, 'harness.mjs'));

const argv = process.argv.slice(2);
const opt = (name, fallback) => { const i = argv.indexOf(name); return i >= 0 ? argv[i + 1] : fallback; };
const build = path.resolve(opt('--build', path.resolve(here, '..', '..', 'build')));
const nodeModules = path.resolve(opt('--node-modules', path.join(build, 'browser-node')));
const calls = Number(opt('--calls', '20'));
const warmup = 3;

const deps = spawnSync(path.join(harnessDir, 'setup.sh'), [nodeModules], { stdio: ['ignore', 'ignore', 'inherit'] });
if (deps.status !== 0) process.exit(1);

const hosts = [
  { name: 'org.veldra.native_host', path: path.join(build, 'bin', 'veldra-native-host') },
  { name: 'org.veldra.frame_echo', path: path.join(build, 'bin', 'veldra-frame-echo') },
];
for (const h of hosts) if (!fs.existsSync(h.path)) { console.error(`${h.path} is not built`); process.exit(1); }

const median = (xs) => { const s = [...xs].sort((a, b) => a - b); const m = s.length >> 1; return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2; };
const fmt = (x) => x.toFixed(2);

const workDir = makeWorkDir(build, 'bench-roundtrip');
const browser = await startBrowser({ nodeModules, workDir, hosts });
let code = 0;
try {
  const request = { cmd: 'GET_INFO' };
  const one = async (h) => {
    const r = await browser.send(h.name, request);
    if (!r.ok) throw new Error(`${h.name}: ${JSON.stringify(r)}`);
    return r.ms;
  };
  for (let i = 0; i < warmup; i++) for (const h of hosts) await one(h);
  // Alternate the two hosts so that a slow moment of the machine hits both alike.
  const times = hosts.map(() => []);
  for (let i = 0; i < calls; i++) for (const [k, h] of hosts.entries()) times[k].push(await one(h));
  const [ours, echo] = times.map(median);
  console.log(`GET_INFO round trip, sendNativeMessage to callback, median of ${calls} calls (${warmup} warm-up calls each not counted)`);
  console.log(`veldra-native-host  median ${fmt(ours)} ms  (min ${fmt(Math.min(...times[0]))}, max ${fmt(Math.max(...times[0]))})`);
  console.log(`veldra-frame-echo   median ${fmt(echo)} ms  (min ${fmt(Math.min(...times[1]))}, max ${fmt(Math.max(...times[1]))})`);
  console.log(`ratio ${(ours / echo).toFixed(2)}`);
} catch (e) {
  console.error(`bench: ${e.message}`);
  code = 1;
} finally {
  await browser.close();
  fs.rmSync(workDir, { recursive: true, force: true });
}
process.exit(code);
