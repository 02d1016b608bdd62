'use strict';
// Requests a client should never send still get a prompt 4xx with a JSON error body:
// never a stack trace, a 500 or a hang.

const { it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const http = require('node:http');

const h = require('../test-support/harness');

let stack;
let tok;

before(async () => {
  stack = await h.startStack();
  tok = await h.kavoToken(stack);
});
after(() => stack.dispose());

function assertJsonError(res, status, error) {
  assert.equal(res.status, status, res.text);
  assert.match(res.headers['content-type'], /^application\/json/);
  assert.equal(typeof res.json.error, 'string');
  if (error) assert.equal(res.json.error, error);
  assert.doesNotMatch(res.text, /\n\s+at |node:internal|\.js:\d+/, 'no stack trace');
}

const port = () => stack.endpoints.baseURL.split(':').pop();
const initURL = () => `${stack.api()}/api/v1/meetings/uploads/init`;
const postJson = (url, body, type = 'application/json') =>
  h.request('POST', url, { headers: { ...h.bearer(tok), ...(type ? { 'Content-Type': type } : {}) }, body });

// Sends raw bytes and reads until the server closes or three seconds pass.
function raw(bytes) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port(), '127.0.0.1');
    let data = '';
    const timer = setTimeout(() => {
      sock.destroy();
      reject(new Error(`no close; got ${JSON.stringify(data)}`));
    }, 3000);
    sock.on('data', (c) => { data += c; });
    sock.on('close', () => { clearTimeout(timer); resolve(data); });
    sock.on('error', () => {});
    sock.write(bytes);
  });
}

it('answers malformed JSON with 400, JSON that is no object with 422 and a wrong content type with 415', async () => {
  for (const url of [initURL(), `${stack.api()}/api/v1/meetings/uploads/finalize`, `${stack.api()}/api/feedback`, `${stack.endpoints.adminURL}/faults`]) {
    assertJsonError(await postJson(url, '{"filename": "a.wav",'), 400, 'invalid_json');
  }
  assertJsonError(await postJson(initURL(), Buffer.from([0x7b, 0x22, 0xff, 0x22, 0x7d])), 400);
  for (const body of ['[]', '"x"', 'null', '42']) assertJsonError(await postJson(initURL(), body), 422);
  const json = JSON.stringify({ filename: 'a.wav', content_type: 'audio/wav', size_bytes: 10 });
  for (const type of ['text/plain', 'application/x-www-form-urlencoded', null]) {
    assertJsonError(await postJson(initURL(), json, type), 415, 'unsupported_media_type');
  }
  assert.equal((await postJson(initURL(), json, 'Application/JSON; charset=utf-8')).status, 200, 'parameters and case do not matter');
  const token = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/token`, {
    json: { client_id: stack.endpoints.clientId, grant_type: 'refresh_token', refresh_token: 'x' },
  });
  assertJsonError(token, 400, 'invalid_request');
});

it('answers a body over the limit with 413 at once, announced or streamed', async () => {
  const announced = await new Promise((resolve, reject) => {
    const req = http.request({
      host: '127.0.0.1', port: port(), method: 'POST', agent: false, path: new URL(`${stack.api()}/api/feedback`).pathname,
      headers: { ...h.bearer(tok), 'Content-Type': 'application/json', 'Content-Length': 50 * 1048576 },
    }, (res) => {
      let text = '';
      res.on('data', (c) => { text += c; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, text, json: JSON.parse(text) }));
    });
    req.on('error', reject);
    req.write('{"subject": "'); // the rest is never sent: the answer must not wait for it
  });
  assertJsonError(announced, 413, 'payload_too_large');
  const big = Buffer.alloc(3 * 1048576, 0x61);
  const streamed = await h.request('POST', `${stack.api()}/api/feedback`, {
    headers: { ...h.bearer(tok), 'Content-Type': 'application/json', 'Transfer-Encoding': 'chunked' }, body: big,
  });
  assertJsonError(streamed, 413);
  const token = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/token`, {
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: big,
  });
  assertJsonError(token, 413);
  assert.equal((await h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok) })).status, 200, 'the stack is still well');
});

it('answers unknown paths with 404, wrong methods with 405 and Allow, bad percent-encoding with 400', async () => {
  for (const p of ['/nothing', '/api/v2/meetings', '/t/contoso/api/me/extra', '/api/kavo/discover/', '/organizations/oauth2/v2.0/logout']) {
    assertJsonError(await h.request('GET', `${stack.base}${p}`), 404, 'not_found');
  }
  const del = await h.request('DELETE', `${stack.api()}/api/me`, { headers: h.bearer(tok) });
  assertJsonError(del, 405);
  assert.equal(del.headers.allow, 'GET');
  assert.equal((await h.request('GET', initURL(), { headers: h.bearer(tok) })).headers.allow, 'POST');
  assertJsonError(await h.request('GET', `${stack.api()}/api/v1/meetings/recordings/%E0%A4%A`, { headers: h.bearer(tok) }), 400);
});

it('answers malformed HTTP with a JSON 400 and a closed connection', async () => {
  for (const bytes of ['GARBAGE\r\n\r\n', 'GET /api/me HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n',
    'GET http://elsewhere/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n']) {
    const answer = await raw(bytes);
    assert.match(answer, /^HTTP\/1\.1 400 /, JSON.stringify(bytes));
    assert.equal(typeof JSON.parse(answer.slice(answer.indexOf('\r\n\r\n') + 4)).error, 'string');
  }
});

it('checks admin bodies strictly, leaving settings alone on refusal', async () => {
  const cases = [
    ['PATCH', '/settings', { api: { sasLifetimeSeconds: 'soon' } }], ['PATCH', '/settings', { apis: {} }],
    ['PATCH', '/tenants/contoso', { meetingsAccess: 'no' }], ['POST', '/identity/authorize', { outcome: 'maybe' }],
    ['POST', '/tokens', { user: 'nobody' }], ['PATCH', '/recordings/x', {}],
  ];
  for (const [method, p, body] of cases) {
    const res = await h.admin(stack, method, p, body);
    assert.ok(res.status === 400 || res.status === 404, `${method} ${p}: ${res.status}`);
    assertJsonError(res, res.status);
  }
  assert.equal((await h.admin(stack, 'GET', '/settings')).json.api.sasLifetimeSeconds, 3600);
});
