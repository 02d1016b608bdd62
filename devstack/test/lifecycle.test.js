'use strict';
// The command line: stopping on SIGTERM with calls in flight, refusing bad starts.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const h = require('../test-support/harness');

it('prints one line of endpoints and stops on SIGTERM, Azurite too, with a call stalled', async () => {
  const stack = await h.startStack();
  await h.admin(stack, 'POST', '/faults', { endpoint: 'branding', stall: true });
  const stalled = h.request('GET', `${stack.api()}/api/branding`, { timeoutMs: 20000 }).then(() => 'answered', (err) => err.code);
  await h.sleep(100);
  assert.deepEqual(await stack.stop('SIGTERM'), { code: 0, signal: null });
  assert.notEqual(await stalled, 'answered');
  assert.equal(await h.portOpen(Number(new URL(stack.endpoints.blobEndpoint).port)), false, 'Azurite is gone');
  assert.equal(stack.stdout().trim().split('\n').length, 1, 'exactly one line on stdout');
  await stack.dispose();
});

it('exits 2 on a bad config file or argument, starting nothing', () => {
  const dir = h.tempDir();
  const run = (...args) => spawnSync(process.execPath, [h.BIN, ...args], { encoding: 'utf8', timeout: 30000 });
  const cfg = path.join(dir, 'bad.json');
  fs.writeFileSync(cfg, JSON.stringify({ api: { sasLifetimeSecs: 5 } }));
  const bad = run('--port', '0', '--data', path.join(dir, 'data'), '--config', cfg);
  assert.deepEqual([bad.status, bad.stdout], [2, '']);
  assert.equal(fs.existsSync(path.join(dir, 'data')), false);
  assert.equal(run('--prot', '0').status, 2);
  fs.rmSync(dir, { recursive: true, force: true });
});
