'use strict';
// The Kavo REST API of a tenant: bearer checks, init, finalize, recording
// status, /api/me, branding and feedback with the server's limits.

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
const post = (p, tok, json, slug) => h.request('POST', api(p, slug), { headers: tok ? h.bearer(tok) : {}, json });
const init = (tok, body) => post('/api/v1/meetings/uploads/init', tok, { filename: 'capture-1.wav', content_type: 'audio/wav', size_bytes: 1000, ...body });
const finalize = (tok, body) => post('/api/v1/meetings/uploads/finalize', tok, body);
const status = (id, tok) => get(`/api/v1/meetings/recordings/${encodeURIComponent(id)}`, tok);

function problems(res) {
  assert.equal(res.status, 422, res.text);
  return res.json.detail.map((p) => `${p.loc.slice(1).join('.')}:${p.type}`);
}

describe('bearer tokens', () => {
  it('are required and must be Kavo API access tokens issued here for this tenant', async () => {
    const sign = (payload) => {
      const [head, , sig] = avery.split('.');
      return `${head}.${Buffer.from(JSON.stringify(payload)).toString('base64url')}.${sig}`;
    };
    const claims = h.decodeJwt(avery).payload;
    const robin = await h.kavoToken(stack, 'robin.park@fabrikam.test');
    const graph = (await h.admin(stack, 'POST', '/tokens', { user: 'avery.quinn@contoso.test', resource: 'graph' })).json;
    const expired = await h.kavoToken(stack, undefined, { expiresInSeconds: -5 });
    const withRefresh = (await h.admin(stack, 'POST', '/tokens', { user: 'avery.quinn@contoso.test', offline: true })).json;
    const unsignedHead = Buffer.from(JSON.stringify({ alg: 'none', typ: 'JWT' })).toString('base64url');
    const refused = {
      'no header': null,
      'basic scheme': 'Basic YTpi',
      garbage: 'Bearer abc.def',
      'payload swapped to another user': `Bearer ${sign({ ...claims, oid: '1a2b3c4d-0002-4e5f-8a9b-0c1d2e3f4a5b' })}`,
      'alg none': `Bearer ${unsignedHead}.${avery.split('.')[1]}.`,
      'Graph token': `Bearer ${graph.access_token}`,
      'id token': `Bearer ${graph.id_token}`,
      'refresh token': `Bearer ${withRefresh.refresh_token}`,
      expired: `Bearer ${expired}`,
      'token of another tenant': `Bearer ${robin}`,
    };
    for (const [what, header] of Object.entries(refused)) {
      const res = await h.request('GET', api('/api/me'), { headers: header ? { Authorization: header } : {} });
      assert.equal(res.status, 401, `${what}: ${res.text}`);
      assert.match(res.headers['www-authenticate'], /^Bearer/, what);
      assert.equal(typeof res.json.detail, 'string', what);
    }
    assert.equal((await get('/api/me', avery)).status, 200);
    assert.equal((await get('/api/me', robin, 'fabrikam')).status, 200, 'the other tenant\'s token works on its own API');
  });

  it('are checked on every authenticated endpoint, before anything else happens', async () => {
    const calls = [
      () => init(null),
      () => finalize(null, h.finalizeBody('x')),
      () => status('x', null),
      () => post('/api/feedback', null, {}),
    ];
    for (const call of calls) assert.equal((await call()).status, 401);
    const recs = (await h.admin(stack, 'GET', '/recordings')).json.recordings;
    assert.equal(recs.length, 0, 'no recording was created by an unauthenticated init');
  });

  it('accept a token obtained through an interactive sign-in', async () => {
    const { kavo } = await h.signIn(stack);
    assert.equal((await get('/api/me', kavo.access_token)).status, 200);
  });
});

