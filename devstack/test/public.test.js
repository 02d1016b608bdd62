'use strict';
// The endpoints a client reaches without a tenant API: the discovery router and the
// update manifest (changing it is shown by the update checker's tests against this stack).
// The stack runs from a config file, as the application's tests start it.

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
        tenantId: NORTHWIND, slug: 'northwind', clientName: 'Northwind Traders', initials: 'NT', region: 'eastus',
        discoverable: true, meetingsAccess: true, kavoApiConsent: true, branding: { app_name: 'Northwind Meetings' },
      }],
      manifest: { latestVersion: '2.4.0', downloadPageUrl: 'https://example.test/download' },
    },
  });
});
after(() => stack.dispose());
beforeEach(() => h.reset(stack));

const discover = (tid) => h.request('GET', `${stack.endpoints.discoveryURL}/${tid}`);
const manifest = () => h.request('GET', stack.endpoints.updateManifestURL);

describe('discovery router', () => {
  it('answers a known tenant with exactly the five keys, its API reachable at kavoBaseUrl', async () => {
    const res = await discover(NORTHWIND.toUpperCase());
    assert.equal(res.status, 200);
    assert.deepEqual(res.json, {
      tenantId: NORTHWIND, clientName: 'Northwind Traders', initials: 'NT', kavoBaseUrl: `${stack.base}/t/northwind`, region: 'eastus',
    });
    assert.equal((await h.request('GET', `${res.json.kavoBaseUrl}/api/branding`)).json.app_name, 'Northwind Meetings');
  });

  it('answers 404 for tenants it does not serve and 400 for ids that are not tenant ids', async () => {
    await h.admin(stack, 'PATCH', `/tenants/${NORTHWIND}`, { discoverable: false });
    for (const tid of ['00000000-0000-4000-8000-000000000000', NORTHWIND]) {
      const res = await discover(tid);
      assert.equal(res.status, 404, tid);
      assert.equal(res.json.error, 'not_provisioned');
    }
    for (const tid of ['contoso', `{${NORTHWIND}}`, `${NORTHWIND}0`, 'g0000000-0000-0000-0000-000000000000', '%20']) {
      const res = await discover(tid);
      assert.equal(res.status, 400, tid);
      assert.equal(res.json.error, 'malformed_tid');
    }
  });
});

describe('update manifest', () => {
  it('serves the configured manifest at /latest.json, uncached', async () => {
    const res = await manifest();
    assert.equal(res.status, 200);
    assert.equal(res.headers['cache-control'], 'no-store');
    assert.deepEqual(res.json, {
      schemaVersion: 1, latestVersion: '2.4.0', downloadPageUrl: 'https://example.test/download', publishedAt: '2025-01-01T00:00:00Z',
    });
  });
});
