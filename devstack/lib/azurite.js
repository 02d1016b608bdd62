'use strict';
// Runs Azurite's blob service as a child process of the stack, started with
// node directly (so the pid we hold is the server's own), on loopback, without
// telemetry. Persistence is either in memory or a folder inside the stack's
// data folder.

const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const ROOT = path.resolve(__dirname, '..');
const READY_RE = /successfully listens on (http:\/\/[^\s]+)/;

function azuriteBlobEntry() {
  const pkgFile = path.join(ROOT, 'node_modules', 'azurite', 'package.json');
  let pkg;
  try {
    pkg = JSON.parse(fs.readFileSync(pkgFile, 'utf8'));
  } catch {
    throw new Error(`azurite is not installed in ${ROOT}/node_modules; run "npm ci" in ${ROOT} (or use run.sh, which does)`);
  }
  return { entry: path.join(ROOT, 'node_modules', 'azurite', pkg.bin['azurite-blob']), version: pkg.version };
}

class Azurite {
  constructor({ dataDir, port = 0, inMemory = false, log = () => {} }) {
    this.dataDir = dataDir;
    this.port = port;
    this.inMemory = inMemory;
    this.log = log;
    this.child = null;
    this.exited = null;
    this.output = '';
    this.onUnexpectedExit = null;
    this.stopping = false;
  }

  start(timeoutMs = 60000) {
    const { entry, version } = azuriteBlobEntry();
    this.version = version;
    const workDir = path.join(this.dataDir, 'azurite');
    fs.mkdirSync(workDir, { recursive: true });
    const args = [entry,
      '--blobHost', '127.0.0.1',
      '--blobPort', String(this.port),
      '--skipApiVersionCheck',
      '--disableTelemetry',
      '--silent',
    ];
    if (this.inMemory) args.push('--inMemoryPersistence');
    else args.push('--location', workDir);
    const env = { ...process.env };
    delete env.AZURITE_ACCOUNTS; // the development account and key only
    const child = spawn(process.execPath, args, { cwd: workDir, env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.child = child;
    this.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    return new Promise((resolve, reject) => {
      let ready = false;
      const timer = setTimeout(() => {
        if (ready) return;
        child.kill('SIGKILL');
        reject(new Error(`Azurite did not report ready within ${timeoutMs} ms:\n${this.output}`));
      }, timeoutMs);
      const onOutput = (chunk) => {
        const text = chunk.toString('utf8');
        this.output = (this.output + text).slice(-8192);
        for (const line of text.split('\n')) if (line.trim()) this.log(`azurite: ${line.trim()}`);
        const m = READY_RE.exec(this.output);
        if (m && !ready) {
          ready = true;
          clearTimeout(timer);
          const url = new URL(m[1]);
          this.port = Number(url.port);
          this.url = `http://127.0.0.1:${this.port}`;
          resolve(this);
        }
      };
      child.stdout.on('data', onOutput);
      child.stderr.on('data', onOutput);
      child.once('error', (err) => {
        clearTimeout(timer);
        if (!ready) reject(err);
      });
      this.exited.then(({ code, signal }) => {
        clearTimeout(timer);
        if (!ready) {
          reject(new Error(`Azurite exited before it was ready (code ${code}, signal ${signal}):\n${this.output}`));
        } else if (!this.stopping && this.onUnexpectedExit) {
          this.onUnexpectedExit({ code, signal, output: this.output });
        }
      });
    });
  }

  get pid() {
    return this.child ? this.child.pid : null;
  }

  // SIGTERM, then SIGKILL if it has not exited within the grace period.
  async stop(graceMs = 5000) {
    if (!this.child) return;
    this.stopping = true;
    if (this.child.exitCode === null && this.child.signalCode === null) {
      this.child.kill('SIGTERM');
      const timer = setTimeout(() => this.child.kill('SIGKILL'), graceMs);
      await this.exited;
      clearTimeout(timer);
    }
  }
}

module.exports = { Azurite, azuriteBlobEntry };