describe('GET /api/me', () => {
  it('describes the caller and their meetings access', async () => {
    const me = await get('/api/me', avery);
    assert.deepEqual(me.json, {
      id: stack.endpoints.defaultUser.oid,
      email: 'avery.quinn@contoso.test',
      name: 'Avery Quinn',
      is_admin: false,
      meetings_access: true,
    });
    const sam = await get('/api/me', await h.kavoToken(stack, 'sam.lee@contoso.test'));
    assert.equal(sam.json.meetings_access, false);
    assert.equal(sam.json.is_admin, true);
  });

  it('reports access off for everyone while the tenant has meetings switched off', async () => {
    await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
    assert.equal((await get('/api/me', avery)).json.meetings_access, false);
    await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: true });
    assert.equal((await get('/api/me', avery)).json.meetings_access, true);
  });
});

describe('POST /api/v1/meetings/uploads/init', () => {
  it('hands out a recording id, the blob path and a create/write SAS URL on storage', async () => {
    const before = Date.now();
    const res = await init(avery, { size_bytes: 2147483648 });
    assert.equal(res.status, 200, res.text);
    assert.deepEqual(Object.keys(res.json).sort(), ['blob_path', 'recording_id', 'upload_url']);
    const { recording_id: id, upload_url: url, blob_path: blobPath } = res.json;
    assert.match(id, /^[0-9a-f-]{36}$/);
    const u = new URL(url);
    assert.equal(`${u.origin}${u.pathname}`, `${stack.endpoints.blobEndpoint}/${blobPath}`);
    assert.ok(blobPath.startsWith(`${stack.endpoints.blobContainer}/`));
    assert.deepEqual([...u.searchParams.keys()], ['sv', 'se', 'sr', 'sp', 'sig']);
    assert.equal(u.searchParams.get('sv'), '2021-08-06');
    assert.equal(u.searchParams.get('sr'), 'b');
    assert.equal(u.searchParams.get('sp'), 'cw');
    const se = u.searchParams.get('se');
    assert.match(se, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
    const lifetime = (Date.parse(se) - before) / 1000;
    assert.ok(lifetime > 3595 && lifetime <= 3601, `SAS lifetime ${lifetime}`);
  });

  it('answers 422 outside the size limits and for malformed fields', async () => {
    assert.deepEqual(problems(await init(avery, { size_bytes: 0 })), ['size_bytes:greater_than_equal']);
    assert.deepEqual(problems(await init(avery, { size_bytes: 2147483649 })), ['size_bytes:less_than_equal']);
    assert.deepEqual(problems(await init(avery, { size_bytes: '1000' })), ['size_bytes:int_type']);
    assert.deepEqual(problems(await init(avery, { size_bytes: 10.5 })), ['size_bytes:int_type']);
    assert.deepEqual(problems(await init(avery, { content_type: 'text/plain' })), ['content_type:value_error']);
    assert.deepEqual(problems(await post('/api/v1/meetings/uploads/init', avery, { sizeBytes: 5 })),
      ['filename:missing', 'content_type:missing', 'size_bytes:missing']);
    assert.equal((await h.admin(stack, 'GET', '/recordings')).json.recordings.length, 0);
  });

  it('refuses users without meetings access with 403', async () => {
    const sam = await h.kavoToken(stack, 'sam.lee@contoso.test');
    const res = await init(sam);
    assert.equal(res.status, 403);
    assert.equal(res.json.error, 'meetings_access_denied');
    await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
    assert.equal((await init(avery)).status, 403);
  });

  it('gives the same id to the same file announced again before finalize, with a fresh link', async () => {
    const name = `capture-${crypto.randomUUID()}.wav`;
    const a = (await init(avery, { filename: name, size_bytes: 5000 })).json;
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 600 } });
    const b = (await init(avery, { filename: name, size_bytes: 5000 })).json;
    assert.equal(b.recording_id, a.recording_id);
    assert.notEqual(b.upload_url, a.upload_url);
    const c = (await init(avery, { filename: name, size_bytes: 5001 })).json;
    assert.notEqual(c.recording_id, a.recording_id, 'another size is another file');
    const sam = (await h.admin(stack, 'PATCH', '/users/sam.lee@contoso.test', { meetingsAccess: true })).json;
    const other = (await init(await h.kavoToken(stack, sam.email), { filename: name, size_bytes: 5000 })).json;
    assert.notEqual(other.recording_id, a.recording_id, 'another user\'s file is another file');
    await h.admin(stack, 'PATCH', '/settings', { api: { reusePendingUploads: false } });
    assert.notEqual((await init(avery, { filename: name, size_bytes: 5000 })).json.recording_id, a.recording_id);
  });
});

