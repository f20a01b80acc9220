// What the extension lets through to the host, and how it names what it refuses.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import './english.mjs';
import { MAX_REQUEST_BYTES, checkRequest, hostFailure, originAllowed } from '../../extension/rules.js';

test('origins: https anywhere, http only on this computer', () => {
  const allowed = ['https://bank.example', 'https://localhost:8443', 'http://localhost', 'http://localhost:8080', 'http://127.0.0.1:3000'];
  const refused = ['http://bank.example', 'http://localhost.evil.example', 'http://127.0.0.2', 'http://[::1]', 'file:///tmp/a.html',
    'chrome-extension://abc', 'null', '', 'javascript:alert(1)'];
  for (const origin of allowed) assert.equal(originAllowed(origin), true, origin);
  for (const origin of refused) assert.equal(originAllowed(origin), false, origin);
});

test('requests: shape, command, members and sizes', () => {
  const name = (request) => checkRequest(request)?.name ?? null;
  assert.equal(name({ cmd: 'GET_INFO' }), null);
  assert.equal(name({ cmd: 'COMPUTE_SIGNATURE', reader: 'R', hash: 'AB', pinToken: 't', debug: true }), null);
  assert.equal(name({ cmd: 'COMPUTE_SIGNATURE_IMAGE', pad: 'P', image: 'x'.repeat(500000), rectX: 1 }), null);
  for (const bad of [null, 'GET_INFO', [{ cmd: 'GET_INFO' }], {}, { cmd: 'toString' }, { cmd: '__proto__' }, { cmd: 'NOPE' },
    { cmd: 'GET_INFO', reader: 'R' }, { cmd: 'READ_FILE', reader: { a: 1 } }, { cmd: 'READ_FILE', reader: Number.NaN },
    { cmd: 'GET_INFO', callerOrigin: 'https://bank.example' }, { cmd: 'READ_FILE', reader: 'r'.repeat(255) },
    { cmd: 'GET_INFO', debug: 'true'.repeat(3) }]) {
    assert.equal(name(bad), 'BadRequest', JSON.stringify(bad)?.slice(0, 80));
  }
  assert.equal(name({ cmd: 'READ_FILE', reader: 'r'.repeat(254) }), null);
  assert.equal(name({ cmd: 'READ_FILE', reader: 'é'.repeat(127) }), null);
  assert.equal(name({ cmd: 'READ_FILE', reader: 'é'.repeat(128) }), 'BadRequest');
  assert.equal(name({ cmd: 'COMPUTE_SIGNATURE_IMAGE', pad: 'P', image: 'x'.repeat(MAX_REQUEST_BYTES) }), 'TooLarge');
  assert.match(checkRequest({ cmd: 'X'.repeat(1000) }).message, /^Unknown command .{0,120}$/);
});

test('the browser\'s failures to reach the host', () => {
  assert.equal(hostFailure('Specified native messaging host not found.').name, 'HostMissing');
  assert.equal(hostFailure('Access to the specified native messaging host is forbidden.').name, 'HostMissing');
  assert.equal(hostFailure('No such native application org.veldra.native_host').name, 'HostMissing');
  assert.equal(hostFailure('Native host has exited.').name, 'HostFailed');
  assert.equal(hostFailure(undefined).name, 'HostFailed');
  assert.match(hostFailure('Native host has exited.').message, /\(Native host has exited\.\)$/);
});
