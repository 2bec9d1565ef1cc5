'use strict';
// The kit's sample panel as a panel developer first runs it, in a page, against the built tool
// (SANDREL_BINARY), inside scripts/private-session. Under CEP: Node's require in the page (the
// mixed context), the host named by __adobe_cep__, and a folder whose name has a space. Under
// UXP: require('uxp'), and the add-on's require giving a promise of a stand-in that keeps the
// add-on's contract and starts the tool beside itself.
const test = require('node:test');
const assert = require('node:assert');
const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { createRequire } = require('module');
const { JSDOM } = require('jsdom');

const repository = path.join(__dirname, '..', '..', '..');
const actions = { read: 'Read', signIn: 'Sign in', signOut: 'Sign out' };
const clicks = ['read', 'signIn', 'read', 'signOut', 'read'];
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sandrel kit '));
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

function standInAddon(tool) {
  return {
    request: (binaryPath, text, timeoutMs) => new Promise((resolve, reject) => {
      const child = childProcess.execFile(binaryPath || tool, { timeout: timeoutMs }, (error, output) => {
        if (!error) return resolve(output);
        return reject(Object.assign(new Error(error.message), { code: error.code === 'ENOENT' ? 'BINARY_NOT_FOUND' : 'NO_ANSWER' }));
      });
      child.stdin.on('error', () => {});
      child.stdin.end(text);
    }),
  };
}

// The panel's page, loaded from a kit folder of the runtime's as the kit lays it out.
async function panel(runtime, host, withTool) {
  const folder = fs.mkdtempSync(path.join(scratch, runtime + ' '));
  const client = path.join(folder, 'sandrel-adobe-auth-client');
  fs.mkdirSync(client);
  for (const name of ['index.html', 'index.js']) fs.copyFileSync(path.join(repository, 'clients/kit/panel', name), path.join(folder, name));
  for (const name of ['index.js', 'uxp.js']) fs.copyFileSync(path.join(repository, 'clients/node', name), path.join(client, name));
  if (withTool) fs.symlinkSync(process.env.SANDREL_BINARY, path.join(client, 'sandrel-adobe-auth'));
  const nodeRequire = createRequire(path.join(folder, 'index.js'));
  const addon = standInAddon(path.join(client, 'sandrel-adobe-auth'));
  const dom = await JSDOM.fromFile(path.join(folder, 'index.html'), {
    runScripts: 'dangerously',
    resources: 'usable',
    beforeParse(window) {
      window.__adobe_cep__ = runtime === 'cep' ? { getHostEnvironment: () => JSON.stringify({ appName: host }) } : undefined;
      window.require = runtime === 'cep' ? nodeRequire
        : (name) => ({ uxp: {}, 'sandrel-adobe-auth.uxpaddon': Promise.resolve(addon) }[name] || nodeRequire(name));
    },
  });
  await new Promise((resolve) => dom.window.addEventListener('load', resolve));
  const answer = dom.window.document.getElementById('answer');
  const shown = [];
  for (const id of clicks) {
    dom.window.document.getElementById(id).click();
    while (answer.textContent.endsWith('…')) await new Promise((resolve) => setTimeout(resolve, 10));
    shown.push(answer.textContent);
  }
  return shown;
}

test('the sample panel reads, signs in, reads, signs out and reads, under CEP and UXP', { timeout: 60000 }, async () => {
  for (const [runtime, host] of [['cep', 'AEFT'], ['cep', 'PPRO'], ['uxp', 'PPRO']]) {
    childProcess.spawnSync('secret-tool', ['clear', 'service', 'com.pellimar.adobe.session.v2', 'account', host]); // nothing saved
    const shown = await panel(runtime, host, true);
    const records = shown.map((text, at) => {
      const label = actions[clicks[at]] + ' (' + host + '): ';
      assert.ok(text.startsWith(label), runtime + ': ' + text);
      return JSON.parse(text.slice(label.length));
    });
    assert.strictEqual(records[0], null);
    assert.deepStrictEqual(records[1].session, { user: 'sample@example.com', token: 'sample-token' });
    assert.deepStrictEqual(records[2], records[1]);
    assert.strictEqual(records[3].session, null);
    assert.notStrictEqual(records[3].revision, records[1].revision);
    assert.deepStrictEqual(records[4], records[3]);
  }
});

test('without the tool every click says so', { timeout: 60000 }, async () => {
  for (const [runtime, host] of [['cep', 'AEFT'], ['uxp', 'PPRO']]) {
    assert.deepStrictEqual(await panel(runtime, host, false), clicks.map((id) =>
      actions[id] + ' (' + host + ') failed: BINARY_NOT_FOUND\nThe sign-in tool is missing or cannot be started.'));
  }
});
