// The page library with the extension's real content script in a fake page: the names of the
// failures, and how long a page waits for each kind of answer.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { extensionApi, pageWindow, runContentScript } from './fake-browser.mjs';

const veldra = await import('../../web/veldra.js');

/** A served page with our content script, whose background answers each request with `reply`. */
function page(reply, origin = 'https://bank.example') {
  const win = pageWindow(origin);
  runContentScript(extensionApi((request, post) => reply(request, post)));
  return win;
}

/** The name a request's promise rejects with. */
const failure = (promise) => promise.then(() => null, (e) => { assert.ok(e instanceof veldra.VeldraError); return e.name; });

test('host answers and failures become the library\'s error names', async () => {
  const answers = [
    [{ error: { code: 14, id: 0, message: 'Timeout processing message' } }, 'TimedOut'],
    [{ error: { code: 9, id: 12, message: 'cancelled' } }, 'Cancelled'],
    [{ error: { code: 9, id: 13, message: 'blocked' } }, 'PinBlocked'],
    [{ error: { code: 9, id: 9, message: 'malformed' } }, 'PinMalformed'],
    [{ error: { code: 0, id: 0, message: 'no reader' } }, 'NoReader'],
    [{ error: { code: 1, id: 0, message: 'No (valid) card' } }, 'NoCard'],
    [{ error: { code: 1, id: 0, message: 'Certificate expired' } }, 'CertificateRejected'],
    [{ error: { code: 7, id: 0, message: 'bad hash' } }, 'InvalidHash'],
    [{ error: { code: 23, id: 0, message: 'pad cancelled' } }, 'PadCancelled'],
    [{ error: { code: 99, id: 0, message: 'other' } }, 'HostError'],
    [{ pinValid: false, pinRemainingAttempts: 2 }, 'PinWrong'],
    [{ version: '1.0' }, null],
  ];
  for (const [answer, name] of answers) {
    const win = page((request, post) => post({ answer }));
    assert.equal(await failure(veldra.send({ cmd: 'VERIFY_PIN', reader: 'R' })), name, JSON.stringify(answer));
    assert.deepEqual(win.posted.map((m) => m.veldra), ['request', 'accepted', 'answer'], 'one request, no ping');
  }
  page((request, post) => post({ failure: { name: 'NotAllowed', message: 'no' } }));
  assert.equal(await failure(veldra.send({ cmd: 'GET_READERS' })), 'NotAllowed');
  page((request, post) => post({ answer: { pinValid: false, pinRemainingAttempts: 1 } }));
  const wrong = await veldra.verifyPin({ reader: 'R', pin: '1234' }).catch((e) => e);
  assert.equal(wrong.triesLeft, 1);
  assert.equal(wrong.message, 'Wrong PIN, 1 try left');

  page(() => assert.fail('a refused request reached the background'));
  assert.equal(await failure(veldra.send({ cmd: 'READ_FILE', reader: { nested: true } })), 'BadRequest');
  assert.equal(await failure(veldra.send({ cmd: 'READ_FILE', reader: 'x'.repeat(1024 * 1024) })), 'TooLarge');
});

test('the library, the content script and the extension refuse the same origins', async () => {
  const { originAllowed } = await import('../../extension/rules.js');
  for (const origin of ['https://bank.example', 'http://localhost:8080', 'http://127.0.0.1', 'http://bank.example',
    'http://localhost.evil.example', 'http://[::1]', 'file:///tmp']) {
    const win = page((request, post) => post({ answer: { version: '1.0' } }), origin);
    const served = win.listening() > 0;
    assert.equal(served, originAllowed(origin), `content script on ${origin}`);
    const name = await failure(veldra.send({ cmd: 'GET_INFO' }));
    assert.equal(name, served ? null : 'OriginRefused', `library on ${origin}`);
  }
});

test('a page waits for the consent, then for the host\'s limit, and for a ping a second', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout', 'setInterval'] });
  const settle = async () => { for (let i = 0; i < 20; i++) await Promise.resolve(); };

  // No content script: no acknowledgement within a second, then no pong within another.
  pageWindow('https://bank.example');
  let name;
  veldra.send({ cmd: 'GET_INFO' }).catch((e) => { name = e.name; });
  for (const ms of [1000, 999]) {
    await settle();
    t.mock.timers.tick(ms);
  }
  await settle();
  assert.equal(name, undefined);
  t.mock.timers.tick(1);
  await settle();
  assert.equal(name, 'ExtensionMissing');

  // A content script that does not acknowledge requests, but answers a ping: its request is
  // waited for, never sent twice.
  const win = pageWindow('https://bank.example');
  const taken = [];
  win.addEventListener('message', ({ data }) => {
    if (data.veldra === 'ping') win.postMessage({ veldra: 'pong', id: data.id, version: '1' }, win.location.origin);
    if (data.veldra === 'request') taken.push(data.id);
  });
  let answer;
  veldra.send({ cmd: 'GET_INFO' }).then((a) => { answer = a; });
  await settle();
  t.mock.timers.tick(60000);
  await settle();
  assert.equal(taken.length, 1);
  win.postMessage({ veldra: 'answer', id: taken[0], answer: { version: '1.0' } }, win.location.origin);
  await settle();
  assert.deepEqual(answer, { version: '1.0' });

  // The host started and never answered: TimedOut once its limit and the slack have passed.
  for (const cmd of ['GET_INFO', 'COMPUTE_SIGNATURE']) {
    let started = false;
    page((request, post) => { post({ started: true }); started = true; });
    name = undefined;
    veldra.send(cmd === 'GET_INFO' ? { cmd } : { cmd, reader: 'R' }).catch((e) => { name = e.name; });
    await settle();
    assert.ok(started);
    t.mock.timers.tick(veldra.answerWaitMs(cmd) - 1);
    await settle();
    assert.equal(name, undefined, cmd);
    t.mock.timers.tick(1);
    await settle();
    assert.equal(name, 'TimedOut', cmd);
  }

  // Before the host starts the user may be choosing in the consent window for two minutes.
  page(() => {});
  name = undefined;
  veldra.send({ cmd: 'GET_READERS' }).catch((e) => { name = e.name; });
  await settle();
  t.mock.timers.tick(120000 + veldra.answerWaitMs('GET_READERS') - 1);
  await settle();
  assert.equal(name, undefined);
  t.mock.timers.tick(1);
  await settle();
  assert.equal(name, 'TimedOut');
});
