'use strict';
// Fault injection through the admin API, as the client's retry, resume and
// reconcile tests use it.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

let stack;
let tok;

before(async () => {
  stack = await h.startStack();
});
after(() => stack.dispose());
beforeEach(async () => {
  await h.reset(stack, { data: true });
  tok = await h.kavoToken(stack);
});

const fault = async (wanted) => {
  const res = await h.admin(stack, 'POST', '/faults', wanted);
  assert.equal(res.status, 201, res.text);
  return res.json;
};
const me = (slug = 'contoso', t = tok) => h.request('GET', `${stack.api(slug)}/api/me`, { headers: h.bearer(t) });
const discover = (tid = stack.endpoints.defaultUser.tenantId) => h.request('GET', `${stack.endpoints.discoveryURL}/${tid}`);

describe('status faults', () => {
  it('answer the next N calls of one endpoint, then the endpoint works again', async () => {
    await fault({ endpoint: 'me', status: 503, times: 2 });
    const statuses = [];
    for (let i = 0; i < 3; i++) statuses.push((await me()).status);
    assert.deepEqual(statuses, [503, 503, 200]);
    assert.equal((await h.request('GET', `${stack.api()}/api/branding`)).status, 200, 'other endpoints are untouched');
  });

  it('carry the body and headers asked for', async () => {
    await fault({ endpoint: 'init', status: 429, headers: { 'Retry-After': '7' }, body: { detail: 'slow down' } });
    await fault({ endpoint: 'manifest', status: 200, body: 'not json at all' });
    const init = await h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, {
      headers: h.bearer(tok), json: { filename: 'a.wav', content_type: 'audio/wav', size_bytes: 10 },
    });
    assert.equal(init.status, 429);
    assert.equal(init.headers['retry-after'], '7');
    assert.deepEqual(init.json, { detail: 'slow down' });
    const manifest = await h.request('GET', stack.endpoints.updateManifestURL);
    assert.equal(manifest.text, 'not json at all');
    assert.equal((await h.admin(stack, 'GET', '/recordings')).json.recordings.length, 0, 'the faulted init had no effect');
  });

  it('can be limited to one tenant', async () => {
    await fault({ endpoint: 'me', tenant: 'fabrikam', status: 500, times: 'always' });
    const robin = await h.kavoToken(stack, 'robin.park@fabrikam.test');
    assert.equal((await me()).status, 200);
    assert.equal((await me('fabrikam', robin)).status, 500);
    assert.equal((await me('fabrikam', robin)).status, 500);
  });

  it('keep discovery failing until removed, for any tenant id', async () => {
    const { added: [id] } = await fault({ endpoint: 'discover', status: 503, times: 'always' });
    for (let i = 0; i < 3; i++) assert.equal((await discover()).status, 503);
    assert.equal((await discover('not-a-guid')).status, 503);
    assert.equal((await h.admin(stack, 'DELETE', `/faults/${id}`)).status, 200);
    assert.equal((await discover()).status, 200);
    assert.equal((await h.admin(stack, 'DELETE', `/faults/${id}`)).status, 404);
  });

  it('reach every endpoint with the wildcard, the identity ones included', async () => {
    await fault({ endpoint: '*', status: 502, times: 3 });
    const tokenRes = await h.token(stack, { grant_type: 'refresh_token', refresh_token: 'x' });
    assert.equal(tokenRes.status, 502);
    assert.equal((await discover()).status, 502);
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 502);
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 200);
  });
});

describe('timing faults', () => {
  it('delay an answer without changing it', async () => {
    await fault({ endpoint: 'branding', delayMs: 400 });
    const t0 = Date.now();
    const res = await h.request('GET', `${stack.api()}/api/branding`);
    assert.ok(Date.now() - t0 >= 390, `answered after ${Date.now() - t0} ms`);
    assert.equal(res.status, 200);
    assert.equal(res.json.app_name, 'Kavo Meetings');
    await h.request('GET', `${stack.api()}/api/branding`);
    const log = (await h.admin(stack, 'GET', '/requests')).json.requests.filter((r) => r.endpoint === 'branding');
    assert.deepEqual(log.map((r) => r.fault !== null), [true, false], 'only the next call is delayed');
    assert.ok(log[0].durationMs >= 390);
  });

  it('stall a call until the client gives up, and release stalled calls on reset', async () => {
    await fault({ endpoint: 'me', stall: true, times: 2 });
    await assert.rejects(h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok), timeoutMs: 500 }), { code: 'TIMEOUT' });
    const pending = h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok), timeoutMs: 10000 })
      .then((res) => res, (err) => err);
    await h.sleep(100);
    const t0 = Date.now();
    await h.admin(stack, 'DELETE', '/faults');
    const outcome = await pending;
    assert.ok(outcome instanceof Error && (outcome.code === 'ECONNRESET' || /socket hang up/.test(outcome.message)),
      `expected the stalled call to be cut off, got ${outcome.status ?? outcome.message}`);
    assert.ok(Date.now() - t0 < 5000, 'released promptly');
    assert.equal((await me()).status, 200);
  });

  it('drop the connection without an answer', async () => {
    await fault({ endpoint: 'recording', drop: true });
    await assert.rejects(h.request('GET', `${stack.api()}/api/v1/meetings/recordings/x`, { headers: h.bearer(tok) }),
      (err) => err.code === 'ECONNRESET' || /socket hang up/.test(err.message));
    assert.equal((await h.request('GET', `${stack.api()}/api/v1/meetings/recordings/x`, { headers: h.bearer(tok) })).status, 404);
  });
});

