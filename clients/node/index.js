'use strict';
// Starts the sign-in tool, writes one request, reads its one answer, and turns the answer
// into a value or an Error with a stable code. No dependencies; runs on every Node a CEP panel
// embeds, from Node 8.6 (CEP 9) on, so its syntax stays within ES2017. Premiere's UXP panels
// use the same logic through uxp.js, which starts the tool with the add-on instead; nothing
// here that only Node has is loaded before it is used.

const maximumRequestBytes = 32768;
const hosts = ['AEFT', 'PPRO'];
const defaultTimeoutMs = 30000;
const defaultRetries = 3;
const longestTimerMs = 2147483647;

// The tool's own messages, each with the code a panel can act on.
const codes = Object.freeze({
  'Invalid session request.': 'INVALID_REQUEST',
  'Secure sign-in storage is unavailable. Retry after unlocking Keychain.': 'STORAGE_UNAVAILABLE',
  'Session lock folder is not private.': 'LOCK_FOLDER_NOT_PRIVATE',
  'Cannot lock saved sign-in.': 'CANNOT_LOCK',
  'Keychain access unavailable. Unlock or allow access, then retry.': 'KEYCHAIN_UNAVAILABLE',
  'Saved sign-in is unreadable.': 'UNREADABLE',
  'Sign-in changed in another panel. Reopen Sandrel.': 'CONFLICT',
  'Saved sign-in is too large.': 'TOO_LARGE',
  'Could not save sign-in in Keychain. Retry after allowing access.': 'SAVE_FAILED',
  'Saved sign-in could not be verified. Reopen Sandrel.': 'NOT_VERIFIED',
});

// What only the client can see.
const clientMessages = Object.freeze({
  BINARY_NOT_FOUND: 'The sign-in tool is missing or cannot be started.',
  NO_ANSWER: 'The sign-in tool ended without an answer.',
  TIMEOUT: 'The sign-in tool did not answer in time.',
});

function failure(code, message) {
  const error = new Error(message);
  error.code = code;
  return error;
}

function invalidRequest() {
  return failure('INVALID_REQUEST', 'Invalid session request.');
}

