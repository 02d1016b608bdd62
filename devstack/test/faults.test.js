'use strict';
// Fault injection through the admin API, which the client's retry and sign-in tests rely on.

const { it, before, after, beforeEach } = require('node:test');
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
  return res.json.added[0];
};
const me = (timeoutMs) => h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok), timeoutMs });
const init = () => h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`,
  { headers: h.bearer(tok), json: { filename: 'a.wav', content_type: 'audio/wav', size_bytes: 10 } });

it('answers the next N calls of one endpoint as asked, without their effect, until removed', async () => {
  await fault({ endpoint: 'me', status: 503, times: 2 });
  await fault({ endpoint: 'init', status: 429, headers: { 'Retry-After': '7' }, body: { detail: 'slow down' } });
  assert.deepEqual([(await me()).status, (await me()).status, (await me()).status], [503, 503, 200]);
  const refused = await init();
  assert.deepEqual([refused.status, refused.headers['retry-after'], refused.json], [429, '7', { detail: 'slow down' }]);
  assert.equal((await h.admin(stack, 'GET', '/recordings')).json.recordings.length, 0);
  const id = await fault({ endpoint: 'me', status: 500, times: 'always' });
  assert.equal((await me()).status, 500);
  assert.equal((await h.admin(stack, 'DELETE', `/faults/${id}`)).status, 200);
  assert.equal((await me()).status, 200);
});

it('refuses faults it cannot carry out, adding none of a batch', async () => {
  const bad = [
    { endpoint: 'upload', status: 500 }, { endpoint: 'init' }, { endpoint: 'init', status: 503, stall: true },
    { endpoint: 'init', status: 99 }, { endpoint: 'init', status: 500, times: 0 }, { endpoint: 'init', status: 500, colour: 'red' },
    { endpoint: 'me', status: 500, tenant: 'nowhere' }, { faults: [{ endpoint: 'me', status: 500 }, { endpoint: 'me', status: 'x' }] },
  ];
  for (const wanted of bad) assert.equal((await h.admin(stack, 'POST', '/faults', wanted)).status, 400, JSON.stringify(wanted));
  assert.equal((await h.admin(stack, 'GET', '/faults')).json.faults.length, 0);
});

it('stalls a call until the client gives up and cuts stalled calls off when faults are removed', async () => {
  await fault({ endpoint: 'me', stall: true, times: 2 });
  await assert.rejects(me(500), { code: 'TIMEOUT' });
  const pending = me(10000).then((res) => res.status, (err) => err.code);
  await h.sleep(100);
  await h.admin(stack, 'DELETE', '/faults');
  assert.equal(await pending, 'ECONNRESET');
  assert.equal((await me()).status, 200);
});

it('resets faults, settings and switches together, keeping recordings unless asked', async () => {
  await fault({ endpoint: 'me', status: 500, times: 'always' });
  await h.admin(stack, 'PATCH', '/tenants/contoso', { meetingsAccess: false });
  await h.reset(stack);
  assert.equal((await me()).status, 200);
  assert.equal((await init()).status, 200);
  assert.equal((await h.reset(stack)).recordings, 1);
  assert.equal((await h.reset(stack, { data: true })).recordings, 0);
});
