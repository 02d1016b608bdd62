'use strict';
// Fault injection through the admin API beyond the statuses the client's tests inject.

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

const me = (timeoutMs) => h.request('GET', `${stack.api()}/api/me`, { headers: h.bearer(tok), timeoutMs });

it('answers with the body and headers asked for, refuses faults it cannot carry out, and cuts stalled calls off when removed', async () => {
  const added = await h.admin(stack, 'POST', '/faults',
    { endpoint: 'me', status: 429, headers: { 'Retry-After': '7' }, body: { detail: 'slow down' } });
  assert.equal(added.status, 201, added.text);
  const refused = await me();
  assert.deepEqual([refused.status, refused.headers['retry-after'], refused.json], [429, '7', { detail: 'slow down' }]);
  for (const wanted of [{ endpoint: 'upload', status: 500 }, { endpoint: 'init' }, { endpoint: 'init', status: 503, stall: true }]) {
    assert.equal((await h.admin(stack, 'POST', '/faults', wanted)).status, 400, JSON.stringify(wanted));
  }
  await h.admin(stack, 'POST', '/faults', { endpoint: 'me', stall: true, times: 2 });
  await assert.rejects(me(500), { code: 'TIMEOUT' });
  const pending = me(10000).then((res) => res.status, (err) => err.code);
  await h.sleep(100);
  await h.admin(stack, 'DELETE', '/faults');
  assert.equal(await pending, 'ECONNRESET');
  assert.equal((await me()).status, 200);
});
