'use strict';
// The command line: start, the printed endpoints, stopping on SIGTERM and
// SIGINT with Azurite, restarting on the same data folder, and refusing bad
// starts.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const h = require('../test-support/harness');

const port = (url) => Number(new URL(url).port);

describe('start and stop', () => {
  it('prints one JSON line of endpoints, writes it to the data folder, and stops cleanly on SIGTERM', async () => {
    const dir = h.tempDir();
    try {
      const stack = await h.startStack({ dataDir: dir });
      const e = stack.endpoints;
      for (const key of ['discoveryURL', 'authority', 'updateManifestURL', 'baseURL', 'adminURL', 'blobEndpoint']) {
        assert.match(e[key], /^http:\/\/127\.0\.0\.1:\d+(\/|$)/, key);
      }
      assert.equal(e.authority, `${e.baseURL}/organizations`);
      assert.equal(e.discoveryURL, `${e.baseURL}/api/kavo/discover`);
      assert.equal(e.updateManifestURL, `${e.baseURL}/latest.json`);
      assert.match(e.clientId, /^[0-9a-f-]{36}$/);
      assert.deepEqual(e.graphScopes, ['User.Read']);
      assert.deepEqual(e.kavoScopes, [`api://${e.apiApplicationId}/KavoMeetings.Use`]);
      assert.equal(e.azuriteVersion, '3.37.0');
      assert.deepEqual(JSON.parse(fs.readFileSync(path.join(dir, 'endpoints.json'), 'utf8')), e);
      assert.equal(h.pidAlive(e.azuritePid), true);
      assert.equal(await h.portOpen(port(e.blobEndpoint)), true);

      // Calls in flight at the stop must not hold it up.
      await h.admin(stack, 'POST', '/faults', { endpoint: 'branding', stall: true });
      const stalled = h.request('GET', `${stack.api()}/api/branding`, { timeoutMs: 20000 }).then(() => 'answered', (err) => err.code || err.message);
      await h.sleep(100);
      const t0 = Date.now();
      const result = await stack.stop('SIGTERM');
      assert.deepEqual(result, { code: 0, signal: null });
      assert.ok(Date.now() - t0 < 12000, `stopped in ${Date.now() - t0} ms`);
      assert.notEqual(await stalled, 'answered');
      assert.equal(await h.waitUntil(() => !h.pidAlive(e.azuritePid)), true, 'Azurite is gone');
      assert.equal(await h.portOpen(port(e.baseURL)), false);
      assert.equal(await h.portOpen(port(e.blobEndpoint)), false);
      assert.equal(stack.stdout().trim().split('\n').length, 1, 'exactly one line on stdout');
      const left = fs.readdirSync(dir).sort();
      assert.deepEqual(left.filter((f) => !['azurite', 'identity-key.pem', 'state.json', 'endpoints.json'].includes(f)), [],
        `left behind: ${left}`);
      assert.deepEqual(JSON.parse(fs.readFileSync(path.join(dir, 'endpoints.json'), 'utf8')), e, 'the endpoints file outlives the stop');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('keeps recordings, blobs and sign-ins across a restart on the same data folder and ports', async () => {
    const dir = h.tempDir();
    try {
      const first = await h.startStack({ dataDir: dir, inMemory: false });
      const { refresh_token: rt } = (await h.signIn(first)).kavo;
      const tok = await h.kavoToken(first);
      const data = crypto.randomBytes(200 * 1024);
      const { recording_id: id } = await h.uploadRecording(first, tok, data);
      const fixed = { port: port(first.endpoints.baseURL), blobPort: port(first.endpoints.blobEndpoint) };
      assert.deepEqual(await first.stop('SIGINT'), { code: 0, signal: null });

      const second = await h.startStack({ dataDir: dir, inMemory: false, ...fixed });
      try {
        assert.equal(second.endpoints.baseURL, first.endpoints.baseURL);
        assert.equal(second.endpoints.blobEndpoint, first.endpoints.blobEndpoint);
        const status = await h.request('GET', `${second.api()}/api/v1/meetings/recordings/${id}`, { headers: h.bearer(tok) });
        assert.equal(status.status, 200, 'an access token from before the restart is still good');
        assert.equal(status.json.state, 'PROCESSING');
        const blob = await h.request('GET', `${second.endpoints.adminURL}/recordings/${id}/blob`);
        assert.deepEqual(blob.body, data);
        const refreshed = await h.token(second, { grant_type: 'refresh_token', refresh_token: rt, scope: second.endpoints.kavoScopes[0] });
        assert.equal(refreshed.status, 200, refreshed.text);
      } finally {
        await second.stop();
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('launching', () => {
  it('run.sh becomes the stack itself, which outlives the launcher closing its pipes and stops with 0', async () => {
    const stack = await h.startStack({ viaRunScript: true });
    try {
      assert.equal(stack.endpoints.pid, stack.child.pid, 'the pid run.sh was started as is the stack');
      stack.child.stdout.destroy();
      stack.child.stderr.destroy();
      await h.sleep(50);
      assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 200);
      assert.deepEqual(await stack.stop('SIGTERM'), { code: 0, signal: null });
      assert.equal(await h.waitUntil(() => !h.pidAlive(stack.endpoints.azuritePid)), true);
    } finally {
      await stack.dispose();
    }
  });
});

describe('refused starts', () => {
  it('exits 2 on a bad config file or argument, printing no endpoints and leaving no Azurite', () => {
    const dir = h.tempDir();
    try {
      const cfg = path.join(dir, 'bad.json');
      fs.writeFileSync(cfg, JSON.stringify({ api: { sasLifetimeSecs: 5 } }));
      const bad = spawnSync(process.execPath, [h.BIN, '--port', '0', '--data', path.join(dir, 'data'), '--config', cfg], { encoding: 'utf8', timeout: 30000 });
      assert.equal(bad.status, 2);
      assert.equal(bad.stdout, '');
      assert.match(bad.stderr, /unknown key "sasLifetimeSecs"/);
      assert.equal(fs.existsSync(path.join(dir, 'data')), false, 'nothing was started');
      const arg = spawnSync(process.execPath, [h.BIN, '--prot', '0'], { encoding: 'utf8', timeout: 30000 });
      assert.equal(arg.status, 2);
      assert.match(arg.stderr, /unknown argument --prot/);
      const help = spawnSync(process.execPath, [h.BIN, '--help'], { encoding: 'utf8', timeout: 30000 });
      assert.equal(help.status, 0);
      assert.match(help.stdout, /--in-memory/);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('refuses a data folder in use by a running stack, which keeps running', async () => {
    const stack = await h.startStack();
    try {
      await assert.rejects(h.startStack({ dataDir: stack.dataDir }), (err) => err.code === 1 && /in use by the dev stack/.test(err.stderr));
      assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 200);
      assert.equal(fs.existsSync(path.join(stack.dataDir, 'endpoints.json')), true);
    } finally {
      await stack.dispose();
    }
  });

  it('ends the Azurite of a stack that was killed outright before starting again', async () => {
    const dir = h.tempDir();
    let orphan;
    try {
      const killed = await h.startStack({ dataDir: dir });
      orphan = killed.endpoints.azuritePid;
      await killed.stop('SIGKILL');
      assert.equal(h.pidAlive(orphan), true, 'SIGKILL leaves Azurite behind');
      const next = await h.startStack({ dataDir: dir });
      try {
        assert.equal(await h.waitUntil(() => !h.pidAlive(orphan)), true);
        assert.notEqual(next.endpoints.azuritePid, orphan);
        assert.equal((await h.request('GET', next.endpoints.updateManifestURL)).status, 200);
      } finally {
        await next.stop();
      }
    } finally {
      if (orphan && h.pidAlive(orphan)) process.kill(orphan, 'SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
