'use strict';
// The client for Premiere's UXP panels: the same read, write, signOut and update as index.js,
// with the same codes, messages, validation, retries and time-out, but the tool is started by
// the hybrid add-on (sandrel-adobe-auth.uxpaddon), since a UXP panel cannot start a process.
// By default the tool comes from the plugin's own folder, laid out as UXP requires for add-ons:
// mac/arm64, mac/x64 and win/x64.

const createClient = require('./index.js').createClient;

const noLimitMs = 24 * 60 * 60 * 1000; // the add-on always bounds its wait

// addon() gives the loaded add-on, whose request(binaryPath, requestText, timeoutMs) resolves
// with the tool's whole output.
function startWithAddon(addon) {
  return function (binaryPath, text, timeoutMs) {
    return addon().request(binaryPath, text, timeoutMs > 0 ? timeoutMs : noLimitMs);
  };
}

function defaultBinaryPath() {
  const os = require('os');
  const folder = os.platform() === 'win32' ? 'win/x64' : 'mac/' + (os.arch() === 'arm64' ? 'arm64' : 'x64');
  const name = os.platform() === 'win32' ? 'sandrel-adobe-auth.exe' : 'sandrel-adobe-auth';
  return require('uxp').storage.localFileSystem.getPluginFolder().then(function (plugin) {
    return plugin.nativePath + '/' + folder + '/' + name;
  });
}

// With another add-on object, for tests: { request(binaryPath, requestText, timeoutMs) }.
function withAddon(addon) {
  return createClient(startWithAddon(function () { return addon; }), defaultBinaryPath);
}

const client = createClient(startWithAddon(function () {
  return require('sandrel-adobe-auth.uxpaddon');
}), defaultBinaryPath);
client.withAddon = withAddon;
module.exports = client;