describe('POST /api/v1/meetings/uploads/finalize', () => {
  const data = crypto.randomBytes(150 * 1024);

  async function slot(size = data.length) {
    return (await init(avery, { filename: `capture-${crypto.randomUUID()}.wav`, size_bytes: size })).json;
  }

  it('accepts a committed blob of the announced size once, then answers 409', async () => {
    const s = await slot();
    await h.uploadBlocks(s.upload_url, data, 64 * 1024);
    const first = await finalize(avery, h.finalizeBody(s.recording_id, { fileSizeBytes: data.length }));
    assert.equal(first.status, 200, first.text);
    assert.deepEqual(first.json, { recording_id: s.recording_id, state: 'PROCESSING' });
    const second = await finalize(avery, h.finalizeBody(s.recording_id));
    assert.equal(second.status, 409);
    assert.equal(second.json.error, 'already_finalized');
    const rec = (await h.admin(stack, 'GET', `/recordings/${s.recording_id}`)).json;
    assert.equal(rec.finalizeRequest.captureMode, 'impromptu');
    assert.equal(rec.blob.committedBlocks, 3);
  });

  it('refuses with 422 while the blob is missing, only staged, or of another size', async () => {
    const s = await slot();
    const missing = await finalize(avery, h.finalizeBody(s.recording_id));
    assert.equal(missing.status, 422);
    assert.equal(missing.json.error, 'blob_not_committed');
    assert.equal((await h.putBlock(s.upload_url, 0, data.subarray(0, 1024))).status, 201);
    assert.equal((await finalize(avery, h.finalizeBody(s.recording_id))).json.error, 'blob_not_committed', 'staged blocks are not a blob');
    await h.uploadBlocks(s.upload_url, data.subarray(0, data.length - 1), 64 * 1024);
    const short = await finalize(avery, h.finalizeBody(s.recording_id));
    assert.equal(short.status, 422);
    assert.equal(short.json.error, 'size_mismatch');
    await h.uploadBlocks(s.upload_url, data, 64 * 1024);
    const wrongDeclared = await finalize(avery, h.finalizeBody(s.recording_id, { fileSizeBytes: 1 }));
    assert.equal(wrongDeclared.json.error, 'size_mismatch');
    assert.equal((await finalize(avery, h.finalizeBody(s.recording_id))).status, 200, 'still finalizable once right');
  });

  it('validates the camelCase body', async () => {
    const s = await slot();
    const { recording_id: id, ...rest } = h.finalizeBody(s.recording_id);
    assert.deepEqual(problems(await finalize(avery, { recordingId: id, ...rest })), ['recording_id:missing']);
    const body = h.finalizeBody(id, {
      capturedAt: '2025-03-04 09:15:00',
      channels: '1',
      shareWithAttendees: 'no',
      durationSeconds: null,
      expectedSpeakers: [{ name: 'Ann', accepted: true }, { email: 'x@y.test' }, 'Bob'],
    });
    delete body.pausedDurationSeconds;
    assert.deepEqual(problems(await finalize(avery, body)).sort(), [
      'capturedAt:datetime_parsing', 'channels:int_type', 'expectedSpeakers.1.name:missing',
      'expectedSpeakers.2:dict_type', 'pausedDurationSeconds:missing', 'shareWithAttendees:bool_type',
    ]);
    const snake = { recording_id: id, capture_mode: 'impromptu', paused_duration_seconds: 0 };
    assert.ok(problems(await finalize(avery, snake)).includes('captureMode:missing'));
  });

  it('answers 404 for unknown recordings and for other users\' recordings', async () => {
    assert.equal((await finalize(avery, h.finalizeBody(crypto.randomUUID()))).status, 404);
    const s = await slot();
    await h.admin(stack, 'PATCH', '/users/sam.lee@contoso.test', { meetingsAccess: true });
    const sam = await h.kavoToken(stack, 'sam.lee@contoso.test');
    assert.equal((await finalize(sam, h.finalizeBody(s.recording_id))).status, 404);
    assert.equal((await status(s.recording_id, sam)).status, 404);
  });
});

