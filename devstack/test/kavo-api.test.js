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
  assert.equal((await get('/api/me', (await h.signIn(stack)).kavo.access_token)).status, 200, 'as does one from a sign-in');
});

it('describes the caller at /api/me, with access off while the tenant has meetings switched off', async () => {
  assert.deepEqual((await get('/api/me', avery)).json, {
    id: stack.endpoints.defaultUser.oid, email: 'avery.quinn@contoso.test', name: 'Avery Quinn', is_admin: false, meetings_access: true,
  });
  const other = (await get('/api/me', await sam())).json;
  assert.deepEqual([other.meetings_access, other.is_admin], [false, true]);
  await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
  assert.equal((await get('/api/me', avery)).json.meetings_access, false);
});

describe('POST /api/v1/meetings/uploads/init', () => {
  it('hands out a recording id, the blob path and a create/write SAS URL on storage', async () => {
    const before = Date.now();
    const res = await init(avery, { size_bytes: 2147483648 });
    assert.equal(res.status, 200, res.text);
    const { recording_id: id, upload_url: url, blob_path: blobPath, ...rest } = res.json;
    assert.deepEqual(rest, {});
    assert.match(id, /^[0-9a-f-]{36}$/);
    const u = new URL(url);
    assert.equal(`${u.origin}${u.pathname}`, `${stack.endpoints.blobEndpoint}/${blobPath}`);
    assert.ok(blobPath.startsWith(`${stack.endpoints.blobContainer}/`));
    assert.deepEqual([...u.searchParams.keys()], ['sv', 'se', 'sr', 'sp', 'sig']);
    assert.deepEqual(['sv', 'sr', 'sp'].map((k) => u.searchParams.get(k)), ['2021-08-06', 'b', 'cw']);
    const se = u.searchParams.get('se');
    assert.match(se, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
    const lifetime = (Date.parse(se) - before) / 1000;
    assert.ok(lifetime > 3595 && lifetime <= 3601, `SAS lifetime ${lifetime}`);
  });

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

describe('GET /api/v1/meetings/recordings/{id}', () => {
  it('reads UPLOADING before finalize, PROCESSING for the set number of reads, then DELIVERED', async () => {
    await h.admin(stack, 'PATCH', '/settings', { api: { deliverAfterReads: 3 } });
    const data = crypto.randomBytes(10000);
    const s = (await init(avery, { size_bytes: data.length })).json;
    assert.equal((await status(s.recording_id, avery)).json.state, 'UPLOADING');
    assert.equal((await status(s.recording_id, avery)).json.state, 'UPLOADING', 'reads before finalize do not count');
    assert.equal((await h.putBlob(s.upload_url, data)).status, 201);
    assert.equal((await finalize(avery, h.finalizeBody(s.recording_id, { meetingTitle: 'Weekly' }))).status, 200);
    const states = [];
    for (let i = 0; i < 5; i++) states.push((await status(s.recording_id, avery)).json);
    assert.deepEqual(states.map((x) => x.state), ['PROCESSING', 'PROCESSING', 'PROCESSING', 'DELIVERED', 'DELIVERED']);
    const done = states[3];
    assert.deepEqual([done.id, done.recording_id, done.meeting_title, done.is_owner], [s.recording_id, s.recording_id, 'Weekly', true]);
    assert.match(done.kavo_job_id, /^job-/);
    assert.match(done.delivered_at, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00$/);
    assert.equal(states[0].delivered_at, null);
    assert.equal(states[4].delivered_at, done.delivered_at, 'delivery time stays put');
    for (const [style, re] of Object.entries({ 'millis-z': /\.\d{3}Z$/, 'seconds-z': /:\d\dZ$/, 'seconds-offset': /:\d\d\+00:00$/ })) {
      await h.admin(stack, 'PATCH', '/settings', { api: { dateStyle: style } });
      assert.match((await status(s.recording_id, avery)).json.delivered_at, re, style);
    }
  });

  it('shows states set by the server, and answers 404 once the server deleted the recording', async () => {
    const { recording_id: id } = await h.uploadRecording(stack, avery, crypto.randomBytes(3000));
    await h.admin(stack, 'PATCH', `/recordings/${id}`, { state: 'FAILED', errorMessage: 'transcoder crashed' });
    const read = (await status(id, avery)).json;
    assert.deepEqual([read.state, read.error_message], ['FAILED', 'transcoder crashed']);
    assert.deepEqual((await h.admin(stack, 'DELETE', `/recordings/${id}`)).json, { id, deleted: true, blobDeleted: true });
    const gone = await status(id, avery);
    assert.deepEqual([gone.status, gone.json.error], [404, 'not_found']);
    assert.equal((await finalize(avery, h.finalizeBody(id))).status, 404);
  });
});

it('serves branding per tenant without authentication', async () => {
  const res = await h.request('GET', api('/api/branding'), { headers: { Authorization: 'Bearer nonsense' } });
  assert.deepEqual([res.status, res.json.app_name, res.json.meetings_enabled], [200, 'Kavo Meetings', true]);
  await h.admin(stack, 'PATCH', '/tenants/fabrikam', { branding: { primary_color: '#FF0000' } });
  assert.deepEqual((await get('/api/branding', null, 'fabrikam')).json, { primary_color: '#FF0000' });
  const none = await h.request('GET', `${stack.base}/t/nowhere/api/branding`);
  assert.deepEqual([none.status, none.json.error], [404, 'unknown_tenant']);
});

describe('POST /api/feedback', () => {
  const report = (over = {}) => ({
    category: 'bug', subject: 'Upload stuck', description: 'The upload never finishes.', include_recording: false,
    diagnostics: { client: 'linux-desktop' }, ...over,
  });
  const send = (over) => post('/api/feedback', avery, report(over));

  it('files a ticket and keeps what was sent', async () => {
    const res = await send({ recording_id: 'rec-1', include_recording: true });
    assert.equal(res.status, 201, res.text);
    assert.match(res.json.id, /^KAVO-\d{6}$/);
    assert.deepEqual([res.json.category, res.json.subject, res.json.status], ['bug', 'Upload stuck', 'open']);
    assert.match(res.json.created_at, /\+00:00$/);
    assert.notEqual((await send({ category: 'question' })).json.id, res.json.id);
    const stored = (await h.admin(stack, 'GET', '/feedback')).json.tickets.find((t) => t.id === res.json.id);
    assert.deepEqual(stored.request, report({ recording_id: 'rec-1', include_recording: true }));
    assert.equal(stored.userEmail, 'avery.quinn@contoso.test');
  });

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

  it('lets Put Block and Put Block List build the blob byte for byte, and Put Blob store one', async () => {
    const data = crypto.randomBytes(300 * 1024 + 17);
    const s = await slot(data.length);
    const count = Math.ceil(data.length / 65536);
    // Blocks in any order, one of them sent twice: the list decides.
    for (const i of [4, 0, 2, 1, 3, 2]) assert.equal((await h.putBlock(s.upload_url, i, data.subarray(i * 65536, (i + 1) * 65536))).status, 201);
    assert.equal((await h.admin(stack, 'GET', `/recordings/${s.recording_id}`)).json.blob.uncommittedBlocks, count);
    assert.equal((await h.putBlockList(s.upload_url, count)).status, 201);
    const info = (await h.admin(stack, 'GET', `/recordings/${s.recording_id}?sha256=1`)).json.blob;
    assert.deepEqual([info.committed, info.size, info.contentType, info.committedBlocks], [true, data.length, 'audio/wav', count]);
    assert.equal(info.sha256, crypto.createHash('sha256').update(data).digest('hex'));
    assert.deepEqual((await h.request('GET', `${stack.endpoints.adminURL}/recordings/${s.recording_id}/blob`)).body, data);

    const small = crypto.randomBytes(5000);
    const t = await slot(small.length);
    assert.equal((await h.putBlob(t.upload_url, small)).status, 201);
    assert.deepEqual((await h.request('GET', `${stack.endpoints.adminURL}/recordings/${t.recording_id}/blob`)).body, small);
  });

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
