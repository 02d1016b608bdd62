'use strict';
// In-process checks of the pieces that need no running stack: configuration
// merging and validation, timestamp shapes, fault bookkeeping, the request
// router, and the storage checksum the other tests rely on.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const { buildConfig, loadConfigFile, ConfigError, DEFAULTS } = require('../lib/config');
const { formatDate, isRfc3339 } = require('../lib/dates');
const { Faults, FaultError, faultAnswer } = require('../lib/faults');
const { Router, HttpError } = require('../lib/http');
const { redirectAllowed } = require('../lib/identity');
const { crc64nvme, crc64Header, tempDir } = require('../test-support/harness');

describe('configuration', () => {
  it('builds a usable default: one discoverable tenant whose default user may record', () => {
    const cfg = buildConfig();
    const user = cfg.users.find((u) => u.email === cfg.identity.defaultUser);
    const tenant = cfg.tenants.find((t) => t.tenantId === user.tenantId);
    assert.equal(tenant.discoverable, true);
    assert.equal(tenant.meetingsAccess && user.meetingsAccess, true);
    assert.equal(cfg.identity.authorize, 'auto');
  });

  it('merges objects key by key and replaces arrays', () => {
    const cfg = buildConfig({
      api: { deliverAfterReads: 0 },
      tenants: [{ ...DEFAULTS.tenants[0], clientName: 'Only One' }],
      users: [DEFAULTS.users[0]],
    });
    assert.equal(cfg.api.deliverAfterReads, 0);
    assert.equal(cfg.api.sasLifetimeSeconds, DEFAULTS.api.sasLifetimeSeconds, 'untouched sibling keys survive');
    assert.deepEqual(cfg.tenants.map((t) => t.clientName), ['Only One']);
    assert.equal(cfg.users.length, 1);
    assert.equal(DEFAULTS.api.deliverAfterReads, 2, 'the defaults themselves are not modified');
  });

  it('refuses mistakes with the path of the offending value', () => {
    const cases = [
      [{ api: { sasLifetime: 5 } }, /api: unknown key "sasLifetime"/],
      [{ tenants: [{ ...DEFAULTS.tenants[0], tenantId: 'contoso' }] }, /tenants\[0\]\.tenantId: must be a GUID/],
      [{ tenants: [DEFAULTS.tenants[0], { ...DEFAULTS.tenants[1], slug: 'contoso' }] }, /duplicate slug contoso/],
      [{ users: [{ ...DEFAULTS.users[0], tenantId: '00000000-0000-0000-0000-000000000000' }] }, /users\[0\]\.tenantId: no tenant/],
      [{ identity: { defaultUser: 'nobody@contoso.test' } }, /identity\.defaultUser: no user named/],
      [{ api: { dateStyle: 'rfc2822' } }, /api\.dateStyle: must be one of/],
      [{ api: { container: 'Bad_Name' } }, /api\.container/],
      [{ identity: { deviceCode: { autoApproveAfterPolls: -1 } } }, /autoApproveAfterPolls/],
      [{ http: { maxBodyBytes: 10 } }, /http\.maxBodyBytes/],
      [[1, 2], /config: must be a JSON object/],
    ];
    for (const [override, message] of cases) {
      assert.throws(() => buildConfig(override), (err) => err instanceof ConfigError && message.test(err.message),
        `expected ${message} for ${JSON.stringify(override)}`);
    }
  });

  it('reports an unreadable or non-JSON config file by name', () => {
    const dir = tempDir();
    try {
      const file = path.join(dir, 'c.json');
      fs.writeFileSync(file, '{"api": ');
      assert.throws(() => loadConfigFile(file), /c\.json is not valid JSON/);
      assert.throws(() => loadConfigFile(path.join(dir, 'missing.json')), /cannot read config file/);
      fs.writeFileSync(file, JSON.stringify({ api: { deliverAfterReads: 7 } }));
      assert.equal(loadConfigFile(file).api.deliverAfterReads, 7);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('timestamps', () => {
  const when = Date.UTC(2025, 2, 4, 9, 15, 0, 123);

  it('formats each shape the server is known to send', () => {
    assert.equal(formatDate(when, 'micros-offset'), '2025-03-04T09:15:00.123000+00:00');
    assert.equal(formatDate(when, 'millis-z'), '2025-03-04T09:15:00.123Z');
    assert.equal(formatDate(when, 'seconds-z'), '2025-03-04T09:15:00Z');
    assert.equal(formatDate(when, 'seconds-offset'), '2025-03-04T09:15:00+00:00');
  });

  it('accepts RFC 3339 date-times with a zone and nothing else', () => {
    for (const ok of ['2025-03-04T09:15:00Z', '2025-03-04T09:15:00.5+01:00', '2024-02-29T23:59:59.123456-05:30']) {
      assert.equal(isRfc3339(ok), true, ok);
    }
    for (const bad of ['2025-03-04T09:15:00', '2025-03-04 09:15:00Z', '2025-02-29T00:00:00Z', '2025-13-01T00:00:00Z',
      '2025-03-04T24:00:00Z', 'yesterday', 1741079700, null]) {
      assert.equal(isRfc3339(bad), false, String(bad));
    }
  });
});

describe('fault bookkeeping', () => {
  const resolve = (ref) => (['contoso', 'fabrikam'].includes(ref) ? ref : null);

  it('serves a fault for exactly its number of calls, oldest first', () => {
    const f = new Faults();
    f.add({ endpoint: 'init', status: 503, times: 2 }, resolve);
    f.add({ endpoint: 'init', status: 500 }, resolve);
    assert.deepEqual([1, 2, 3, 4].map(() => f.take('init', 'contoso')?.status ?? null), [503, 503, 500, null]);
  });

  it('matches tenants and the wildcard, and keeps "always" faults until removed', () => {
    const f = new Faults();
    const only = f.add({ endpoint: 'me', status: 401, tenant: 'fabrikam', times: 'always' }, resolve);
    assert.equal(f.take('me', 'contoso'), null);
    assert.equal(f.take('me', 'fabrikam').id, only.id);
    assert.equal(f.take('me', 'fabrikam').id, only.id);
    f.add({ endpoint: '*', drop: true }, resolve);
    assert.equal(f.take('discover', null).drop, true);
    assert.equal(f.take('discover', null), null);
    assert.equal(f.remove(only.id), true);
    assert.equal(f.take('me', 'fabrikam'), null);
  });

  it('refuses requested that cannot be carried out', () => {
    const f = new Faults();
    const bad = [
      { endpoint: 'upload', status: 500 },
      { endpoint: 'init' },
      { endpoint: 'init', status: 503, stall: true },
      { endpoint: 'init', apply: true, delayMs: 10 },
      { endpoint: 'init', status: 99 },
      { endpoint: 'init', status: 500, times: 0 },
      { endpoint: 'init', body: 'x' },
      { endpoint: 'init', status: 500, colour: 'red' },
    ];
    for (const wanted of bad) assert.throws(() => f.add(wanted, resolve), FaultError, JSON.stringify(wanted));
    assert.throws(() => f.add({ endpoint: 'me', status: 500, tenant: 'nowhere' }, resolve), /no tenant/);
    assert.throws(() => f.add({ endpoint: 'discover', status: 500, tenant: 'contoso' }, resolve), /only to the tenant API/);
    assert.equal(f.describe().length, 0);
  });

  it('answers with the given body and headers, or a JSON error by default', () => {
    const f = new Faults();
    const plain = faultAnswer(f.add({ endpoint: 'manifest', status: 200, body: 'not json', headers: { 'Content-Type': 'application/json' } }, resolve));
    assert.equal(plain.text, 'not json');
    assert.equal(plain.headers['Content-Type'], 'application/json');
    const dflt = faultAnswer(f.add({ endpoint: 'init', status: 503 }, resolve));
    assert.equal(dflt.status, 503);
    assert.equal(dflt.json.error, 'injected_fault');
  });
});

describe('router', () => {
  const r = new Router()
    .add('GET', '/t/:slug/api/me', 'me', () => 'me')
    .add('POST', '/t/:slug/api/feedback', 'feedback', () => 'fb')
    .add('GET', '/api/kavo/discover/:tid', 'discover', () => 'd');

  it('binds parameters, decoding them once', () => {
    const m = r.match('GET', '/api/kavo/discover/a%2Fb');
    assert.equal(m.route.endpoint, 'discover');
    assert.deepEqual(m.params, { tid: 'a/b' });
  });

  it('tells a wrong method from an unknown path', () => {
    assert.deepEqual(r.match('GET', '/t/contoso/api/feedback'), { allowed: ['POST'] });
    assert.equal(r.match('GET', '/t/contoso/api/me/extra'), null);
    assert.equal(r.match('GET', '/api/kavo/discover/'), null);
    assert.equal(r.match('HEAD', '/t/contoso/api/me').route.endpoint, 'me');
  });

  it('refuses malformed percent-encoding with 400', () => {
    assert.throws(() => r.match('GET', '/api/kavo/discover/%E0%A4%A'), (e) => e instanceof HttpError && e.status === 400);
  });
});

describe('loopback redirect rule', () => {
  it('allows loopback http on any port and path, and the app scheme, only', () => {
    for (const ok of ['http://127.0.0.1:53682/', 'http://localhost:1/cb?x=1', 'http://[::1]:8080/a', 'msauth.brindle.meetings.desktop://auth']) {
      assert.equal(redirectAllowed(ok), true, ok);
    }
    for (const bad of ['https://127.0.0.1:5/', 'http://127.0.0.2/', 'http://evil.example/cb', 'http://user@127.0.0.1:5/',
      'http://127.0.0.1:5/#frag', 'msauth.brindle.meetings.desktop://other', 'not a url']) {
      assert.equal(redirectAllowed(bad), false, bad);
    }
  });
});

describe('storage checksum used by the upload tests', () => {
  it('is CRC-64/NVME', () => {
    assert.equal(crc64nvme(Buffer.from('123456789')), 0xAE8B14860A799888n);
    assert.equal(crc64Header(Buffer.alloc(0)), 'AAAAAAAAAAA=');
  });
});
