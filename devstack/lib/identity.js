'use strict';
// An OAuth 2.0 / OpenID Connect endpoint shaped like the Microsoft identity
// platform's v2.0 endpoints, for public desktop clients:
//   {authority}/oauth2/v2.0/authorize   authorization code with PKCE (S256) to a loopback redirect
//   {authority}/oauth2/v2.0/token       authorization_code, refresh_token and device_code grants
//   {authority}/oauth2/v2.0/devicecode  device authorization (user code + verification page)
// where {authority} is "organizations", "common" or a tenant id. Tokens are
// RS256 JWTs; one refresh token yields access tokens for Microsoft Graph and
// for the Kavo API. Errors carry the platform's shape (error,
// error_description starting "AADSTSnnnn:", error_codes, ...).

const crypto = require('node:crypto');
const { HttpError, readForm, errorBody } = require('./http');
const { TokenError } = require('./jwt');

const GRAPH_APP_ID = '00000003-0000-0000-c000-000000000000';
const KAVO_SCOPE_NAME = 'KavoMeetings.Use';
const OIDC_SCOPES = new Set(['openid', 'profile', 'email', 'offline_access']);
const AUTHORIZE_OUTCOMES = ['approve', 'cancel', 'consent_required', 'interaction_required', 'login_required', 'server_error'];
const DEVICE_DECISIONS = ['approve', 'deny', 'expire'];
const USER_CODE_ALPHABET = 'BCDFGHJKLMNPQRSTVWXZ23456789';
const VERIFIER_RE = /^[A-Za-z0-9\-._~]{43,128}$/;
const CHALLENGE_RE = /^[A-Za-z0-9_-]{43}$/;

class OAuthFailure extends Error {
  constructor(error, code, description, { status = 400, subError, extra } = {}) {
    super(`AADSTS${code}: ${description}`);
    this.error = error;
    this.code = code;
    this.description = description;
    this.status = status;
    this.subError = subError;
    this.extra = extra;
  }

  body() {
    const now = new Date();
    const body = {
      error: this.error,
      error_description: `AADSTS${this.code}: ${this.description}`,
      error_codes: [this.code],
      timestamp: now.toISOString().replace('T', ' ').replace(/\.\d{3}Z$/, 'Z'),
      trace_id: crypto.randomUUID(),
      correlation_id: crypto.randomUUID(),
    };
    if (this.subError) body.suberror = this.subError;
    return { ...body, ...(this.extra || {}) };
  }

  toHttpError() {
    return new HttpError(this.status, this.body());
  }
}

const missing = (name) => new OAuthFailure('invalid_request', 900144,
  `The request body must contain the following parameter: '${name}'.`);

function randomToken(bytes = 32) {
  return crypto.randomBytes(bytes).toString('base64url');
}

function userCode() {
  const bytes = crypto.randomBytes(9);
  let code = '';
  for (const b of bytes) code += USER_CODE_ALPHABET[b % USER_CODE_ALPHABET.length];
  return code;
}

function s256(verifier) {
  return crypto.createHash('sha256').update(verifier, 'ascii').digest('base64url');
}

function escapeHtml(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

// RFC 8252 loopback redirects (any port, any path) and the app's own scheme.
function redirectAllowed(uri) {
  if (uri === 'msauth.brindle.meetings.desktop://auth') return true;
  let u;
  try {
    u = new URL(uri);
  } catch {
    return false;
  }
  return u.protocol === 'http:' && ['127.0.0.1', 'localhost', '[::1]'].includes(u.hostname)
    && !u.username && !u.password && !u.hash;
}

function withQuery(uri, params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== undefined && v !== null) q.set(k, v);
  return uri + (uri.includes('?') ? '&' : '?') + q.toString();
}

function nowSeconds() {
  return Math.floor(Date.now() / 1000);
}

class IdentityProvider {
  constructor(stack) {
    this.stack = stack;
    this.codes = new Map();
    this.deviceCodes = new Map();
    this.outcomes = [];
  }

  get cfg() {
    return this.stack.config;
  }

  get settings() {
    return this.stack.settings.identity;
  }

  kavoScope() {
    return `api://${this.cfg.apiApplicationId}/${KAVO_SCOPE_NAME}`;
  }

  issuer(tid) {
    return `${this.stack.baseURL}/${tid}/v2.0`;
  }

  reset() {
    this.outcomes = [];
  }

  // --- scopes -------------------------------------------------------------

