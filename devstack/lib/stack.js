'use strict';
// The dev stack: one HTTP server on loopback carrying the discovery router,
// the identity endpoint, the update manifest, every tenant's Kavo API and the
// admin API, plus an Azurite blob service as a child process.

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const { clone, GUID_RE } = require('./config');
const { Azurite } = require('./azurite');
const { BlobStore } = require('./storage');
const { Signer } = require('./jwt');
const { Store } = require('./store');
const { Faults, faultAnswer } = require('./faults');
const { IdentityProvider, KAVO_SCOPE_NAME } = require('./identity');
const { KavoApi } = require('./kavo-api');
const { registerAdmin } = require('./admin');
const { HttpError, Router, errorBody, writeAnswer, sleep } = require('./http');

const STALL = Symbol('stall');
const DROP = Symbol('drop');
const REQUEST_LOG_SIZE = 1000;

class Stack {
  constructor({ config, dataDir, port = 0, blobPort = 0, inMemory = false, log = () => {} }) {
    this.config = config;
    this.dataDir = path.resolve(dataDir);
    this.requestedPort = port;
    this.requestedBlobPort = blobPort;
    this.inMemory = inMemory;
    this.log = log;
    this.faults = new Faults();
    this.identity = new IdentityProvider(this);
    this.api = new KavoApi(this);
    this.router = this.buildRouter();
    this.stalled = new Set();
    this.requestLog = [];
    this.requestSeq = 0;
    this.counters = {};
    this.server = null;
    this.azurite = null;
    this.stopped = null;
    this.resetRuntime();
  }

  // Settings, tenants, users and manifest as the config file gave them.
  resetRuntime() {
    this.settings = { api: clone(this.config.api), identity: clone(this.config.identity) };
    this.tenants = clone(this.config.tenants);
    this.users = clone(this.config.users);
    this.manifest = clone(this.config.manifest);
    this.identity.reset();
  }

  // --- lookups --------------------------------------------------------------

  tenantById(id) {
    const want = String(id).toLowerCase();
    return this.tenants.find((t) => t.tenantId.toLowerCase() === want) || null;
  }

  tenantBySlug(slug) {
    return this.tenants.find((t) => t.slug === slug) || null;
  }

  resolveTenant(ref) {
    return this.tenantBySlug(ref) || this.tenantById(ref);
  }

  userByOid(oid) {
    const want = String(oid).toLowerCase();
    return this.users.find((u) => u.oid.toLowerCase() === want) || null;
  }

  // By e-mail, user name or object id, ignoring case.
  findUser(name) {
    if (typeof name !== 'string') return null;
    const want = name.toLowerCase();
    return this.users.find((u) => u.oid.toLowerCase() === want
      || (u.email && u.email.toLowerCase() === want)
      || u.preferredUsername.toLowerCase() === want) || null;
  }

  meetingsAccess(tenant, user) {
    return tenant.meetingsAccess && user.meetingsAccess;
  }

  kavoBaseUrl(tenant) {
    return `${this.baseURL}/t/${tenant.slug}`;
  }

  // --- lifecycle ------------------------------------------------------------

  async start() {
    fs.mkdirSync(this.dataDir, { recursive: true });
    this.claimDataDir();
    try {
      this.signer = Signer.loadOrCreate(path.join(this.dataDir, 'identity-key.pem'));
      this.store = new Store(path.join(this.dataDir, 'state.json'));
      this.azurite = new Azurite({ dataDir: this.dataDir, port: this.requestedBlobPort, inMemory: this.inMemory, log: this.log });
      await this.azurite.start();
      fs.writeFileSync(path.join(this.dataDir, 'azurite.pid'), `${this.azurite.pid}\n`);
      this.blob = new BlobStore(this.azurite.url);
      await this.blob.createContainer(this.config.api.container);
      if (this.settings.api.container !== this.config.api.container) await this.blob.createContainer(this.settings.api.container);
      await this.listen();
      this.writeFileAtomic('endpoints.json', `${JSON.stringify(this.endpoints(), null, 2)}\n`);
    } catch (err) {
      await this.stop();
      throw err;
    }
    return this;
  }

