'use strict';
// The UXP client under Node, with a fake add-on: what it hands the add-on, and how the add-on's
// answers and failures reach the panel (the rest is index.js, tested against the real tool).
const test = require('node:test');
const assert = require('node:assert');
const Module = require('module');
const uxp = require('../uxp.js');

const options = { binaryPath: '/plugin/mac/arm64/sandrel-adobe-auth' };

test('the add-on gets the request and a bounded wait; its answers and failures keep their codes', async () => {
  const calls = [];
  const answering = (output) => uxp.withAddon({
    request: (...args) => { calls.push(args); return Promise.resolve(output); },
  });
  const stale = '{"ok":false,"error":"Sign-in changed in another panel. Reopen Sandrel."}';
  assert.strictEqual(await answering('{"ok":true,"record":null}').read('PPRO', options), null);
  assert.deepStrictEqual(calls[0], [options.binaryPath, '{"host":"PPRO","op":"read"}', 30000]);
  // What the CEP client takes is taken, within the add-on's bound; none asked for is the longest.
  const day = 24 * 60 * 60 * 1000;
  for (const [timeoutMs, given] of [[0, day], ['5000', 5000], [2 * day, day], [-1, day], ['abc', day]]) {
    await answering('{"ok":true,"record":null}').read('PPRO', Object.assign({}, options, { timeoutMs }));
    assert.strictEqual(calls[calls.length - 1][2], given);
  }
  // Without a path the add-on starts the tool beside itself: the platform is never guessed.
  await answering('{"ok":true,"record":null}').read('PPRO');
  assert.strictEqual(calls[calls.length - 1][0], null);
  assert.strictEqual((await answering(stale).write('PPRO', null, {}, options).catch((e) => e)).code, 'CONFLICT');
  assert.strictEqual((await answering('not JSON').read('PPRO', options).catch((e) => e)).code, 'NO_ANSWER');

  calls.length = 0;
  const refused = await answering('{}').write('PPRO', null, 'x', options).catch((e) => e);
  assert.strictEqual(refused.code, 'INVALID_REQUEST');
  assert.strictEqual(calls.length, 0);

  // Under Node no add-on can be loaded, as in a plugin without it or without enableAddon. Premiere
  // may give a promise of it, which may reject; every failed load is tried again next time.
  assert.strictEqual((await uxp.read('AEFT').catch((e) => e)).code, 'BINARY_NOT_FOUND');
  const load = Module._load;
  const loads = [Promise.reject(new Error('not loaded')), Promise.resolve({ request: () => Promise.resolve('{"ok":true,"record":null}') })];
  Module._load = function (name) {
    return name === 'sandrel-adobe-auth.uxpaddon' ? loads.shift() : load.apply(this, arguments);
  };
  try {
    assert.strictEqual((await uxp.read('AEFT').catch((e) => e)).code, 'BINARY_NOT_FOUND');
    assert.strictEqual(await uxp.read('AEFT'), null);
  } finally {
    Module._load = load;
  }
  for (const code of ['BINARY_NOT_FOUND', 'NO_ANSWER', 'TIMEOUT', 'SOMETHING_ELSE']) {
    const failing = uxp.withAddon({ request: () => Promise.reject(Object.assign(new Error('x'), { code: code })) });
    const error = await failing.read('AEFT', options).catch((caught) => caught);
    assert.strictEqual(error.code, code === 'SOMETHING_ELSE' ? 'NO_ANSWER' : code);
  }
});
