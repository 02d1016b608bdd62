'use strict';
// Configuration of the dev stack: built-in defaults, an optional JSON file
// merged over them, and strict validation so that a typo in a test's config
// fails the start instead of being silently ignored.

const fs = require('node:fs');

const GUID_RE = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/i;
const SLUG_RE = /^[a-z0-9](?:[a-z0-9-]{0,38}[a-z0-9])?$/;
const DATE_STYLES = ['micros-offset', 'millis-z', 'seconds-z', 'seconds-offset'];
const AUTHORIZE_MODES = ['auto', 'page'];

const DEFAULTS = Object.freeze({
  clientId: '6f1d3c2a-8b4e-4d7a-9c15-2e0b7a9d4f61',
  apiApplicationId: 'b3e2a1c4-5d6f-4a8b-9c0d-1e2f3a4b5c6d',
  tenants: [
    {
      tenantId: '4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f',
      slug: 'contoso',
      clientName: 'Contoso Meetings Lab',
      initials: 'CM',
      region: 'westeurope',
      discoverable: true,
      meetingsAccess: true,
      kavoApiConsent: true,
      branding: {
        app_name: 'Kavo Meetings',
        primary_color: '#1F6FEB',
        meetings_enabled: true,
        live_artifacts_enabled: false,
        sharing_enabled: true,
        sharing_meetings_enabled: false,
      },
    },
    {
      tenantId: '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b',
      slug: 'fabrikam',
      clientName: 'Fabrikam',
      initials: 'FA',
      region: 'northeurope',
      discoverable: false,
      meetingsAccess: true,
      kavoApiConsent: true,
      branding: {},
    },
  ],
  users: [
    {
      oid: '1a2b3c4d-0001-4e5f-8a9b-0c1d2e3f4a5b',
      tenantId: '4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f',
      email: 'avery.quinn@contoso.test',
      preferredUsername: 'avery.quinn@contoso.test',
      name: 'Avery Quinn',
      givenName: 'Avery',
      isAdmin: false,
      meetingsAccess: true,
    },
    {
      oid: '1a2b3c4d-0002-4e5f-8a9b-0c1d2e3f4a5b',
      tenantId: '4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f',
      email: 'sam.lee@contoso.test',
      preferredUsername: 'sam.lee@contoso.test',
      name: 'Sam Lee',
      givenName: 'Sam',
      isAdmin: true,
      meetingsAccess: false,
    },
    {
      oid: '1a2b3c4d-0003-4e5f-8a9b-0c1d2e3f4a5b',
      tenantId: '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b',
      email: 'robin.park@fabrikam.test',
      preferredUsername: 'robin.park@fabrikam.test',
      name: 'Robin Park',
      givenName: 'Robin',
      isAdmin: false,
      meetingsAccess: true,
    },
  ],
  identity: {
    authorize: 'auto',
    defaultUser: 'avery.quinn@contoso.test',
    accessTokenLifetimeSeconds: 3600,
    refreshTokenLifetimeSeconds: 7776000,
    authorizationCodeLifetimeSeconds: 600,
    deviceCode: {
      intervalSeconds: 5,
      expiresInSeconds: 900,
      autoApproveAfterPolls: 1,
    },
  },
  api: {
    container: 'recordings',
    sasLifetimeSeconds: 3600,
    deliverAfterReads: 2,
    reusePendingUploads: true,
    dateStyle: 'micros-offset',
  },
  manifest: {
    schemaVersion: 1,
    latestVersion: '0.1.0',
    downloadPageUrl: 'https://downloads.kavo.example/meetings/linux',
    publishedAt: '2025-01-01T00:00:00Z',
  },
  http: {
    maxBodyBytes: 1048576,
  },
});

const TENANT_KEYS = ['tenantId', 'slug', 'clientName', 'initials', 'region', 'discoverable',
  'meetingsAccess', 'kavoApiConsent', 'branding'];
const USER_KEYS = ['oid', 'tenantId', 'email', 'preferredUsername', 'name', 'givenName',
  'isAdmin', 'meetingsAccess'];
const BRANDING_STRING_KEYS = ['app_name', 'primary_logo_dark_url', 'primary_logo_light_url',
  'secondary_logo_dark_url', 'secondary_logo_light_url', 'primary_color'];
const BRANDING_BOOL_KEYS = ['meetings_enabled', 'live_artifacts_enabled', 'sharing_enabled',
  'sharing_meetings_enabled'];

class ConfigError extends Error {}

function clone(v) {
  return v === undefined ? undefined : JSON.parse(JSON.stringify(v));
}

function isPlainObject(v) {
  return v !== null && typeof v === 'object' && !Array.isArray(v);
}

