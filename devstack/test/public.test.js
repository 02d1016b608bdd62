'use strict';
// The endpoints a client reaches without a tenant API: the discovery router
// and the update manifest. The stack runs here from a config file, as a
// test suite of the application would start it.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');

const h = require('../test-support/harness');
const { DEFAULTS } = require('../lib/config');

const NORTHWIND = '0b1c2d3e-4f50-4617-8283-94a5b6c7d8e9';

let stack;

before(async () => {
  stack = await h.startStack({
    config: {
      tenants: [...DEFAULTS.tenants, {
        tenantId: NORTHWIND,
        slug: 'northwind',
        clientName: 'Northwind Traders',
        initials: 'NT',
        region: 'eastus',
        discoverable: true,
        meetingsAccess: true,
        kavoApiConsent: true,
        branding: { app_name: 'Northwind Meetings' },
      }],
      manifest: { latestVersion: '2.4.0', downloadPageUrl: 'https://example.test/download' },
    },
  });
});
after(() => stack.dispose());
beforeEach(() => h.reset(stack));

const discover = (tid) => h.request('GET', `${stack.endpoints.discoveryURL}/${tid}`);

describe('discovery router', () => {
  it('answers a known tenant with exactly the five keys, its API reachable at kavoBaseUrl', async () => {
    const res = await discover(NORTHWIND);
    assert.equal(res.status, 200);
    assert.deepEqual(res.json, {
      tenantId: NORTHWIND,
      clientName: 'Northwind Traders',
      initials: 'NT',
      kavoBaseUrl: `${stack.base}/t/northwind`,
      region: 'eastus',
    });
    const branding = await h.request('GET', `${res.json.kavoBaseUrl}/api/branding`);
    assert.equal(branding.json.app_name, 'Northwind Meetings');
    assert.equal((await discover(NORTHWIND.toUpperCase())).json.tenantId, NORTHWIND, 'ids match regardless of case');
  });

  it('answers 404 for tenants it does not serve', async () => {
    for (const tid of ['00000000-0000-4000-8000-000000000000', '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b']) {
      const res = await discover(tid);
      assert.equal(res.status, 404, tid);
      assert.equal(res.json.error, 'not_provisioned');
    }
    await h.admin(stack, 'PATCH', `/tenants/${NORTHWIND}`, { discoverable: false });
    assert.equal((await discover(NORTHWIND)).status, 404);
  });

  it('answers 400 for ids that are not tenant ids', async () => {
    for (const tid of ['contoso', '0b1c2d3e4f5046178283', `{${NORTHWIND}}`, `${NORTHWIND}0`, 'g0000000-0000-0000-0000-000000000000', '%20']) {
      const res = await discover(tid);
      assert.equal(res.status, 400, tid);
      assert.equal(res.json.error, 'malformed_tid');
    }
  });

  it('follows changes of the tenant record', async () => {
    await h.admin(stack, 'PATCH', `/tenants/northwind`, { clientName: 'Northwind (renamed)', region: 'westus' });
    const res = await discover(NORTHWIND);
    assert.equal(res.json.clientName, 'Northwind (renamed)');
    assert.equal(res.json.region, 'westus');
  });
});

describe('update manifest', () => {
  it('serves the configured manifest at /latest.json', async () => {
    assert.equal(stack.endpoints.updateManifestURL, `${stack.base}/latest.json`);
    const res = await h.request('GET', stack.endpoints.updateManifestURL);
    assert.equal(res.status, 200);
    assert.match(res.headers['content-type'], /application\/json/);
    assert.equal(res.headers['cache-control'], 'no-store');
    assert.deepEqual(res.json, {
      schemaVersion: 1,
      latestVersion: '2.4.0',
      downloadPageUrl: 'https://example.test/download',
      publishedAt: '2025-01-01T00:00:00Z',
    });
  });

  it('takes a new version and page, or a whole new document, until reset', async () => {
    const patched = await h.admin(stack, 'PATCH', '/manifest', { latestVersion: '2.5.1', downloadPageUrl: 'http://insecure.test/', publishedAt: null });
    assert.equal(patched.status, 200);
    assert.deepEqual((await h.request('GET', stack.endpoints.updateManifestURL)).json,
      { schemaVersion: 1, latestVersion: '2.5.1', downloadPageUrl: 'http://insecure.test/' });
    await h.admin(stack, 'PUT', '/manifest', { downloadPageUrl: 'https://x.test/' });
    assert.deepEqual((await h.request('GET', stack.endpoints.updateManifestURL)).json, { downloadPageUrl: 'https://x.test/' });
    assert.equal((await h.admin(stack, 'PUT', '/manifest', ['1.0'])).status, 400);
    await h.reset(stack);
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).json.latestVersion, '2.4.0');
  });

  it('answers 404 when told to', async () => {
    await h.admin(stack, 'POST', '/faults', { endpoint: 'manifest', status: 404 });
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 404);
    assert.equal((await h.request('GET', stack.endpoints.updateManifestURL)).status, 200);
  });
});

describe('stack index', () => {
  it('answers the endpoints at / and /admin as printed at start', async () => {
    const printed = stack.endpoints;
    assert.deepEqual((await h.request('GET', `${stack.base}/`)).json, printed);
    assert.deepEqual((await h.admin(stack, 'GET', '')).json, printed);
    assert.deepEqual(printed.tenants.map((t) => t.slug), ['contoso', 'fabrikam', 'northwind']);
  });
});
