'use strict';
// The client against the built tool, inside scripts/private-session (throw-away home folder
// and keyring). SANDREL_BINARY names the tool.
const test = require('node:test');
const assert = require('node:assert');
const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const client = require('..');

const options = { binaryPath: process.env.SANDREL_BINARY };
const lockFolder = path.join(os.userInfo().homedir, 'Library', 'Application Support', 'Sandrel Adobe Auth');

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  throw new Error('expected a rejection');
}

test('read, write, conflict and sign-out', async () => {
  // A wait longer than a timer holds is held at the longest a timer holds, not fired at once.
  assert.strictEqual(await client.read('AEFT', Object.assign({ timeoutMs: 2 ** 32 }, options)), null);
  const first = await client.write('AEFT', null, { token: 't1' }, options);
  assert.deepStrictEqual(first.session, { token: 't1' });
  assert.deepStrictEqual(await client.read('AEFT', options), first);

  const second = await client.write('AEFT', first.revision, { token: 't2' }, options);
  const stale = await rejection(client.write('AEFT', first.revision, { token: 't3' }, options));
  assert.strictEqual(stale.code, 'CONFLICT');
  assert.strictEqual(stale.message, 'Sign-in changed in another panel. Reopen Sandrel.');

  const signedOut = await client.signOut('AEFT', second.revision, options);
  assert.strictEqual(signedOut.session, null);
  assert.deepStrictEqual(await client.read('AEFT', options), signedOut);
});

test('every message of the tool has its own code', () => {
  const messages = Object.keys(client.codes);
  assert.strictEqual(messages.length, 10);
  assert.strictEqual(new Set(Object.values(client.codes)).size, 10);
  // The sentences the tool itself answers, as its source lists them.
  const envelope = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'src', 'app', 'envelope.cpp'), 'utf8');
  const listed = envelope.split('messageText(')[1].split('\n}\n')[0].match(/return "[^"]*";/g);
  assert.deepStrictEqual([...new Set(listed.map((line) => line.slice(8, -2)))].sort(), messages.sort());
});

test('refused requests keep the tool message and get their codes', async () => {
  // Refused by the client itself: with a tool that cannot start, anything started would
  // answer BINARY_NOT_FOUND.
  const nothing = { binaryPath: '/nonexistent/sandrel-adobe-auth' };
  for (const promise of [
    client.read('ppro', nothing),
    client.write('AEFT', null, 'not an object', nothing),
    client.write('AEFT', null, undefined, nothing),
    client.write('AEFT', null, { pad: 'x'.repeat(32768) }, nothing),
    client.write('AEFT', null, { pad: '\u00e9'.repeat(17000) }, nothing), // 34,000 bytes
    client.write('AEFT', null, [], nothing),
  ]) {
    const error = await rejection(promise);
    assert.strictEqual(error.code, 'INVALID_REQUEST');
    assert.strictEqual(error.message, 'Invalid session request.');
  }

  childProcess.execFileSync('sh', ['-c',
    "printf %s 'garbage' | secret-tool store --label=Broken service com.pellimar.adobe.session.v2 account PPRO"]);
  const unreadable = await rejection(client.read('PPRO', options));
  assert.strictEqual(unreadable.code, 'UNREADABLE');
  childProcess.execFileSync('secret-tool', ['clear', 'service', 'com.pellimar.adobe.session.v2', 'account', 'PPRO']);

  fs.chmodSync(lockFolder, 0o755);
  try {
    assert.strictEqual((await rejection(client.read('AEFT', options))).code, 'LOCK_FOLDER_NOT_PRIVATE');
  } finally {
    fs.chmodSync(lockFolder, 0o700);
  }
});

test('concurrent updates all land', async () => {
  const start = await client.write('AEFT', (await client.read('AEFT', options) || {}).revision || null,
    { count: 0 }, options);
  assert.ok(start.revision);
  const increment = (record) => ({ count: record.session.count + 1 });
  // Four at once: each can lose at most three times, within the default retries.
  await Promise.all([1, 2, 3, 4].map(() => client.update('AEFT', increment, options)));
  assert.strictEqual((await client.read('AEFT', options)).session.count, 4);
});

test('update gives up after its retries, and stops at once on any other error', async () => {
  let attempts = 0;
  // Another panel writes between every read and write of this one.
  const contested = async (record) => {
    attempts += 1;
    await client.write('AEFT', record ? record.revision : null, { other: attempts }, options);
    return { mine: true };
  };
  const conflict = await rejection(client.update('AEFT', contested, Object.assign({ retries: 1 }, options)));
  assert.strictEqual(conflict.code, 'CONFLICT');
  assert.strictEqual(attempts, 2);

  attempts = 0;
  const oversized = () => { attempts += 1; return { pad: 'x'.repeat(32768) }; };
  assert.strictEqual((await rejection(client.update('AEFT', oversized, options))).code, 'INVALID_REQUEST');
  assert.strictEqual(attempts, 1);
});

