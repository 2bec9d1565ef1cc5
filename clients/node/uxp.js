'use strict';
// The client for Premiere's UXP panels: the same read, write, signOut and update as index.js,
// with the same codes, messages, validation, retries and time-out, but the tool is started by
// the hybrid add-on (sandrel-adobe-auth.uxpaddon), since a UXP panel cannot start a process.
// By default the add-on starts the tool in its own folder: UXP loaded it from the folder of
// this platform and architecture (mac/arm64, mac/x64 or win/x64), so nothing here guesses them.

const createClient = require('./index.js').createClient;

const longestWaitMs = 24 * 60 * 60 * 1000; // the add-on always bounds its wait, by this at most

// What the CEP client accepts (a string of digits, a longer wait) is accepted here too, within
// the add-on's bound; 0 or none asks for the longest.
function boundedTimeout(timeoutMs) {
  const ms = Number(timeoutMs);
  return ms > 0 ? Math.min(ms, longestWaitMs) : longestWaitMs;
}

// addon() gives the loaded add-on, whose request(binaryPath, requestText, timeoutMs) resolves
// with the tool's whole output. An add-on that cannot be loaded (missing, unsigned, or not
// allowed by the manifest's requiredPermissions.enableAddon) is a tool that cannot be started.
function startWithAddon(addon) {
  return function (binaryPath, text, timeoutMs) {
    let loaded;
    try {
      loaded = addon();
    } catch (error) {
      return Promise.reject(Object.assign(new Error('add-on not loaded'), { code: 'BINARY_NOT_FOUND' }));
    }
    return loaded.request(binaryPath, text, boundedTimeout(timeoutMs));
  };
}

// No path of our own: null asks the add-on for the tool beside it.
function besideTheAddon() {
  return null;
}

// With another add-on object, for tests: { request(binaryPath, requestText, timeoutMs) }.
function withAddon(addon) {
  return createClient(startWithAddon(function () { return addon; }), besideTheAddon);
}

const client = createClient(startWithAddon(function () {
  return require('sandrel-adobe-auth.uxpaddon');
}), besideTheAddon);
client.withAddon = withAddon;
module.exports = client;
