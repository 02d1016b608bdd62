'use strict';
// The identity endpoint as a desktop client meets it: authorization code with PKCE to
// a loopback redirect, refresh tokens for Graph and the Kavo API, the device-code
// grant, the claims of the tokens, and its error answers.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

const { REDIRECT, SIGN_IN_SCOPE } = h;
const GRAPH = '00000003-0000-0000-c000-000000000000';

let stack;
let kavoScope;

before(async () => {
  stack = await h.startStack();
  kavoScope = stack.endpoints.kavoScopes[0];
});
after(() => stack.dispose());
beforeEach(() => h.reset(stack));

async function codeFor(opts = {}) {
  const { verifier, challenge } = h.pkce();
  const { res, params } = await h.authorize(stack, { challenge, ...opts });
  assert.equal(res.status, 302, res.text);
  assert.ok(params.code, `no code in ${JSON.stringify(params)}`);
  return { code: params.code, verifier, params };
}

const redeem = (code, verifier, extra = {}) =>
  h.token(stack, { grant_type: 'authorization_code', code, redirect_uri: REDIRECT, code_verifier: verifier, scope: SIGN_IN_SCOPE, ...extra });
const claimsOf = (token) => h.decodeJwt(token).payload;

function assertOAuthError(res, status, error, code) {
  assert.equal(res.status, status, res.text);
  assert.match(res.headers['content-type'], /application\/json/);
  assert.equal(res.json.error, error, res.text);
  if (code !== undefined) {
    assert.deepEqual(res.json.error_codes, [code]);
    assert.match(res.json.error_description, new RegExp(`^AADSTS${code}:`));
  }
  return res.json;
}

describe('authorize', () => {
  it('approves at once and redirects to the exact loopback URI with code and state', async () => {
    const redirect = 'http://127.0.0.1:41234/auth/done?keep=1';
    const { code, verifier, params } = await codeFor({ redirectUri: redirect, state: 'xyz 123' });
    assert.deepEqual([params.keep, params.state, params.error], ['1', 'xyz 123', undefined]);
    assert.ok(code.length >= 43);
    assert.equal((await redeem(code, verifier, { redirect_uri: redirect })).status, 200);
  });

  it('shows errors instead of redirecting to an untrusted client, redirect URI or tenant', async () => {
    const { challenge } = h.pkce();
    assertOAuthError((await h.authorize(stack, { challenge, redirectUri: 'https://evil.example/cb' })).res, 400, 'invalid_request', 50011);
    const q = new URLSearchParams({
      client_id: '00000000-0000-0000-0000-000000000001', response_type: 'code', redirect_uri: REDIRECT, scope: SIGN_IN_SCOPE,
      code_challenge: challenge, code_challenge_method: 'S256',
    });
    assertOAuthError(await h.request('GET', `${stack.endpoints.authority}/oauth2/v2.0/authorize?${q}`), 400, 'unauthorized_client', 700016);
    const badTenant = await h.authorize(stack, { challenge, authority: '11111111-2222-3333-4444-555555555555' });
    assertOAuthError(badTenant.res, 400, 'invalid_tenant', 90002);
  });

  it('redirects the refusal of a missing S256 challenge or a bad request', async () => {
    const { challenge } = h.pkce();
    const cases = [
      [{ code_challenge: '' }, 'invalid_request'], [{ code_challenge_method: 'plain' }, 'invalid_request'],
      [{ code_challenge: 'short' }, 'invalid_request'], [{ response_type: 'token' }, 'unsupported_response_type'],
      [{ scope: 'openid api://someone-else/Write' }, 'invalid_scope'],
    ];
    for (const [extra, error] of cases) {
      const { res, params } = await h.authorize(stack, { challenge, extra, state: 's' });
      assert.equal(res.status, 302, JSON.stringify(extra));
      assert.deepEqual([params.error, params.code, params.state], [error, undefined, 's'], JSON.stringify(extra));
      assert.match(params.error_description, /^AADSTS\d+: /);
    }
  });

  it('plays cancellation, missing consent, required interaction and other users when told to', async () => {
    for (const outcome of [{ outcome: 'cancel' }, { outcome: 'consent_required' }, { outcome: 'interaction_required', times: 2 }]) {
      assert.equal((await h.admin(stack, 'POST', '/identity/authorize', outcome)).status, 201);
    }
    const { challenge } = h.pkce();
    const seen = [];
    for (let i = 0; i < 5; i++) {
      const { params } = await h.authorize(stack, { challenge, state: `s${i}` });
      assert.equal(params.state, `s${i}`);
      seen.push(params.error ? `${params.error}${params.error_subcode ? `/${params.error_subcode}` : ''}` : 'code');
    }
    assert.deepEqual(seen, ['access_denied/cancel', 'consent_required', 'interaction_required', 'interaction_required', 'code']);

    const hinted = await codeFor({ extra: { login_hint: 'SAM.LEE@contoso.test' } });
    assert.equal(claimsOf((await redeem(hinted.code, hinted.verifier)).json.id_token).preferred_username, 'sam.lee@contoso.test');
    await h.admin(stack, 'POST', '/identity/authorize', { outcome: 'approve', user: 'robin.park@fabrikam.test' });
    const queued = await codeFor();
    const claims = claimsOf((await redeem(queued.code, queued.verifier)).json.id_token);
    assert.deepEqual([claims.preferred_username, claims.tid], ['robin.park@fabrikam.test', '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b']);
  });

});