test('the README example runs as written', async () => {
  const readme = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'README.md'), 'utf8');
  const example = readme.split('## Calling it from a panel')[1].split('```js\n')[1].split('```')[0];
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sandrel-example-'));
  try {
    const folder = path.join(scratch, 'sandrel-adobe-auth-client');
    fs.mkdirSync(folder);
    fs.copyFileSync(path.join(__dirname, '..', 'index.js'), path.join(folder, 'index.js'));
    fs.symlinkSync(options.binaryPath, path.join(folder, 'sandrel-adobe-auth'));
    fs.writeFileSync(path.join(scratch, 'example.js'), example);
    const run = childProcess.spawnSync(process.execPath, ['example.js'], { cwd: scratch, encoding: 'utf8' });
    assert.strictEqual(run.stderr, '');
    assert.match(run.stdout, /^saved revision [0-9A-F-]{36}\n$/);
    assert.strictEqual((await client.read('AEFT', options)).session, null);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});

test('a missing binary, a killed tool and a time-out are told apart', async () => {
  const missing = await rejection(client.read('AEFT', { binaryPath: '/nonexistent/sandrel-adobe-auth' }));
  assert.strictEqual(missing.code, 'BINARY_NOT_FOUND');

  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sandrel-client-'));
  try {
    const tool = (name, script) => {
      fs.writeFileSync(path.join(scratch, name), '#!/bin/sh\n' + script, { mode: 0o700 });
      return { binaryPath: path.join(scratch, name) };
    };
    assert.strictEqual((await rejection(client.read('AEFT', tool('killed', 'kill -9 $$\n')))).code, 'NO_ANSWER');
    // Its answer comes after the tool has exited, from a child that holds its output.
    const late = tool('late', '(sleep 0.2; printf \'{"ok":true,"record":null}\') &\n');
    assert.strictEqual(await client.read('AEFT', late), null);
    // Closes its input before the request is written, often enough in 16 that one surely is.
    const closing = tool('closing', 'exec 0<&-\nsleep 0.2\nprintf \'{"ok":true,"record":null}\'\n');
    assert.deepStrictEqual(await Promise.all(Array.from({ length: 16 }, () => client.read('AEFT', closing))),
      new Array(16).fill(null));
    // A tool without its execute bit gets it back, once.
    const unexecutable = path.join(scratch, 'sandrel-adobe-auth');
    fs.copyFileSync(options.binaryPath, unexecutable);
    fs.chmodSync(unexecutable, 0o600);
    await client.read('AEFT', { binaryPath: unexecutable });
    assert.strictEqual(fs.statSync(unexecutable).mode & 0o777, 0o700);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }

  // Another process holds the host's lock for longer than the time-out.
  const holder = childProcess.spawn('flock', [path.join(lockFolder, 'AEFT.lock'), '-c', 'echo held; sleep 30'],
    { stdio: ['ignore', 'pipe', 'ignore'], detached: true });
  try {
    await new Promise((resolve) => holder.stdout.once('data', resolve));
    // Within a few seconds of its limit, or the test says so then rather than at its own.
    const late = await rejection(Promise.race([
      client.read('AEFT', { binaryPath: options.binaryPath, timeoutMs: 500 }),
      new Promise((resolve, reject) => setTimeout(reject, 5000, new Error('no TIMEOUT within 5 s')).unref()),
    ]));
    assert.strictEqual(late.message, 'The sign-in tool did not answer in time.');
    assert.strictEqual(late.code, 'TIMEOUT');
    assert.strictEqual(await client.read('PPRO', options), null); // another host's lock is free
  } finally {
    process.kill(-holder.pid, 'SIGKILL'); // flock and the sleep that holds the lock
  }
});

test('the client parses as ES2017, the syntax of Node 8.6 in CEP 9', () => {
  const acorn = require('acorn');
  const source = fs.readFileSync(path.join(__dirname, '..', 'index.js'), 'utf8');
  assert.doesNotThrow(() => acorn.parse(source, { ecmaVersion: 2017, sourceType: 'script' }));
});

test('on Windows the default tool is the .exe next to the client', () => {
  const started = childProcess.execFileSync(process.execPath, ['-e', `
    Object.defineProperty(process, 'platform', { value: 'win32' });
    require('child_process').spawn = (binary) => { console.log(binary); process.exit(0); };
    require(${JSON.stringify(path.join(__dirname, '..'))}).read('AEFT');`], { encoding: 'utf8' });
  assert.strictEqual(started.trim(), path.join(__dirname, '..', 'sandrel-adobe-auth.exe'));
});