  // Splits a scope string into OpenID scopes and resource scopes grouped by
  // resource ("graph", "kavo") in order of first appearance.
  parseScopes(scopeText) {
    const list = String(scopeText || '').split(/\s+/).filter(Boolean);
    const oidc = new Set();
    const resources = [];
    const add = (resource, scope) => {
      let entry = resources.find((r) => r.resource === resource);
      if (!entry) resources.push(entry = { resource, scopes: [] });
      if (!entry.scopes.includes(scope)) entry.scopes.push(scope);
    };
    const kavoPrefix = `api://${this.cfg.apiApplicationId}/`.toLowerCase();
    for (const s of list) {
      const lower = s.toLowerCase();
      if (OIDC_SCOPES.has(lower)) oidc.add(lower);
      else if (lower === 'user.read' || lower === 'https://graph.microsoft.com/user.read') add('graph', 'User.Read');
      else if (lower === 'https://graph.microsoft.com/.default') add('graph', 'User.Read');
      else if (lower === kavoPrefix + KAVO_SCOPE_NAME.toLowerCase() || lower === `${kavoPrefix}.default`) add('kavo', this.kavoScope());
      else {
        throw new OAuthFailure('invalid_scope', 70011,
          `The provided value for the input parameter 'scope' is not valid. The scope '${s}' does not exist.`);
      }
    }
    return { list, oidc, resources };
  }

  // The single resource a token request is for.
  tokenResource(parsed, fallback) {
    if (parsed.resources.length > 1) {
      throw new OAuthFailure('invalid_scope', 28000,
        'Provided value for the input parameter scope is not valid because it contains more than one resource.');
    }
    if (parsed.resources.length === 1) return parsed.resources[0];
    if (fallback && fallback.resources.length) return fallback.resources[0];
    // Only OpenID scopes: the platform answers with a Graph token.
    return { resource: 'graph', scopes: ['User.Read'] };
  }

  checkConsent(user, resources) {
    const tenant = this.stack.tenantById(user.tenantId);
    if (resources.some((r) => r.resource === 'kavo') && !tenant.kavoApiConsent) {
      throw new OAuthFailure('invalid_grant', 65001,
        `The user or administrator has not consented to use the application with ID '${this.cfg.clientId}'. `
        + `Send an interactive authorization request for this user and resource.`,
        { subError: 'consent_required' });
    }
  }

  // --- token minting ------------------------------------------------------

  mint(user, resource, { oidc = new Set(), refresh = false, nonce, clientInfo = false, accessLifetime } = {}) {
    const iat = nowSeconds();
    const lifetime = accessLifetime ?? this.settings.accessTokenLifetimeSeconds;
    const tid = user.tenantId;
    const sub = crypto.createHash('sha256').update(`${user.oid}:${this.cfg.clientId}`).digest('base64url').slice(0, 43);
    const common = { iss: this.issuer(tid), iat, nbf: iat, tid, oid: user.oid, ver: '2.0' };
    const access = this.stack.signer.sign({
      aud: resource.resource === 'kavo' ? this.cfg.apiApplicationId : GRAPH_APP_ID,
      ...common,
      exp: iat + lifetime,
      sub,
      azp: this.cfg.clientId,
      azpacr: '0',
      scp: resource.resource === 'kavo' ? KAVO_SCOPE_NAME : ['User.Read', ...[...oidc].filter((s) => s !== 'offline_access')].join(' '),
      name: user.name,
      preferred_username: user.preferredUsername,
      uti: randomToken(16),
    });
    const scopeList = [...resource.scopes, ...[...oidc].filter((s) => s !== 'offline_access')];
    if (refresh) scopeList.push('offline_access');
    const out = {
      token_type: 'Bearer',
      scope: scopeList.join(' '),
      expires_in: lifetime,
      ext_expires_in: lifetime,
      access_token: access,
    };
    if (refresh) {
      out.refresh_token = this.stack.signer.sign({
        token_use: 'refresh',
        iss: this.issuer(tid),
        tid,
        oid: user.oid,
        azp: this.cfg.clientId,
        gen: this.stack.store.generation(user.oid),
        iat,
        exp: iat + this.settings.refreshTokenLifetimeSeconds,
        jti: randomToken(16),
      });
    }
    if (oidc.has('openid')) {
      const id = { aud: this.cfg.clientId, ...common, exp: iat + 3600, sub, name: user.name, preferred_username: user.preferredUsername };
      if (user.email) id.email = user.email;
      if (user.givenName) id.given_name = user.givenName;
      if (nonce) id.nonce = nonce;
      out.id_token = this.stack.signer.sign(id);
    }
    if (clientInfo) {
      out.client_info = Buffer.from(JSON.stringify({ uid: user.oid, utid: tid })).toString('base64url');
    }
    return out;
  }

