'use strict';
// The admin API under /admin: fault injection, settings, tenant and user
// switches, the update manifest, sign-in outcomes, and reading state back
// (recordings with their blobs, support tickets, the request log).

const crypto = require('node:crypto');
const { HttpError, readJson, errorBody } = require('./http');
const { FaultError } = require('./faults');
const { deepMerge, isPlainObject, validateApi, validateIdentity, validateBranding, ConfigError } = require('./config');
const { DEVICE_DECISIONS } = require('./identity');

const bad = (detail) => new HttpError(400, errorBody('invalid_request', detail));

function onlyKeys(body, allowed) {
  if (!isPlainObject(body)) throw bad('Body must be a JSON object.');
  for (const k of Object.keys(body)) {
    if (!allowed.includes(k)) throw bad(`Unknown key "${k}" (allowed: ${allowed.join(', ')}).`);
  }
}

function registerAdmin(r, stack) {
  const limit = () => stack.config.http.maxBodyBytes;
  const json = (ctx, opts) => readJson(ctx.req, limit(), opts);
  const ok = (body, status = 200) => ({ status, json: body });

  const tenantOr404 = (ref) => {
    const t = stack.resolveTenant(ref);
    if (!t) throw new HttpError(404, errorBody('not_found', `No tenant "${ref}".`));
    return t;
  };
  const userOr404 = (ref) => {
    const u = stack.findUser(ref);
    if (!u) throw new HttpError(404, errorBody('not_found', `No user "${ref}".`));
    return u;
  };
  const recordingOr404 = (id) => {
    const rec = stack.store.recordings.get(id);
    if (!rec) throw new HttpError(404, errorBody('not_found', `No recording "${id}".`));
    return rec;
  };

  async function describeRecording(rec, { blob = true, sha256 = false } = {}) {
    const owner = stack.userByOid(rec.ownerOid);
    const out = {
      id: rec.id,
      tenantId: rec.tenantId,
      tenant: rec.tenantSlug,
      owner: owner ? (owner.email || owner.preferredUsername) : rec.ownerOid,
      filename: rec.filename,
      contentType: rec.contentType,
      sizeBytes: rec.sizeBytes,
      blobPath: `${rec.container}/${rec.blobName}`,
      state: rec.state,
      errorMessage: rec.errorMessage,
      createdAt: rec.createdAt,
      finalizedAt: rec.finalizedAt,
      deliveredAt: rec.deliveredAt,
      statusReads: rec.statusReads,
      deliverAfterReads: rec.deliverAfterReads,
      initCount: rec.initCount,
      lastUploadUrlExpiresAt: rec.lastUploadUrlExpiresAt || null,
      deleted: rec.deleted,
      deletedAt: rec.deletedAt,
      finalizeRequest: rec.finalizeRequest,
    };
    if (blob) {
      try {
        const props = await stack.blob.getProperties(rec.container, rec.blobName);
        const blocks = await stack.blob.getBlockCounts(rec.container, rec.blobName);
        out.blob = {
          committed: props !== null,
          size: props ? props.size : null,
          contentType: props ? props.contentType : null,
          committedBlocks: blocks ? blocks.committedBlocks : 0,
          uncommittedBlocks: blocks ? blocks.uncommittedBlocks : 0,
        };
        if (sha256 && props) {
          const r = await stack.blob.openRead(rec.container, rec.blobName);
          const hash = crypto.createHash('sha256');
          if (r) {
            for await (const chunk of r.res) hash.update(chunk);
            out.blob.sha256 = hash.digest('hex');
          }
        }
      } catch (err) {
        out.blob = { error: err.message };
      }
    }
    return out;
  }

  function state() {
    return {
      settings: stack.settings,
      tenants: stack.tenants,
      users: stack.users,
      manifest: stack.manifest,
      faults: stack.faults.describe(),
      identity: stack.identity.describe(),
      counters: stack.counters,
      recordings: stack.store.recordings.size,
      tickets: stack.store.tickets.length,
    };
  }

  r.add('GET', '/admin', 'admin', () => ok(stack.endpoints()));
  r.add('GET', '/admin/state', 'admin', () => ok(state()));

  r.add('POST', '/admin/reset', 'admin', async (ctx) => {
    const body = (await json(ctx, { allowEmpty: true })) ?? {};
    onlyKeys(body, ['data']);
    if ('data' in body && typeof body.data !== 'boolean') throw bad('"data" must be true or false.');
    stack.faults.clear();
    stack.releaseStalls();
    stack.resetRuntime();
    stack.counters = {};
    stack.requestLog = [];
    if (body.data) stack.store.clearData();
    return ok(state());
  });

  // Faults
  r.add('GET', '/admin/faults', 'admin', () => ok({ faults: stack.faults.describe() }));
  r.add('POST', '/admin/faults', 'admin', async (ctx) => {
    const body = await json(ctx);
    const requested = isPlainObject(body) && Array.isArray(body.faults) && Object.keys(body).length === 1 ? body.faults : [body];
    const resolve = (ref) => stack.resolveTenant(ref)?.slug ?? null;
    const added = [];
    try {
      for (const wanted of requested) added.push(stack.faults.add(wanted, resolve));
    } catch (err) {
      for (const f of added) stack.faults.remove(f.id);
      if (err instanceof FaultError) throw bad(err.message);
      throw err;
    }
    return ok({ added: added.map((f) => f.id), faults: stack.faults.describe() }, 201);
  });
  r.add('DELETE', '/admin/faults', 'admin', () => {
    const removed = stack.faults.clear();
    stack.releaseStalls();
    return ok({ removed });
  });
  r.add('DELETE', '/admin/faults/:id', 'admin', (ctx) => {
    const id = Number(ctx.params.id);
    if (!Number.isInteger(id) || !stack.faults.remove(id)) {
      throw new HttpError(404, errorBody('not_found', `No fault ${ctx.params.id}.`));
    }
    return ok({ removed: 1 });
  });

  // Settings
  r.add('GET', '/admin/settings', 'admin', () => ok(stack.settings));
  r.add('PATCH', '/admin/settings', 'admin', async (ctx) => {
    const body = await json(ctx);
    onlyKeys(body, ['api', 'identity']);
    const next = deepMerge(stack.settings, body);
    try {
      validateApi(next.api);
      validateIdentity(next.identity);
    } catch (err) {
      if (err instanceof ConfigError) throw bad(err.message);
      throw err;
    }
    if (!stack.findUser(next.identity.defaultUser)) throw bad(`identity.defaultUser: no user named ${next.identity.defaultUser}`);
    if (next.api.container !== stack.settings.api.container) {
      await stack.blob.createContainer(next.api.container);
    }
    stack.settings = next;
    return ok(stack.settings);
  });

  // Tenants and users
  r.add('GET', '/admin/tenants', 'admin', () => ok({ tenants: stack.tenants }));
  r.add('PATCH', '/admin/tenants/:tenant', 'admin', async (ctx) => {
    const tenant = tenantOr404(ctx.params.tenant);
    const body = await json(ctx);
    onlyKeys(body, ['clientName', 'initials', 'region', 'discoverable', 'meetingsAccess', 'kavoApiConsent', 'branding']);
    for (const k of ['clientName', 'initials', 'region']) {
      if (k in body && (typeof body[k] !== 'string' || !body[k])) throw bad(`"${k}" must be a non-empty string.`);
    }
    for (const k of ['discoverable', 'meetingsAccess', 'kavoApiConsent']) {
      if (k in body && typeof body[k] !== 'boolean') throw bad(`"${k}" must be true or false.`);
    }
    if ('branding' in body) {
      try {
        validateBranding(body.branding, 'branding');
      } catch (err) {
        if (err instanceof ConfigError) throw bad(err.message);
        throw err;
      }
    }
    Object.assign(tenant, body);
    return ok(tenant);
  });
  r.add('GET', '/admin/users', 'admin', () => ok({ users: stack.users }));
  r.add('PATCH', '/admin/users/:user', 'admin', async (ctx) => {
    const user = userOr404(ctx.params.user);
    const body = await json(ctx);
    onlyKeys(body, ['name', 'givenName', 'email', 'isAdmin', 'meetingsAccess']);
    if ('name' in body && typeof body.name !== 'string') throw bad('"name" must be a string.');
    for (const k of ['givenName', 'email']) {
      if (k in body && body[k] !== null && (typeof body[k] !== 'string' || !body[k])) {
        throw bad(`"${k}" must be a non-empty string, or null to remove it.`);
      }
    }
    for (const k of ['isAdmin', 'meetingsAccess']) {
      if (k in body && typeof body[k] !== 'boolean') throw bad(`"${k}" must be true or false.`);
    }
    for (const [k, v] of Object.entries(body)) {
      if (v === null) delete user[k];
      else user[k] = v;
    }
    return ok(user);
  });
  r.add('POST', '/admin/users/:user/revoke', 'admin', (ctx) => {
    const user = userOr404(ctx.params.user);
    const generation = stack.store.bumpGeneration(user.oid);
    return ok({ user: user.preferredUsername, tokenGeneration: generation });
  });

  // Update manifest
  r.add('GET', '/admin/manifest', 'admin', () => ok(stack.manifest));
  r.add('PUT', '/admin/manifest', 'admin', async (ctx) => {
    const body = await json(ctx);
    if (!isPlainObject(body)) throw bad('The manifest must be a JSON object.');
    stack.manifest = body;
    return ok(stack.manifest);
  });
  r.add('PATCH', '/admin/manifest', 'admin', async (ctx) => {
    const body = await json(ctx);
    if (!isPlainObject(body)) throw bad('Body must be a JSON object.');
    for (const [k, v] of Object.entries(body)) {
      if (v === null) delete stack.manifest[k];
      else stack.manifest[k] = v;
    }
    return ok(stack.manifest);
  });

  // Sign-in
  r.add('POST', '/admin/identity/authorize', 'admin', async (ctx) => {
    const body = await json(ctx);
    onlyKeys(body, ['outcome', 'user', 'times']);
    const entry = stack.identity.queueOutcome(body);
    return ok({ queued: entry, authorizeOutcomes: stack.identity.outcomes }, 201);
  });
  r.add('DELETE', '/admin/identity/authorize', 'admin', () => {
    const removed = stack.identity.outcomes.length;
    stack.identity.outcomes = [];
    return ok({ removed });
  });
  r.add('POST', '/admin/identity/device-code', 'admin', async (ctx) => {
    const body = await json(ctx);
    onlyKeys(body, ['decision', 'userCode', 'user']);
    if (!DEVICE_DECISIONS.includes(body.decision)) throw bad(`"decision" must be one of ${DEVICE_DECISIONS.join(', ')}.`);
    if ('user' in body && !stack.findUser(body.user)) throw bad(`No user "${body.user}".`);
    const entry = body.userCode !== undefined
      ? stack.identity.findDeviceCode(body.userCode)
      : stack.identity.latestPendingDeviceCode();
    if (!entry) throw new HttpError(404, errorBody('not_found', 'No such pending device code.'));
    const result = stack.identity.decideDevice(entry, body.decision, body.user);
    if (!result.ok) throw new HttpError(409, errorBody('not_pending', result.reason));
    return ok({ userCode: entry.userCode, state: entry.state });
  });
  r.add('POST', '/admin/tokens', 'admin', async (ctx) => {
    const body = await json(ctx);
    onlyKeys(body, ['user', 'resource', 'expiresInSeconds', 'offline']);
    const user = stack.findUser(body.user);
    if (!user) throw bad(`No user "${body.user}".`);
    const resource = body.resource ?? 'kavo';
    if (resource !== 'kavo' && resource !== 'graph') throw bad('"resource" must be "kavo" or "graph".');
    if ('expiresInSeconds' in body && !Number.isInteger(body.expiresInSeconds)) throw bad('"expiresInSeconds" must be an integer.');
    if ('offline' in body && typeof body.offline !== 'boolean') throw bad('"offline" must be true or false.');
    const scopes = resource === 'kavo' ? [stack.identity.kavoScope()] : ['User.Read'];
    return ok(stack.identity.mint(user, { resource, scopes }, {
      oidc: new Set(['openid', 'profile']),
      refresh: body.offline === true,
      accessLifetime: body.expiresInSeconds,
    }));
  });

  // Recordings
  r.add('GET', '/admin/recordings', 'admin', async () => {
    const list = [];
    for (const rec of stack.store.recordings.values()) list.push(await describeRecording(rec));
    return ok({ recordings: list });
  });
  r.add('GET', '/admin/recordings/:id', 'admin', async (ctx) => {
    const rec = recordingOr404(ctx.params.id);
    return ok(await describeRecording(rec, { sha256: ctx.url.searchParams.get('sha256') === '1' }));
  });
  r.add('PATCH', '/admin/recordings/:id', 'admin', async (ctx) => {
    const rec = recordingOr404(ctx.params.id);
    const body = await json(ctx);
    onlyKeys(body, ['state', 'errorMessage', 'deliverAfterReads']);
    if ('state' in body && (typeof body.state !== 'string' || !body.state)) throw bad('"state" must be a non-empty string.');
    if ('errorMessage' in body && body.errorMessage !== null && typeof body.errorMessage !== 'string') {
      throw bad('"errorMessage" must be a string or null.');
    }
    if ('deliverAfterReads' in body && body.deliverAfterReads !== null
      && (!Number.isInteger(body.deliverAfterReads) || body.deliverAfterReads < 0)) {
      throw bad('"deliverAfterReads" must be a non-negative integer or null.');
    }
    if ('state' in body) {
      rec.state = body.state;
      if (body.state === 'DELIVERED' && !rec.deliveredAt) rec.deliveredAt = new Date().toISOString();
    }
    if ('errorMessage' in body) rec.errorMessage = body.errorMessage;
    if ('deliverAfterReads' in body) rec.deliverAfterReads = body.deliverAfterReads;
    stack.store.save();
    return ok(await describeRecording(rec, { blob: false }));
  });
  // The server deletes a recording: status reads answer 404 from now on.
  r.add('DELETE', '/admin/recordings/:id', 'admin', async (ctx) => {
    const rec = recordingOr404(ctx.params.id);
    const keepBlob = ctx.url.searchParams.get('keepBlob') === '1';
    rec.deleted = true;
    rec.deletedAt = new Date().toISOString();
    stack.store.save();
    let blobDeleted = false;
    if (!keepBlob) {
      try {
        blobDeleted = await stack.blob.deleteBlob(rec.container, rec.blobName);
      } catch (err) {
        stack.log(`could not delete blob of ${rec.id}: ${err.message}`);
      }
    }
    return ok({ id: rec.id, deleted: true, blobDeleted });
  });
  r.add('GET', '/admin/recordings/:id/blob', 'admin', async (ctx) => {
    const rec = recordingOr404(ctx.params.id);
    const blob = await stack.blob.openRead(rec.container, rec.blobName).catch((err) => {
      throw new HttpError(503, errorBody('storage_unavailable', err.message));
    });
    if (!blob) throw new HttpError(404, errorBody('not_found', 'No committed blob for this recording.'));
    return {
      stream: (res) => new Promise((resolve) => {
        res.writeHead(200, {
          'content-type': 'application/octet-stream',
          'content-length': blob.headers['content-length'],
          'cache-control': 'no-store',
        });
        blob.res.pipe(res);
        blob.res.once('error', () => res.destroy());
        res.once('close', () => {
          blob.res.destroy();
          resolve();
        });
      }),
    };
  });

  // Support tickets and the request log
  r.add('GET', '/admin/feedback', 'admin', () => ok({ tickets: stack.store.tickets }));
  r.add('GET', '/admin/requests', 'admin', () => ok({ requests: stack.requestLog }));
  r.add('DELETE', '/admin/requests', 'admin', () => {
    const removed = stack.requestLog.length;
    stack.requestLog = [];
    return ok({ removed });
  });
}

module.exports = { registerAdmin };