describe('GET /api/v1/meetings/recordings/{id}', () => {
  it('reads UPLOADING before finalize, PROCESSING for the set number of reads, then DELIVERED', async () => {
    await h.admin(stack, 'PATCH', '/settings', { api: { deliverAfterReads: 3 } });
    const data = crypto.randomBytes(10000);
    const s = (await init(avery, { size_bytes: data.length })).json;
    const pending = await status(s.recording_id, avery);
    assert.equal(pending.json.state, 'UPLOADING');
    assert.equal((await status(s.recording_id, avery)).json.state, 'UPLOADING', 'reads before finalize do not count');
    assert.equal((await h.putBlob(s.upload_url, data)).status, 201);
    assert.equal((await finalize(avery, h.finalizeBody(s.recording_id, { meetingTitle: 'Weekly' }))).status, 200);
    const states = [];
    for (let i = 0; i < 5; i++) states.push((await status(s.recording_id, avery)).json);
    assert.deepEqual(states.map((x) => x.state), ['PROCESSING', 'PROCESSING', 'PROCESSING', 'DELIVERED', 'DELIVERED']);
    const done = states[3];
    assert.equal(done.id, s.recording_id);
    assert.equal(done.recording_id, s.recording_id);
    assert.equal(done.meeting_title, 'Weekly');
    assert.equal(done.is_owner, true);
    assert.match(done.kavo_job_id, /^job-/);
    assert.match(done.delivered_at, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00$/);
    assert.equal(states[0].delivered_at, null);
    assert.equal(states[4].delivered_at, done.delivered_at, 'delivery time stays put');
  });

  it('writes timestamps in the configured shape', async () => {
    const shapes = {
      'millis-z': /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/,
      'seconds-z': /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/,
      'seconds-offset': /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$/,
    };
    await h.admin(stack, 'PATCH', '/settings', { api: { deliverAfterReads: 0 } });
    const { recording_id: id } = await h.uploadRecording(stack, avery, crypto.randomBytes(2000));
    assert.equal((await status(id, avery)).json.state, 'DELIVERED');
    for (const [style, re] of Object.entries(shapes)) {
      await h.admin(stack, 'PATCH', '/settings', { api: { dateStyle: style } });
      assert.match((await status(id, avery)).json.delivered_at, re, style);
    }
  });

  it('answers 404 once the server deleted the recording, and shows states set by the server', async () => {
    const { recording_id: id } = await h.uploadRecording(stack, avery, crypto.randomBytes(3000));
    const failed = await h.admin(stack, 'PATCH', `/recordings/${id}`, { state: 'FAILED', errorMessage: 'transcoder crashed' });
    assert.equal(failed.status, 200);
    const read = (await status(id, avery)).json;
    assert.equal(read.state, 'FAILED');
    assert.equal(read.error_message, 'transcoder crashed');
    const del = await h.admin(stack, 'DELETE', `/recordings/${id}`);
    assert.deepEqual(del.json, { id, deleted: true, blobDeleted: true });
    const gone = await status(id, avery);
    assert.equal(gone.status, 404);
    assert.equal(gone.json.error, 'not_found');
    assert.equal((await finalize(avery, h.finalizeBody(id))).status, 404);
    assert.equal((await h.admin(stack, 'GET', `/recordings/${id}`)).json.blob.committed, false);
    assert.equal((await status('no-such-id', avery)).status, 404);
  });
});