  // --- bearer check for the Kavo API -------------------------------------

  verifyKavoBearer(header, tenant) {
    const deny = (reason) => new HttpError(401, errorBody('invalid_token', reason), {
      headers: { 'WWW-Authenticate': `Bearer error="invalid_token", error_description="${reason.replace(/"/g, "'")}"` },
    });
    if (!header) {
      throw new HttpError(401, errorBody('not_authenticated', 'Not authenticated.'), { headers: { 'WWW-Authenticate': 'Bearer' } });
    }
    const m = /^Bearer +([^\s]+) *$/i.exec(header);
    if (!m) throw deny('Authorization header is not a bearer token.');
    let claims;
    try {
      claims = this.stack.signer.verify(m[1]);
    } catch (err) {
      if (err instanceof TokenError) throw deny(`Token rejected: ${err.message}.`);
      throw err;
    }
    if (claims.token_use !== undefined) throw deny('Token rejected: not an access token.');
    if (claims.aud !== this.cfg.apiApplicationId) throw deny('Token rejected: audience is not the Kavo API.');
    if (typeof claims.scp !== 'string' || !claims.scp.split(' ').includes(KAVO_SCOPE_NAME)) {
      throw deny(`Token rejected: scope ${KAVO_SCOPE_NAME} missing.`);
    }
    if (typeof claims.tid !== 'string' || claims.iss !== this.issuer(claims.tid)) throw deny('Token rejected: unknown issuer.');
    const now = nowSeconds();
    if (typeof claims.exp !== 'number' || claims.exp <= now) throw deny('Token rejected: expired.');
    if (typeof claims.nbf === 'number' && claims.nbf > now + 300) throw deny('Token rejected: not yet valid.');
    if (claims.tid !== tenant.tenantId) throw deny('Token rejected: issued for another tenant.');
    const user = this.stack.userByOid(claims.oid);
    if (!user || user.tenantId !== tenant.tenantId) throw deny('Token rejected: unknown user.');
    return { user, claims };
  }

  // --- authority ----------------------------------------------------------

  authorityTenant(authority) {
    const a = authority.toLowerCase();
    if (a === 'organizations' || a === 'common') return null;
    const tenant = this.stack.tenantById(a);
    if (!tenant) {
      throw new OAuthFailure('invalid_tenant', 90002, `Tenant '${authority}' not found. Check to make sure you have the correct tenant ID.`);
    }
    return tenant;
  }

  checkUserInAuthority(user, authorityTenant) {
    if (authorityTenant && authorityTenant.tenantId !== user.tenantId) {
      throw new OAuthFailure('invalid_grant', 50020,
        `User account '${user.preferredUsername}' does not exist in tenant '${authorityTenant.clientName}'.`);
    }
  }

  checkClient(clientId) {
    if (!clientId) throw missing('client_id');
    if (clientId !== this.cfg.clientId) {
      throw new OAuthFailure('unauthorized_client', 700016,
        `Application with identifier '${clientId}' was not found in the directory.`);
    }
  }

  // --- authorize ----------------------------------------------------------

  async authorize(ctx) {
    return this.handleAuthorize(ctx, Object.fromEntries(ctx.url.searchParams), null);
  }

  // The sign-in page posts the person's choice back to the authorize URL.
  async authorizeDecision(ctx) {
    const form = await readForm(ctx.req, this.stack.config.http.maxBodyBytes, (type) => new HttpError(415,
      errorBody('unsupported_media_type', `Expected application/x-www-form-urlencoded, got ${type ? `"${type}"` : 'none'}.`)));
    const decision = form.kavo_decision;
    if (decision !== 'approve' && decision !== 'cancel') {
      throw new HttpError(400, errorBody('invalid_request', 'kavo_decision must be "approve" or "cancel".'));
    }
    return this.handleAuthorize(ctx, form, { decision, user: form.kavo_user });
  }

