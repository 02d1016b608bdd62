'use strict';
// Blob storage access for the stack itself (Shared Key) and the upload links
// it hands to clients (service SAS). Azurite's development account, path-style
// URLs: http://127.0.0.1:PORT/devstoreaccount1/CONTAINER/BLOB.

const crypto = require('node:crypto');
const http = require('node:http');

const ACCOUNT = 'devstoreaccount1';
const ACCOUNT_KEY = 'Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==';
const SAS_VERSION = '2021-08-06';
const API_VERSION = '2021-08-06';

class StorageError extends Error {
  constructor(message, status, code) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

function hmac(keyBase64, text) {
  return crypto.createHmac('sha256', Buffer.from(keyBase64, 'base64')).update(text, 'utf8').digest('base64');
}

// "2025-03-04T10:00:00Z": whole seconds, the form storage documents for "se".
function sasTime(date) {
  return date.toISOString().replace(/\.\d{3}Z$/, 'Z');
}

function encodeBlobPath(name) {
  return name.split('/').map(encodeURIComponent).join('/');
}

// Blob service SAS (sv 2021-08-06): sixteen lines joined with "\n".
function blobSas({ account = ACCOUNT, key = ACCOUNT_KEY, container, blob, permissions, expiresOn }) {
  const se = sasTime(expiresOn);
  const stringToSign = [
    permissions, // sp
    '', // st
    se, // se
    `/blob/${account}/${container}/${blob}`,
    '', // si
    '', // sip
    '', // spr
    SAS_VERSION, // sv
    'b', // sr
    '', // snapshot time
    '', // encryption scope
    '', '', '', '', '', // rscc, rscd, rsce, rscl, rsct
  ].join('\n');
  const sig = hmac(key, stringToSign);
  const q = new URLSearchParams();
  q.set('sv', SAS_VERSION);
  q.set('se', se);
  q.set('sr', 'b');
  q.set('sp', permissions);
  q.set('sig', sig);
  return { query: q.toString(), expiresOn: se };
}

// Shared Key string-to-sign for the blob service.
function sharedKeySignature({ account = ACCOUNT, key = ACCOUNT_KEY, method, path, query, headers }) {
  const h = {};
  for (const [k, v] of Object.entries(headers)) h[k.toLowerCase()] = String(v);
  const contentLength = h['content-length'] && h['content-length'] !== '0' ? h['content-length'] : '';
  const canonHeaders = Object.keys(h)
    .filter((k) => k.startsWith('x-ms-'))
    .sort()
    .map((k) => `${k}:${h[k].trim()}\n`)
    .join('');
  let canonResource = `/${account}${path}`;
  const names = [...new Set([...query.keys()].map((k) => k.toLowerCase()))].sort();
  for (const name of names) {
    const values = [];
    for (const [k, v] of query) if (k.toLowerCase() === name) values.push(v);
    canonResource += `\n${name}:${values.sort().join(',')}`;
  }
  const stringToSign = [
    method,
    h['content-encoding'] || '',
    h['content-language'] || '',
    contentLength,
    h['content-md5'] || '',
    h['content-type'] || '',
    '', // Date: x-ms-date is used instead
    h['if-modified-since'] || '',
    h['if-match'] || '',
    h['if-none-match'] || '',
    h['if-unmodified-since'] || '',
    h.range || '',
  ].join('\n') + '\n' + canonHeaders + canonResource;
  return `SharedKey ${account}:${hmac(key, stringToSign)}`;
}

class BlobStore {
  // endpoint: "http://127.0.0.1:PORT" of the blob service.
  constructor(endpoint, { account = ACCOUNT, key = ACCOUNT_KEY, timeoutMs = 15000 } = {}) {
    const u = new URL(endpoint);
    this.host = u.hostname;
    this.port = Number(u.port);
    this.account = account;
    this.key = key;
    this.timeoutMs = timeoutMs;
    this.accountURL = `http://${u.host}/${account}`;
  }

  blobURL(container, blob) {
    return `${this.accountURL}/${container}/${encodeBlobPath(blob)}`;
  }

