'use strict';
// The identity endpoint as a desktop client meets it: authorization code with
// PKCE to a loopback redirect, refresh tokens for Graph and the Kavo API,
// the device-code grant, the claims of the tokens, and its error answers.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

const { REDIRECT, SIGN_IN_SCOPE } = h;

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

function redeem(code, verifier, extra = {}) {
  return h.token(stack, { grant_type: 'authorization_code', code, redirect_uri: REDIRECT, code_verifier: verifier, scope: SIGN_IN_SCOPE, ...extra });
}

function assertOAuthError(res, status, error, code) {
  assert.equal(res.status, status, res.text);
  assert.match(res.headers['content-type'], /application\/json/);
  const body = res.json;
  assert.equal(body.error, error, res.text);
  if (code !== undefined) {
    assert.deepEqual(body.error_codes, [code]);
    assert.match(body.error_description, new RegExp(`^AADSTS${code}:`));
  }
  return body;
}

async function jwks() {
  const res = await h.request('GET', `${stack.endpoints.authority}/discovery/v2.0/keys`);
  assert.equal(res.status, 200);
  return res.json.keys;
}

async function verifiesWithPublishedKey(token) {
  const [head, payload, sig] = token.split('.');
  const { kid } = JSON.parse(Buffer.from(head, 'base64url'));
  const jwk = (await jwks()).find((k) => k.kid === kid);
  assert.ok(jwk, 'token signed with a published key');
  const key = crypto.createPublicKey({ key: jwk, format: 'jwk' });
  return crypto.verify('sha256', Buffer.from(`${head}.${payload}`), key, Buffer.from(sig, 'base64url'));
}

