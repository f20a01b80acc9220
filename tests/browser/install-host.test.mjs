// scripts/install-host: the manifests it writes, what --uninstall removes, and that a bad call
// changes nothing. Each case runs it with its own HOME and XDG_CONFIG_HOME in a temporary folder.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const script = path.join(top, 'scripts', 'install-host');
const chromeId = 'fddjheannnjlkfaoipaagdoemofnimfc';
const otherChromeId = 'bhlgpbenpgcjekopfccnpcbdilnmljcm';
const firefoxId = 'signing@veldra.example';
const firefoxGuid = '{0b4a2bb0-3c4d-4e5f-8a9b-0c1d2e3f4a5b}';
const marker = 'veldra-native-host (registered by scripts/install-host)';

function sandbox() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'install-host-'));
  const home = path.join(root, 'home');
  fs.mkdirSync(home);
  const host = path.join(root, 'bin', 'veldra-native-host');
  fs.mkdirSync(path.dirname(host));
  fs.writeFileSync(host, '#!/bin/sh\n', { mode: 0o755 });
  const env = { PATH: process.env.PATH, HOME: home, XDG_CONFIG_HOME: path.join(root, 'config') };
  const run = (...argv) => {
    const r = spawnSync(script, argv, { env: { ...env, ...run.env }, encoding: 'utf8' });
    return { code: r.status, out: r.stdout, err: r.stderr };
  };
  run.env = {};
  const user = {
    chrome: path.join(root, 'config', 'google-chrome', 'NativeMessagingHosts'),
    chromium: path.join(root, 'config', 'chromium', 'NativeMessagingHosts'),
    firefox: path.join(home, '.mozilla', 'native-messaging-hosts'),
  };
  return { root, home, host, env, run, user, done: () => fs.rmSync(root, { recursive: true, force: true }) };
}

const read = (file) => JSON.parse(fs.readFileSync(file, 'utf8'));

// Every file and folder under root with its content, to compare before and after a call.
function snapshot(root) {
  const out = {};
  const walk = (dir) => {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      const p = path.join(dir, e.name);
      if (e.isDirectory()) { out[p] = 'dir'; walk(p); } else out[p] = fs.readFileSync(p, 'utf8');
    }
  };
  walk(root);
  return out;
}

test('a user install writes the Chrome, Chromium and Firefox manifests', () => {
  const s = sandbox();
  try {
    const r = s.run('--host', s.host, chromeId, firefoxId, `chrome-extension://${otherChromeId}/`, chromeId);
    assert.equal(r.code, 0, r.err);
    for (const b of ['chrome', 'chromium']) {
      const file = path.join(s.user[b], 'org.veldra.native_host.json');
      assert.deepEqual(read(file), {
        name: 'org.veldra.native_host', description: marker, path: s.host, type: 'stdio',
        allowed_origins: [`chrome-extension://${chromeId}/`, `chrome-extension://${otherChromeId}/`],
      });
      assert.equal(fs.statSync(file).mode & 0o777, 0o644);
    }
    assert.deepEqual(read(path.join(s.user.firefox, 'org.veldra.native_host.json')), {
      name: 'org.veldra.native_host', description: marker, path: s.host, type: 'stdio',
      allowed_extensions: [firefoxId],
    });
    assert.equal(r.out.trim().split('\n').length, 3, r.out);
    // No temporary files are left beside the manifests.
    assert.deepEqual(fs.readdirSync(s.user.chrome), ['org.veldra.native_host.json']);
  } finally { s.done(); }
});

test('only the browsers that have an id of their kind, or those named with --browser, are registered', () => {
  const s = sandbox();
  try {
    assert.equal(s.run('--host', s.host, firefoxGuid).code, 0);
    assert.ok(fs.existsSync(path.join(s.user.firefox, 'org.veldra.native_host.json')));
    assert.ok(!fs.existsSync(s.user.chrome) && !fs.existsSync(s.user.chromium));

    const r = s.run('--host', s.host, '--browser', 'chromium', '--name', 'org.example.second_host', chromeId);
    assert.equal(r.code, 0, r.err);
    assert.equal(read(path.join(s.user.chromium, 'org.example.second_host.json')).name, 'org.example.second_host');
    assert.ok(!fs.existsSync(s.user.chrome));
  } finally { s.done(); }
});

test('--system writes the system folders (under DESTDIR here), --user-data-dir the profile\'s folder', () => {
  const s = sandbox();
  try {
    const dest = path.join(s.root, 'dest');
    s.run.env = { DESTDIR: dest };
    assert.equal(s.run('--system', '--host', s.host, chromeId, firefoxId).code, 0);
    for (const dir of ['etc/opt/chrome/native-messaging-hosts', 'etc/chromium/native-messaging-hosts',
      'usr/lib/mozilla/native-messaging-hosts']) {
      assert.equal(read(path.join(dest, dir, 'org.veldra.native_host.json')).path, s.host);
    }
    assert.ok(!fs.existsSync(s.user.chrome), 'a system install wrote a user manifest');
    assert.equal(s.run('--system', '--uninstall').code, 0);
    assert.equal(fs.readdirSync(path.join(dest, 'etc/chromium/native-messaging-hosts')).length, 0);

    const profile = path.join(s.root, 'profile');
    assert.equal(s.run('--user-data-dir', profile, '--host', s.host, chromeId).code, 0);
    assert.deepEqual(fs.readdirSync(path.join(profile, 'NativeMessagingHosts')), ['org.veldra.native_host.json']);
  } finally { s.done(); }
});

