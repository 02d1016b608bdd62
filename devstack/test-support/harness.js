'use strict';
// Helpers for the dev stack's own tests: start it as its command line does and talk plain
// HTTP to it.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn } = require('node:child_process');

const BIN = path.join(__dirname, '..', 'bin', 'devstack.js');

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

// A plain HTTP exchange, `json` as the body when given. Resolves with {status, headers, text, json}.
async function request(method, url, { headers = {}, json, body } = {}) {
  const h = { ...headers };
  if (json !== undefined) {
    body = JSON.stringify(json);
    h['Content-Type'] = 'application/json';
  }
  const res = await fetch(url, { method, headers: h, body, redirect: 'manual', signal: AbortSignal.timeout(15000) });
  const text = await res.text();
  return { status: res.status, headers: Object.fromEntries(res.headers), text, get json() { return JSON.parse(text); } };
}

const admin = (stack, method, p, json) => request(method, `${stack.endpoints.adminURL}${p}`, json === undefined ? {} : { json });
const reset = async (stack, body) => (await admin(stack, 'POST', '/reset', body)).json;
const bearer = (t) => ({ Authorization: `Bearer ${t}` });

async function kavoToken(stack, user = stack.endpoints.defaultUser.email) {
  return (await admin(stack, 'POST', '/tokens', { user, resource: 'kavo' })).json.access_token;
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

module.exports = { startStack, request, admin, reset, bearer, kavoToken, putBlob, finalizeBody };
