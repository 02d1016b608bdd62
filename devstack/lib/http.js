'use strict';
// Small HTTP toolkit: errors that carry their answer, bounded body reading,
// answer writing and a path router. Handlers return answer objects
// ({status, json | text | html | stream, headers}) instead of writing to the
// response themselves, so an injected fault can replace an answer after the
// handler has had its effect.

const { URLSearchParams } = require('node:url');

// Past the body limit the stack keeps reading (and discarding) up to this many
// bytes so that the client gets to read the 413 instead of a reset connection.
const DRAIN_LIMIT = 64 * 1048576;

class HttpError extends Error {
  constructor(status, body, { headers, close = false } = {}) {
    super(typeof body === 'string' ? body : (body && (body.error_description || body.detail || body.error)) || `HTTP ${status}`);
    this.status = status;
    this.body = body;
    this.headers = headers;
    this.close = close;
  }

  toAnswer() {
    const answer = { status: this.status, headers: { ...(this.headers || {}) } };
    if (typeof this.body === 'string') answer.text = this.body;
    else answer.json = this.body;
    if (this.close) answer.headers.connection = 'close';
    return answer;
  }
}

function errorBody(error, detail) {
  return { error, detail };
}

function badRequest(error, detail) {
  return new HttpError(400, errorBody(error, detail));
}

function mediaType(req) {
  const ct = req.headers['content-type'];
  if (!ct) return '';
  return ct.split(';')[0].trim().toLowerCase();
}

function tooLarge(limit, size) {
  return new HttpError(413, errorBody('payload_too_large',
    `Request body${size !== undefined ? ` of ${size} bytes` : ''} exceeds the limit of ${limit} bytes.`), { close: true });
}

// Reads the whole body, refusing more than `limit` bytes with 413.
function readBody(req, limit) {
  const declared = req.headers['content-length'];
  if (declared !== undefined) {
    const n = Number(declared);
    if (!Number.isSafeInteger(n) || n < 0) {
      return Promise.reject(new HttpError(400, errorBody('bad_request', 'Content-Length is not a number.'), { close: true }));
    }
    if (n > limit) return Promise.reject(tooLarge(limit, n));
  }
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    let over = false;
    const onData = (chunk) => {
      size += chunk.length;
      if (over) {
        if (size > DRAIN_LIMIT) {
          req.off('data', onData);
          req.pause();
          reject(tooLarge(limit));
        }
        return;
      }
      if (size > limit) {
        over = true;
        chunks.length = 0;
        return;
      }
      chunks.push(chunk);
    };
    req.on('data', onData);
    req.on('end', () => (over ? reject(tooLarge(limit)) : resolve(Buffer.concat(chunks))));
    req.on('error', reject);
    req.on('aborted', () => reject(new HttpError(400, errorBody('aborted', 'Request aborted.'), { close: true })));
  });
}

async function readJson(req, limit, { allowEmpty = false } = {}) {
  const type = mediaType(req);
  const noBody = (req.headers['content-length'] === undefined || req.headers['content-length'] === '0')
    && req.headers['transfer-encoding'] === undefined;
  if (allowEmpty && !type && noBody) return undefined;
  if (type !== 'application/json') {
    throw new HttpError(415, errorBody('unsupported_media_type',
      `Expected Content-Type application/json, got ${type ? `"${type}"` : 'none'}.`));
  }
  const buf = await readBody(req, limit);
  if (buf.length === 0 && allowEmpty) return undefined;
  let text;
  try {
    text = new TextDecoder('utf-8', { fatal: true }).decode(buf);
  } catch {
    throw badRequest('invalid_json', 'Request body is not valid UTF-8.');
  }
  try {
    return JSON.parse(text);
  } catch (err) {
    throw badRequest('invalid_json', `Request body is not valid JSON: ${err.message}`);
  }
}

async function readForm(req, limit, onWrongType) {
  const type = mediaType(req);
  if (type !== 'application/x-www-form-urlencoded') throw onWrongType(type);
  const buf = await readBody(req, limit);
  const params = new URLSearchParams(buf.toString('utf8'));
  const out = Object.create(null);
  for (const [k, v] of params) if (!(k in out)) out[k] = v;
  return out;
}

function writeAnswer(res, answer) {
  if (res.headersSent || res.destroyed || res.writableEnded) return;
  const headers = { 'cache-control': 'no-store' };
  for (const [k, v] of Object.entries(answer.headers || {})) headers[k.toLowerCase()] = v;
  let payload;
  if (answer.json !== undefined) {
    payload = Buffer.from(JSON.stringify(answer.json));
    headers['content-type'] = 'application/json; charset=utf-8';
  } else if (answer.text !== undefined) {
    payload = Buffer.from(String(answer.text));
    headers['content-type'] ||= 'text/plain; charset=utf-8';
  } else if (answer.html !== undefined) {
    payload = Buffer.from(answer.html);
    headers['content-type'] = 'text/html; charset=utf-8';
  } else {
    payload = Buffer.alloc(0);
  }
  headers['content-length'] = payload.length;
  res.writeHead(answer.status, headers);
  res.end(payload);
}

// Path patterns: literal segments and ":name" segments matching one segment.
class Router {
  constructor() {
    this.routes = [];
  }

  add(method, pattern, endpoint, handler) {
    const segments = pattern.split('/').slice(1);
    this.routes.push({ method, segments, endpoint, handler, pattern });
    return this;
  }

  // Returns {route, params} for a match, {allowed: [...]} when only the
  // method is wrong, or null for an unknown path.
  match(method, pathname) {
    const parts = pathname.split('/').slice(1);
    const allowed = new Set();
    for (const route of this.routes) {
      const params = matchSegments(route.segments, parts);
      if (!params) continue;
      if (route.method === method || (method === 'HEAD' && route.method === 'GET')) return { route, params };
      allowed.add(route.method);
    }
    if (allowed.size) return { allowed: [...allowed] };
    return null;
  }
}

function matchSegments(segments, parts) {
  if (segments.length !== parts.length) return null;
  const params = {};
  for (let i = 0; i < segments.length; i++) {
    const seg = segments[i];
    if (seg.startsWith(':')) {
      if (parts[i] === '') return null;
      let value;
      try {
        value = decodeURIComponent(parts[i]);
      } catch {
        throw badRequest('bad_path', 'Malformed percent-encoding in the path.');
      }
      params[seg.slice(1)] = value;
    } else if (seg !== parts[i]) {
      return null;
    }
  }
  return params;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

module.exports = {
  HttpError,
  Router,
  errorBody,
  badRequest,
  mediaType,
  readBody,
  readJson,
  readForm,
  writeAnswer,
  sleep,
};
