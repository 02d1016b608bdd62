'use strict';
// Injected faults: for the next N calls of an endpoint, answer with a status,
// answer late, never answer (stall) or drop the connection. With "apply" the
// call first takes effect normally and only its answer is replaced, which is
// how a lost answer (for example a finalize that went through but answered
// 409) is played.

const ENDPOINTS = Object.freeze([
  'discover', 'authorize', 'token', 'devicecode', 'manifest',
  'init', 'finalize', 'recording', 'me', 'branding', 'feedback',
]);

const TENANT_ENDPOINTS = ['init', 'finalize', 'recording', 'me', 'branding', 'feedback'];

const FAULT_KEYS = ['endpoint', 'tenant', 'status', 'body', 'headers', 'delayMs', 'stall', 'drop', 'apply', 'times'];

class FaultError extends Error {}

function isObject(v) {
  return v !== null && typeof v === 'object' && !Array.isArray(v);
}

function validate(wanted) {
  if (!isObject(wanted)) throw new FaultError('a fault must be a JSON object');
  for (const k of Object.keys(wanted)) {
    if (!FAULT_KEYS.includes(k)) throw new FaultError(`unknown fault key "${k}" (allowed: ${FAULT_KEYS.join(', ')})`);
  }
  const { endpoint } = wanted;
  if (endpoint !== '*' && !ENDPOINTS.includes(endpoint)) {
    throw new FaultError(`"endpoint" must be "*" or one of ${ENDPOINTS.join(', ')}`);
  }
  if ('tenant' in wanted) {
    if (typeof wanted.tenant !== 'string' || !wanted.tenant) throw new FaultError('"tenant" must be a tenant slug or id');
    if (endpoint !== '*' && !TENANT_ENDPOINTS.includes(endpoint)) {
      throw new FaultError(`"tenant" applies only to the tenant API endpoints: ${TENANT_ENDPOINTS.join(', ')}`);
    }
  }
  if ('status' in wanted && (!Number.isInteger(wanted.status) || wanted.status < 200 || wanted.status > 599)) {
    throw new FaultError('"status" must be an HTTP status code from 200 to 599');
  }
  if ('headers' in wanted) {
    if (!isObject(wanted.headers) || Object.values(wanted.headers).some((v) => typeof v !== 'string')) {
      throw new FaultError('"headers" must be an object of strings');
    }
    if (!('status' in wanted)) throw new FaultError('"headers" needs a "status"');
  }
  if ('body' in wanted && !('status' in wanted)) throw new FaultError('"body" needs a "status"');
  if ('delayMs' in wanted && (!Number.isInteger(wanted.delayMs) || wanted.delayMs < 0 || wanted.delayMs > 600000)) {
    throw new FaultError('"delayMs" must be an integer from 0 to 600000');
  }
  for (const k of ['stall', 'drop', 'apply']) {
    if (k in wanted && typeof wanted[k] !== 'boolean') throw new FaultError(`"${k}" must be true or false`);
  }
  const actions = ['status' in wanted, wanted.stall === true, wanted.drop === true].filter(Boolean).length;
  if (actions > 1) throw new FaultError('a fault has at most one of "status", "stall" and "drop"');
  if (actions === 0 && !(wanted.delayMs > 0)) {
    throw new FaultError('a fault needs "status", "stall", "drop" or a positive "delayMs"');
  }
  if (wanted.apply === true && actions === 0) throw new FaultError('"apply" needs "status", "stall" or "drop"');
  const times = wanted.times === undefined ? 1 : wanted.times;
  if (times !== 'always' && (!Number.isInteger(times) || times < 1)) {
    throw new FaultError('"times" must be a positive integer or "always"');
  }
  return times;
}

class Faults {
  constructor() {
    this.list = [];
    this.nextId = 1;
  }

  // `resolveTenant` turns a slug or id into the tenant's slug (or null).
  add(wanted, resolveTenant) {
    const times = validate(wanted);
    let tenant = null;
    if (wanted.tenant !== undefined) {
      tenant = resolveTenant(wanted.tenant);
      if (!tenant) throw new FaultError(`no tenant "${wanted.tenant}"`);
    }
    const fault = {
      id: this.nextId++,
      endpoint: wanted.endpoint,
      tenant,
      status: wanted.status ?? null,
      body: wanted.body,
      headers: wanted.headers || {},
      delayMs: wanted.delayMs || 0,
      stall: wanted.stall === true,
      drop: wanted.drop === true,
      apply: wanted.apply === true,
      times,
      remaining: times === 'always' ? null : times,
      hits: 0,
    };
    this.list.push(fault);
    return fault;
  }

  // The first fault matching a call, counted as used by it.
  take(endpoint, tenantSlug) {
    const i = this.list.findIndex((f) => (f.endpoint === '*' || f.endpoint === endpoint)
      && (f.tenant === null || f.tenant === tenantSlug));
    if (i < 0) return null;
    const f = this.list[i];
    f.hits++;
    if (f.remaining !== null) {
      f.remaining--;
      if (f.remaining === 0) this.list.splice(i, 1);
    }
    return f;
  }

  remove(id) {
    const i = this.list.findIndex((f) => f.id === id);
    if (i < 0) return false;
    this.list.splice(i, 1);
    return true;
  }

  clear() {
    const n = this.list.length;
    this.list = [];
    return n;
  }

  describe() {
    return this.list.map((f) => ({
      id: f.id,
      endpoint: f.endpoint,
      tenant: f.tenant,
      status: f.status,
      ...(f.body !== undefined ? { body: f.body } : {}),
      headers: f.headers,
      delayMs: f.delayMs,
      stall: f.stall,
      drop: f.drop,
      apply: f.apply,
      times: f.times,
      remaining: f.remaining,
      hits: f.hits,
    }));
  }
}

// The answer a fault gives in place of the real one.
function faultAnswer(fault) {
  const answer = { status: fault.status, headers: { ...fault.headers } };
  if (fault.body === undefined) {
    answer.json = { error: 'injected_fault', detail: `Injected HTTP ${fault.status} on ${fault.endpoint}.` };
  } else if (typeof fault.body === 'string') {
    answer.text = fault.body;
  } else {
    answer.json = fault.body;
  }
  return answer;
}

module.exports = { ENDPOINTS, Faults, FaultError, faultAnswer };
