'use strict';
// The upload links the stack hands out, used against the real Azurite: what
// they allow, what they refuse, and what the stack reads back from storage.

const { describe, it, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const h = require('../test-support/harness');

let stack;
let tok;

before(async () => {
  stack = await h.startStack();
});
after(() => stack.dispose());
beforeEach(async () => {
  await h.reset(stack, { data: true });
  tok = await h.kavoToken(stack);
});

async function slot(size, filename = `capture-${crypto.randomUUID()}.wav`) {
  const res = await h.request('POST', `${stack.api()}/api/v1/meetings/uploads/init`, {
    headers: h.bearer(tok), json: { filename, content_type: 'audio/wav', size_bytes: size },
  });
  assert.equal(res.status, 200, res.text);
  return res.json;
}

async function blobBytes(id) {
  const res = await h.request('GET', `${stack.endpoints.adminURL}/recordings/${id}/blob`);
  assert.equal(res.status, 200, res.text);
  return res.body;
}

function storageError(res) {
  return res.headers['x-ms-error-code'];
}

describe('SAS upload links', () => {
  it('let Put Block and Put Block List build the blob byte for byte', async () => {
    const data = crypto.randomBytes(300 * 1024 + 17);
    const s = await slot(data.length);
    const count = Math.ceil(data.length / (64 * 1024));
    // Blocks in any order, one of them sent twice: the list decides.
    for (const i of [4, 0, 2, 1, 3, 2]) {
      const r = await h.putBlock(s.upload_url, i, data.subarray(i * 65536, (i + 1) * 65536));
      assert.equal(r.status, 201, r.text);
    }
    const staged = (await h.admin(stack, 'GET', `/recordings/${s.recording_id}`)).json.blob;
    assert.deepEqual(staged, { committed: false, size: null, contentType: null, committedBlocks: 0, uncommittedBlocks: count });
    const list = await h.putBlockList(s.upload_url, count);
    assert.equal(list.status, 201, list.text);
    assert.deepEqual(await blobBytes(s.recording_id), data);
    const info = (await h.admin(stack, 'GET', `/recordings/${s.recording_id}?sha256=1`)).json.blob;
    assert.equal(info.committed, true);
    assert.equal(info.size, data.length);
    assert.equal(info.contentType, 'audio/wav');
    assert.equal(info.committedBlocks, count);
    assert.equal(info.sha256, crypto.createHash('sha256').update(data).digest('hex'));
  });

  it('let Put Blob store a small file in one request', async () => {
    const data = crypto.randomBytes(5000);
    const s = await slot(data.length);
    const r = await h.putBlob(s.upload_url, data);
    assert.equal(r.status, 201, r.text);
    assert.deepEqual(await blobBytes(s.recording_id), data);
  });

  it('are refused by storage once expired', async () => {
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 4 } });
    const data = crypto.randomBytes(4096);
    const s = await slot(data.length, 'capture-expiry.wav');
    const se = Date.parse(new URL(s.upload_url).searchParams.get('se'));
    assert.ok(se - Date.now() <= 4000 && se - Date.now() > 1000, 'the short lifetime is in "se"');
    assert.equal((await h.putBlock(s.upload_url, 0, data)).status, 201, 'valid before its expiry');
    await h.sleep(Math.max(0, se - Date.now()) + 1100);
    const late = await h.putBlock(s.upload_url, 1, data);
    assert.equal(late.status, 403, late.text);
    assert.equal(storageError(late), 'AuthorizationFailure');
    const lateList = await h.putBlockList(s.upload_url, 1);
    assert.equal(lateList.status, 403);
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: 3600 } });
    const fresh = await slot(data.length, 'capture-expiry.wav');
    assert.equal(fresh.recording_id, s.recording_id, 'announcing the file again gives the same recording');
    assert.equal((await h.putBlockList(fresh.upload_url, 1)).status, 201, 'and a new link commits the block staged earlier');
  });

  it('hand out links that are already expired when the lifetime is negative', async () => {
    await h.admin(stack, 'PATCH', '/settings', { api: { sasLifetimeSeconds: -60 } });
    const s = await slot(100);
    assert.equal((await h.putBlob(s.upload_url, crypto.randomBytes(100))).status, 403);
  });

  it('are refused when tampered with, used for another blob, or used to read', async () => {
    const data = crypto.randomBytes(1024);
    const s = await slot(data.length);
    const u = new URL(s.upload_url);
    const sig = u.searchParams.get('sig');
    u.searchParams.set('sig', (sig[0] === 'A' ? 'B' : 'A') + sig.slice(1));
    assert.equal((await h.putBlob(u.toString(), data)).status, 403, 'altered signature');

    const longer = new URL(s.upload_url);
    longer.searchParams.set('se', new Date(Date.now() + 86400000).toISOString().replace(/\.\d+Z$/, 'Z'));
    assert.equal((await h.putBlob(longer.toString(), data)).status, 403, 'extended expiry');

    const other = new URL(s.upload_url);
    other.pathname = other.pathname.replace(/[^/]+\.wav$/, 'someone-else.wav');
    assert.equal((await h.putBlob(other.toString(), data)).status, 403, 'another blob name');

    assert.equal((await h.putBlob(s.upload_url, data)).status, 201);
    const read = await h.request('GET', s.upload_url);
    assert.equal(read.status, 403, 'the link cannot read back');
  });

  it('carry the checksum check through to storage', async () => {
    const data = crypto.randomBytes(2048);
    const s = await slot(data.length);
    const res = await h.request('PUT', `${s.upload_url}&comp=block&blockid=${encodeURIComponent(h.blockId(0))}`, {
      headers: { 'x-ms-content-crc64': h.crc64Header(Buffer.from('other bytes')) },
      body: data,
    });
    assert.equal(res.status, 400);
    assert.equal(storageError(res), 'Crc64Mismatch');
  });
});

describe('server-side deletion', () => {
  it('removes the blob with the recording unless asked to keep it', async () => {
    const a = await h.uploadRecording(stack, tok, crypto.randomBytes(4000));
    const b = await h.uploadRecording(stack, tok, crypto.randomBytes(4000));
    assert.equal((await h.admin(stack, 'DELETE', `/recordings/${a.recording_id}`)).json.blobDeleted, true);
    assert.equal((await h.admin(stack, 'DELETE', `/recordings/${b.recording_id}?keepBlob=1`)).json.blobDeleted, false);
    const recs = Object.fromEntries((await h.admin(stack, 'GET', '/recordings')).json.recordings.map((r) => [r.id, r]));
    assert.equal(recs[a.recording_id].blob.committed, false);
    assert.equal(recs[b.recording_id].blob.committed, true);
    assert.equal(recs[a.recording_id].deleted, true);
    assert.equal((await h.request('GET', `${stack.endpoints.adminURL}/recordings/${a.recording_id}/blob`)).status, 404);
  });
});
