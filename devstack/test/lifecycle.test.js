'use strict';
// The command line: start, the printed endpoints, stopping on SIGTERM with Azurite, and
// refusing bad starts.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const h = require('../test-support/harness');

const port = (url) => Number(new URL(url).port);

async function inTempDir(body) {
  const dir = h.tempDir();
  try {
    await body(dir);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

it('prints one JSON line of endpoints, writes it to the data folder, and stops cleanly on SIGTERM', () => inTempDir(async (dir) => {
  const stack = await h.startStack({ dataDir: dir });
  const e = stack.endpoints;
  for (const key of ['discoveryURL', 'authority', 'updateManifestURL', 'baseURL', 'adminURL', 'blobEndpoint']) {
    assert.match(e[key], /^http:\/\/127\.0\.0\.1:\d+(\/|$)/, key);
  }
  assert.equal(e.authority, `${e.baseURL}/organizations`);
  assert.deepEqual(e.kavoScopes, [`api://${e.apiApplicationId}/KavoMeetings.Use`]);
  assert.equal(e.azuriteVersion, '3.37.0');
  const written = () => JSON.parse(fs.readFileSync(path.join(dir, 'endpoints.json'), 'utf8'));
  assert.deepEqual(written(), e);
  assert.equal(await h.portOpen(port(e.blobEndpoint)), true);

  // Calls in flight at the stop must not hold it up.
  await h.admin(stack, 'POST', '/faults', { endpoint: 'branding', stall: true });
  const stalled = h.request('GET', `${stack.api()}/api/branding`, { timeoutMs: 20000 }).then(() => 'answered', (err) => err.code);
  await h.sleep(100);
  const t0 = Date.now();
  assert.deepEqual(await stack.stop('SIGTERM'), { code: 0, signal: null });
  assert.ok(Date.now() - t0 < 12000, `stopped in ${Date.now() - t0} ms`);
  assert.notEqual(await stalled, 'answered');
  assert.equal(await h.waitUntil(() => !h.pidAlive(e.azuritePid)), true, 'Azurite is gone');
  assert.equal(await h.portOpen(port(e.baseURL)), false);
  assert.equal(await h.portOpen(port(e.blobEndpoint)), false);
  assert.equal(stack.stdout().trim().split('\n').length, 1, 'exactly one line on stdout');
  const left = fs.readdirSync(dir).filter((f) => !['azurite', 'identity-key.pem', 'state.json', 'endpoints.json'].includes(f));
  assert.deepEqual(left, []);
  assert.deepEqual(written(), e, 'the endpoints file outlives the stop');
}));

it('exits 2 on a bad config file or argument, printing no endpoints and starting nothing', () => inTempDir(async (dir) => {
  const run = (...args) => spawnSync(process.execPath, [h.BIN, ...args], { encoding: 'utf8', timeout: 30000 });
  const cfg = path.join(dir, 'bad.json');
  fs.writeFileSync(cfg, JSON.stringify({ api: { sasLifetimeSecs: 5 } }));
  const bad = run('--port', '0', '--data', path.join(dir, 'data'), '--config', cfg);
  assert.deepEqual([bad.status, bad.stdout], [2, '']);
  assert.match(bad.stderr, /unknown key "sasLifetimeSecs"/);
  assert.equal(fs.existsSync(path.join(dir, 'data')), false);
  const arg = run('--prot', '0');
  assert.equal(arg.status, 2);
  assert.match(arg.stderr, /unknown argument --prot/);
}));