describe('authorization code redemption', () => {
  it('refuses a wrong PKCE verifier and bad requests, accepts the right one, and only once', async () => {
    const { code, verifier } = await codeFor();
    assertOAuthError(await redeem(code, h.pkce().verifier), 400, 'invalid_grant', 501481);
    assertOAuthError(await redeem(code, verifier, { redirect_uri: 'http://127.0.0.1:1/other' }), 400, 'invalid_grant');
    assertOAuthError(await redeem(code, 'too-short'), 400, 'invalid_request');
    assertOAuthError(await redeem(code, verifier, { client_id: crypto.randomUUID() }), 400, 'unauthorized_client', 700016);
    assertOAuthError(await h.token(stack, { grant_type: 'authorization_code', code, redirect_uri: REDIRECT }), 400, 'invalid_request', 900144);
    assertOAuthError(await redeem('no-such-code', verifier), 400, 'invalid_grant');
    assertOAuthError(await h.token(stack, { grant_type: 'password', username: 'x', password: 'y' }), 400, 'unsupported_grant_type');
    assert.equal((await redeem(code, verifier)).status, 200, 'failed attempts do not use up the code');
    assertOAuthError(await redeem(code, verifier), 400, 'invalid_grant', 54005);
    await h.admin(stack, 'PATCH', '/settings', { identity: { authorizationCodeLifetimeSeconds: 0 } });
    const late = await codeFor();
    await h.sleep(20);
    assertOAuthError(await redeem(late.code, late.verifier), 400, 'invalid_grant', 70008);
  });

  it('issues an id token with the identity claims, signed with a key the metadata publishes', async () => {
    const { code, verifier } = await codeFor({ extra: { nonce: 'n-42' } });
    const body = (await redeem(code, verifier, { client_info: '1' })).json;
    assert.deepEqual([body.token_type, body.expires_in, typeof body.refresh_token], ['Bearer', 3600, 'string']);
    const { header, payload } = h.decodeJwt(body.id_token);
    const user = stack.endpoints.defaultUser;
    assert.deepEqual([header.alg, payload.aud, payload.tid, payload.oid, payload.nonce], ['RS256', stack.endpoints.clientId, user.tenantId, user.oid, 'n-42']);
    assert.deepEqual([payload.email, payload.preferred_username, payload.name, payload.given_name],
      ['avery.quinn@contoso.test', 'avery.quinn@contoso.test', 'Avery Quinn', 'Avery']);
    assert.equal(payload.iss, `${stack.base}/${payload.tid}/v2.0`);
    assert.ok(payload.exp > Date.now() / 1000);
    assert.deepEqual(JSON.parse(Buffer.from(body.client_info, 'base64url')), { uid: payload.oid, utid: payload.tid });
    assert.equal(claimsOf(body.access_token).aud, GRAPH);

    const meta = (await h.request('GET', `${stack.endpoints.authority}/v2.0/.well-known/openid-configuration`)).json;
    assert.deepEqual(meta.code_challenge_methods_supported, ['S256']);
    const jwk = (await h.request('GET', meta.jwks_uri)).json.keys.find((k) => k.kid === header.kid);
    const [head, claims, sig] = body.id_token.split('.');
    const key = crypto.createPublicKey({ key: jwk, format: 'jwk' });
    assert.equal(crypto.verify('sha256', Buffer.from(`${head}.${claims}`), key, Buffer.from(sig, 'base64url')), true);
  });

  it('gives no refresh token without offline_access and no id token without openid', async () => {
    const { code, verifier } = await codeFor({ scope: 'User.Read' });
    const res = (await redeem(code, verifier, { scope: 'User.Read' })).json;
    assert.deepEqual([typeof res.access_token, res.refresh_token, res.id_token], ['string', undefined, undefined]);
  });
});