// Objects merge key by key; arrays and scalars replace.
function deepMerge(base, over) {
  if (!isPlainObject(base) || !isPlainObject(over)) return clone(over);
  const out = clone(base);
  for (const [k, v] of Object.entries(over)) {
    out[k] = k in out ? deepMerge(out[k], v) : clone(v);
  }
  return out;
}

function fail(where, msg) {
  throw new ConfigError(`${where}: ${msg}`);
}

function checkKeys(obj, allowed, where) {
  if (!isPlainObject(obj)) fail(where, 'must be an object');
  for (const k of Object.keys(obj)) {
    if (!allowed.includes(k)) fail(where, `unknown key "${k}" (allowed: ${allowed.join(', ')})`);
  }
}

function checkString(v, where, { nonEmpty = true } = {}) {
  if (typeof v !== 'string' || (nonEmpty && v.length === 0)) fail(where, 'must be a non-empty string');
}

function checkBool(v, where) {
  if (typeof v !== 'boolean') fail(where, 'must be true or false');
}

function checkInt(v, where, { min = -Infinity, max = Infinity, nullable = false } = {}) {
  if (nullable && v === null) return;
  if (!Number.isInteger(v) || v < min || v > max) {
    const range = [Number.isFinite(min) ? `>= ${min}` : '', Number.isFinite(max) ? `<= ${max}` : '']
      .filter(Boolean).join(' and ');
    fail(where, `must be an integer${range ? ' ' + range : ''}${nullable ? ' or null' : ''}`);
  }
}

function validateBranding(b, where) {
  checkKeys(b, [...BRANDING_STRING_KEYS, ...BRANDING_BOOL_KEYS], where);
  for (const k of BRANDING_STRING_KEYS) if (k in b) checkString(b[k], `${where}.${k}`);
  for (const k of BRANDING_BOOL_KEYS) if (k in b) checkBool(b[k], `${where}.${k}`);
}

function validateTenant(t, where) {
  checkKeys(t, TENANT_KEYS, where);
  if (typeof t.tenantId !== 'string' || !GUID_RE.test(t.tenantId)) fail(`${where}.tenantId`, 'must be a GUID');
  if (typeof t.slug !== 'string' || !SLUG_RE.test(t.slug)) {
    fail(`${where}.slug`, 'must be lower-case letters, digits and hyphens (at most 40)');
  }
  for (const k of ['clientName', 'initials', 'region']) checkString(t[k], `${where}.${k}`);
  for (const k of ['discoverable', 'meetingsAccess', 'kavoApiConsent']) checkBool(t[k], `${where}.${k}`);
  validateBranding(t.branding, `${where}.branding`);
}

function validateUser(u, where) {
  checkKeys(u, USER_KEYS, where);
  if (typeof u.oid !== 'string' || !GUID_RE.test(u.oid)) fail(`${where}.oid`, 'must be a GUID');
  if (typeof u.tenantId !== 'string' || !GUID_RE.test(u.tenantId)) fail(`${where}.tenantId`, 'must be a GUID');
  // "email" and "givenName" may be absent: the id token then carries no such claim.
  if ('email' in u) checkString(u.email, `${where}.email`);
  if ('givenName' in u) checkString(u.givenName, `${where}.givenName`);
  checkString(u.preferredUsername, `${where}.preferredUsername`);
  checkString(u.name, `${where}.name`, { nonEmpty: false });
  checkBool(u.isAdmin, `${where}.isAdmin`);
  checkBool(u.meetingsAccess, `${where}.meetingsAccess`);
}

function validateIdentity(id, where = 'identity') {
  checkKeys(id, ['authorize', 'defaultUser', 'accessTokenLifetimeSeconds', 'refreshTokenLifetimeSeconds',
    'authorizationCodeLifetimeSeconds', 'deviceCode'], where);
  if (!AUTHORIZE_MODES.includes(id.authorize)) fail(`${where}.authorize`, `must be one of ${AUTHORIZE_MODES.join(', ')}`);
  checkString(id.defaultUser, `${where}.defaultUser`);
  // Negative lifetimes are allowed on purpose: they mint tokens that are already expired.
  checkInt(id.accessTokenLifetimeSeconds, `${where}.accessTokenLifetimeSeconds`, { min: -86400, max: 86400 * 365 });
  checkInt(id.refreshTokenLifetimeSeconds, `${where}.refreshTokenLifetimeSeconds`, { min: -86400, max: 86400 * 3650 });
  checkInt(id.authorizationCodeLifetimeSeconds, `${where}.authorizationCodeLifetimeSeconds`, { min: 0, max: 86400 });
  checkKeys(id.deviceCode, ['intervalSeconds', 'expiresInSeconds', 'autoApproveAfterPolls'], `${where}.deviceCode`);
  checkInt(id.deviceCode.intervalSeconds, `${where}.deviceCode.intervalSeconds`, { min: 0, max: 60 });
  checkInt(id.deviceCode.expiresInSeconds, `${where}.deviceCode.expiresInSeconds`, { min: 0, max: 86400 });
  checkInt(id.deviceCode.autoApproveAfterPolls, `${where}.deviceCode.autoApproveAfterPolls`, { min: 0, nullable: true });
}

