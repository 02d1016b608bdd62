'use strict';
// The identity endpoint's refusals, which the client's sign-in tests meet only in part: the
// happy paths (loopback redirect, refresh, device code, revocation, consent) run through the
// client against this stack.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

const { REDIRECT, SIGN_IN_SCOPE } = h;

let stack;

before(async () => {
  stack = await h.startStack();
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
});