describe('refresh tokens', () => {
  async function signedIn() {
    const { code, verifier } = await codeFor();
    return (await redeem(code, verifier)).json.refresh_token;
  }
  const refresh = (rt, scope, tenant) => h.token(stack, { grant_type: 'refresh_token', refresh_token: rt, scope }, tenant);

  it('yield Graph and Kavo API tokens from one refresh token, repeatedly, within its tenant', async () => {
    const rt = await signedIn();
    const kavo = await refresh(rt, `${kavoScope} offline_access`);
    assert.equal(kavo.status, 200, kavo.text);
    const kc = claimsOf(kavo.json.access_token);
    assert.deepEqual([kc.aud, kc.scp, kc.oid], [stack.endpoints.apiApplicationId, 'KavoMeetings.Use', stack.endpoints.defaultUser.oid]);
    const graph = await refresh(rt, 'openid profile offline_access User.Read');
    assert.deepEqual([claimsOf(graph.json.access_token).aud, typeof graph.json.id_token], [GRAPH, 'string']);
    assert.equal((await refresh(kavo.json.refresh_token, kavoScope)).status, 200, 'the new refresh token works too');
    assert.equal((await refresh(rt, kavoScope, stack.endpoints.defaultUser.tenantId)).status, 200, 'and the old one, at its tenant');
    assertOAuthError(await refresh(rt, kavoScope, '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b'), 400, 'invalid_grant', 50020);
    assertOAuthError(await refresh(rt, `User.Read ${kavoScope}`), 400, 'invalid_scope', 28000);
    assertOAuthError(await refresh(rt, `api://${stack.endpoints.apiApplicationId}/Admin`), 400, 'invalid_scope', 70011);
  });

  it('stop working when revoked, expired or mangled', async () => {
    const rt = await signedIn();
    assert.equal((await h.admin(stack, 'POST', '/users/avery.quinn@contoso.test/revoke')).status, 200);
    assert.equal(assertOAuthError(await refresh(rt, kavoScope), 400, 'invalid_grant', 50173).suberror, 'bad_token');
    assert.equal((await refresh(await signedIn(), kavoScope)).status, 200, 'a fresh sign-in works again');
    assertOAuthError(await refresh('not.a.token', kavoScope), 400, 'invalid_grant');
    const { code, verifier } = await codeFor();
    assertOAuthError(await refresh((await redeem(code, verifier)).json.access_token, kavoScope), 400, 'invalid_grant');
    await h.admin(stack, 'PATCH', '/settings', { identity: { refreshTokenLifetimeSeconds: -1 } });
    assertOAuthError(await refresh(await signedIn(), kavoScope), 400, 'invalid_grant', 700082);
  });

  it('answer consent_required for the Kavo API while the tenant has not consented', async () => {
    const rt = await signedIn();
    await h.admin(stack, 'PATCH', '/tenants/contoso', { kavoApiConsent: false });
    assert.equal(assertOAuthError(await refresh(rt, kavoScope), 400, 'invalid_grant', 65001).suberror, 'consent_required');
    assert.equal((await refresh(rt, 'User.Read')).status, 200, 'Graph is unaffected');
    const { params } = await h.authorize(stack, { challenge: h.pkce().challenge, scope: `openid offline_access ${kavoScope}` });
    assert.equal(params.error, 'consent_required');
    await h.admin(stack, 'PATCH', '/tenants/contoso', { kavoApiConsent: true });
    assert.equal((await refresh(rt, kavoScope)).status, 200);
  });
});

