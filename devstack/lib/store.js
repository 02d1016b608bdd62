'use strict';
// What the stack must remember across restarts on the same data folder:
// recordings, support tickets and each user's token generation (bumped to
// revoke refresh tokens). Written atomically after every change.

const fs = require('node:fs');
const path = require('node:path');

class Store {
  constructor(file) {
    this.file = file;
    this.recordings = new Map();
    this.tickets = [];
    this.ticketSeq = 0;
    this.tokenGenerations = {};
    this.load();
  }

  load() {
    let data;
    try {
      data = JSON.parse(fs.readFileSync(this.file, 'utf8'));
    } catch (err) {
      if (err.code === 'ENOENT') return;
      throw new Error(`state file ${this.file} is unreadable (${err.message}); remove it to start afresh`);
    }
    for (const r of data.recordings || []) this.recordings.set(r.id, r);
    this.tickets = data.tickets || [];
    this.ticketSeq = data.ticketSeq || 0;
    this.tokenGenerations = data.tokenGenerations || {};
  }

  save() {
    const data = {
      recordings: [...this.recordings.values()],
      tickets: this.tickets,
      ticketSeq: this.ticketSeq,
      tokenGenerations: this.tokenGenerations,
    };
    const tmp = path.join(path.dirname(this.file), `.${path.basename(this.file)}.${process.pid}.tmp`);
    fs.writeFileSync(tmp, JSON.stringify(data));
    fs.renameSync(tmp, this.file);
  }

  generation(oid) {
    return this.tokenGenerations[oid] || 0;
  }

  bumpGeneration(oid) {
    this.tokenGenerations[oid] = this.generation(oid) + 1;
    this.save();
    return this.tokenGenerations[oid];
  }

  clearData() {
    this.recordings.clear();
    this.tickets = [];
    this.save();
  }
}

module.exports = { Store };
