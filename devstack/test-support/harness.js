'use strict';
// Helpers for the dev stack's own tests: start the stack as its command line
// does, talk HTTP to it without any client library, play the browser in a
// sign-in, and compute the storage checksum a real uploader sends.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const ROOT = path.resolve(__dirname, '..');
const BIN = path.join(ROOT, 'bin', 'devstack.js');

function tempDir(prefix = 'kavo-devstack-test-') {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Starts bin/devstack.js in memory and resolves with the endpoints it prints.
function startStack({ dataDir, timeoutMs = 60000 } = {}) {
  const dir = dataDir || tempDir();
  const child = spawn(process.execPath, [BIN, '--port', '0', '--blob-port', '0', '--data', dir, '--in-memory'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  child.stderr.on('data', (c) => { stderr += c; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.stdout.on('data', (c) => {
      const first = stdout.includes('\n');
      stdout += c;
      if (first || !stdout.includes('\n')) return;
      clearTimeout(timer);
      const endpoints = JSON.parse(stdout.slice(0, stdout.indexOf('\n')));
      const stack = {
        endpoints,
        stdout: () => stdout,
        base: endpoints.baseURL,
        api: (slug = 'contoso') => endpoints.tenants.find((t) => t.slug === slug).kavoBaseUrl,
        async stop(signal = 'SIGTERM') {
          if (child.exitCode === null && child.signalCode === null) child.kill(signal);
          return exited;
        },
        async dispose() {
          await stack.stop();
          if (!dataDir) fs.rmSync(dir, { recursive: true, force: true });
        },
      };
      resolve(stack);
    });
    exited.then(({ code, signal }) => {
      clearTimeout(timer);
      reject(new Error(`dev stack ended before it was ready (code ${code}, signal ${signal}); stderr:\n${stderr}`));
    });
  });
}

// A plain HTTP exchange. `json` sends a JSON body, `form` a urlencoded one,
// `body` raw bytes. Resolves with {status, headers, body, text, json}.
function request(method, url, { headers = {}, json, form, body, timeoutMs = 15000 } = {}) {
  const u = new URL(url);
  const h = { ...headers };
  let payload = body;
  if (json !== undefined) {
    payload = Buffer.from(JSON.stringify(json));
    if (!Object.keys(h).some((k) => k.toLowerCase() === 'content-type')) h['Content-Type'] = 'application/json';
  } else if (form !== undefined) {
    payload = Buffer.from(new URLSearchParams(form).toString());
    if (!Object.keys(h).some((k) => k.toLowerCase() === 'content-type')) h['Content-Type'] = 'application/x-www-form-urlencoded';
  }
  return new Promise((resolve, reject) => {
    const req = http.request({
      host: u.hostname, port: u.port, method, path: u.pathname + u.search, headers: h, agent: false,
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        clearTimeout(timer);
        const buf = Buffer.concat(chunks);
        const text = buf.toString('utf8');
        resolve({ status: res.statusCode, headers: res.headers, body: buf, text, get json() { return JSON.parse(text); } });
      });
      res.on('error', reject);
    });
    const timer = setTimeout(() => {
      const err = new Error(`no answer within ${timeoutMs} ms`);
      err.code = 'TIMEOUT';
      req.destroy(err);
    }, timeoutMs);
    req.on('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
    req.end(payload);
  });
}

function admin(stack, method, p, json) {
  return request(method, `${stack.endpoints.adminURL}${p}`, json === undefined ? {} : { json });
}

async function reset(stack, body) {
  const res = await admin(stack, 'POST', '/reset', body);
  if (res.status !== 200) throw new Error(`reset answered ${res.status}: ${res.text}`);
  return res.json;
}

function pkce() {
  const verifier = crypto.randomBytes(48).toString('base64url');
  const challenge = crypto.createHash('sha256').update(verifier).digest('base64url');
  return { verifier, challenge };
}

function decodeJwt(token) {
  const [header, payload] = token.split('.').slice(0, 2).map((part) => JSON.parse(Buffer.from(part, 'base64url').toString('utf8')));
  return { header, payload };
}

const REDIRECT = 'http://127.0.0.1:53682/callback';
const SIGN_IN_SCOPE = 'openid profile offline_access User.Read';

// The authorize step as the browser performs it: returns the redirect's query.
async function authorize(stack, { scope = SIGN_IN_SCOPE, challenge, redirectUri = REDIRECT, state = 'st-1', extra = {}, authority } = {}) {
  const base = authority ? `${stack.base}/${authority}` : stack.endpoints.authority;
  const q = new URLSearchParams({
    client_id: stack.endpoints.clientId, response_type: 'code', redirect_uri: redirectUri, scope, state,
    code_challenge: challenge, code_challenge_method: 'S256', ...extra,
  });
  const res = await request('GET', `${base}/oauth2/v2.0/authorize?${q}`);
  if (res.status !== 302) return { res, params: null };
  const location = new URL(res.headers.location);
  return { res, location, params: Object.fromEntries(location.searchParams) };
}

function token(stack, form, authority) {
  const base = authority ? `${stack.base}/${authority}` : stack.endpoints.authority;
  return request('POST', `${base}/oauth2/v2.0/token`, { form: { client_id: stack.endpoints.clientId, ...form } });
}

async function kavoToken(stack, user = stack.endpoints.defaultUser.email, extra = {}) {
  const res = await admin(stack, 'POST', '/tokens', { user, resource: 'kavo', ...extra });
  if (res.status !== 200) throw new Error(`minting a token failed: ${res.text}`);
  return res.json.access_token;
}

function bearer(t) {
  return { Authorization: `Bearer ${t}` };
}

// CRC-64/NVME (reflected polynomial 0x9A6C9329AC4BC9B5, all-ones init and
// final xor), the checksum storage checks in x-ms-content-crc64.
const CRC_TABLE = (() => {
  const poly = 0x9A6C9329AC4BC9B5n;
  const table = new Array(256);
  for (let i = 0; i < 256; i++) {
    let c = BigInt(i);
    for (let k = 0; k < 8; k++) c = c & 1n ? (c >> 1n) ^ poly : c >> 1n;
    table[i] = c;
  }
  return table;
})();

function crc64nvme(buf) {
  let crc = 0xFFFFFFFFFFFFFFFFn;
  for (const b of buf) crc = CRC_TABLE[Number((crc ^ BigInt(b)) & 0xFFn)] ^ (crc >> 8n);
  return crc ^ 0xFFFFFFFFFFFFFFFFn;
}

function crc64Header(buf) {
  const out = Buffer.alloc(8);
  out.writeBigUInt64LE(crc64nvme(buf));
  return out.toString('base64');
}

function blockId(i) {
  return Buffer.from(`block-${String(i).padStart(6, '0')}`).toString('base64');
}

function putBlock(sasUrl, i, data) {
  return request('PUT', `${sasUrl}&comp=block&blockid=${encodeURIComponent(blockId(i))}`, {
    headers: { 'x-ms-content-crc64': crc64Header(data), 'Content-Length': data.length },
    body: data,
  });
}

function putBlockList(sasUrl, count, contentType = 'audio/wav') {
  const ids = Array.from({ length: count }, (_, i) => `  <Latest>${blockId(i)}</Latest>`).join('\n');
  const xml = `<?xml version="1.0" encoding="utf-8"?>\n<BlockList>\n${ids}\n</BlockList>`;
  return request('PUT', `${sasUrl}&comp=blocklist`, {
    headers: { 'Content-Type': 'application/xml; charset=utf-8', 'x-ms-blob-content-type': contentType },
    body: Buffer.from(xml),
  });
}

function putBlob(sasUrl, data, contentType = 'audio/wav') {
  return request('PUT', sasUrl, {
    headers: {
      'x-ms-blob-type': 'BlockBlob', 'x-ms-blob-content-type': contentType,
      'x-ms-content-crc64': crc64Header(data), 'Content-Length': data.length,
    },
    body: data,
  });
}

// Uploads `data` in blocks of `blockSize` and commits them.
async function uploadBlocks(sasUrl, data, blockSize) {
  const count = Math.ceil(data.length / blockSize);
  for (let i = 0; i < count; i++) {
    const r = await putBlock(sasUrl, i, data.subarray(i * blockSize, (i + 1) * blockSize));
    if (r.status !== 201) throw new Error(`Put Block ${i} answered ${r.status}: ${r.text}`);
  }
  const r = await putBlockList(sasUrl, count);
  if (r.status !== 201) throw new Error(`Put Block List answered ${r.status}: ${r.text}`);
  return count;
}

function finalizeBody(recordingId, overrides = {}) {
  return {
    recording_id: recordingId, captureMode: 'impromptu', durationSeconds: 12, pausedDurationSeconds: 0,
    capturedAt: '2025-03-04T09:15:00Z', capturedUntil: '2025-03-04T09:15:12Z', audioProfile: 'standard',
    sampleRateHz: 16000, channels: 1, bitRateKbps: 256, expectedSpeakers: [], shareWithAttendees: false,
    ...overrides,
  };
}

// A zombie (exited, not yet reaped by whoever adopted it) counts as gone.
function pidAlive(pid) {
  try {
    process.kill(pid, 0);
  } catch {
    return false;
  }
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

async function waitUntil(predicate, timeoutMs = 5000, stepMs = 50) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (await predicate()) return true;
    await sleep(stepMs);
  }
  return predicate();
}

function portOpen(port) {
  return new Promise((resolve) => {
    const sock = require('node:net').connect(port, '127.0.0.1');
    sock.once('connect', () => {
      sock.destroy();
      resolve(true);
    });
    sock.once('error', () => resolve(false));
  });
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

module.exports = {
  BIN, REDIRECT, SIGN_IN_SCOPE, tempDir, startStack, request, admin, reset, pkce,
  decodeJwt, authorize, token, kavoToken, bearer, crc64Header, blockId, putBlock, putBlockList,
  putBlob, uploadBlocks, finalizeBody, pidAlive, waitUntil, portOpen, sleep,
};
