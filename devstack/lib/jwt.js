'use strict';
// RS256 JSON Web Tokens signed with the stack's own key. The key is kept in
// the data folder so that tokens stay valid across restarts of the stack.

const crypto = require('node:crypto');
const fs = require('node:fs');

class TokenError extends Error {}

function b64json(obj) {
  return Buffer.from(JSON.stringify(obj), 'utf8').toString('base64url');
}

function parseSegment(seg, what) {
  if (!/^[A-Za-z0-9_-]+$/.test(seg)) throw new TokenError(`${what} is not base64url`);
  let obj;
  try {
    obj = JSON.parse(Buffer.from(seg, 'base64url').toString('utf8'));
  } catch {
    throw new TokenError(`${what} is not JSON`);
  }
  if (obj === null || typeof obj !== 'object' || Array.isArray(obj)) throw new TokenError(`${what} is not an object`);
  return obj;
}

class Signer {
  constructor(privateKeyPem) {
    this.privateKey = crypto.createPrivateKey(privateKeyPem);
    this.publicKey = crypto.createPublicKey(this.privateKey);
    const jwk = this.publicKey.export({ format: 'jwk' });
    this.kid = crypto.createHash('sha256').update(jwk.n).digest('base64url').slice(0, 27);
    this.jwk = { kty: 'RSA', use: 'sig', alg: 'RS256', kid: this.kid, n: jwk.n, e: jwk.e };
  }

  static loadOrCreate(file) {
    let pem;
    try {
      pem = fs.readFileSync(file, 'utf8');
    } catch (err) {
      if (err.code !== 'ENOENT') throw err;
      const { privateKey } = crypto.generateKeyPairSync('rsa', { modulusLength: 2048 });
      pem = privateKey.export({ type: 'pkcs8', format: 'pem' });
      fs.writeFileSync(file, pem, { mode: 0o600 });
    }
    return new Signer(pem);
  }

  sign(payload) {
    const head = b64json({ typ: 'JWT', alg: 'RS256', kid: this.kid });
    const data = `${head}.${b64json(payload)}`;
    const sig = crypto.sign('sha256', Buffer.from(data), this.privateKey).toString('base64url');
    return `${data}.${sig}`;
  }

  // Checks structure and signature; returns the payload. Claims (expiry,
  // audience, ...) are the caller's business.
  verify(token) {
    if (typeof token !== 'string') throw new TokenError('token missing');
    const parts = token.split('.');
    if (parts.length !== 3) throw new TokenError('token is not a JWS compact serialization');
    const header = parseSegment(parts[0], 'header');
    if (header.alg !== 'RS256') throw new TokenError(`algorithm ${JSON.stringify(header.alg)} not accepted`);
    if (header.kid !== this.kid) throw new TokenError('unknown signing key');
    const payload = parseSegment(parts[1], 'payload');
    if (!/^[A-Za-z0-9_-]+$/.test(parts[2])) throw new TokenError('signature is not base64url');
    const ok = crypto.verify('sha256', Buffer.from(`${parts[0]}.${parts[1]}`), this.publicKey,
      Buffer.from(parts[2], 'base64url'));
    if (!ok) throw new TokenError('signature does not verify');
    return payload;
  }
}

module.exports = { Signer, TokenError };
