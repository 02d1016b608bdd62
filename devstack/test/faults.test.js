'use strict';
// Fault injection through the admin API, as the client's retry, sign-in and support
// tests use it.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');

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
const discover = () => h.request('GET', `${stack.endpoints.discoveryURL}/${stack.endpoints.defaultUser.tenantId}`);
const init = (body = { filename: 'a.wav', content_type: 'audio/wav', size_bytes: 10 }) =>
  h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, { headers: h.bearer(tok), json: body });
const recordings = async () => (await h.admin(stack, 'GET', '/recordings')).json.recordings;

describe('status faults', () => {
  it('answer the next N calls of one endpoint with the body and headers asked for, and are logged', async () => {
    const { added: [id] } = await fault({ endpoint: 'me', status: 503, times: 2 });
    await fault({ endpoint: 'init', status: 429, headers: { 'Retry-After': '7' }, body: { detail: 'slow down' } });
    await fault({ endpoint: 'manifest', status: 200, body: 'not json at all' });
    assert.equal((await me()).status, 503);
    const listed = (await h.admin(stack, 'GET', '/faults')).json.faults.find((f) => f.id === id);
    assert.deepEqual([listed.remaining, listed.hits], [1, 1]);
    assert.deepEqual([(await me()).status, (await me()).status], [503, 200]);
    const log = (await h.admin(stack, 'GET', '/requests')).json.requests.filter((r) => r.endpoint === 'me');
    assert.deepEqual(log.map((r) => [r.status, r.fault, r.tenant]), [[503, id, 'contoso'], [503, id, 'contoso'], [200, null, 'contoso']]);
    const refused = await init();
    assert.deepEqual([refused.status, refused.headers['retry-after'], refused.json], [429, '7', { detail: 'slow down' }]);
    assert.equal((await recordings()).length, 0, 'the faulted init had no effect');
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).text, 'not json at all');
  });

  it('can be limited to one tenant, or kept until removed', async () => {
    await fault({ endpoint: 'me', tenant: 'fabrikam', status: 500, times: 'always' });
    const robin = await h.kavoToken(stack, 'robin.park@fabrikam.test');
    assert.equal((await me()).status, 200);
    assert.deepEqual([(await me('fabrikam', robin)).status, (await me('fabrikam', robin)).status], [500, 500]);
    const { added: [id] } = await fault({ endpoint: 'discover', status: 503, times: 'always' });
    assert.deepEqual([(await discover()).status, (await discover()).status], [503, 503]);
    assert.equal((await h.admin(stack, 'DELETE', `/faults/${id}`)).status, 200);
    assert.equal((await discover()).status, 200);
    assert.equal((await h.admin(stack, 'DELETE', `/faults/${id}`)).status, 404);
  });

  it('are refused when they cannot be carried out, adding none of a batch', async () => {
    const bad = [
      { endpoint: 'upload', status: 500 }, { endpoint: 'init' }, { endpoint: 'init', status: 503, stall: true },
      { endpoint: 'init', apply: true, delayMs: 10 }, { endpoint: 'init', status: 99 }, { endpoint: 'init', status: 500, times: 0 },
      { endpoint: 'init', status: 500, colour: 'red' }, { endpoint: 'me', status: 500, tenant: 'nowhere' },
      { endpoint: 'discover', status: 500, tenant: 'contoso' }, { faults: [{ endpoint: 'me', status: 500 }, { endpoint: 'me', status: 'x' }] },
    ];
    for (const wanted of bad) assert.equal((await h.admin(stack, 'POST', '/faults', wanted)).status, 400, JSON.stringify(wanted));
    assert.equal((await h.admin(stack, 'GET', '/faults')).json.faults.length, 0);
  });
});

describe('timing faults', () => {

  it('stall a call until the client gives up, and release stalled calls on reset', async () => {
    await fault({ endpoint: 'me', stall: true, times: 2 });
    const call = (timeoutMs) => h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok), timeoutMs });
    await assert.rejects(call(500), { code: 'TIMEOUT' });
    const pending = call(10000).then((res) => res, (err) => err);
    await h.sleep(100);
    const t0 = Date.now();
    await h.admin(stack, 'DELETE', '/faults');
    const outcome = await pending;
    assert.ok(outcome instanceof Error && (outcome.code === 'ECONNRESET' || /socket hang up/.test(outcome.message)),
      `expected the stalled call to be cut off, got ${outcome.status ?? outcome.message}`);
    assert.ok(Date.now() - t0 < 5000, 'released promptly');
    assert.equal((await me()).status, 200);
  });
});

it('resets faults, settings and switches together, keeping recordings unless asked', async () => {
  await fault({ endpoint: 'me', status: 500, times: 'always' });
  await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 5 } });
  await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
  const state = await h.reset(stack);
  assert.equal(state.faults.length, 0);
  assert.equal(state.settings.api.sasLifetimeSeconds, 3600);
  assert.equal(state.tenants.find((t) => t.slug === 'contoso').meetingsAccess, true);
  assert.equal((await me()).status, 200);
  assert.equal((await init()).status, 200);
  assert.equal((await h.reset(stack)).recordings, 1);
  assert.equal((await h.reset(stack, { data: true })).recordings, 0);
});