  // One stack per data folder. A stack that was killed without a chance to
  // clean up may have left its Azurite running: that child is ended here.
  claimDataDir() {
    const pidFile = path.join(this.dataDir, 'devstack.pid');
    const alive = (pid) => {
      try {
        process.kill(pid, 0);
        return true;
      } catch {
        return false;
      }
    };
    const cmdline = (pid) => {
      try {
        return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0');
      } catch {
        return [];
      }
    };
    const readPid = (file) => {
      try {
        return Number(fs.readFileSync(file, 'utf8').trim()) || null;
      } catch {
        return null;
      }
    };
    const owner = readPid(pidFile);
    if (owner && owner !== process.pid && alive(owner) && cmdline(owner).some((a) => a.endsWith('devstack.js'))) {
      throw new Error(`data folder ${this.dataDir} is in use by the dev stack with pid ${owner}`);
    }
    const orphan = readPid(path.join(this.dataDir, 'azurite.pid'));
    if (orphan && alive(orphan)) {
      // Only an Azurite working in this data folder: the pid may have been reused.
      let cwd = null;
      try {
        cwd = fs.readlinkSync(`/proc/${orphan}/cwd`);
      } catch {
        // not ours to inspect
      }
      let workDir = path.join(this.dataDir, 'azurite');
      try {
        workDir = fs.realpathSync(workDir);
      } catch {
        // no work folder: nothing of ours can be running in it
      }
      if (cmdline(orphan).some((a) => a.includes('azurite')) && cwd === workDir) {
        this.log(`ending Azurite pid ${orphan} left behind by an earlier run`);
        process.kill(orphan, 'SIGKILL');
      }
    }
    fs.writeFileSync(pidFile, `${process.pid}\n`);
    this.ownsDataDir = true;
  }

