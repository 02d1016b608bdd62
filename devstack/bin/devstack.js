#!/usr/bin/env node
'use strict';
// Starts the Kavo dev stack and keeps it running until SIGTERM or SIGINT.
// When ready it prints one line of JSON with every endpoint to stdout (and
// writes the same to DATA/endpoints.json); logs go to stderr.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadConfigFile, buildConfig, ConfigError } = require('../lib/config');
const { Stack } = require('../lib/stack');

const USAGE = `Usage: devstack.js [--port N] [--blob-port N] [--data DIR] [--config FILE] [--in-memory] [--verbose]

  --port N        HTTP port of the stack on 127.0.0.1 (default 0: a free port)
  --blob-port N   port of the Azurite blob service (default 0: a free port)
  --data DIR      data folder: state, signing key, Azurite's files, endpoints.json
                  (default: a new folder under ${os.tmpdir()})
  --config FILE   JSON file merged over the built-in tenants, users and settings
  --in-memory     keep Azurite's blobs in memory instead of DATA/azurite
  --verbose       log every request and Azurite's output to stderr
`;

function parseArgs(argv) {
  const opts = { port: 0, blobPort: 0, data: null, config: null, inMemory: false, verbose: false };
  const takePort = (name, v) => {
    const n = Number(v);
    if (!Number.isInteger(n) || n < 0 || n > 65535) throw new Error(`${name} needs a port number from 0 to 65535`);
    return n;
  };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${arg} needs a value`);
      return argv[++i];
    };
    switch (arg) {
      case '--port': opts.port = takePort(arg, value()); break;
      case '--blob-port': opts.blobPort = takePort(arg, value()); break;
      case '--data': opts.data = value(); break;
      case '--config': opts.config = value(); break;
      case '--in-memory': opts.inMemory = true; break;
      case '--verbose': opts.verbose = true; break;
      case '-h':
      case '--help': opts.help = true; break;
      default: throw new Error(`unknown argument ${arg}`);
    }
  }
  return opts;
}

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (err) {
    process.stderr.write(`devstack: ${err.message}\n${USAGE}`);
    process.exit(2);
  }
  if (opts.help) {
    process.stdout.write(USAGE);
    return;
  }
  // Whoever started the stack may close its end of our pipes; that is no reason to stop.
  process.stdout.on('error', () => {});
  process.stderr.on('error', () => {});
  const log = (msg) => {
    try {
      process.stderr.write(`devstack: ${msg}\n`);
    } catch {
      // nowhere to report it
    }
  };
  let config;
  try {
    config = opts.config ? loadConfigFile(opts.config) : buildConfig();
  } catch (err) {
    if (err instanceof ConfigError) {
      log(`bad configuration: ${err.message}`);
      process.exit(2);
    }
    throw err;
  }
  const dataDir = opts.data ? path.resolve(opts.data) : fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-devstack-'));

  let stack;
  let stopping = false;
  const shutdown = async (why, code) => {
    if (stopping) return;
    stopping = true;
    // Whatever happens while stopping, the process ends within a bounded time.
    setTimeout(() => process.exit(code || 1), 15000).unref();
    log(`stopping (${why})`);
    try {
      if (stack) await stack.stop();
    } catch (err) {
      log(`error while stopping: ${err.message}`);
      code = code || 1;
    }
    process.exit(code);
  };
  process.on('SIGTERM', () => shutdown('SIGTERM', 0));
  process.on('SIGINT', () => shutdown('SIGINT', 0));
  process.on('SIGHUP', () => shutdown('SIGHUP', 0));
  process.on('uncaughtException', (err) => {
    if (stopping) return;
    log(`uncaught: ${err.stack || err}`);
    shutdown('uncaught exception', 1);
  });

  stack = new Stack({
    config,
    dataDir,
    port: opts.port,
    blobPort: opts.blobPort,
    inMemory: opts.inMemory,
    log: opts.verbose ? log : () => {},
  });
  try {
    await stack.start();
  } catch (err) {
    if (stopping) return;
    log(`could not start: ${err.message}`);
    process.exit(1);
  }
  if (stopping) return;
  if (opts.verbose) {
    stack.server.on('request', (req, res) => {
      res.once('close', () => log(`${req.method} ${req.url.split('?')[0]} -> ${res.headersSent ? res.statusCode : 'no answer'}`));
    });
  }
  stack.azurite.onUnexpectedExit = ({ code, signal, output }) => {
    log(`Azurite exited unexpectedly (code ${code}, signal ${signal}):\n${output}`);
    shutdown('Azurite exited', 1);
  };
  const endpoints = stack.endpoints();
  process.stdout.write(`${JSON.stringify(endpoints)}\n`);
  log(`listening on ${endpoints.baseURL} (admin ${endpoints.adminURL}, blob ${endpoints.blobEndpoint}, data ${dataDir})`);
}

main().catch((err) => {
  process.stderr.write(`devstack: ${err.stack || err}\n`);
  process.exit(1);
});
