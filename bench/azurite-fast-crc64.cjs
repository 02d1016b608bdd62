// Loaded into Azurite (node -r) by the upload benchmark. Azurite checks every Put Block
// with a CRC-64 computed one byte at a time in JavaScript (about 100 MB/s), whether or not
// the client sent one, so against a stock Azurite every client waits on that loop and the
// two clients' times say nothing about the clients. This swaps in a slicing-by-8 CRC-64
// (about 500 MB/s) with the same results: every block is still checked, and a wrong value
// still gets 400 Crc64Mismatch. Azurite refuses to start if the swap did not happen or
// disagrees with its own CRC-64.
"use strict";
const crypto = require("crypto");
const Module = require("module");

const POLY_HI = 0x9a6c9329;
const POLY_LO = 0xac4bc9b5;
// Table k holds the CRC of byte i followed by k zero bytes, as 32-bit halves.
const HI = Array.from({ length: 8 }, () => new Int32Array(256));
const LO = Array.from({ length: 8 }, () => new Int32Array(256));
for (let i = 0; i < 256; i++) {
  let hi = 0;
  let lo = i;
  for (let bit = 0; bit < 8; bit++) {
    const odd = lo & 1;
    lo = ((hi & 1) << 31) | (lo >>> 1);
    hi >>>= 1;
    if (odd) {
      hi ^= POLY_HI;
      lo ^= POLY_LO;
    }
  }
  HI[0][i] = hi;
  LO[0][i] = lo;
}
for (let k = 1; k < 8; k++) {
  for (let i = 0; i < 256; i++) {
    const hi = HI[k - 1][i];
    const lo = LO[k - 1][i];
    HI[k][i] = (hi >>> 8) ^ HI[0][lo & 0xff];
    LO[k][i] = ((hi << 24) | (lo >>> 8)) ^ LO[0][lo & 0xff];
  }
}
const [H0, H1, H2, H3, H4, H5, H6, H7] = HI;
const [L0, L1, L2, L3, L4, L5, L6, L7] = LO;

class Crc64 {
  constructor() {
    this.hi = -1;
    this.lo = -1;
  }
  update(bytes) {
    let hi = this.hi;
    let lo = this.lo;
    const n = bytes.length;
    const whole = n - (n & 7);
    let i = 0;
    for (; i < whole; i += 8) {
      lo ^= bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (bytes[i + 3] << 24);
      hi ^= bytes[i + 4] | (bytes[i + 5] << 8) | (bytes[i + 6] << 16) | (bytes[i + 7] << 24);
      const a = lo & 0xff, b = (lo >>> 8) & 0xff, c = (lo >>> 16) & 0xff, d = lo >>> 24;
      const e = hi & 0xff, f = (hi >>> 8) & 0xff, g = (hi >>> 16) & 0xff, h = hi >>> 24;
      lo = L7[a] ^ L6[b] ^ L5[c] ^ L4[d] ^ L3[e] ^ L2[f] ^ L1[g] ^ L0[h];
      hi = H7[a] ^ H6[b] ^ H5[c] ^ H4[d] ^ H3[e] ^ H2[f] ^ H1[g] ^ H0[h];
    }
    for (; i < n; i++) {
      const t = (lo ^ bytes[i]) & 0xff;
      lo = ((hi << 24) | (lo >>> 8)) ^ L0[t];
      hi = (hi >>> 8) ^ H0[t];
    }
    this.hi = hi;
    this.lo = lo;
    return this;
  }
  // Little-endian, after the final inversion, as Azurite's own digest.
  digest() {
    const out = new Uint8Array(8);
    const view = new DataView(out.buffer);
    view.setUint32(0, ~this.lo >>> 0, true);
    view.setUint32(4, ~this.hi >>> 0, true);
    return out;
  }
}

function agreesWithAzurite(utils) {
  for (const size of [0, 1, 7, 8, 9, 63, 4096, 65537]) {
    const bytes = crypto.randomBytes(size);
    const theirs = Buffer.from(utils.getCRC64FromString(bytes));
    if (!theirs.equals(Buffer.from(new Crc64().update(bytes).digest()))) return false;
  }
  return true;
}

// Same contract as Azurite's computeTransactionalChecksums: MD5 and/or CRC-64 in one pass.
function computeTransactionalChecksums(stream, expected, force) {
  const md5 = expected.md5 !== undefined || force?.md5 ? crypto.createHash("md5") : undefined;
  const crc = expected.crc64 !== undefined || force?.crc64 ? new Crc64() : undefined;
  return new Promise((resolve, reject) => {
    stream
      .on("data", (chunk) => {
        md5?.update(chunk);
        crc?.update(chunk);
      })
      .on("end", () =>
        resolve({
          md5: md5 ? new Uint8Array(md5.digest()) : undefined,
          crc64: crc?.digest(),
        }),
      )
      .on("error", reject);
  });
}

let swapped = false;
const originalRequire = Module.prototype.require;
Module.prototype.require = function (id) {
  const exported = originalRequire.apply(this, arguments);
  if (!swapped && exported && typeof exported.computeTransactionalChecksums === "function") {
    swapped = true;
    if (!agreesWithAzurite(exported)) {
      console.error("azurite-fast-crc64: results differ from Azurite's own CRC-64");
      process.exit(1);
    }
    exported.computeTransactionalChecksums = computeTransactionalChecksums;
  }
  return exported;
};

// Azurite loads its modules before the event loop first turns.
setImmediate(() => {
  if (!swapped) {
    console.error("azurite-fast-crc64: Azurite's checksum module was not found");
    process.exit(1);
  }
});