  handleAuthorize(ctx, p, decision) {
    // Until the client and redirect URI are known good, errors are shown, not redirected.
    let authorityTenant;
    try {
      authorityTenant = this.authorityTenant(ctx.params.authority);
      this.checkClient(p.client_id);
      if (!p.redirect_uri) throw missing('redirect_uri');
      if (!redirectAllowed(p.redirect_uri)) {
        throw new OAuthFailure('invalid_request', 50011,
          `The redirect URI '${p.redirect_uri}' specified in the request does not match the redirect URIs configured for the application '${this.cfg.clientId}'.`);
      }
    } catch (err) {
      if (err instanceof OAuthFailure) throw err.toHttpError();
      throw err;
    }
    const redirect = (params) => ({
      status: 302,
      headers: { Location: withQuery(p.redirect_uri, { ...params, state: p.state }) },
    });
    const redirectError = (failure, extra = {}) => redirect({
      error: failure.error,
      error_description: `AADSTS${failure.code}: ${failure.description}`,
      ...extra,
    });
    let parsed;
    try {
      if (p.response_type !== 'code') {
        throw new OAuthFailure('unsupported_response_type', 900144, "The provided value for the input parameter 'response_type' is not allowed for this request. Expected value: 'code'.");
      }
      if (!p.scope) throw missing('scope');
      parsed = this.parseScopes(p.scope);
      if (!p.code_challenge) {
        throw new OAuthFailure('invalid_request', 9002325, 'Proof Key for Code Exchange is required for this client: code_challenge missing.');
      }
      if (p.code_challenge_method !== 'S256') {
        throw new OAuthFailure('invalid_request', 50148, "The code_challenge_method must be 'S256'.");
      }
      if (!CHALLENGE_RE.test(p.code_challenge)) {
        throw new OAuthFailure('invalid_request', 501491, 'Invalid size of Code_Challenge parameter.');
      }
    } catch (err) {
      if (err instanceof OAuthFailure) return redirectError(err);
      throw err;
    }

    let outcome;
    let chosenUser;
    if (decision) {
      outcome = decision.decision;
      chosenUser = decision.user;
    } else {
      const queued = this.outcomes[0];
      if (queued) {
        queued.remaining--;
        if (queued.remaining <= 0) this.outcomes.shift();
        outcome = queued.outcome;
        chosenUser = queued.user;
      } else if (this.settings.authorize === 'page') {
        if (p.prompt === 'none') outcome = 'login_required';
        else return { status: 200, html: this.signInPage(ctx, p, parsed) };
      } else {
        outcome = 'approve';
      }
    }

    switch (outcome) {
      case 'cancel':
        return redirect({ error: 'access_denied', error_subcode: 'cancel', error_description: 'AADSTS65004: User declined to consent to access the app.' });
      case 'consent_required':
        return redirectError(new OAuthFailure('consent_required', 65001,
          `The user or administrator has not consented to use the application with ID '${this.cfg.clientId}'.`));
      case 'interaction_required':
        return redirectError(new OAuthFailure('interaction_required', 50076,
          'Due to a configuration change made by your administrator, or because you moved to a new location, you must use multi-factor authentication.'));
      case 'login_required':
        return redirectError(new OAuthFailure('login_required', 50058, 'A silent sign-in request was sent but no user is signed in.'));
      case 'server_error':
        return redirectError(new OAuthFailure('server_error', 50000, 'There was an error issuing a token or an issue with our sign-in service.'));
      default:
        break;
    }

    const hint = chosenUser || p.login_hint;
    let user = hint ? this.stack.findUser(hint) : null;
    if (!user && chosenUser) {
      return redirectError(new OAuthFailure('invalid_request', 50034, `The user account ${chosenUser} does not exist.`));
    }
    if (!user) user = this.stack.findUser(this.settings.defaultUser);
    try {
      this.checkUserInAuthority(user, authorityTenant);
      this.checkConsentForAuthorize(user, parsed);
    } catch (err) {
      if (err instanceof OAuthFailure) return redirectError(err);
      throw err;
    }

    this.sweep();
    const code = randomToken(48);
    this.codes.set(code, {
      clientId: p.client_id,
      redirectUri: p.redirect_uri,
      challenge: p.code_challenge,
      scope: p.scope,
      oid: user.oid,
      nonce: p.nonce,
      authority: ctx.params.authority.toLowerCase(),
      expiresAt: Date.now() + this.settings.authorizationCodeLifetimeSeconds * 1000,
      redeemed: false,
    });
    return redirect({ code, session_state: crypto.randomUUID() });
  }

