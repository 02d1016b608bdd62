'use strict';
// Helpers for the dev stack's own tests: start it as its command line does, talk plain HTTP
// to it, and play the browser in a sign-in.

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn } = require('node:child_process');

const BIN = path.join(__dirname, '..', 'bin', 'devstack.js');
const REDIRECT = 'http://127.0.0.1:53682/callback';
const SIGN_IN_SCOPE = 'openid profile offline_access User.Read';

const tempDir = () => fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-devstack-test-'));

// Starts bin/devstack.js in memory and resolves once it printed its endpoints.
function startStack() {
  const dir = tempDir();
  const child = spawn(process.execPath, [BIN, '--port', '0', '--blob-port', '0', '--data', dir, '--in-memory'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  const timer = setTimeout(() => child.kill('SIGKILL'), 60000);
  return new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).once('line', (line) => {
      clearTimeout(timer);
      const endpoints = JSON.parse(line);
      resolve({
        endpoints,
        api: (slug = 'contoso') => endpoints.tenants.find((t) => t.slug === slug).kavoBaseUrl,
        async dispose() {
          if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
          await exited;
          fs.rmSync(dir, { recursive: true, force: true });
        },
      });
    });
    exited.then(({ code, signal }) => clearTimeout(timer) || reject(new Error(`dev stack ended (code ${code}, signal ${signal})`)));
  });
}

// A plain HTTP exchange; `json` or `form` build the body. Resolves with {status, headers, text, json}.
async function request(method, url, { headers = {}, json, form, body } = {}) {
  const h = { ...headers };
  if (json !== undefined) {
    body = JSON.stringify(json);
    h['Content-Type'] = 'application/json';
  } else if (form !== undefined) {
    body = new URLSearchParams(form).toString();
    h['Content-Type'] = 'application/x-www-form-urlencoded';
  }
  const res = await fetch(url, { method, headers: h, body, redirect: 'manual', signal: AbortSignal.timeout(15000) });
  const text = await res.text();
  return { status: res.status, headers: Object.fromEntries(res.headers), text, get json() { return JSON.parse(text); } };
}

const admin = (stack, method, p, json) => request(method, `${stack.endpoints.adminURL}${p}`, json === undefined ? {} : { json });
const reset = async (stack, body) => (await admin(stack, 'POST', '/reset', body)).json;
const bearer = (t) => ({ Authorization: `Bearer ${t}` });

function pkce() {
  const verifier = crypto.randomBytes(48).toString('base64url');
  return { verifier, challenge: crypto.createHash('sha256').update(verifier).digest('base64url') };
}

// The authorize step as the browser performs it: the answer and the redirect's query.
async function authorize(stack, { challenge }) {
  const q = new URLSearchParams({
    client_id: stack.endpoints.clientId, response_type: 'code', redirect_uri: REDIRECT, scope: SIGN_IN_SCOPE, state: 'st-1',
    code_challenge: challenge, code_challenge_method: 'S256',
  });
  const res = await request('GET', `${stack.endpoints.authority}/oauth2/v2.0/authorize?${q}`);
  return { res, params: res.status === 302 ? Object.fromEntries(new URL(res.headers.location).searchParams) : null };
}

const token = (stack, form) =>
  request('POST', `${stack.endpoints.authority}/oauth2/v2.0/token`, { form: { client_id: stack.endpoints.clientId, ...form } });

async function kavoToken(stack, user = stack.endpoints.defaultUser.email, extra = {}) {
  return (await admin(stack, 'POST', '/tokens', { user, resource: 'kavo', ...extra })).json.access_token;
}

// Puts `data` as the whole blob, committed.
async function putBlob(sasUrl, data) {
  const r = await request('PUT', sasUrl, { headers: { 'x-ms-blob-type': 'BlockBlob' }, body: data });
  if (r.status !== 201) throw new Error(`Put Blob answered ${r.status}: ${r.text}`);
}

function finalizeBody(recordingId, overrides = {}) {
  return {
    recording_id: recordingId, captureMode: 'impromptu', durationSeconds: 12, pausedDurationSeconds: 0,
    capturedAt: '2025-03-04T09:15:00Z', capturedUntil: '2025-03-04T09:15:12Z', audioProfile: 'standard',
    sampleRateHz: 16000, channels: 1, bitRateKbps: 256, expectedSpeakers: [], shareWithAttendees: false,
    ...overrides,
  };
}

module.exports = {
  REDIRECT, SIGN_IN_SCOPE, startStack, request, admin, reset, bearer, pkce, authorize, token, kavoToken,
  putBlob, finalizeBody,
};
