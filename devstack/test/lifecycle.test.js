'use strict';
// The command line: the printed endpoints, stopping on SIGTERM with Azurite, refusing bad starts.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const h = require('../test-support/harness');

const port = (url) => Number(new URL(url).port);

it('prints one JSON line of endpoints, writes it to the data folder, and stops cleanly on SIGTERM', async () => {
  const dir = h.tempDir();
  const stack = await h.startStack({ dataDir: dir });
  const e = stack.endpoints;
  assert.deepEqual(JSON.parse(fs.readFileSync(path.join(dir, 'endpoints.json'), 'utf8')), e);
  // Calls in flight at the stop must not hold it up.
  await h.admin(stack, 'POST', '/faults', { endpoint: 'branding', stall: true });
  const stalled = h.request('GET', `${stack.api()}/api/branding`, { timeoutMs: 20000 }).then(() => 'answered', (err) => err.code);
  await h.sleep(100);
  assert.deepEqual(await stack.stop('SIGTERM'), { code: 0, signal: null });
  assert.notEqual(await stalled, 'answered');
  assert.equal(await h.portOpen(port(e.baseURL)), false);
  assert.equal(await h.portOpen(port(e.blobEndpoint)), false, 'Azurite is gone');
  assert.equal(stack.stdout().trim().split('\n').length, 1, 'exactly one line on stdout');
  fs.rmSync(dir, { recursive: true, force: true });
});

it('exits 2 on a bad config file or argument, printing no endpoints and starting nothing', () => {
  const dir = h.tempDir();
  const run = (...args) => spawnSync(process.execPath, [h.BIN, ...args], { encoding: 'utf8', timeout: 30000 });
  const cfg = path.join(dir, 'bad.json');
  fs.writeFileSync(cfg, JSON.stringify({ api: { sasLifetimeSecs: 5 } }));
  const bad = run('--port', '0', '--data', path.join(dir, 'data'), '--config', cfg);
  assert.deepEqual([bad.status, bad.stdout], [2, '']);
  assert.match(bad.stderr, /unknown key "sasLifetimeSecs"/);
  assert.equal(fs.existsSync(path.join(dir, 'data')), false);
  assert.equal(run('--prot', '0').status, 2);
  fs.rmSync(dir, { recursive: true, force: true });
});