// Node's way to start the tool, for CEP panels: a child process with piped standard streams.
// Resolves with its whole standard output; rejects with BINARY_NOT_FOUND or TIMEOUT.
function startWithNode(binaryPath, text, timeoutMs) {
  return new Promise(function (resolve, reject) {
    let settled = false;
    let timedOut = false;
    let timer = null;
    let child = null;
    function settle(callback, value) {
      if (settled) return;
      settled = true;
      if (timer) clearTimeout(timer);
      callback(value);
    }
    function notFound() {
      settle(reject, failure('BINARY_NOT_FOUND', clientMessages.BINARY_NOT_FOUND));
    }

    // mayRepair: a tool that is there but not executable gets the owner's execute bit once.
    function start(mayRepair) {
      let started;
      try {
        started = require('child_process').spawn(binaryPath, [],
          { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
      } catch (error) {
        notFound();
        return;
      }
      child = started;
      const chunks = [];
      started.on('error', function (error) {
        if (started !== child) return;
        if (mayRepair && error && error.code === 'EACCES' && madeExecutable(binaryPath)) {
          start(false);
        } else {
          notFound();
        }
      });
      // The tool may answer and exit before reading everything (an oversized request).
      started.stdin.on('error', function () {});
      started.stdout.on('data', function (chunk) {
        chunks.push(chunk);
      });
      // 'close' comes after the output has ended, so the whole answer is here.
      started.on('close', function () {
        if (started !== child) return;
        if (timedOut) {
          settle(reject, failure('TIMEOUT', clientMessages.TIMEOUT));
        } else {
          settle(resolve, Buffer.concat(chunks).toString('utf8'));
        }
      });
      started.stdin.end(text);
    }

    start(true);
    // A waiting child has changed nothing, so killing it at the time-out is safe. A timer
    // longer than setTimeout holds (about 24.8 days) would fire at once, so it is held there.
    if (timeoutMs > 0 && !settled) {
      timer = setTimeout(function () {
        timedOut = true;
        child.kill('SIGKILL');
      }, Math.min(Number(timeoutMs), longestTimerMs));
    }
  });
}

// A packager or installer that drops the execute bit would leave the panel without its tool
// for good. Mode bits are not part of a code signature, so setting the owner's bit on this one
// file keeps the signature; where that is refused (installed for all users), it stays so.
function madeExecutable(binaryPath) {
  try {
    const fs = require('fs');
    const stat = fs.statSync(binaryPath);
    if (!stat.isFile()) return false;
    fs.chmodSync(binaryPath, stat.mode | 0o100);
    return true;
  } catch (error) {
    return false;
  }
}

function byteLength(text) {
  return typeof Buffer !== 'undefined' ? Buffer.byteLength(text, 'utf8') : new TextEncoder().encode(text).length;
}

// The tool's whole output as the record, or an Error with the code of the tool's message.
function answerOf(output) {
  let response = null;
  try {
    response = JSON.parse(output);
  } catch (error) {
    response = null;
  }
  if (response === null || typeof response !== 'object' || typeof response.ok !== 'boolean') {
    throw failure('NO_ANSWER', clientMessages.NO_ANSWER);
  }
  if (!response.ok) {
    const message = String(response.error);
    throw failure(codes[message] || 'NO_ANSWER', message);
  }
  return response.record === undefined ? null : response.record;
}

// The client on a way to start the tool: start(binaryPath, requestText, timeoutMs) resolves
// with the tool's whole output or rejects with BINARY_NOT_FOUND, NO_ANSWER or TIMEOUT (any
// other rejection counts as NO_ANSWER);
// defaultBinaryPath() gives the tool's path, or a promise of it. Everything else (validation,
// answers, codes, retries) is this one copy, for CEP and UXP panels alike.
function createClient(start, defaultBinaryPath) {
  function call(request, options) {
    const settings = options || {};
    const timeoutMs = settings.timeoutMs === undefined ? defaultTimeoutMs : settings.timeoutMs;
    const text = JSON.stringify(request);
    if (hosts.indexOf(request.host) < 0 || byteLength(text) > maximumRequestBytes) {
      return Promise.reject(invalidRequest());
    }
    return Promise.resolve(settings.binaryPath || defaultBinaryPath())
      .then(function (binaryPath) { return start(binaryPath, text, timeoutMs); })
      .catch(function (error) {
        const code = error && clientMessages[error.code] ? error.code : 'NO_ANSWER';
        throw failure(code, clientMessages[code]);
      })
      .then(answerOf);
  }

  function read(host, options) {
    return call({ host: host, op: 'read' }, options);
  }

  function write(host, expectedRevision, session, options) {
    // An undefined session would vanish from the JSON; never let it turn into something else.
    const validSession = session === null || (typeof session === 'object' && !Array.isArray(session));
    if (!validSession) return Promise.reject(invalidRequest());
    const expected = typeof expectedRevision === 'string' ? expectedRevision : null;
    return call({ host: host, op: 'write', expectedRevision: expected, session: session }, options);
  }

  function signOut(host, expectedRevision, options) {
    return write(host, expectedRevision, null, options);
  }

  // Read, compute the next session from the record, write naming its revision; on a conflict,
  // read again and retry, at most `retries` times (default 3).
  async function update(host, change, options) {
    const retries = options && options.retries !== undefined ? options.retries : defaultRetries;
    for (let attempt = 0; ; attempt += 1) {
      const record = await read(host, options);
      const session = await change(record);
      try {
        return await write(host, record ? record.revision : null, session, options);
      } catch (error) {
        if (error.code !== 'CONFLICT' || attempt >= retries) throw error;
      }
    }
  }

  return { read: read, write: write, signOut: signOut, update: update, codes: codes };
}

// For CEP panels: the tool shipped next to this file.
const client = createClient(startWithNode, function () {
  const binaryName = process.platform === 'win32' ? 'sandrel-adobe-auth.exe' : 'sandrel-adobe-auth';
  return require('path').join(__dirname, binaryName);
});
client.createClient = createClient;
module.exports = client;
