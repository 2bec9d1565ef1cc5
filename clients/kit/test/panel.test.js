'use strict';
// The kit's sample panel in a page, against the built tool (SANDREL_BINARY), in
// scripts/private-session. CEP: Node's require in the page (the mixed context), the host from
// __adobe_cep__, a folder with a space. UXP: require('uxp'), and the add-on's require giving a
// promise of a stand-in that keeps the add-on's contract and starts the tool beside itself.
const test = require('node:test');
const assert = require('node:assert');
const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { JSDOM } = require('jsdom');

const actions = { read: 'Read', signIn: 'Sign in', signOut: 'Sign out' };
const clicks = ['read', 'signIn', 'read', 'signOut', 'read'];
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sandrel kit '));
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

const standInAddon = (tool) => ({
  request: (binaryPath, text, timeoutMs) => new Promise((resolve, reject) => {
    childProcess.execFile(binaryPath || tool, { timeout: timeoutMs }, (error, output) => (error
      ? reject(Object.assign(error, { code: error.code === 'ENOENT' ? 'BINARY_NOT_FOUND' : 'NO_ANSWER' }))
      : resolve(output))).stdin.on('error', () => {}).end(text);
  }),
});

// The texts the panel shows after each click, in a kit folder of the runtime's.
async function clickThrough(runtime, host, withTool) {
  const folder = fs.mkdtempSync(path.join(scratch, runtime + ' '));
  const client = path.join(folder, 'sandrel-adobe-auth-client');
  fs.mkdirSync(client);
  for (const name of ['index.html', 'index.js']) fs.copyFileSync(path.join(__dirname, '../panel', name), path.join(folder, name));
  for (const name of ['index.js', 'uxp.js']) fs.copyFileSync(path.join(__dirname, '../../node', name), path.join(client, name));
  if (withTool) fs.symlinkSync(process.env.SANDREL_BINARY, path.join(client, 'sandrel-adobe-auth'));
  const nodeRequire = require('module').createRequire(path.join(folder, 'index.js'));
  const uxp = { uxp: {}, 'sandrel-adobe-auth.uxpaddon': Promise.resolve(standInAddon(path.join(client, 'sandrel-adobe-auth'))) };
  const { window } = await JSDOM.fromFile(path.join(folder, 'index.html'), {
    runScripts: 'dangerously',
    resources: 'usable',
    beforeParse(page) {
      page.__adobe_cep__ = runtime === 'cep' ? { getHostEnvironment: () => JSON.stringify({ appName: host }) } : undefined;
      page.require = runtime === 'cep' ? nodeRequire : (name) => uxp[name] || nodeRequire(name);
    },
  });
  await new Promise((resolve) => window.addEventListener('load', resolve));
  const answer = window.document.getElementById('answer');
  const shown = [];
  for (const id of clicks) {
    window.document.getElementById(id).click();
    while (answer.textContent.endsWith('…')) await new Promise((resolve) => setTimeout(resolve, 10));
    shown.push(answer.textContent);
  }
  return shown;
}

test('the sample panel reads, signs in, reads, signs out and reads, under CEP and UXP', { timeout: 60000 }, async () => {
  for (const [runtime, host] of [['cep', 'AEFT'], ['cep', 'PPRO'], ['uxp', 'PPRO']]) {
    childProcess.spawnSync('secret-tool', ['clear', 'service', 'com.pellimar.adobe.session.v2', 'account', host]);
    const records = (await clickThrough(runtime, host, true)).map((text, at) => {
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
  for (const [runtime, host] of [['cep', 'AEFT'], ['uxp', 'PPRO']]) { // no tool beside the client
    assert.deepStrictEqual(await clickThrough(runtime, host, false), clicks.map((id) =>
      actions[id] + ' (' + host + ') failed: BINARY_NOT_FOUND\nThe sign-in tool is missing or cannot be started.'));
  }
});