describe('faults that let the call take effect', () => {
  it('play a finalize that went through but answered 409', async () => {
    const data = crypto.randomBytes(5000);
    const init = (await h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, {
      headers: h.bearer(tok), json: { filename: 'x.wav', content_type: 'audio/wav', size_bytes: data.length },
    })).json;
    assert.equal((await h.putBlob(init.upload_url, data)).status, 201);
    await fault({ endpoint: 'finalize', status: 409, apply: true });
    const fin = await h.request('POST', `${stack.api()}/api/v1/meetings/uploads/finalize`, {
      headers: h.bearer(tok), json: h.finalizeBody(init.recording_id),
    });
    assert.equal(fin.status, 409);
    const st = await h.request('GET', `${stack.api()}/api/v1/meetings/recordings/${init.recording_id}`, { headers: h.bearer(tok) });
    assert.equal(st.json.state, 'PROCESSING', 'the recording was finalized all the same');
  });

  it('play an init whose answer was lost', async () => {
    await fault({ endpoint: 'init', drop: true, apply: true });
    const body = { filename: 'lost.wav', content_type: 'audio/wav', size_bytes: 77 };
    await assert.rejects(h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, { headers: h.bearer(tok), json: body }));
    const recs = (await h.admin(stack, 'GET', '/recordings')).json.recordings;
    assert.equal(recs.length, 1);
    const again = await h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, { headers: h.bearer(tok), json: body });
    assert.equal(again.json.recording_id, recs[0].id, 'the retried init finds the same recording');
  });
});

describe('fault admin', () => {
  it('lists faults with their use, and records which call met which fault', async () => {
    const { added: [id] } = await fault({ endpoint: 'me', status: 500, times: 3 });
    await me();
    const listed = (await h.admin(stack, 'GET', '/faults')).json.faults;
    assert.equal(listed.length, 1);
    assert.equal(listed[0].remaining, 2);
    assert.equal(listed[0].hits, 1);
    const log = (await h.admin(stack, 'GET', '/requests')).json.requests.filter((r) => r.endpoint === 'me');
    assert.deepEqual(log.map((r) => [r.status, r.fault, r.tenant]), [[500, id, 'contoso']]);
    const counters = (await h.admin(stack, 'GET', '/state')).json.counters;
    assert.equal(counters.me, 1);
  });

  it('refuses a bad fault, adding none of a batch', async () => {
    const res = await h.admin(stack, 'POST', '/faults', { faults: [{ endpoint: 'me', status: 500 }, { endpoint: 'me', status: 'x' }] });
    assert.equal(res.status, 400);
    assert.match(res.json.detail, /status/);
    assert.equal((await h.admin(stack, 'GET', '/faults')).json.faults.length, 0);
    assert.equal((await h.admin(stack, 'POST', '/faults', { endpoint: 'me', status: 500, tenant: 'nowhere' })).status, 400);
  });

  it('resets faults, settings and switches together, keeping recordings unless asked', async () => {
    await fault({ endpoint: 'me', status: 500, times: 'always' });
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 5 } });
    await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
    await h.uploadRecording(stack, tok, crypto.randomBytes(100)).catch(() => {});
    const state = await h.reset(stack);
    assert.equal(state.faults.length, 0);
    assert.equal(state.settings.api.sasLifetimeSeconds, 3600);
    assert.equal(state.tenants.find((t) => t.slug === 'contoso').meetingsAccess, true);
    assert.equal((await me()).status, 200);
    await h.uploadRecording(stack, tok, crypto.randomBytes(100));
    assert.equal((await h.reset(stack)).recordings, 1);
    assert.equal((await h.reset(stack, { data: true })).recordings, 0);
  });
});
