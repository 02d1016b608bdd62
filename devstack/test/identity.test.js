'use strict';
// The identity endpoint's checks of a code's PKCE verifier; the happy paths (loopback
// redirect, refresh, device code, revocation) run through the client against this stack.

const { it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');

const h = require('../test-support/harness');

let stack;

before(async () => {
  stack = await h.startStack();
});
after(() => stack.dispose());
beforeEach(() => h.reset(stack));

function assertOAuthError(res, status, error, code) {
  assert.equal(res.status, status, res.text);
  assert.equal(res.json.error, error, res.text);
  if (code !== undefined) assert.match(res.json.error_description, new RegExp(`^AADSTS${code}:`));
}

it('redeems a code only with its PKCE verifier and redirect URI, and once', async () => {
  const redeem = (code, verifier, extra = {}) =>
    h.token(stack, { grant_type: 'authorization_code', code, redirect_uri: h.REDIRECT, code_verifier: verifier, scope: h.SIGN_IN_SCOPE, ...extra });
  const { verifier, challenge } = h.pkce();
  const { code } = (await h.authorize(stack, { challenge })).params;
  assertOAuthError(await redeem(code, h.pkce().verifier), 400, 'invalid_grant', 501481);
  assertOAuthError(await redeem(code, verifier, { redirect_uri: 'http://127.0.0.1:1/other' }), 400, 'invalid_grant');
  assert.equal((await redeem(code, verifier)).status, 200, 'failed attempts do not use up the code');
  assertOAuthError(await redeem(code, verifier), 400, 'invalid_grant', 54005);
});
