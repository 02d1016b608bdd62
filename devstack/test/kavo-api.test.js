'use strict';
// The Kavo REST API of a tenant: bearer checks, init, finalize, recording status,
// /api/me, branding and feedback with the server's limits.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

let stack;
let avery;

before(async () => {
  stack = await h.startStack();
});
after(() => stack.dispose());
beforeEach(async () => {
  await h.reset(stack, { data: true });
  avery = await h.kavoToken(stack);
});

const api = (p, slug) => `${stack.api(slug)}${p}`;
const get = (p, tok, slug) => h.request('GET', api(p, slug), { headers: tok ? h.bearer(tok) : {} });
const post = (p, tok, json) => h.request('POST', api(p), { headers: tok ? h.bearer(tok) : {}, json });
const init = (tok, body) => post('/api/v1/meetings/uploads/init', tok, { filename: 'capture-1.wav', content_type: 'audio/wav', size_bytes: 1000, ...body });
const finalize = (tok, body) => post('/api/v1/meetings/uploads/finalize', tok, body);
const status = (id, tok) => get(`/api/v1/meetings/recordings/${encodeURIComponent(id)}`, tok);
const sam = async (access = false) => {
  if (access) await h.admin(stack, 'PATCH', '/users/sam.lee@contoso.test', { meetingsAccess: true });
  return h.kavoToken(stack, 'sam.lee@contoso.test');
};

function problems(res) {
  assert.equal(res.status, 422, res.text);
  return res.json.detail.map((p) => `${p.loc.slice(1).join('.')}:${p.type}`);
}

it('requires Kavo API access tokens issued here for the tenant on every authenticated endpoint', async () => {
  const [head, , sig] = avery.split('.');
  const claims = h.decodeJwt(avery).payload;
  const swapped = Buffer.from(JSON.stringify({ ...claims, oid: '1a2b3c4d-0002-4e5f-8a9b-0c1d2e3f4a5b' })).toString('base64url');
  const robin = await h.kavoToken(stack, 'robin.park@fabrikam.test');
  const graph = (await h.admin(stack, 'POST', '/tokens', { user: 'avery.quinn@contoso.test', resource: 'graph' })).json;
  const offline = (await h.admin(stack, 'POST', '/tokens', { user: 'avery.quinn@contoso.test', offline: true })).json;
  const none = Buffer.from(JSON.stringify({ alg: 'none', typ: 'JWT' })).toString('base64url');
  const refused = {
    'no header': null, 'basic scheme': 'Basic YTpi', garbage: 'Bearer abc.def',
    'payload swapped': `Bearer ${head}.${swapped}.${sig}`, 'alg none': `Bearer ${none}.${avery.split('.')[1]}.`,
    'Graph token': `Bearer ${graph.access_token}`, 'id token': `Bearer ${graph.id_token}`,
    'refresh token': `Bearer ${offline.refresh_token}`, 'another tenant': `Bearer ${robin}`,
    expired: `Bearer ${await h.kavoToken(stack, undefined, { expiresInSeconds: -5 })}`,
  };
  for (const [what, header] of Object.entries(refused)) {
    const res = await h.request('GET', api('/api/me'), { headers: header ? { Authorization: header } : {} });
    assert.equal(res.status, 401, `${what}: ${res.text}`);
    assert.match(res.headers['www-authenticate'], /^Bearer/, what);
    assert.equal(typeof res.json.detail, 'string', what);
  }
  for (const call of [() => init(null), () => finalize(null, h.finalizeBody('x')), () => status('x', null), () => post('/api/feedback', null, {})]) {
    assert.equal((await call()).status, 401);
  }
  assert.equal((await h.admin(stack, 'GET', '/recordings')).json.recordings.length, 0);
  assert.equal((await get('/api/me', robin, 'fabrikam')).status, 200, 'the other tenant\'s token works on its own API');
});