describe('device code', () => {
  const start = (scope = SIGN_IN_SCOPE) => h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/devicecode`, {
    form: { client_id: stack.endpoints.clientId, scope },
  });
  const poll = (deviceCode) => h.token(stack, { grant_type: 'urn:ietf:params:oauth:grant-type:device_code', device_code: deviceCode });
  const settings = (deviceCode) => h.admin(stack, 'PATCH', '/settings', { identity: { deviceCode } });

  it('hands out codes, says pending once, then signs in the configured user once', async () => {
    await settings({ intervalSeconds: 1 });
    const dc = (await start()).json;
    assert.match(dc.user_code, /^[A-Z0-9]{9}$/);
    assert.deepEqual([dc.verification_uri, dc.expires_in, dc.interval], [`${stack.base}/devicelogin`, 900, 1]);
    assert.ok(dc.message.includes(dc.user_code) && dc.message.includes(dc.verification_uri));
    assertOAuthError(await poll(dc.device_code), 400, 'authorization_pending', 70016);
    const done = await poll(dc.device_code);
    assert.equal(done.status, 200, done.text);
    assert.equal(claimsOf(done.json.id_token).oid, stack.endpoints.defaultUser.oid);
    assert.equal(typeof done.json.refresh_token, 'string');
    assertOAuthError(await poll(dc.device_code), 400, 'invalid_grant', 54005);
    const kavo = (await start(`${kavoScope} offline_access`)).json;
    assertOAuthError(await poll(kavo.device_code), 400, 'authorization_pending');
    const direct = (await poll(kavo.device_code)).json;
    assert.deepEqual([claimsOf(direct.access_token).aud, direct.id_token], [stack.endpoints.apiApplicationId, undefined]);
  });

  it('waits for a decision when auto-approval is off, and can be denied', async () => {
    await settings({ autoApproveAfterPolls: null });
    const dc = (await start()).json;
    for (let i = 0; i < 3; i++) assertOAuthError(await poll(dc.device_code), 400, 'authorization_pending');
    assert.equal((await h.admin(stack, 'POST', '/identity/device-code', { decision: 'deny' })).json.userCode, dc.user_code);
    assertOAuthError(await poll(dc.device_code), 400, 'authorization_declined');
    assert.equal((await h.admin(stack, 'POST', '/identity/device-code', { decision: 'approve', userCode: dc.user_code })).status, 409);
  });

  it('expires codes, refuses unknown ones, and checks its request', async () => {
    await settings({ expiresInSeconds: 0, autoApproveAfterPolls: 0 });
    const dc = (await start()).json;
    await h.sleep(20);
    assertOAuthError(await poll(dc.device_code), 400, 'expired_token', 70019);
    assertOAuthError(await poll('unknown'), 400, 'bad_verification_code');
    assertOAuthError(await start(''), 400, 'invalid_request', 900144);
    assertOAuthError(await start(`User.Read ${kavoScope}`), 400, 'invalid_scope', 28000);
    const json = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/devicecode`, {
      json: { client_id: stack.endpoints.clientId, scope: SIGN_IN_SCOPE },
    });
    assertOAuthError(json, 400, 'invalid_request', 900144);
  });
});