  checkConsentForAuthorize(user, parsed) {
    const tenant = this.stack.tenantById(user.tenantId);
    if (parsed.resources.some((r) => r.resource === 'kavo') && !tenant.kavoApiConsent) {
      throw new OAuthFailure('consent_required', 65001,
        `The user or administrator has not consented to use the application with ID '${this.cfg.clientId}'. An administrator of ${tenant.clientName} must grant consent.`);
    }
  }

  signInPage(ctx, p, parsed) {
    const hidden = Object.entries(p)
      .map(([k, v]) => `<input type="hidden" name="${escapeHtml(k)}" value="${escapeHtml(v)}">`).join('');
    const users = this.stack.users.map((u, i) => `<label><input type="radio" name="kavo_user" value="${escapeHtml(u.preferredUsername)}"${
      u.preferredUsername.toLowerCase() === (p.login_hint || this.settings.defaultUser).toLowerCase() || (i === 0 && !p.login_hint) ? ' checked' : ''}> ${
      escapeHtml(u.name)} &lt;${escapeHtml(u.preferredUsername)}&gt; (${escapeHtml(this.stack.tenantById(u.tenantId).clientName)})</label><br>`).join('');
    const scopes = [...parsed.resources.flatMap((r) => r.scopes), ...parsed.oidc].map(escapeHtml).join(', ');
    return `<!doctype html><html><head><meta charset="utf-8"><title>Sign in - Kavo dev stack</title></head><body>
<h1>Sign in</h1><p>The application asks for: ${scopes}</p>
<form method="post" action="${escapeHtml(ctx.url.pathname)}">${hidden}${users}
<p><button type="submit" name="kavo_decision" value="approve">Sign in</button>
<button type="submit" name="kavo_decision" value="cancel">Cancel</button></p></form></body></html>`;
  }

  sweep() {
    const now = Date.now();
    for (const [k, v] of this.codes) if (v.expiresAt < now - 60000 || (v.redeemed && v.expiresAt < now)) this.codes.delete(k);
    for (const [k, v] of this.deviceCodes) if (v.expiresAt < now - 3600000) this.deviceCodes.delete(k);
  }

  // --- token --------------------------------------------------------------

  async token(ctx) {
    try {
      const form = await readForm(ctx.req, this.stack.config.http.maxBodyBytes, (type) => new OAuthFailure('invalid_request', 900144,
        `The request body must be application/x-www-form-urlencoded (got ${type ? `'${type}'` : 'none'}).`));
      const authorityTenant = this.authorityTenant(ctx.params.authority);
      this.checkClient(form.client_id);
      if (!form.grant_type) throw missing('grant_type');
      switch (form.grant_type) {
        case 'authorization_code': return { status: 200, json: this.redeemCode(form, authorityTenant) };
        case 'refresh_token': return { status: 200, json: this.redeemRefresh(form, authorityTenant) };
        case 'urn:ietf:params:oauth:grant-type:device_code': return { status: 200, json: this.redeemDeviceCode(form, authorityTenant) };
        default:
          throw new OAuthFailure('unsupported_grant_type', 70003, `The app requested an unsupported grant type '${form.grant_type}'.`);
      }
    } catch (err) {
      if (err instanceof OAuthFailure) throw err.toHttpError();
      throw err;
    }
  }

  redeemCode(form, authorityTenant) {
    for (const k of ['code', 'redirect_uri', 'code_verifier']) if (!form[k]) throw missing(k);
    const entry = this.codes.get(form.code);
    if (!entry) throw new OAuthFailure('invalid_grant', 9002313, 'Invalid request. Request is malformed or invalid: the authorization code is not known.');
    if (entry.redeemed) throw new OAuthFailure('invalid_grant', 54005, 'OAuth2 Authorization code was already redeemed, please retry with a new valid code or use an existing refresh token.');
    if (Date.now() > entry.expiresAt) throw new OAuthFailure('invalid_grant', 70008, 'The provided authorization code or refresh token has expired due to inactivity.');
    if (entry.clientId !== form.client_id) throw new OAuthFailure('invalid_grant', 70000, 'The authorization code was issued to another client.');
    if (entry.redirectUri !== form.redirect_uri) {
      throw new OAuthFailure('invalid_grant', 500112, "The reply address does not match the one used in the authorization request ('redirect_uri').");
    }
    if (!VERIFIER_RE.test(form.code_verifier)) {
      throw new OAuthFailure('invalid_request', 501491, 'Invalid size of Code_Verifier parameter: 43 to 128 characters of [A-Za-z0-9-._~].');
    }
    if (s256(form.code_verifier) !== entry.challenge) {
      throw new OAuthFailure('invalid_grant', 501481, 'The Code_Verifier does not match the code_challenge supplied in the authorization request.');
    }
    const user = this.stack.userByOid(entry.oid);
    if (!user) throw new OAuthFailure('invalid_grant', 50034, 'The user account does not exist.');
    this.checkUserInAuthority(user, authorityTenant);
    const granted = this.parseScopes(entry.scope);
    const requested = form.scope ? this.parseScopes(form.scope) : granted;
    const resource = this.tokenResource(requested, granted);
    this.checkConsent(user, [resource]);
    entry.redeemed = true;
    const oidc = new Set([...granted.oidc, ...requested.oidc]);
    return this.mint(user, resource, {
      oidc,
      refresh: oidc.has('offline_access'),
      nonce: entry.nonce,
      clientInfo: form.client_info === '1',
    });
  }

