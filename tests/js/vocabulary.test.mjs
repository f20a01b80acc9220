// One vocabulary on the browser side: what the extension, its content script (which cannot import)
// and the page library each write down must agree, and the page must wait longer than the host.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { root } from './fake-browser.mjs';
import { COMMANDS, FAILURE, MAX_REQUEST_BYTES, PAGE_WAITING } from '../../extension/rules.js';
import { ERROR_NAMES, HOST_LIMIT_S, answerWaitMs } from '../../web/veldra.js';

const source = (file) => fs.readFileSync(new URL(file, root), 'utf8');
/** The value of `const NAME = <number expression>;` in a source file. */
const constant = (file, name) => {
  const found = source(file).match(new RegExp(`const ${name} = ([0-9 *]+);`));
  assert.ok(found, `${file} has no ${name}`);
  return found[1].split('*').reduce((product, factor) => product * Number(factor), 1);
};

test('every failure name the extension gives is one of the library\'s ERROR_NAMES', () => {
  for (const name of Object.values(FAILURE)) assert.ok(Object.hasOwn(ERROR_NAMES, name), name);
  for (const file of ['extension/background.js', 'extension/rules.js']) {
    assert.doesNotMatch(source(file), /name: '/, `${file} names a failure outside FAILURE`);
  }
  // The content script's own: fail('Name', ...), and the names it chooses between.
  const content = source('extension/content.js');
  const names = [...content.matchAll(/fail\('(\w+)'|\? '(\w+)' : '(\w+)'/g)].flatMap((m) => m.slice(1)).filter(Boolean);
  assert.ok(names.length >= 4, 'the content script\'s failure names were not found');
  for (const name of names) assert.ok(Object.values(FAILURE).includes(name), `content.js: ${name}`);
});

test('the copies of the limits are equal', () => {
  assert.equal(constant('extension/content.js', 'MAX_REQUEST_BYTES'), MAX_REQUEST_BYTES);
  assert.equal(constant('web/veldra.js', 'MAX_REQUEST_BYTES'), MAX_REQUEST_BYTES);
  assert.equal(constant('extension/content.js', 'PAGE_WAITING'), PAGE_WAITING);
  assert.deepEqual(Object.keys(HOST_LIMIT_S).sort(), Object.keys(COMMANDS).sort());
});

test('the page waits longer than the host for every command', () => {
  /** The number a host source file gives a name, or its first match of `pattern`. */
  const cpp = (file, pattern) => {
    const found = source(`modules/${file}`).match(pattern);
    assert.ok(found, `${file}: ${pattern}`);
    return Number(found[1]);
  };
  const request = cpp('plugin-api/src/main/c/plugin-api-oop.cpp', /watcher_set_timeout\(watcher\.get\(\), (\d+)\)/);
  const pinDialog = cpp('extension-native/src/main/c/main.cpp', /PIN_DIALOG_TIMEOUT_SECONDS = (\d+)/);
  const afterPin = cpp('plugin-api/src/main/c/plugin-api-pkcs-support.h', /PIN_INTERACTION_SECONDS = (\d+)/);
  const pads = cpp('plugin-api/src/main/c/plugin-api-ext.cpp', /PADS_TIMEOUT_SECONDS = (\d+)/);
  const capture = cpp('plugin-api/src/main/c/plugin-api-ext.cpp', /CAPTURE_TIMEOUT_SECONDS = (\d+)/);
  const inventory = cpp('plugin-api/src/main/c/plugin-api-system.cpp', /watcher_set_timeout\([^,]*, (\d+)\)/);
  // The host's longest run of each command: a PIN command's limit waits while the PIN dialog is
  // shown and counts again afterwards; the capture's likewise while the user writes on the pad.
  const withPin = request + pinDialog + afterPin;
  const host = {
    GET_INFO: request, GET_READERS: request, READ_FILE: request, PIN_PAD_AVAILABLE: request,
    VERIFY_PIN: withPin, COMPUTE_SIGNATURE: withPin, COMPUTE_AUTHENTICATION: withPin,
    GET_PADS: pads, COMPUTE_SIGNATURE_IMAGE: 3 * capture, GET_SYSTEM_INFO: inventory,
  };
  for (const cmd of Object.keys(COMMANDS)) {
    assert.ok(answerWaitMs(cmd) > host[cmd] * 1000, `${cmd}: the page waits ${answerWaitMs(cmd)} ms, the host up to ${host[cmd]} s`);
  }
});