test('a host path with quotes, backslashes and non-ASCII letters is written as valid JSON', () => {
  const s = sandbox();
  try {
    const odd = path.join(s.root, 'dir "with" \\ quotes é', 'host');
    fs.mkdirSync(path.dirname(odd));
    fs.copyFileSync(s.host, odd);
    fs.chmodSync(odd, 0o755);
    assert.equal(s.run('--host', odd, chromeId).code, 0);
    assert.equal(read(path.join(s.user.chromium, 'org.veldra.native_host.json')).path, odd);
  } finally { s.done(); }
});

test('installing again replaces the manifests; --uninstall removes only what the script wrote', () => {
  const s = sandbox();
  try {
    assert.equal(s.run('--host', s.host, chromeId, firefoxId).code, 0);
    assert.equal(s.run('--host', s.host, otherChromeId, '--name', 'org.example.kept').code, 0);
    assert.equal(s.run('--host', s.host, otherChromeId).code, 0);
    const file = path.join(s.user.chromium, 'org.veldra.native_host.json');
    assert.deepEqual(read(file).allowed_origins, [`chrome-extension://${otherChromeId}/`]);
    // The Firefox manifest of the first install stays: the second call had no Firefox id.
    assert.ok(fs.existsSync(path.join(s.user.firefox, 'org.veldra.native_host.json')));

    // A manifest of the same name that someone else wrote, and an unrelated file, stay.
    const foreign = path.join(s.user.chrome, 'org.veldra.native_host.json');
    fs.writeFileSync(foreign, '{"name": "org.veldra.native_host", "path": "/opt/other/host"}');
    fs.writeFileSync(path.join(s.user.chromium, 'unrelated.json'), '{}');

    const r = s.run('--uninstall');
    assert.equal(r.code, 0, r.err);
    assert.ok(!fs.existsSync(file));
    assert.ok(!fs.existsSync(path.join(s.user.firefox, 'org.veldra.native_host.json')));
    assert.ok(fs.existsSync(foreign));
    assert.match(r.err, /left alone: .*google-chrome.*not written by this script/);
    assert.ok(fs.existsSync(path.join(s.user.chromium, 'unrelated.json')));
    assert.ok(fs.existsSync(path.join(s.user.chromium, 'org.example.kept.json')), '--uninstall removed another name');

    assert.equal(s.run('--uninstall', '--name', 'org.example.kept').code, 0);
    assert.deepEqual(fs.readdirSync(s.user.chromium), ['unrelated.json']);
    assert.match(s.run('--uninstall').out, /nothing to remove/);
  } finally { s.done(); }
});

test('bad arguments get a clear message and change nothing', () => {
  const s = sandbox();
  try {
    // An existing registration must survive every refused call unchanged.
    assert.equal(s.run('--host', s.host, chromeId, firefoxId).code, 0);
    fs.writeFileSync(path.join(s.root, 'not-executable'), 'data', { mode: 0o644 });
    const cases = [
      [[], /no extension id given/],
      [['--host', s.host], /no extension id given/],
      [['--host', s.host, 'abcdefghijklmnopabcdefghijklmnoq'], /invalid extension id 'abcdefghijklmnopabcdefghijklmnoq'/],
      [['--host', s.host, chromeId, 'ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP'], /invalid extension id/],
      [['--host', s.host, 'chrome-extension://short/'], /invalid extension id/],
      [['--host', s.host, 'no-at-sign.example'], /invalid extension id/],
      [['--host', 'build/bin/veldra-native-host', chromeId], /relative/],
      [['--host', path.join(s.root, 'missing'), chromeId], /does not exist/],
      [['--host', path.join(s.root, 'not-executable'), chromeId], /not executable/],
      [['--host', s.host, '--name', 'Org.Example', chromeId], /invalid host name 'Org.Example'/],
      [['--host', s.host, '--name', 'org..example', chromeId], /invalid host name/],
      [['--host', s.host, '--name', 'org.example/x', chromeId], /invalid host name/],
      [['--host', s.host, '--name'], /option --name needs a value/],
      [['--host', s.host, '--browser', 'safari', chromeId], /unknown browser 'safari'/],
      [['--host', s.host, '--browser', 'firefox', chromeId], /--browser firefox given but no Firefox add-on id/],
      [['--host', s.host, '--bogus', chromeId], /unknown option --bogus/],
      [['--host', s.host, '--system', '--user-data-dir', '/tmp/x', chromeId], /do not go together/],
      [['--uninstall', chromeId], /--uninstall takes no extension ids/],
    ];
    const before = snapshot(s.root);
    for (const [argv, message] of cases) {
      const r = s.run(...argv);
      assert.equal(r.code, 2, `${argv.join(' ')}: exit ${r.code} ${r.err}`);
      assert.match(r.err, message, argv.join(' '));
      assert.match(r.err, /nothing was changed/);
      assert.deepEqual(snapshot(s.root), before, `${argv.join(' ')} changed files`);
    }
  } finally { s.done(); }
});

test('a folder that cannot be made leaves nothing half written', () => {
  const s = sandbox();
  try {
    // ~/.mozilla is a file, so the Firefox folder cannot be made after the Chrome ones were.
    fs.writeFileSync(path.join(s.home, '.mozilla'), 'in the way');
    const before = snapshot(s.root);
    const r = s.run('--host', s.host, chromeId, firefoxId);
    assert.notEqual(r.code, 0);
    assert.match(r.err, /nothing was changed/);
    assert.deepEqual(snapshot(s.root), before);
  } finally { s.done(); }
});