  redeemRefresh(form, authorityTenant) {
    if (!form.refresh_token) throw missing('refresh_token');
    let claims;
    try {
      claims = this.stack.signer.verify(form.refresh_token);
    } catch (err) {
      if (err instanceof TokenError) throw new OAuthFailure('invalid_grant', 9002313, 'Invalid request. Request is malformed or invalid: the refresh token is malformed.');
      throw err;
    }
    if (claims.token_use !== 'refresh') throw new OAuthFailure('invalid_grant', 9002313, 'Invalid request. Request is malformed or invalid: not a refresh token.');
    if (claims.azp !== form.client_id) throw new OAuthFailure('invalid_grant', 700005, 'The refresh token was issued to another client.');
    if (typeof claims.exp !== 'number' || claims.exp <= nowSeconds()) {
      throw new OAuthFailure('invalid_grant', 700082, 'The refresh token has expired due to inactivity.');
    }
    const user = this.stack.userByOid(claims.oid);
    if (!user) throw new OAuthFailure('invalid_grant', 50034, 'The user account does not exist.');
    if (claims.gen !== this.stack.store.generation(user.oid)) {
      throw new OAuthFailure('invalid_grant', 50173, 'The provided grant has expired due to it being revoked, a fresh auth token is needed.',
        { subError: 'bad_token' });
    }
    this.checkUserInAuthority(user, authorityTenant);
    const requested = this.parseScopes(form.scope || 'openid profile offline_access User.Read');
    const resource = this.tokenResource(requested);
    this.checkConsent(user, [resource]);
    return this.mint(user, resource, {
      oidc: requested.oidc,
      refresh: true,
      clientInfo: form.client_info === '1',
    });
  }

  // --- device code --------------------------------------------------------

  async devicecode(ctx) {
    try {
      const form = await readForm(ctx.req, this.stack.config.http.maxBodyBytes, (type) => new OAuthFailure('invalid_request', 900144,
        `The request body must be application/x-www-form-urlencoded (got ${type ? `'${type}'` : 'none'}).`));
      const authorityTenant = this.authorityTenant(ctx.params.authority);
      this.checkClient(form.client_id);
      if (!form.scope) throw missing('scope');
      const parsed = this.parseScopes(form.scope);
      this.tokenResource(parsed);
      this.sweep();
      const dc = this.settings.deviceCode;
      const entry = {
        deviceCode: randomToken(48),
        userCode: userCode(),
        clientId: form.client_id,
        scope: form.scope,
        authorityTenant: authorityTenant ? authorityTenant.tenantId : null,
        createdAt: Date.now(),
        expiresAt: Date.now() + dc.expiresInSeconds * 1000,
        interval: dc.intervalSeconds,
        autoApproveAfterPolls: dc.autoApproveAfterPolls,
        polls: 0,
        lastPollAt: null,
        state: 'pending',
        oid: null,
      };
      this.deviceCodes.set(entry.deviceCode, entry);
      const verificationUri = `${this.stack.baseURL}/devicelogin`;
      return {
        status: 200,
        json: {
          user_code: entry.userCode,
          device_code: entry.deviceCode,
          verification_uri: verificationUri,
          expires_in: dc.expiresInSeconds,
          interval: dc.intervalSeconds,
          message: `To sign in, use a web browser to open the page ${verificationUri} and enter the code ${entry.userCode} to authenticate.`,
        },
      };
    } catch (err) {
      if (err instanceof OAuthFailure) throw err.toHttpError();
      throw err;
    }
  }

