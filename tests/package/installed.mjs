// Drives the INSTALLED host (the Debian package) from headless Chromium: the system manifest
// /etc/chromium/native-messaging-hosts must name the installed host and allow our extension alone,
// so the test extension is registered in its own profile for the host that manifest names; no
// build folder is on any path the browser or the host sees. (The demo page's step of
// scripts/package-test reaches the host through the system manifest with our extension.) The card
// cases run on the virtual reader (scripts/package-test starts it around this program).
//   node installed.mjs --build BUILD [--node-modules DIR] [--suite host|card]
// Exit code 0 when every case passed, 1 otherwise.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { defaultHostName, parseArgs, startBrowser } from '../browser/harness.mjs';

const installedHost = '/usr/libexec/veldra/veldra-native-host';
const systemManifest = `/etc/chromium/native-messaging-hosts/${defaultHostName}.json`;
const ourOrigin = 'chrome-extension://jlcdhkdjighmfoibpoaickdcjhiogpbn/';
const args = parseArgs(process.argv.slice(2));
const log = (...m) => console.log(...m);

setTimeout(() => {
  console.error('installed: the run took longer than 90 s; stopping');
  process.exit(1);
}, 90000).unref();

function verifyWithOpenssl(dir, certHex, data, signatureHex) {
  const files = { cert: 'cert.der', pub: 'key.pem', data: 'data', sig: 'sig' };
  for (const k of Object.keys(files)) files[k] = path.join(dir, files[k]);
  fs.writeFileSync(files.cert, Buffer.from(certHex, 'hex'));
  fs.writeFileSync(files.data, data);
  fs.writeFileSync(files.sig, Buffer.from(signatureHex, 'hex'));
  const run = (argv) => spawnSync('openssl', argv, { encoding: 'utf8' });
  assert.equal(run(['x509', '-inform', 'DER', '-in', files.cert, '-noout', '-pubkey', '-out', files.pub]).status, 0);
  const v = run(['dgst', '-sha256', '-verify', files.pub, '-signature', files.sig, files.data]);
  assert.equal(v.status, 0, `${v.stdout}${v.stderr}`);
}

async function main() {
  const manifest = JSON.parse(fs.readFileSync(systemManifest, 'utf8'));
  assert.equal(manifest.path, installedHost, `${systemManifest} names ${manifest.path}`);
  assert.deepEqual(manifest.allowed_origins, [ourOrigin], `${systemManifest} allows more than our extension`);
  const workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'veldra-installed-'));
  let browser = null;
  let failed = 0;
  try {
    const hosts = [{ name: defaultHostName, path: manifest.path }];
    browser = await startBrowser({ nodeModules: args.nodeModules, workDir, hosts, log });
    let reader = null;
    let cert = null;
    const cases = [
      ['GET_INFO from the installed host', async () => {
        const r = await browser.send(defaultHostName, { cmd: 'GET_INFO' });
        assert.deepEqual(r.ok ? r.value : r, { version: '2.0.2', binVersion: '2.0.14' });
      }],
    ];
    if (args.suite === 'card') {
      cases.push(
        ['GET_READERS finds the virtual card', async () => {
          const r = await browser.send(defaultHostName, { cmd: 'GET_READERS' });
          reader = r.value?.readerList?.find((x) => x.cardPresent === true)?.name;
          assert.ok(reader, JSON.stringify(r));
        }],
        ['READ_FILE gives the signature certificate', async () => {
          const r = await browser.send(defaultHostName, { cmd: 'READ_FILE', reader, fileId: '3F00DF005039' });
          assert.match(r.value?.data ?? '', /^([0-9A-F]{2})+$/, JSON.stringify(r));
          cert = r.value.data;
        }],
        ['COMPUTE_SIGNATURE signs; the signature verifies with OpenSSL', async () => {
          const data = 'signed by the installed host\n';
          const r = await browser.send(defaultHostName, {
            cmd: 'COMPUTE_SIGNATURE', reader, pin: '1234', hash: createHash('sha256').update(data).digest('hex'),
          }, 30000);
          assert.equal(r.value?.valid, true, JSON.stringify(r));
          verifyWithOpenssl(workDir, cert, data, r.value.signature);
        }]);
    }
    for (const [name, fn] of cases) {
      try {
        await fn();
        log(`ok - ${name}`);
      } catch (e) {
        failed++;
        log(`not ok - ${name}\n  ${String(e && e.stack || e).replace(/\n/g, '\n  ')}`);
      }
    }
  } finally {
    if (browser) await browser.close();
    fs.rmSync(workDir, { recursive: true, force: true });
  }
  return failed ? 1 : 0;
}

main().then((code) => process.exit(code), (e) => {
  console.error(`installed: ${e && e.stack || e}`);
  process.exit(1);
});