  uploadURL(container, blob, lifetimeSeconds, now = Date.now()) {
    const expiresOn = new Date(now + lifetimeSeconds * 1000);
    const sas = blobSas({ account: this.account, key: this.key, container, blob, permissions: 'cw', expiresOn });
    return { url: `${this.blobURL(container, blob)}?${sas.query}`, expiresOn: sas.expiresOn };
  }

  // Sends a Shared Key signed request. With `stream` set the response is
  // handed back unread (for piping); otherwise its body is buffered.
  request(method, resourcePath, { query = new URLSearchParams(), headers = {}, body, stream = false } = {}) {
    const path = `/${this.account}${resourcePath}`;
    const allHeaders = {
      'x-ms-date': new Date().toUTCString(),
      'x-ms-version': API_VERSION,
      ...headers,
    };
    if (body !== undefined) allHeaders['Content-Length'] = Buffer.byteLength(body);
    allHeaders.Authorization = sharedKeySignature({
      account: this.account, key: this.key, method, path, query, headers: allHeaders,
    });
    const qs = query.toString();
    return new Promise((resolve, reject) => {
      const req = http.request({
        host: this.host,
        port: this.port,
        method,
        path: qs ? `${path}?${qs}` : path,
        headers: allHeaders,
        timeout: this.timeoutMs,
        agent: false,
      }, (res) => {
        if (stream) return resolve({ status: res.statusCode, headers: res.headers, res });
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
        res.on('error', reject);
      });
      req.on('timeout', () => req.destroy(new StorageError('storage request timed out', 504, 'Timeout')));
      req.on('error', (err) => reject(err instanceof StorageError ? err : new StorageError(`storage unreachable: ${err.message}`, 503, err.code)));
      req.end(body);
    });
  }

  async createContainer(container) {
    const r = await this.request('PUT', `/${container}`, { query: new URLSearchParams({ restype: 'container' }) });
    if (r.status !== 201 && r.status !== 409) throw storageFailure('create container', r);
  }

  // Properties of a committed blob, or null when none is committed.
  async getProperties(container, blob) {
    const r = await this.request('HEAD', `/${container}/${encodeBlobPath(blob)}`);
    if (r.status === 404) return null;
    if (r.status !== 200) throw storageFailure('get blob properties', r);
    return {
      size: Number(r.headers['content-length']),
      contentType: r.headers['content-type'] || null,
      etag: r.headers.etag || null,
      lastModified: r.headers['last-modified'] || null,
    };
  }

  // Committed and uncommitted block counts, or null when the blob has neither.
  async getBlockCounts(container, blob) {
    const r = await this.request('GET', `/${container}/${encodeBlobPath(blob)}`, {
      query: new URLSearchParams({ comp: 'blocklist', blocklisttype: 'all' }),
    });
    if (r.status === 404) return null;
    if (r.status !== 200) throw storageFailure('get block list', r);
    const xml = r.body.toString('utf8');
    const count = (tag) => {
      const m = xml.match(new RegExp(`<${tag}>([\\s\\S]*?)</${tag}>`));
      return m ? (m[1].match(/<Block>/g) || []).length : 0;
    };
    return { committedBlocks: count('CommittedBlocks'), uncommittedBlocks: count('UncommittedBlocks') };
  }

  async openRead(container, blob) {
    const r = await this.request('GET', `/${container}/${encodeBlobPath(blob)}`, { stream: true });
    if (r.status === 404) {
      r.res.resume();
      return null;
    }
    if (r.status !== 200) {
      r.res.resume();
      throw new StorageError(`get blob answered ${r.status}`, r.status, r.headers['x-ms-error-code']);
    }
    return r;
  }

  async deleteBlob(container, blob) {
    const r = await this.request('DELETE', `/${container}/${encodeBlobPath(blob)}`);
    if (r.status !== 202 && r.status !== 404) throw storageFailure('delete blob', r);
    return r.status === 202;
  }
}

function storageFailure(what, r) {
  const code = r.headers['x-ms-error-code'];
  return new StorageError(`${what} answered ${r.status}${code ? ` ${code}` : ''}`, r.status, code);
}

module.exports = {
  ACCOUNT,
  ACCOUNT_KEY,
  SAS_VERSION,
  BlobStore,
  StorageError,
  blobSas,
  sasTime,
  sharedKeySignature,
};