  redeemDeviceCode(form, authorityTenant) {
    if (!form.device_code) throw missing('device_code');
    const entry = this.deviceCodes.get(form.device_code);
    if (!entry || entry.clientId !== form.client_id) {
      throw new OAuthFailure('bad_verification_code', 70000, 'The device code is not known.');
    }
    entry.polls++;
    entry.lastPollAt = Date.now();
    if (entry.state === 'redeemed') {
      throw new OAuthFailure('invalid_grant', 54005, 'The device code was already redeemed.');
    }
    if (entry.state === 'expired' || Date.now() > entry.expiresAt) {
      entry.state = 'expired';
      throw new OAuthFailure('expired_token', 70019, 'Verification code expired.');
    }
    if (entry.state === 'denied') {
      throw new OAuthFailure('authorization_declined', 70000, 'The user declined the sign-in request.');
    }
    if (entry.state === 'pending' && entry.autoApproveAfterPolls !== null && entry.polls > entry.autoApproveAfterPolls) {
      entry.state = 'approved';
      entry.oid = this.stack.findUser(this.settings.defaultUser).oid;
    }
    if (entry.state === 'pending') {
      throw new OAuthFailure('authorization_pending', 70016, 'OAuth 2.0 device flow error. Authorization is pending. Continue polling.');
    }
    const user = this.stack.userByOid(entry.oid);
    if (!user) throw new OAuthFailure('invalid_grant', 50034, 'The user account does not exist.');
    this.checkUserInAuthority(user, authorityTenant);
    const parsed = this.parseScopes(entry.scope);
    const resource = this.tokenResource(parsed);
    this.checkConsent(user, [resource]);
    entry.state = 'redeemed';
    return this.mint(user, resource, {
      oidc: parsed.oidc,
      refresh: parsed.oidc.has('offline_access'),
      clientInfo: form.client_info === '1',
    });
  }

  findDeviceCode(userCodeText) {
    const wanted = String(userCodeText || '').replace(/[\s-]/g, '').toUpperCase();
    for (const e of this.deviceCodes.values()) if (e.userCode === wanted) return e;
    return null;
  }

  latestPendingDeviceCode() {
    let latest = null;
    for (const e of this.deviceCodes.values()) {
      if (e.state === 'pending' && Date.now() <= e.expiresAt && (!latest || e.createdAt >= latest.createdAt)) latest = e;
    }
    return latest;
  }

  // Applies a person's (or a test's) decision to a pending device code.
  decideDevice(entry, decision, userName) {
    if (entry.state !== 'pending' || Date.now() > entry.expiresAt) {
      return { ok: false, reason: `device code is ${entry.state === 'pending' ? 'expired' : entry.state}` };
    }
    if (decision === 'deny') entry.state = 'denied';
    else if (decision === 'expire') entry.state = 'expired';
    else {
      const user = this.stack.findUser(userName || this.settings.defaultUser);
      if (!user) return { ok: false, reason: `no user ${userName}` };
      entry.state = 'approved';
      entry.oid = user.oid;
    }
    return { ok: true };
  }

  deviceLoginPage() {
    const options = this.stack.users.map((u) => `<option value="${escapeHtml(u.preferredUsername)}"${
      u.preferredUsername.toLowerCase() === this.settings.defaultUser.toLowerCase() ? ' selected' : ''}>${escapeHtml(u.name)} &lt;${escapeHtml(u.preferredUsername)}&gt;</option>`).join('');
    return {
      status: 200,
      html: `<!doctype html><html><head><meta charset="utf-8"><title>Device sign-in - Kavo dev stack</title></head><body>
<h1>Enter code</h1><form method="post" action="/devicelogin">
<p><input name="user_code" autofocus autocomplete="off"></p><p><select name="user">${options}</select></p>
<p><button type="submit" name="decision" value="approve">Sign in</button>
<button type="submit" name="decision" value="deny">Deny</button></p></form></body></html>`,
    };
  }