describe('GET /api/branding', () => {
  it('needs no authentication and answers per tenant', async () => {
    const res = await h.request('GET', api('/api/branding'), { headers: { Authorization: 'Bearer nonsense' } });
    assert.equal(res.status, 200);
    assert.equal(res.json.app_name, 'Kavo Meetings');
    assert.equal(res.json.meetings_enabled, true);
    await h.admin(stack, 'PATCH', '/tenants/fabrikam', { branding: { primary_color: '#FF0000' } });
    assert.deepEqual((await get('/api/branding', null, 'fabrikam')).json, { primary_color: '#FF0000' });
    const log = (await h.admin(stack, 'GET', '/requests')).json.requests.filter((r) => r.endpoint === 'branding');
    assert.deepEqual(log.map((r) => r.authorization), [true, false]);
  });
});

describe('POST /api/feedback', () => {
  const report = (over = {}) => ({
    category: 'bug',
    subject: 'Upload stuck',
    description: 'The upload never finishes.',
    include_recording: false,
    diagnostics: { client: 'linux-desktop' },
    ...over,
  });

  it('files a ticket and keeps what was sent', async () => {
    const res = await post('/api/feedback', avery, report({ recording_id: 'rec-1', include_recording: true }));
    assert.equal(res.status, 201, res.text);
    assert.match(res.json.id, /^KAVO-\d{6}$/);
    assert.equal(res.json.category, 'bug');
    assert.equal(res.json.subject, 'Upload stuck');
    assert.equal(res.json.status, 'open');
    assert.match(res.json.created_at, /\+00:00$/);
    const second = await post('/api/feedback', avery, report({ category: 'question' }));
    assert.notEqual(second.json.id, res.json.id);
    const tickets = (await h.admin(stack, 'GET', '/feedback')).json.tickets;
    const stored = tickets.find((t) => t.id === res.json.id);
    assert.deepEqual(stored.request, report({ recording_id: 'rec-1', include_recording: true }));
    assert.equal(stored.userEmail, 'avery.quinn@contoso.test');
  });

  it('holds subject and description to 5-255 and 10-10000 characters with 422', async () => {
    const ok = async (over) => assert.equal((await post('/api/feedback', avery, report(over))).status, 201, JSON.stringify(over).slice(0, 80));
    await ok({ subject: 'abcde' });
    await ok({ subject: 'x'.repeat(255) });
    await ok({ subject: '😀'.repeat(255) }); // characters, not UTF-16 units
    await ok({ description: 'd'.repeat(10) });
    await ok({ description: 'd'.repeat(10000) });
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ subject: 'abcd' }))), ['subject:string_too_short']);
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ subject: 'x'.repeat(256) }))), ['subject:string_too_long']);
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ subject: '😀'.repeat(256) }))), ['subject:string_too_long']);
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ description: 'd'.repeat(9) }))), ['description:string_too_short']);
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ description: 'd'.repeat(10001) }))), ['description:string_too_long']);
  });

  it('checks the category and the required fields', async () => {
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ category: 'complaint' }))), ['category:enum']);
    const { diagnostics, include_recording: inc, ...rest } = report();
    assert.deepEqual(problems(await post('/api/feedback', avery, rest)).sort(), ['diagnostics:missing', 'include_recording:missing']);
    assert.deepEqual(problems(await post('/api/feedback', avery, report({ diagnostics: [] }))), ['diagnostics:dict_type']);
    assert.equal((await h.admin(stack, 'GET', '/feedback')).json.tickets.length, 0);
  });
});

describe('tenants', () => {
  it('answers 404 for an API base of no tenant', async () => {
    const res = await h.request('GET', `${stack.base}/t/nowhere/api/branding`);
    assert.equal(res.status, 404);
    assert.equal(res.json.error, 'unknown_tenant');
  });
});
