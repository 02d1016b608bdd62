'use strict';
// Requests a client should never send still get a prompt 4xx with a JSON
// error body: never a stack trace, a 500 or a hang.

const { describe, it, before, after } = require('node:test');
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

function assertJsonError(res, status) {
  assert.equal(res.status, status, res.text);
  assert.match(res.headers['content-type'], /^application\/json/);
  const body = res.json;
  assert.equal(typeof body.error, 'string');
  assert.doesNotMatch(res.text, /\n\s+at |node:internal|\.js:\d+/, 'no stack trace');
  return body;
}

// Sends raw bytes and reads until the server closes or `ms` pass.
function raw(bytes, ms = 3000) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(stack.endpoints.baseURL.split(':').pop(), '127.0.0.1');
    let data = '';
    const timer = setTimeout(() => {
      sock.destroy();
      reject(new Error(`no close within ${ms} ms; got ${JSON.stringify(data)}`));
    }, ms);
    sock.on('data', (c) => { data += c; });
    sock.on('close', () => {
      clearTimeout(timer);
      resolve(data);
    });
    sock.on('error', () => {});
    sock.write(bytes);
  });
}

const initURL = () => `${stack.api()}/api/v1/meetings/uploads/init`;

describe('bodies', () => {
  it('malformed JSON is 400 on every JSON endpoint', async () => {
    const urls = [initURL(), `${stack.api()}/api/v1/meetings/uploads/finalize`, `${stack.api()}/api/feedback`, `${stack.endpoints.adminURL}/faults`];
    for (const url of urls) {
      const res = await h.request('POST', url, { headers: { ...h.bearer(tok), 'Content-Type': 'application/json' }, body: '{"filename": "a.wav",' });
      assert.equal(assertJsonError(res, 400).error, 'invalid_json', url);
    }
    const badUtf8 = await h.request('POST', initURL(), {
      headers: { ...h.bearer(tok), 'Content-Type': 'application/json' }, body: Buffer.from([0x7b, 0x22, 0xff, 0x22, 0x7d]),
    });
    assertJsonError(badUtf8, 400);
  });

  it('JSON that is not an object is 422', async () => {
    for (const body of ['[]', '"x"', 'null', '42']) {
      const res = await h.request('POST', initURL(), { headers: { ...h.bearer(tok), 'Content-Type': 'application/json' }, body });
      assertJsonError(res, 422);
    }
  });

  it('a wrong or missing content type is 415 on the API and 400 on the token endpoint', async () => {
    const json = JSON.stringify({ filename: 'a.wav', content_type: 'audio/wav', size_bytes: 10 });
    for (const type of ['text/plain', 'application/x-www-form-urlencoded', undefined]) {
      const headers = { ...h.bearer(tok) };
      if (type) headers['Content-Type'] = type;
      const res = await h.request('POST', initURL(), { headers, body: json });
      assert.equal(assertJsonError(res, 415).error, 'unsupported_media_type', String(type));
    }
    const charset = await h.request('POST', initURL(), { headers: { ...h.bearer(tok), 'Content-Type': 'Application/JSON; charset=utf-8' }, body: json });
    assert.equal(charset.status, 200, 'parameters and case of the media type do not matter');
    const tokenRes = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/token`, {
      json: { client_id: stack.endpoints.clientId, grant_type: 'refresh_token', refresh_token: 'x' },
    });
    assert.equal(assertJsonError(tokenRes, 400).error, 'invalid_request');
  });

  it('a body over the limit is 413, announced or streamed', async () => {
    const announced = await new Promise((resolve, reject) => {
      const req = http.request({
        host: '127.0.0.1', port: stack.endpoints.baseURL.split(':').pop(), method: 'POST', agent: false,
        path: new URL(`${stack.api()}/api/feedback`).pathname,
        headers: { ...h.bearer(tok), 'Content-Type': 'application/json', 'Content-Length': 50 * 1048576 },
      }, (res) => {
        let text = '';
        res.on('data', (c) => { text += c; });
        res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, text, get json() { return JSON.parse(text); } }));
      });
      req.on('error', reject);
      req.write('{"subject": "');
      // The rest of the 50 MiB is never sent: the answer must not wait for it.
    });
    assert.equal(assertJsonError(announced, 413).error, 'payload_too_large');

    const big = Buffer.alloc(3 * 1048576, 0x61);
    const streamed = await h.request('POST', `${stack.api()}/api/feedback`, {
      headers: { ...h.bearer(tok), 'Content-Type': 'application/json', 'Transfer-Encoding': 'chunked' },
      body: big,
    });
    assertJsonError(streamed, 413);
    const tokenRes = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/token`, {
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: big,
    });
    assertJsonError(tokenRes, 413);
    assert.equal((await h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok) })).status, 200, 'the stack is still well');
  });
});

describe('paths and methods', () => {
  it('unknown paths are 404 and wrong methods 405 with Allow', async () => {
    for (const p of ['/nothing', '/api/v2/meetings', '/t/contoso/api/me/extra', '/api/kavo/discover/', '/organizations/oauth2/v2.0/logout']) {
      assert.equal(assertJsonError(await h.request('GET', `${stack.base}${p}`), 404).error, 'not_found', p);
    }
    const del = await h.request('DELETE', `${stack.api()}/api/me`, { headers: h.bearer(tok) });
    assertJsonError(del, 405);
    assert.equal(del.headers.allow, 'GET');
    const getInit = await h.request('GET', initURL(), { headers: h.bearer(tok) });
    assert.equal(getInit.headers.allow, 'POST');
    assertJsonError(getInit, 405);
  });

  it('malformed percent-encoding is 400', async () => {
    const res = await h.request('GET', `${stack.api()}/api/v1/meetings/recordings/%E0%A4%A`, { headers: h.bearer(tok) });
    assertJsonError(res, 400);
  });

  it('malformed HTTP gets a JSON 400 and a closed connection', async () => {
    for (const bytes of ['GARBAGE\r\n\r\n', 'GET /api/me HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n', 'GET http://elsewhere/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n']) {
      const answer = await raw(bytes);
      assert.match(answer, /^HTTP\/1\.1 400 /, JSON.stringify(bytes));
      const body = answer.slice(answer.indexOf('\r\n\r\n') + 4);
      assert.equal(typeof JSON.parse(body).error, 'string');
    }
  });

  it('admin bodies are checked strictly', async () => {
    const cases = [
      ['PATCH', '/settings', { api: { sasLifetimeSeconds: 'soon' } }],
      ['PATCH', '/settings', { apis: {} }],
      ['PATCH', '/settings', { identity: { defaultUser: 'nobody@nowhere.test' } }],
      ['PATCH', '/tenants/contoso', { meetingsAccess: 'no' }],
      ['PATCH', '/users/avery.quinn@contoso.test', { role: 'admin' }],
      ['POST', '/identity/authorize', { outcome: 'maybe' }],
      ['POST', '/identity/device-code', { decision: 'later' }],
      ['POST', '/tokens', { user: 'nobody' }],
      ['PATCH', '/recordings/x', {}],
    ];
    for (const [method, p, body] of cases) {
      const res = await h.admin(stack, method, p, body);
      assert.ok(res.status === 400 || res.status === 404, `${method} ${p}: ${res.status}`);
      assertJsonError(res, res.status);
    }
    const settings = (await h.admin(stack, 'GET', '/settings')).json;
    assert.equal(settings.api.sasLifetimeSeconds, 3600, 'a refused change leaves settings alone');
  });
});