  async deviceLoginSubmit(ctx) {
    const form = await readForm(ctx.req, this.stack.config.http.maxBodyBytes, (type) => new HttpError(415,
      errorBody('unsupported_media_type', `Expected application/x-www-form-urlencoded, got ${type ? `"${type}"` : 'none'}.`)));
    const page = (status, title, text) => ({
      status,
      html: `<!doctype html><html><head><meta charset="utf-8"><title>${escapeHtml(title)}</title></head><body><h1>${escapeHtml(title)}</h1><p>${escapeHtml(text)}</p></body></html>`,
    });
    const decision = form.decision || 'approve';
    if (decision !== 'approve' && decision !== 'deny') return page(400, 'Unknown decision', 'decision must be approve or deny.');
    const entry = this.findDeviceCode(form.user_code);
    if (!entry) return page(400, 'Code not recognised', 'That code is not known. Check it and try again.');
    const result = this.decideDevice(entry, decision, form.user);
    if (!result.ok) return page(400, 'Code not usable', result.reason);
    return decision === 'deny'
      ? page(200, 'Sign-in declined', 'You declined the sign-in. You can close this window.')
      : page(200, 'Signed in', 'You have signed in to the application on your device. You can close this window.');
  }

  // --- discovery documents ------------------------------------------------

  openidConfiguration(ctx) {
    const base = `${this.stack.baseURL}/${ctx.params.authority}`;
    const tenant = this.authorityTenantOrHttp(ctx.params.authority);
    return {
      status: 200,
      json: {
        issuer: `${this.stack.baseURL}/${tenant ? tenant.tenantId : '{tenantid}'}/v2.0`,
        authorization_endpoint: `${base}/oauth2/v2.0/authorize`,
        token_endpoint: `${base}/oauth2/v2.0/token`,
        device_authorization_endpoint: `${base}/oauth2/v2.0/devicecode`,
        jwks_uri: `${base}/discovery/v2.0/keys`,
        response_types_supported: ['code'],
        response_modes_supported: ['query'],
        grant_types_supported: ['authorization_code', 'refresh_token', 'urn:ietf:params:oauth:grant-type:device_code'],
        code_challenge_methods_supported: ['S256'],
        scopes_supported: ['openid', 'profile', 'email', 'offline_access'],
        subject_types_supported: ['pairwise'],
        id_token_signing_alg_values_supported: ['RS256'],
        token_endpoint_auth_methods_supported: ['none'],
        claims_supported: ['sub', 'iss', 'aud', 'exp', 'iat', 'nbf', 'tid', 'oid', 'name', 'given_name', 'email', 'preferred_username', 'nonce'],
      },
    };
  }

  authorityTenantOrHttp(authority) {
    try {
      return this.authorityTenant(authority);
    } catch (err) {
      if (err instanceof OAuthFailure) throw err.toHttpError();
      throw err;
    }
  }

  keys(ctx) {
    this.authorityTenantOrHttp(ctx.params.authority);
    return { status: 200, json: { keys: [this.stack.signer.jwk] } };
  }

  // --- admin --------------------------------------------------------------

  queueOutcome(wanted) {
    const outcome = wanted.outcome;
    if (!AUTHORIZE_OUTCOMES.includes(outcome)) {
      throw new HttpError(400, errorBody('invalid_outcome', `"outcome" must be one of ${AUTHORIZE_OUTCOMES.join(', ')}.`));
    }
    const times = wanted.times === undefined ? 1 : wanted.times;
    if (!Number.isInteger(times) || times < 1) throw new HttpError(400, errorBody('invalid_times', '"times" must be a positive integer.'));
    if (wanted.user !== undefined && !this.stack.findUser(wanted.user)) {
      throw new HttpError(400, errorBody('unknown_user', `No user "${wanted.user}".`));
    }
    const entry = { outcome, user: wanted.user || null, remaining: times };
    this.outcomes.push(entry);
    return entry;
  }

  describe() {
    return {
      authorizeOutcomes: this.outcomes.map((o) => ({ ...o })),
      deviceCodes: [...this.deviceCodes.values()].map((e) => ({
        userCode: e.userCode,
        state: e.state === 'pending' && Date.now() > e.expiresAt ? 'expired' : e.state,
        polls: e.polls,
        interval: e.interval,
        createdAt: new Date(e.createdAt).toISOString(),
        lastPollAt: e.lastPollAt ? new Date(e.lastPollAt).toISOString() : null,
        expiresAt: new Date(e.expiresAt).toISOString(),
        user: e.oid ? this.stack.userByOid(e.oid)?.preferredUsername ?? null : null,
      })),
      pendingAuthorizationCodes: [...this.codes.values()].filter((c) => !c.redeemed && c.expiresAt > Date.now()).length,
    };
  }
}

module.exports = {
  IdentityProvider,
  OAuthFailure,
  GRAPH_APP_ID,
  KAVO_SCOPE_NAME,
  AUTHORIZE_OUTCOMES,
  DEVICE_DECISIONS,
  redirectAllowed,
  s256,
};