describe('POST /api/v1/meetings/uploads/init', () => {

  it('answers 422 outside the limits or for malformed fields, and 403 without meetings access', async () => {
    assert.deepEqual(problems(await init(avery, { size_bytes: 0 })), ['size_bytes:greater_than_equal']);
    assert.deepEqual(problems(await init(avery, { size_bytes: 2147483649 })), ['size_bytes:less_than_equal']);
    assert.deepEqual(problems(await init(avery, { size_bytes: 10.5 })), ['size_bytes:int_type']);
    assert.deepEqual(problems(await init(avery, { content_type: 'text/plain' })), ['content_type:value_error']);
    assert.deepEqual(problems(await post('/api/v1/meetings/uploads/init', avery, { sizeBytes: 5 })),
      ['filename:missing', 'content_type:missing', 'size_bytes:missing']);
    const denied = await init(await sam());
    assert.deepEqual([denied.status, denied.json.error], [403, 'meetings_access_denied']);
    assert.equal((await h.admin(stack, 'GET', '/recordings')).json.recordings.length, 0);
  });
});

describe('POST /api/v1/meetings/uploads/finalize', () => {
  const data = crypto.randomBytes(150 * 1024);
  const slot = async () => (await init(avery, { filename: `capture-${crypto.randomUUID()}.wav`, size_bytes: data.length })).json;

  it('accepts only a committed blob of the announced size, once, then answers 409', async () => {
    const s = await slot();
    const fin = (over) => finalize(avery, h.finalizeBody(s.recording_id, over));
    assert.equal((await fin()).json.error, 'blob_not_committed');
    assert.equal((await h.putBlock(s.upload_url, 0, data.subarray(0, 1024))).status, 201);
    assert.equal((await fin()).json.error, 'blob_not_committed', 'staged blocks are not a blob');
    await h.uploadBlocks(s.upload_url, data.subarray(0, data.length - 1), 64 * 1024);
    const short = await fin();
    assert.deepEqual([short.status, short.json.error], [422, 'size_mismatch']);
    await h.uploadBlocks(s.upload_url, data, 64 * 1024);
    assert.equal((await fin({ fileSizeBytes: 1 })).json.error, 'size_mismatch');
    const first = await fin({ fileSizeBytes: data.length });
    assert.deepEqual(first.json, { recording_id: s.recording_id, state: 'PROCESSING' });
    const second = await fin();
    assert.deepEqual([second.status, second.json.error], [409, 'already_finalized']);
    assert.equal((await h.admin(stack, 'GET', `/recordings/${s.recording_id}`)).json.finalizeRequest.captureMode, 'impromptu');
  });

  it('validates the camelCase body and answers 404 for unknown and other users\' recordings', async () => {
    const s = await slot();
    const id = s.recording_id;
    const body = h.finalizeBody(id, {
      capturedAt: '2025-03-04 09:15:00', channels: '1', shareWithAttendees: 'no',
      expectedSpeakers: [{ name: 'Ann', accepted: true }, { email: 'x@y.test' }, 'Bob'],
    });
    delete body.pausedDurationSeconds;
    assert.deepEqual(problems(await finalize(avery, body)).sort(), [
      'capturedAt:datetime_parsing', 'channels:int_type', 'expectedSpeakers.1.name:missing',
      'expectedSpeakers.2:dict_type', 'pausedDurationSeconds:missing', 'shareWithAttendees:bool_type',
    ]);
    assert.equal((await finalize(avery, h.finalizeBody(crypto.randomUUID()))).status, 404);
    const other = await sam(true);
    assert.equal((await finalize(other, h.finalizeBody(id))).status, 404);
    assert.equal((await status(id, other)).status, 404);
  });
});

describe('POST /api/feedback', () => {
  const report = (over = {}) => ({
    category: 'bug', subject: 'Upload stuck', description: 'The upload never finishes.', include_recording: false,
    diagnostics: { client: 'linux-desktop' }, ...over,
  });
  const send = (over) => post('/api/feedback', avery, report(over));

  it('answers 422 outside 5-255 and 10-10000 characters, for a bad category and missing fields', async () => {
    for (const over of [{ subject: 'abcde' }, { subject: '😀'.repeat(255) }, { description: 'd'.repeat(10) }, { description: 'd'.repeat(10000) }]) {
      assert.equal((await send(over)).status, 201, JSON.stringify(over).slice(0, 40)); // characters, not UTF-16 units
    }
    const refusals = [
      [{ subject: 'abcd' }, 'subject:string_too_short'], [{ subject: '😀'.repeat(256) }, 'subject:string_too_long'],
      [{ description: 'd'.repeat(9) }, 'description:string_too_short'], [{ description: 'd'.repeat(10001) }, 'description:string_too_long'],
      [{ category: 'complaint' }, 'category:enum'], [{ diagnostics: [] }, 'diagnostics:dict_type'],
    ];
    for (const [over, problem] of refusals) assert.deepEqual(problems(await send(over)), [problem]);
    const { diagnostics, include_recording: inc, ...rest } = report();
    assert.deepEqual(problems(await post('/api/feedback', avery, rest)).sort(), ['diagnostics:missing', 'include_recording:missing']);
  });
});

