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

function notLoaded() {
  return Object.assign(new Error('add-on not loaded'), { code: 'BINARY_NOT_FOUND' });
}

// load() gives the add-on or a promise of it: Premiere resolves native modules asynchronously,
// so its require may give either (Adobe's page shows the value, shipping plugins await it).
// The add-on's request(binaryPath, requestText, timeoutMs) resolves with the tool's whole
// output. An add-on that cannot be loaded, now or once its promise settles (missing, unsigned,
// or not allowed by the manifest's requiredPermissions.enableAddon), is a tool that cannot be
// started; the next request loads it again.
function startWithAddon(load) {
  let loading = null;
  return function (binaryPath, text, timeoutMs) {
    if (loading === null) {
      loading = new Promise(function (resolve) { resolve(load()); }).then(function (addon) {
        if (!addon || typeof addon.request !== 'function') throw notLoaded();
        return addon;
      }).catch(function () {
        loading = null;
        throw notLoaded();
      });
    }
    return loading.then(function (addon) {
      return addon.request(binaryPath, text, boundedTimeout(timeoutMs));
    });
  };
}

// No path of our own: null asks the add-on for the tool beside it.
function besideTheAddon() {
  return null;
}

// The same client on an add-on the panel loaded itself, or a promise of it: whether UXP
// resolves the add-on's name from a module in a subfolder is not documented, so a panel may
// require it from its main script and hand it here.
function withAddon(addonOrPromise) {
  const given = Promise.resolve(addonOrPromise);
  given.catch(function () {}); // a failed load is told to the first request, not the host
  return createClient(startWithAddon(function () { return given; }), besideTheAddon);
}

const client = createClient(startWithAddon(function () {
  return require('sandrel-adobe-auth.uxpaddon');
}), besideTheAddon);
client.withAddon = withAddon;
module.exports = client;