function validateApi(api, where = 'api') {
  checkKeys(api, ['container', 'sasLifetimeSeconds', 'deliverAfterReads', 'reusePendingUploads', 'dateStyle'], where);
  if (typeof api.container !== 'string' || !/^[a-z0-9](?:[a-z0-9]|-(?=[a-z0-9])){2,62}$/.test(api.container)) {
    fail(`${where}.container`, 'must be a valid storage container name (3-63 lower-case letters, digits, hyphens)');
  }
  // A negative SAS lifetime hands out URLs that are already expired.
  checkInt(api.sasLifetimeSeconds, `${where}.sasLifetimeSeconds`, { min: -86400, max: 7 * 86400 });
  checkInt(api.deliverAfterReads, `${where}.deliverAfterReads`, { min: 0, max: 1000000 });
  checkBool(api.reusePendingUploads, `${where}.reusePendingUploads`);
  if (!DATE_STYLES.includes(api.dateStyle)) fail(`${where}.dateStyle`, `must be one of ${DATE_STYLES.join(', ')}`);
}

function validateManifest(m, where = 'manifest') {
  if (!isPlainObject(m)) fail(where, 'must be an object');
}

function validateConfig(cfg) {
  checkKeys(cfg, ['clientId', 'apiApplicationId', 'tenants', 'users', 'identity', 'api', 'manifest', 'http'], 'config');
  for (const k of ['clientId', 'apiApplicationId']) {
    if (typeof cfg[k] !== 'string' || !GUID_RE.test(cfg[k])) fail(k, 'must be a GUID');
  }
  if (!Array.isArray(cfg.tenants) || cfg.tenants.length === 0) fail('tenants', 'must be a non-empty array');
  cfg.tenants.forEach((t, i) => validateTenant(t, `tenants[${i}]`));
  const ids = new Set();
  const slugs = new Set();
  for (const t of cfg.tenants) {
    const id = t.tenantId.toLowerCase();
    if (ids.has(id)) fail('tenants', `duplicate tenantId ${t.tenantId}`);
    if (slugs.has(t.slug)) fail('tenants', `duplicate slug ${t.slug}`);
    ids.add(id);
    slugs.add(t.slug);
  }
  if (!Array.isArray(cfg.users)) fail('users', 'must be an array');
  cfg.users.forEach((u, i) => validateUser(u, `users[${i}]`));
  const oids = new Set();
  const names = new Set();
  cfg.users.forEach((u, i) => {
    if (!ids.has(u.tenantId.toLowerCase())) fail(`users[${i}].tenantId`, `no tenant ${u.tenantId}`);
    if (oids.has(u.oid.toLowerCase())) fail('users', `duplicate oid ${u.oid}`);
    oids.add(u.oid.toLowerCase());
    for (const n of new Set([u.email, u.preferredUsername].filter(Boolean).map((s) => s.toLowerCase()))) {
      if (names.has(n)) fail('users', `duplicate user name ${n}`);
      names.add(n);
    }
  });
  validateIdentity(cfg.identity);
  if (!names.has(cfg.identity.defaultUser.toLowerCase())) {
    fail('identity.defaultUser', `no user named ${cfg.identity.defaultUser}`);
  }
  validateApi(cfg.api);
  validateManifest(cfg.manifest);
  checkKeys(cfg.http, ['maxBodyBytes'], 'http');
  checkInt(cfg.http.maxBodyBytes, 'http.maxBodyBytes', { min: 1024, max: 64 * 1048576 });
  return cfg;
}

function buildConfig(overrides) {
  if (overrides !== undefined && !isPlainObject(overrides)) fail('config', 'must be a JSON object');
  return validateConfig(deepMerge(DEFAULTS, overrides || {}));
}

function loadConfigFile(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw new ConfigError(`cannot read config file ${file}: ${err.message}`);
  }
  let parsed;
  try {
    parsed = JSON.parse(text);
  } catch (err) {
    throw new ConfigError(`config file ${file} is not valid JSON: ${err.message}`);
  }
  return buildConfig(parsed);
}

module.exports = {
  DEFAULTS,
  DATE_STYLES,
  GUID_RE,
  ConfigError,
  buildConfig,
  loadConfigFile,
  deepMerge,
  clone,
  isPlainObject,
  validateIdentity,
  validateApi,
  validateBranding,
};
