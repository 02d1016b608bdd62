'use strict';
// The Kavo REST API of a tenant: bearer checks and what finalize accepts, which the client
// never gets wrong on purpose; an expired token is met by the client's support report test.

const { it, before, after, beforeEach } = require('node:test');
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
const post = (p, tok, json) => h.request('POST', api(p), { headers: tok ? h.bearer(tok) : {}, json });
const init = (tok, body) => post('/api/v1/meetings/uploads/init', tok, { filename: 'capture-1.wav', content_type: 'audio/wav', size_bytes: 1000, ...body });
const finalize = (tok, body) => post('/api/v1/meetings/uploads/finalize', tok, body);
const recordings = async () => (await h.admin(stack, 'GET', '/recordings')).json.recordings;

it('requires Kavo API access tokens issued here for the tenant', async () => {
  const [head, payload, sig] = avery.split('.');
  const claims = JSON.parse(Buffer.from(payload, 'base64url').toString('utf8'));
  const swapped = Buffer.from(JSON.stringify({ ...claims, oid: crypto.randomUUID() })).toString('base64url');
  const robin = await h.kavoToken(stack, 'robin.park@fabrikam.test');
  const graph = (await h.admin(stack, 'POST', '/tokens', { user: stack.endpoints.defaultUser.email, resource: 'graph' })).json;
  const refused = {
    'no header': null, 'payload swapped': `Bearer ${head}.${swapped}.${sig}`,
    'Graph token': `Bearer ${graph.access_token}`, 'another tenant': `Bearer ${robin}`,
  };
  for (const [what, header] of Object.entries(refused)) {
    const res = await h.request('GET', api('/api/me'), { headers: header ? { Authorization: header } : {} });
    assert.equal(res.status, 401, `${what}: ${res.text}`);
  }
  assert.equal((await init(null)).status, 401);
  assert.equal((await recordings()).length, 0);
  assert.equal((await h.request('GET', api('/api/me', 'fabrikam'), { headers: h.bearer(robin) })).status, 200);
});

it('finalizes only a committed blob of the announced size, once, and only its owner\'s', async () => {
  const data = crypto.randomBytes(150 * 1024);
  const s = (await init(avery, { filename: `capture-${crypto.randomUUID()}.wav`, size_bytes: data.length })).json;
  const fin = (over, tok = avery) => finalize(tok, h.finalizeBody(s.recording_id, over));
  assert.equal((await fin()).json.error, 'blob_not_committed');
  await h.putBlob(s.upload_url, data.subarray(0, data.length - 1));
  assert.deepEqual([(await fin()).status, (await fin()).json.error], [422, 'size_mismatch']);
  await h.putBlob(s.upload_url, data);
  await h.admin(stack, 'PATCH', '/users/sam.lee@contoso.test', { meetingsAccess: true });
  assert.equal((await fin({}, await h.kavoToken(stack, 'sam.lee@contoso.test'))).status, 404);
  assert.deepEqual((await fin({ fileSizeBytes: data.length })).json, { recording_id: s.recording_id, state: 'PROCESSING' });
  assert.deepEqual([(await fin()).status, (await fin()).json.error], [409, 'already_finalized']);
});
