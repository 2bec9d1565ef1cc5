'use strict';
// The UXP client under Node, with a fake add-on: the same answers, codes and retries as the CEP
// client, and the add-on's start failures passed on as the panel expects them.
const test = require('node:test');
const assert = require('node:assert');
const uxp = require('../uxp.js');

// A fake add-on holding one saved record, answering as the tool does.
function fakeAddon() {
  const state = { record: null, next: 1, calls: [] };
  state.request = function (binaryPath, text, timeoutMs) {
    state.calls.push({ binaryPath: binaryPath, timeoutMs: timeoutMs });
    const request = JSON.parse(text);
    if (request.op === 'read') return Promise.resolve(JSON.stringify({ ok: true, record: state.record }));
    const current = state.record ? state.record.revision : null;
    if (request.expectedRevision !== current) {
      return Promise.resolve('{"ok":false,"error":"Sign-in changed in another panel. Reopen Sandrel."}');
    }
    state.record = { revision: 'R' + state.next++, session: request.session };
    return Promise.resolve(JSON.stringify({ ok: true, record: state.record }));
  };
  return state;
}

const options = { binaryPath: '/plugin/mac/arm64/sandrel-adobe-auth' };

test('read, write, conflict, sign-out and update through the add-on', async () => {
  const addon = fakeAddon();
  const client = uxp.withAddon(addon);
  assert.strictEqual(await client.read('PPRO', options), null);
  const first = await client.write('PPRO', null, { token: 't1' }, options);
  const stale = await client.write('PPRO', null, { token: 't2' }, options).catch((error) => error);
  assert.strictEqual(stale.code, 'CONFLICT');
  const updated = await client.update('PPRO', (record) => ({ count: record ? 1 : 0 }), options);
  assert.deepStrictEqual(updated.session, { count: 1 });
  assert.strictEqual((await client.signOut('PPRO', updated.revision, options)).session, null);
  assert.notStrictEqual(first.revision, updated.revision);
  assert.deepStrictEqual(addon.calls[0], { binaryPath: options.binaryPath, timeoutMs: 30000 });
  // No time-out asked for is the add-on's longest, never none.
  await client.read('PPRO', Object.assign({ timeoutMs: 0 }, options));
  assert.ok(addon.calls[addon.calls.length - 1].timeoutMs > 0);
});

test('refused requests never reach the add-on, and its failures keep their codes', async () => {
  const addon = fakeAddon();
  const client = uxp.withAddon(addon);
  for (const promise of [client.read('ppro', options), client.write('PPRO', null, 'x', options),
    client.write('PPRO', null, { pad: 'x'.repeat(32768) }, options)]) {
    assert.strictEqual((await promise.catch((error) => error)).code, 'INVALID_REQUEST');
  }
  assert.strictEqual(addon.calls.length, 0);

  for (const code of ['BINARY_NOT_FOUND', 'NO_ANSWER', 'TIMEOUT', 'SOMETHING_ELSE']) {
    const failing = uxp.withAddon({
      request: () => Promise.reject(Object.assign(new Error('x'), { code: code })),
    });
    const error = await failing.read('AEFT', options).catch((caught) => caught);
    assert.strictEqual(error.code, code === 'SOMETHING_ELSE' ? 'NO_ANSWER' : code);
  }
  const garbled = uxp.withAddon({ request: () => Promise.resolve('not JSON') });
  assert.strictEqual((await garbled.read('AEFT', options).catch((error) => error)).code, 'NO_ANSWER');
});