describe('authorize', () => {
  it('approves at once and redirects to the exact loopback URI with code and state', async () => {
    const { verifier, challenge } = h.pkce();
    const redirect = 'http://127.0.0.1:41234/auth/done?keep=1';
    const { res, location, params } = await h.authorize(stack, { challenge, redirectUri: redirect, state: 'xyz 123' });
    assert.equal(res.status, 302);
    assert.equal(`${location.origin}${location.pathname}`, 'http://127.0.0.1:41234/auth/done');
    assert.equal(params.keep, '1', 'the redirect URI\'s own query survives');
    assert.equal(params.state, 'xyz 123');
    assert.ok(params.code.length >= 43);
    assert.equal(params.error, undefined);
    const tok = await redeem(params.code, verifier, { redirect_uri: redirect });
    assert.equal(tok.status, 200, tok.text);
  });

  it('shows errors instead of redirecting while the client or redirect URI is not trusted', async () => {
    const { challenge } = h.pkce();
    const foreign = await h.authorize(stack, { challenge, redirectUri: 'https://evil.example/cb' });
    assert.equal(foreign.res.status, 400);
    assertOAuthError(foreign.res, 400, 'invalid_request', 50011);

    const q = new URLSearchParams({ client_id: '00000000-0000-0000-0000-000000000001', response_type: 'code', redirect_uri: REDIRECT, scope: SIGN_IN_SCOPE, code_challenge: challenge, code_challenge_method: 'S256' });
    const unknownClient = await h.request('GET', `${stack.endpoints.authority}/oauth2/v2.0/authorize?${q}`);
    assertOAuthError(unknownClient, 400, 'unauthorized_client', 700016);

    const badTenant = await h.authorize(stack, { challenge, authority: '11111111-2222-3333-4444-555555555555' });
    assertOAuthError(badTenant.res, 400, 'invalid_tenant', 90002);
  });

  it('requires an S256 PKCE challenge and redirects the refusal', async () => {
    const { challenge } = h.pkce();
    const cases = [
      [{ code_challenge: '' }, 'invalid_request'],
      [{ code_challenge_method: 'plain' }, 'invalid_request'],
      [{ code_challenge: 'short' }, 'invalid_request'],
      [{ response_type: 'token' }, 'unsupported_response_type'],
      [{ scope: 'openid api://someone-else/Write' }, 'invalid_scope'],
    ];
    for (const [extra, error] of cases) {
      const { res, params } = await h.authorize(stack, { challenge, extra, state: 's' });
      assert.equal(res.status, 302, JSON.stringify(extra));
      assert.equal(params.error, error, JSON.stringify(extra));
      assert.equal(params.code, undefined);
      assert.equal(params.state, 's');
      assert.match(params.error_description, /^AADSTS\d+: /);
    }
  });

  it('plays cancellation, missing consent and required interaction when told to', async () => {
    const queued = await h.admin(stack, 'POST', '/identity/authorize', { outcome: 'cancel' });
    assert.equal(queued.status, 201);
    await h.admin(stack, 'POST', '/identity/authorize', { outcome: 'consent_required' });
    await h.admin(stack, 'POST', '/identity/authorize', { outcome: 'interaction_required', times: 2 });
    const { challenge } = h.pkce();
    const seen = [];
    for (let i = 0; i < 5; i++) {
      const { params } = await h.authorize(stack, { challenge, state: `s${i}` });
      assert.equal(params.state, `s${i}`);
      seen.push(params.error ? `${params.error}${params.error_subcode ? `/${params.error_subcode}` : ''}` : 'code');
    }
    assert.deepEqual(seen, ['access_denied/cancel', 'consent_required', 'interaction_required', 'interaction_required', 'code']);
  });

  it('signs in the user named by login_hint, or by a queued approval', async () => {
    const hinted = await codeFor({ extra: { login_hint: 'SAM.LEE@contoso.test' } });
    const t1 = await redeem(hinted.code, hinted.verifier);
    assert.equal(h.decodeJwt(t1.json.id_token).payload.preferred_username, 'sam.lee@contoso.test');

    await h.admin(stack, 'POST', '/identity/authorize', { outcome: 'approve', user: 'robin.park@fabrikam.test' });
    const queued = await codeFor();
    const t2 = await redeem(queued.code, queued.verifier);
    const claims = h.decodeJwt(t2.json.id_token).payload;
    assert.equal(claims.preferred_username, 'robin.park@fabrikam.test');
    assert.equal(claims.tid, '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b');
  });

  it('offers a sign-in page in page mode whose choice completes the redirect', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { authorize: 'page' } });
    const { verifier, challenge } = h.pkce();
    const shown = await h.authorize(stack, { challenge, state: 'pg' });
    assert.equal(shown.res.status, 200);
    assert.match(shown.res.headers['content-type'], /text\/html/);
    assert.match(shown.res.text, /sam\.lee@contoso\.test/);
    const form = Object.fromEntries([...shown.res.text.matchAll(/<input type="hidden" name="([^"]+)" value="([^"]*)">/g)]
      .map(([, k, v]) => [k, v.replace(/&amp;/g, '&').replace(/&quot;/g, '"').replace(/&#39;/g, "'").replace(/&lt;/g, '<').replace(/&gt;/g, '>')]));
    assert.equal(form.code_challenge, challenge);
    const post = (decision) => h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/authorize`, {
      form: { ...form, kavo_decision: decision, kavo_user: 'sam.lee@contoso.test' },
    });
    const cancelled = new URL((await post('cancel')).headers.location);
    assert.equal(cancelled.searchParams.get('error'), 'access_denied');
    const approved = await post('approve');
    assert.equal(approved.status, 302);
    const code = new URL(approved.headers.location).searchParams.get('code');
    const tok = await redeem(code, verifier);
    assert.equal(h.decodeJwt(tok.json.access_token).payload.preferred_username, 'sam.lee@contoso.test');

    const silent = await h.authorize(stack, { challenge, extra: { prompt: 'none' } });
    assert.equal(silent.params.error, 'login_required');
  });
});

describe('authorization code redemption', () => {
  it('refuses a wrong PKCE verifier, accepts the right one, and only once', async () => {
    const { code, verifier } = await codeFor();
    const wrong = await redeem(code, h.pkce().verifier);
    assertOAuthError(wrong, 400, 'invalid_grant', 501481);
    const ok = await redeem(code, verifier);
    assert.equal(ok.status, 200, ok.text);
    const again = await redeem(code, verifier);
    assertOAuthError(again, 400, 'invalid_grant', 54005);
  });

  it('checks the redirect URI, the client, the verifier form and required parameters', async () => {
    const { code, verifier } = await codeFor();
    assertOAuthError(await redeem(code, verifier, { redirect_uri: 'http://127.0.0.1:1/other' }), 400, 'invalid_grant');
    assertOAuthError(await redeem(code, 'too-short'), 400, 'invalid_request');
    assertOAuthError(await redeem(code, verifier, { client_id: crypto.randomUUID() }), 400, 'unauthorized_client', 700016);
    assertOAuthError(await h.token(stack, { grant_type: 'authorization_code', code, redirect_uri: REDIRECT }), 400, 'invalid_request', 900144);
    assertOAuthError(await redeem('no-such-code', verifier), 400, 'invalid_grant');
    assertOAuthError(await h.token(stack, { grant_type: 'password', username: 'x', password: 'y' }), 400, 'unsupported_grant_type');
    assert.equal((await redeem(code, verifier)).status, 200, 'failed attempts do not use up the code');
  });

  it('expires codes', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { authorizationCodeLifetimeSeconds: 0 } });
    const { code, verifier } = await codeFor();
    await h.sleep(20);
    assertOAuthError(await redeem(code, verifier), 400, 'invalid_grant', 70008);
  });

  it('issues an id token with the identity claims, signed with a published key', async () => {
    const { code, verifier } = await codeFor({ extra: { nonce: 'n-42' } });
    const res = await redeem(code, verifier, { client_info: '1' });
    assert.equal(res.status, 200);
    const body = res.json;
    assert.equal(body.token_type, 'Bearer');
    assert.equal(body.expires_in, 3600);
    for (const k of ['access_token', 'refresh_token', 'id_token', 'client_info']) assert.equal(typeof body[k], 'string', k);
    const { header, payload } = h.decodeJwt(body.id_token);
    assert.equal(header.alg, 'RS256');
    assert.equal(payload.aud, stack.endpoints.clientId);
    assert.equal(payload.tid, stack.endpoints.defaultUser.tenantId);
    assert.equal(payload.oid, stack.endpoints.defaultUser.oid);
    assert.equal(payload.email, 'avery.quinn@contoso.test');
    assert.equal(payload.preferred_username, 'avery.quinn@contoso.test');
    assert.equal(payload.name, 'Avery Quinn');
    assert.equal(payload.given_name, 'Avery');
    assert.equal(payload.nonce, 'n-42');
    assert.equal(payload.iss, `${stack.base}/${payload.tid}/v2.0`);
    assert.ok(payload.exp > Date.now() / 1000);
    assert.equal(await verifiesWithPublishedKey(body.id_token), true);
    assert.deepEqual(JSON.parse(Buffer.from(body.client_info, 'base64url')), { uid: payload.oid, utid: payload.tid });
    const graph = h.decodeJwt(body.access_token).payload;
    assert.equal(graph.aud, '00000003-0000-0000-c000-000000000000');
    assert.match(graph.scp, /\bUser\.Read\b/);
  });

  it('leaves out the claims a user has no value for', async () => {
    await h.admin(stack, 'PATCH', '/users/avery.quinn@contoso.test', { email: null, givenName: null });
    const { code, verifier } = await codeFor({ extra: { login_hint: 'avery.quinn@contoso.test' } });
    const claims = h.decodeJwt((await redeem(code, verifier)).json.id_token).payload;
    assert.equal('email' in claims, false);
    assert.equal('given_name' in claims, false);
    assert.equal(claims.preferred_username, 'avery.quinn@contoso.test');
  });

  it('gives no refresh token without offline_access and no id token without openid', async () => {
    const { code, verifier } = await codeFor({ scope: 'User.Read' });
    const res = await redeem(code, verifier, { scope: 'User.Read' });
    assert.equal(res.status, 200);
    assert.equal(res.json.refresh_token, undefined);
    assert.equal(res.json.id_token, undefined);
    assert.equal(typeof res.json.access_token, 'string');
  });
});

describe('refresh tokens', () => {
  async function signedIn() {
    const { code, verifier } = await codeFor();
    return (await redeem(code, verifier)).json.refresh_token;
  }
  const refresh = (rt, scope) => h.token(stack, { grant_type: 'refresh_token', refresh_token: rt, scope });

  it('yield Graph and Kavo API tokens from one refresh token, repeatedly', async () => {
    const rt = await signedIn();
    const kavo = await refresh(rt, `${kavoScope} offline_access`);
    assert.equal(kavo.status, 200, kavo.text);
    const kc = h.decodeJwt(kavo.json.access_token).payload;
    assert.equal(kc.aud, stack.endpoints.apiApplicationId);
    assert.equal(kc.scp, 'KavoMeetings.Use');
    assert.equal(kc.oid, stack.endpoints.defaultUser.oid);
    assert.match(kavo.json.scope, new RegExp(kavoScope.replace(/[/.]/g, '\\$&')));
    const graph = await refresh(rt, 'openid profile offline_access User.Read');
    assert.equal(graph.status, 200);
    assert.equal(h.decodeJwt(graph.json.access_token).payload.aud, '00000003-0000-0000-c000-000000000000');
    assert.equal(typeof graph.json.id_token, 'string');
    const rotated = await refresh(kavo.json.refresh_token, kavoScope);
    assert.equal(rotated.status, 200, 'the new refresh token works too');
    assert.equal((await refresh(rt, kavoScope)).status, 200, 'and the old one still does');
  });

  it('refuse one token for two resources and scopes nobody defined', async () => {
    const rt = await signedIn();
    assertOAuthError(await refresh(rt, `User.Read ${kavoScope}`), 400, 'invalid_scope', 28000);
    assertOAuthError(await refresh(rt, `api://${stack.endpoints.apiApplicationId}/Admin`), 400, 'invalid_scope', 70011);
  });

  it('stop working when revoked or expired, and when mangled', async () => {
    const rt = await signedIn();
    const revoked = await h.admin(stack, 'POST', '/users/avery.quinn@contoso.test/revoke');
    assert.equal(revoked.status, 200);
    const body = assertOAuthError(await refresh(rt, kavoScope), 400, 'invalid_grant', 50173);
    assert.equal(body.suberror, 'bad_token');
    assert.equal((await refresh(await signedIn(), kavoScope)).status, 200, 'a fresh sign-in works again');

    await h.admin(stack, 'PATCH', '/settings', { identity: { refreshTokenLifetimeSeconds: -1 } });
    assertOAuthError(await refresh(await signedIn(), kavoScope), 400, 'invalid_grant', 700082);

    assertOAuthError(await refresh('not.a.token', kavoScope), 400, 'invalid_grant');
    const { code, verifier } = await codeFor();
    const access = (await redeem(code, verifier)).json.access_token;
    assertOAuthError(await refresh(access, kavoScope), 400, 'invalid_grant');
  });

  it('answer consent_required for the Kavo API while the tenant has not consented', async () => {
    const rt = await signedIn();
    await h.admin(stack, 'PATCH', '/tenants/contoso', { kavoApiConsent: false });
    const body = assertOAuthError(await refresh(rt, kavoScope), 400, 'invalid_grant', 65001);
    assert.equal(body.suberror, 'consent_required');
    assert.equal((await refresh(rt, 'User.Read')).status, 200, 'Graph is unaffected');
    const { challenge } = h.pkce();
    const { params } = await h.authorize(stack, { challenge, scope: `openid offline_access ${kavoScope}` });
    assert.equal(params.error, 'consent_required');
    await h.admin(stack, 'PATCH', '/tenants/contoso', { kavoApiConsent: true });
    assert.equal((await refresh(rt, kavoScope)).status, 200);
  });

  it('are bound to the tenant of a tenant authority', async () => {
    const rt = await signedIn();
    const own = await h.token(stack, { grant_type: 'refresh_token', refresh_token: rt, scope: kavoScope }, stack.endpoints.defaultUser.tenantId);
    assert.equal(own.status, 200, own.text);
    const other = await h.token(stack, { grant_type: 'refresh_token', refresh_token: rt, scope: kavoScope }, '9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b');
    assertOAuthError(other, 400, 'invalid_grant', 50020);
  });
});

describe('device code', () => {
  const start = (scope = SIGN_IN_SCOPE) => h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/devicecode`, {
    form: { client_id: stack.endpoints.clientId, scope },
  });
  const poll = (deviceCode) => h.token(stack, { grant_type: 'urn:ietf:params:oauth:grant-type:device_code', device_code: deviceCode });

  it('hands out codes, says pending once, then signs in the configured user', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { deviceCode: { intervalSeconds: 1 } } });
    const res = await start();
    assert.equal(res.status, 200, res.text);
    const dc = res.json;
    assert.match(dc.user_code, /^[A-Z0-9]{9}$/);
    assert.equal(dc.verification_uri, `${stack.base}/devicelogin`);
    assert.equal(dc.expires_in, 900);
    assert.equal(dc.interval, 1);
    assert.ok(dc.message.includes(dc.user_code) && dc.message.includes(dc.verification_uri));
    assertOAuthError(await poll(dc.device_code), 400, 'authorization_pending', 70016);
    const done = await poll(dc.device_code);
    assert.equal(done.status, 200, done.text);
    assert.equal(h.decodeJwt(done.json.id_token).payload.oid, stack.endpoints.defaultUser.oid);
    assert.equal(typeof done.json.refresh_token, 'string');
    assertOAuthError(await poll(dc.device_code), 400, 'invalid_grant', 54005);
    const state = (await h.admin(stack, 'GET', '/state')).json.identity.deviceCodes.find((d) => d.userCode === dc.user_code);
    assert.equal(state.polls, 3);
  });

  it('waits for a decision when auto-approval is off: approve on the page, or deny', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { deviceCode: { autoApproveAfterPolls: null } } });
    const first = (await start()).json;
    for (let i = 0; i < 3; i++) assertOAuthError(await poll(first.device_code), 400, 'authorization_pending');
    const page = await h.request('GET', first.verification_uri);
    assert.match(page.text, /name="user_code"/);
    const approved = await h.request('POST', `${stack.base}/devicelogin`, {
      form: { user_code: first.user_code.toLowerCase(), user: 'sam.lee@contoso.test', decision: 'approve' },
    });
    assert.equal(approved.status, 200);
    const tok = await poll(first.device_code);
    assert.equal(tok.status, 200);
    assert.equal(h.decodeJwt(tok.json.access_token).payload.preferred_username, 'sam.lee@contoso.test');

    const second = (await start()).json;
    const denied = await h.admin(stack, 'POST', '/identity/device-code', { decision: 'deny' });
    assert.equal(denied.json.userCode, second.user_code, 'the latest pending code is decided');
    assertOAuthError(await poll(second.device_code), 400, 'authorization_declined');
    assert.equal((await h.admin(stack, 'POST', '/identity/device-code', { decision: 'approve', userCode: second.user_code })).status, 409);
    const unknown = await h.request('POST', `${stack.base}/devicelogin`, { form: { user_code: 'NOPE', decision: 'approve' } });
    assert.equal(unknown.status, 400);
  });

  it('expires codes and refuses unknown ones', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { deviceCode: { expiresInSeconds: 0, autoApproveAfterPolls: 0 } } });
    const dc = (await start()).json;
    await h.sleep(20);
    assertOAuthError(await poll(dc.device_code), 400, 'expired_token', 70019);
    assertOAuthError(await poll('unknown'), 400, 'bad_verification_code');
  });

  it('asks for the Kavo API scope directly and checks its request', async () => {
    await h.admin(stack, 'PATCH', '/settings', { identity: { deviceCode: { autoApproveAfterPolls: 0 } } });
    const dc = (await start(`${kavoScope} offline_access`)).json;
    const tok = await poll(dc.device_code);
    assert.equal(tok.status, 200);
    assert.equal(h.decodeJwt(tok.json.access_token).payload.aud, stack.endpoints.apiApplicationId);
    assert.equal(tok.json.id_token, undefined);
    assertOAuthError(await start(''), 400, 'invalid_request', 900144);
    assertOAuthError(await start(`User.Read ${kavoScope}`), 400, 'invalid_scope', 28000);
    const wrongType = await h.request('POST', `${stack.endpoints.authority}/oauth2/v2.0/devicecode`, {
      json: { client_id: stack.endpoints.clientId, scope: SIGN_IN_SCOPE },
    });
    assertOAuthError(wrongType, 400, 'invalid_request', 900144);
  });
});

describe('metadata', () => {
  it('publishes the endpoints of the authority', async () => {
    const res = await h.request('GET', `${stack.endpoints.authority}/v2.0/.well-known/openid-configuration`);
    assert.equal(res.status, 200);
    const meta = res.json;
    assert.equal(meta.authorization_endpoint, `${stack.endpoints.authority}/oauth2/v2.0/authorize`);
    assert.equal(meta.token_endpoint, `${stack.endpoints.authority}/oauth2/v2.0/token`);
    assert.equal(meta.device_authorization_endpoint, `${stack.endpoints.authority}/oauth2/v2.0/devicecode`);
    assert.deepEqual(meta.code_challenge_methods_supported, ['S256']);
    const keys = await h.request('GET', meta.jwks_uri);
    assert.equal(keys.json.keys[0].kty, 'RSA');
  });
});
