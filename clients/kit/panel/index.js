'use strict';
// The kit's sample panel, the same script for CEP (After Effects, Premiere Pro) and UXP
// (Premiere Pro): it reads the saved sign-in, signs in with a fixed sample session, and signs
// out, showing each answer as the client gives it.

function underUxp() {
  try {
    require('uxp');
    return true;
  } catch (error) {
    return false;
  }
}

// CEP resolves a relative require against a folder of its own choosing, so the client is named
// from the page's own folder there ("/C:/…" on Windows).
function pageFolder() {
  const page = decodeURIComponent(window.location.pathname);
  const folder = page.slice(0, page.lastIndexOf('/'));
  return /^\/[A-Za-z]:/.test(folder) ? folder.slice(1) : folder;
}

// Whether UXP resolves the add-on's name from a module in a subfolder is not documented, so it is
// loaded here, in the plugin's main script, and handed to the client. Premiere may give a promise
// of it; one that fails to load answers BINARY_NOT_FOUND on every click.
function uxpClient() {
  let addon;
  try {
    addon = require('sandrel-adobe-auth.uxpaddon');
  } catch (error) {
    addon = Promise.reject(error);
  }
  return require('./sandrel-adobe-auth-client/uxp.js').withAddon(addon);
}

const uxp = underUxp();
const auth = uxp ? uxpClient() : require(pageFolder() + '/sandrel-adobe-auth-client/index.js');
// UXP runs only in Premiere Pro; CEP says which host it is in ("AEFT" or "PPRO").
const host = uxp ? 'PPRO' : JSON.parse(window.__adobe_cep__.getHostEnvironment()).appName;
const sampleSession = { user: 'sample@example.com', token: 'sample-token' };

function show(action, promise) {
  const answer = document.getElementById('answer');
  answer.textContent = action + '…';
  promise.then(function (record) {
    answer.textContent = action + ' (' + host + '): ' + JSON.stringify(record, null, 2);
  }, function (error) {
    answer.textContent = action + ' (' + host + ') failed: ' + error.code + '\n' + error.message;
  });
}

document.getElementById('read').addEventListener('click', function () {
  show('Read', auth.read(host));
});
document.getElementById('signIn').addEventListener('click', function () {
  // update reads first and names the revision it read, retrying if another panel wrote between.
  show('Sign in', auth.update(host, function () { return sampleSession; }));
});
document.getElementById('signOut').addEventListener('click', function () {
  show('Sign out', auth.read(host).then(function (record) {
    return auth.signOut(host, record ? record.revision : null);
  }));
});