  listen() {
    this.server = http.createServer((req, res) => {
      this.handle(req, res).catch((err) => {
        this.log(`unhandled: ${err.stack || err}`);
        if (!res.headersSent) writeAnswer(res, { status: 500, json: errorBody('internal_error', 'Internal error.') });
        else res.destroy();
      });
    });
    this.server.keepAliveTimeout = 5000;
    this.server.headersTimeout = 30000;
    this.server.requestTimeout = 300000;
    this.server.on('clientError', (err, socket) => {
      if (socket.writable && !socket.destroyed) {
        const body = JSON.stringify(errorBody('bad_request', `Malformed HTTP request: ${err.code || err.message}`));
        socket.end(`HTTP/1.1 400 Bad Request\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ${Buffer.byteLength(body)}\r\nConnection: close\r\n\r\n${body}`);
      } else {
        socket.destroy();
      }
    });
    return new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(this.requestedPort, '127.0.0.1', () => {
        this.server.off('error', reject);
        this.port = this.server.address().port;
        this.baseURL = `http://127.0.0.1:${this.port}`;
        resolve();
      });
    });
  }

  async stop() {
    if (this.stopped) return this.stopped;
    this.stopped = (async () => {
      if (this.server) {
        this.releaseStalls();
        await new Promise((resolve) => {
          this.server.close(() => resolve());
          this.server.closeAllConnections();
        });
      }
      if (this.azurite) await this.azurite.stop();
      if (this.ownsDataDir) {
        // endpoints.json stays: a client may still be pointed at this stack and
        // get "connection refused", exactly as with a server that is down.
        for (const f of ['azurite.pid', 'devstack.pid']) {
          fs.rmSync(path.join(this.dataDir, f), { force: true });
        }
      }
    })();
    return this.stopped;
  }

  releaseStalls() {
    for (const res of this.stalled) res.socket?.destroy();
    this.stalled.clear();
  }

  writeFileAtomic(name, text) {
    const file = path.join(this.dataDir, name);
    const tmp = `${file}.${process.pid}.tmp`;
    fs.writeFileSync(tmp, text);
    fs.renameSync(tmp, file);
  }

  endpoints() {
    const user = this.findUser(this.settings.identity.defaultUser);
    return {
      discoveryURL: `${this.baseURL}/api/kavo/discover`,
      authority: `${this.baseURL}/organizations`,
      clientId: this.config.clientId,
      apiApplicationId: this.config.apiApplicationId,
      graphScopes: ['User.Read'],
      kavoScopes: [`api://${this.config.apiApplicationId}/${KAVO_SCOPE_NAME}`],
      updateManifestURL: `${this.baseURL}/latest.json`,
      baseURL: this.baseURL,
      adminURL: `${this.baseURL}/admin`,
      blobEndpoint: this.blob.accountURL,
      blobContainer: this.settings.api.container,
      tenants: this.tenants.map((t) => ({
        tenantId: t.tenantId,
        slug: t.slug,
        clientName: t.clientName,
        discoverable: t.discoverable,
        kavoBaseUrl: this.kavoBaseUrl(t),
      })),
      defaultUser: { email: user.email || user.preferredUsername, oid: user.oid, tenantId: user.tenantId },
      dataDir: this.dataDir,
      pid: process.pid,
      azuritePid: this.azurite.pid,
      azuriteVersion: this.azurite.version,
    };
  }

  // --- routing --------------------------------------------------------------

  buildRouter() {
    const r = new Router();
    const id = this.identity;
    const api = this.api;
    r.add('GET', '/', null, () => ({ status: 200, json: this.endpoints() }));
    r.add('GET', '/api/kavo/discover/:tid', 'discover', (ctx) => this.discover(ctx));
    r.add('GET', '/latest.json', 'manifest', () => ({ status: 200, json: this.manifest }));
    r.add('GET', '/:authority/oauth2/v2.0/authorize', 'authorize', (ctx) => id.authorize(ctx));
    r.add('POST', '/:authority/oauth2/v2.0/authorize', 'authorize', (ctx) => id.authorizeDecision(ctx));
    r.add('POST', '/:authority/oauth2/v2.0/token', 'token', (ctx) => id.token(ctx));
    r.add('POST', '/:authority/oauth2/v2.0/devicecode', 'devicecode', (ctx) => id.devicecode(ctx));
    r.add('GET', '/:authority/v2.0/.well-known/openid-configuration', 'metadata', (ctx) => id.openidConfiguration(ctx));
    r.add('GET', '/:authority/discovery/v2.0/keys', 'metadata', (ctx) => id.keys(ctx));
    r.add('GET', '/devicelogin', 'devicelogin', () => id.deviceLoginPage());
    r.add('POST', '/devicelogin', 'devicelogin', (ctx) => id.deviceLoginSubmit(ctx));
    const t = '/t/:slug';
    r.add('POST', `${t}/api/v1/meetings/uploads/init`, 'init', (ctx) => api.init(ctx));
    r.add('POST', `${t}/api/v1/meetings/uploads/finalize`, 'finalize', (ctx) => api.finalize(ctx));
    r.add('GET', `${t}/api/v1/meetings/recordings/:id`, 'recording', (ctx) => api.recording(ctx));
    r.add('GET', `${t}/api/me`, 'me', (ctx) => api.me(ctx));
    r.add('GET', `${t}/api/branding`, 'branding', (ctx) => api.branding(ctx));
    r.add('POST', `${t}/api/feedback`, 'feedback', (ctx) => api.feedback(ctx));
    registerAdmin(r, this);
    return r;
  }

  discover(ctx) {
    const tid = ctx.params.tid;
    if (!GUID_RE.test(tid)) throw new HttpError(400, errorBody('malformed_tid', 'Malformed tenant ID.'));
    const tenant = this.tenantById(tid);
    if (!tenant || !tenant.discoverable) {
      throw new HttpError(404, errorBody('not_provisioned', `Tenant ${tid} is not provisioned for Meetings.`));
    }
    return {
      status: 200,
      json: {
        tenantId: tenant.tenantId,
        clientName: tenant.clientName,
        initials: tenant.initials,
        kavoBaseUrl: this.kavoBaseUrl(tenant),
        region: tenant.region,
      },
    };
  }

  async handle(req, res) {
    const started = Date.now();
    const entry = {
      seq: ++this.requestSeq,
      at: new Date(started).toISOString(),
      method: req.method,
      path: null,
      endpoint: null,
      tenant: null,
      status: null,
      authorization: req.headers.authorization !== undefined,
      contentType: req.headers['content-type'] || null,
      fault: null,
      durationMs: null,
    };
    res.once('close', () => {
      entry.status = res.headersSent ? res.statusCode : null;
      entry.durationMs = Date.now() - started;
      this.requestLog.push(entry);
      if (this.requestLog.length > REQUEST_LOG_SIZE) this.requestLog.splice(0, this.requestLog.length - REQUEST_LOG_SIZE);
    });

    let answer;
    try {
      const raw = req.url || '';
      if (!raw.startsWith('/')) throw new HttpError(400, errorBody('bad_request', 'Request target must be an absolute path.'));
      const qIndex = raw.indexOf('?');
      const pathname = qIndex < 0 ? raw : raw.slice(0, qIndex);
      entry.path = pathname;
      const url = new URL(`http://127.0.0.1${raw}`);
      const match = this.router.match(req.method, pathname);
      if (!match) throw new HttpError(404, errorBody('not_found', `No such endpoint: ${req.method} ${pathname}`));
      if (match.allowed) {
        throw new HttpError(405, errorBody('method_not_allowed', `${req.method} is not allowed on ${pathname}.`),
          { headers: { Allow: match.allowed.join(', ') } });
      }
      const { route, params } = match;
      entry.endpoint = route.endpoint;
      const ctx = { req, res, url, params, stack: this, tenant: null };
      if (params.slug !== undefined) {
        ctx.tenant = this.tenantBySlug(params.slug);
        if (!ctx.tenant) throw new HttpError(404, errorBody('unknown_tenant', `No tenant "${params.slug}".`));
        entry.tenant = ctx.tenant.slug;
      }
      if (route.endpoint && !route.endpoint.startsWith('admin')) {
        this.counters[route.endpoint] = (this.counters[route.endpoint] || 0) + 1;
      }
      const fault = route.endpoint && !route.endpoint.startsWith('admin')
        ? this.faults.take(route.endpoint, ctx.tenant ? ctx.tenant.slug : null) : null;
      if (fault) entry.fault = fault.id;
      answer = await this.run(ctx, route, fault);
    } catch (err) {
      answer = this.errorAnswer(err);
    }
    if (answer === STALL) {
      this.stalled.add(res);
      res.once('close', () => this.stalled.delete(res));
      return;
    }
    if (answer === DROP) {
      req.socket.destroy();
      return;
    }
    if (answer.stream) {
      await answer.stream(res);
      return;
    }
    writeAnswer(res, answer);
  }

  async run(ctx, route, fault) {
    if (!fault) return route.handler(ctx);
    if (!fault.apply) {
      if (fault.delayMs) await sleep(fault.delayMs);
      if (fault.stall) return STALL;
      if (fault.drop) return DROP;
      if (fault.status !== null) return faultAnswer(fault);
      return route.handler(ctx);
    }
    // The call takes effect; only its answer is replaced.
    try {
      await route.handler(ctx);
    } catch (err) {
      if (!(err instanceof HttpError)) throw err;
    }
    if (fault.delayMs) await sleep(fault.delayMs);
    if (fault.stall) return STALL;
    if (fault.drop) return DROP;
    return faultAnswer(fault);
  }

  errorAnswer(err) {
    if (err instanceof HttpError) return err.toAnswer();
    this.log(`internal error: ${err.stack || err}`);
    return { status: 500, json: errorBody('internal_error', 'Internal error; see the dev stack log.') };
  }
}

async function startStack(options) {
  const stack = new Stack(options);
  await stack.start();
  return stack;
}

module.exports = { Stack, startStack };