describe('SAS upload links on the real Azurite', () => {
  const slot = async (size, filename = `capture-${crypto.randomUUID()}.wav`) => {
    const res = await init(avery, { filename, size_bytes: size });
    assert.equal(res.status, 200, res.text);
    return res.json;
  };

  it('hands out links that storage refuses once expired', async () => {
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 4 } });
    const data = crypto.randomBytes(4096);
    const s = await slot(data.length, 'capture-expiry.wav');
    const se = Date.parse(new URL(s.upload_url).searchParams.get('se'));
    assert.ok(se - Date.now() <= 4000 && se - Date.now() > 1000, 'the short lifetime is in "se"');
    assert.equal((await h.putBlock(s.upload_url, 0, data)).status, 201, 'valid before its expiry');
    await h.sleep(Math.max(0, se - Date.now()) + 1100);
    const late = await h.putBlock(s.upload_url, 1, data);
    assert.equal(late.status, 403, late.text);
    assert.equal(late.headers['x-ms-error-code'], 'AuthorizationFailure');
    assert.equal((await h.putBlockList(s.upload_url, 1)).status, 403);
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 3600 } });
    const fresh = await slot(data.length, 'capture-expiry.wav');
    assert.equal(fresh.recording_id, s.recording_id, 'announcing the file again gives the same recording');
    assert.equal((await h.putBlockList(fresh.upload_url, 1)).status, 201, 'and a new link commits the block staged earlier');
  });

  it('hands out links refused when tampered with, used for another blob or to read, or with a bad checksum', async () => {
    const data = crypto.randomBytes(1024);
    const s = await slot(data.length);
    const altered = (change) => {
      const u = new URL(s.upload_url);
      change(u);
      return u.toString();
    };
    const sig = new URL(s.upload_url).searchParams.get('sig');
    assert.equal((await h.putBlob(altered((u) => u.searchParams.set('sig', (sig[0] === 'A' ? 'B' : 'A') + sig.slice(1))), data)).status, 403);
    const later = new Date(Date.now() + 86400000).toISOString().replace(/\.\d+Z$/, 'Z');
    assert.equal((await h.putBlob(altered((u) => u.searchParams.set('se', later)), data)).status, 403, 'extended expiry');
    assert.equal((await h.putBlob(altered((u) => { u.pathname = u.pathname.replace(/[^/]+\.wav$/, 'other.wav'); }), data)).status, 403);
    const crc = await h.request('PUT', `${s.upload_url}&comp=block&blockid=${encodeURIComponent(h.blockId(0))}`, {
      headers: { 'x-ms-content-crc64': h.crc64Header(Buffer.from('other bytes')) }, body: data,
    });
    assert.equal(crc.status, 400);
    assert.equal(crc.headers['x-ms-error-code'], 'Crc64Mismatch');
    assert.equal((await h.putBlob(s.upload_url, data)).status, 201);
    assert.equal((await h.request('GET', s.upload_url)).status, 403, 'the link cannot read back');
  });
});

// A body the server cannot take is a prompt 4xx with a JSON error and no stack trace.
function assertJsonError(res, status, error) {
  assert.equal(res.status, status, res.text);
  assert.match(res.headers['content-type'], /^application\/json/);
  if (error) assert.equal(res.json.error, error);
  assert.doesNotMatch(res.text, /\n\s+at |node:internal|\.js:\d+/, 'no stack trace');
}
const initURL = () => api('/api/v1/meetings/uploads/init');
const postJson = (url, body, type = 'application/json') =>
  h.request('POST', url, { headers: { ...h.bearer(avery), ...(type ? { 'Content-Type': type } : {}) }, body });

it('answers malformed JSON with 400, JSON that is no object with 422 and a wrong content type with 415', async () => {
  for (const url of [initURL(), `${api('/api/v1/meetings/uploads/finalize')}`, `${api('/api/feedback')}`, `${stack.endpoints.adminURL}/faults`]) {
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
