'use strict';
// Configuration validation, which needs no running stack.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const { buildConfig, loadConfigFile, ConfigError, DEFAULTS } = require('../lib/config');
const { tempDir } = require('../test-support/harness');

describe('configuration', () => {
  it('refuses mistakes with the path of the offending value', () => {
    const cases = [
      [{ api: { sasLifetime: 5 } }, /api: unknown key "sasLifetime"/],
      [{ tenants: [{ ...DEFAULTS.tenants[0], tenantId: 'contoso' }] }, /tenants\[0\]\.tenantId: must be a GUID/],
      [{ tenants: [DEFAULTS.tenants[0], { ...DEFAULTS.tenants[1], slug: 'contoso' }] }, /duplicate slug contoso/],
      [{ users: [{ ...DEFAULTS.users[0], tenantId: '00000000-0000-0000-0000-000000000000' }] }, /users\[0\]\.tenantId: no tenant/],
      [[1, 2], /config: must be a JSON object/],
    ];
    for (const [override, message] of cases) {
      assert.throws(() => buildConfig(override), (err) => err instanceof ConfigError && message.test(err.message), String(message));
    }
    const dir = tempDir();
    fs.writeFileSync(path.join(dir, 'c.json'), '{"api": ');
    assert.throws(() => loadConfigFile(path.join(dir, 'c.json')), /c\.json is not valid JSON/);
    fs.rmSync(dir, { recursive: true, force: true });
  });
});
