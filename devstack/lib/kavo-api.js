'use strict';
// The Kavo REST API of one tenant, served under {base}/t/{slug}:
//   POST /api/v1/meetings/uploads/init       upload slot + SAS URL on storage
//   POST /api/v1/meetings/uploads/finalize   checks the committed blob, starts processing
//   GET  /api/v1/meetings/recordings/{id}    UPLOADING / PROCESSING / DELIVERED / FAILED, 404 once deleted
//   GET  /api/me                             the caller and whether meetings are enabled for them
//   GET  /api/branding                       tenant branding, no authentication
//   POST /api/feedback                       support tickets
// Server JSON keys are snake_case; the finalize request is camelCase except
// "recording_id". Validation failures answer 422 with a list of problems.

const crypto = require('node:crypto');
const { HttpError, readJson, errorBody } = require('./http');
const { formatDate, isRfc3339 } = require('./dates');

const MAX_UPLOAD_BYTES = 2147483648;
const WAV_TYPES = ['audio/wav', 'audio/x-wav', 'audio/wave', 'audio/vnd.wave'];

// Collects validation problems in the {type, loc, msg} form.
class Problems {
  constructor() {
    this.list = [];
  }

  add(field, type, msg) {
    this.list.push({ type, loc: ['body', ...(Array.isArray(field) ? field : [field])], msg });
  }

  throwIfAny() {
    if (this.list.length) throw new HttpError(422, { error: 'validation_failed', detail: this.list });
  }
}

const scalarLength = (s) => [...s].length;

function checkField(problems, body, key, kind, { required = true, min, max, loc } = {}) {
  const where = loc || key;
  const present = Object.prototype.hasOwnProperty.call(body, key) && body[key] !== null;
  if (!present) {
    if (required) problems.add(where, 'missing', 'Field required');
    return undefined;
  }
  const v = body[key];
  switch (kind) {
    case 'string':
      if (typeof v !== 'string') return problems.add(where, 'string_type', 'Input should be a valid string');
      if (min !== undefined && scalarLength(v) < min) {
        return problems.add(where, 'string_too_short', `String should have at least ${min} characters`);
      }
      if (max !== undefined && scalarLength(v) > max) {
        return problems.add(where, 'string_too_long', `String should have at most ${max} characters`);
      }
      return v;
    case 'int':
      if (typeof v !== 'number' || !Number.isInteger(v)) return problems.add(where, 'int_type', 'Input should be a valid integer');
      if (min !== undefined && v < min) return problems.add(where, 'greater_than_equal', `Input should be greater than or equal to ${min}`);
      if (max !== undefined && v > max) return problems.add(where, 'less_than_equal', `Input should be less than or equal to ${max}`);
      return v;
    case 'bool':
      if (typeof v !== 'boolean') return problems.add(where, 'bool_type', 'Input should be a valid boolean');
      return v;
    case 'datetime':
      if (!isRfc3339(v)) return problems.add(where, 'datetime_parsing', 'Input should be a valid datetime with a time zone');
      return v;
    case 'object':
      if (v === null || typeof v !== 'object' || Array.isArray(v)) return problems.add(where, 'dict_type', 'Input should be a valid dictionary');
      return v;
    case 'array':
      if (!Array.isArray(v)) return problems.add(where, 'list_type', 'Input should be a valid list');
      return v;
    default:
      throw new Error(`unknown kind ${kind}`);
  }
}

function requireObject(body) {
  if (body === null || typeof body !== 'object' || Array.isArray(body)) {
    throw new HttpError(422, { error: 'validation_failed', detail: [{ type: 'dict_type', loc: ['body'], msg: 'Input should be a valid dictionary' }] });
  }
  return body;
}

class KavoApi {
  constructor(stack) {
    this.stack = stack;
  }

  get settings() {
    return this.stack.settings.api;
  }

  date(d) {
    return formatDate(d, this.settings.dateStyle);
  }

  authenticate(ctx) {
    return this.stack.identity.verifyKavoBearer(ctx.req.headers.authorization, ctx.tenant).user;
  }

  checkMeetingsAccess(ctx, user) {
    if (!this.stack.meetingsAccess(ctx.tenant, user)) {
      throw new HttpError(403, errorBody('meetings_access_denied', 'Meetings access is not enabled for this account.'));
    }
  }

  body(ctx) {
    return readJson(ctx.req, this.stack.config.http.maxBodyBytes).then(requireObject);
  }

  findOwnRecording(ctx, user, id) {
    const rec = this.stack.store.recordings.get(id);
    if (!rec || rec.deleted || rec.tenantId !== ctx.tenant.tenantId || rec.ownerOid !== user.oid) {
      throw new HttpError(404, errorBody('not_found', 'Recording not found.'));
    }
    return rec;
  }

  async init(ctx) {
    const user = this.authenticate(ctx);
    const body = await this.body(ctx);
    const p = new Problems();
    const filename = checkField(p, body, 'filename', 'string', { min: 1, max: 255 });
    const contentType = checkField(p, body, 'content_type', 'string', { min: 1 });
    const size = checkField(p, body, 'size_bytes', 'int', { min: 1, max: MAX_UPLOAD_BYTES });
    if (typeof contentType === 'string' && !WAV_TYPES.includes(contentType.toLowerCase())) {
      p.add('content_type', 'value_error', `Unsupported content type ${JSON.stringify(contentType)}; expected audio/wav`);
    }
    p.throwIfAny();
    this.checkMeetingsAccess(ctx, user);

    const store = this.stack.store;
    let rec = null;
    if (this.settings.reusePendingUploads) {
      // The same file announced again before it was finalized keeps its id,
      // so blocks staged under the earlier link can be reused.
      for (const r of store.recordings.values()) {
        if (!r.deleted && r.state === 'UPLOADING' && r.tenantId === ctx.tenant.tenantId && r.ownerOid === user.oid
          && r.filename === filename && r.sizeBytes === size) {
          rec = r;
          break;
        }
      }
    }
    if (!rec) {
      const id = crypto.randomUUID();
      rec = {
        id,
        tenantId: ctx.tenant.tenantId,
        tenantSlug: ctx.tenant.slug,
        ownerOid: user.oid,
        filename,
        contentType,
        sizeBytes: size,
        container: this.settings.container,
        blobName: `${ctx.tenant.slug}/${id}.wav`,
        state: 'UPLOADING',
        errorMessage: null,
        createdAt: new Date().toISOString(),
        finalizedAt: null,
        deliveredAt: null,
        kavoJobId: null,
        statusReads: 0,
        deliverAfterReads: null,
        initCount: 0,
        finalizeRequest: null,
        deleted: false,
        deletedAt: null,
      };
      store.recordings.set(id, rec);
    }
    rec.initCount++;
    const link = this.stack.blob.uploadURL(rec.container, rec.blobName, this.settings.sasLifetimeSeconds);
    rec.lastUploadUrlExpiresAt = link.expiresOn;
    store.save();
    return {
      status: 200,
      json: { recording_id: rec.id, upload_url: link.url, blob_path: `${rec.container}/${rec.blobName}` },
    };
  }

  async finalize(ctx) {
    const user = this.authenticate(ctx);
    const body = await this.body(ctx);
    const p = new Problems();
    const recordingId = checkField(p, body, 'recording_id', 'string', { min: 1 });
    checkField(p, body, 'captureMode', 'string', { min: 1 });
    checkField(p, body, 'durationSeconds', 'int', { required: false, min: 0 });
    checkField(p, body, 'pausedDurationSeconds', 'int', { min: 0 });
    checkField(p, body, 'capturedAt', 'datetime');
    checkField(p, body, 'capturedUntil', 'datetime', { required: false });
    checkField(p, body, 'audioProfile', 'string', { min: 1 });
    checkField(p, body, 'sampleRateHz', 'int', { min: 1 });
    checkField(p, body, 'channels', 'int', { min: 1, max: 32 });
    checkField(p, body, 'bitRateKbps', 'int', { min: 1 });
    const fileSize = checkField(p, body, 'fileSizeBytes', 'int', { required: false, min: 0 });
    checkField(p, body, 'meetingTitle', 'string', { required: false });
    checkField(p, body, 'meetingStartTime', 'datetime', { required: false });
    checkField(p, body, 'meetingEndTime', 'datetime', { required: false });
    checkField(p, body, 'graphEventId', 'string', { required: false });
    checkField(p, body, 'organizerEmail', 'string', { required: false });
    const speakers = checkField(p, body, 'expectedSpeakers', 'array');
    checkField(p, body, 'shareWithAttendees', 'bool');
    if (Array.isArray(speakers)) {
      speakers.forEach((s, i) => {
        const loc = ['expectedSpeakers', i];
        if (s === null || typeof s !== 'object' || Array.isArray(s)) {
          p.add(loc, 'dict_type', 'Input should be a valid dictionary');
          return;
        }
        checkField(p, s, 'name', 'string', { loc: [...loc, 'name'] });
        checkField(p, s, 'email', 'string', { required: false, loc: [...loc, 'email'] });
        checkField(p, s, 'role', 'string', { required: false, loc: [...loc, 'role'] });
        checkField(p, s, 'accepted', 'bool', { required: false, loc: [...loc, 'accepted'] });
      });
    }
    p.throwIfAny();
    this.checkMeetingsAccess(ctx, user);

    const rec = this.findOwnRecording(ctx, user, recordingId);
    const alreadyFinalized = () => new HttpError(409, errorBody('already_finalized',
      `Recording ${rec.id} is already finalized (state ${rec.state}).`));
    if (rec.state !== 'UPLOADING') throw alreadyFinalized();
    let props;
    try {
      props = await this.stack.blob.getProperties(rec.container, rec.blobName);
    } catch (err) {
      throw new HttpError(503, errorBody('storage_unavailable', `Storage could not be checked: ${err.message}`));
    }
    // Another finalize may have completed while storage was being asked.
    if (rec.deleted) throw new HttpError(404, errorBody('not_found', 'Recording not found.'));
    if (rec.state !== 'UPLOADING') throw alreadyFinalized();
    if (!props) {
      throw new HttpError(422, errorBody('blob_not_committed',
        `No committed blob at ${rec.container}/${rec.blobName}; commit the block list before finalizing.`));
    }
    if (props.size !== rec.sizeBytes) {
      throw new HttpError(422, errorBody('size_mismatch',
        `The committed blob holds ${props.size} bytes but init announced ${rec.sizeBytes}.`));
    }
    if (fileSize !== undefined && fileSize !== rec.sizeBytes) {
      throw new HttpError(422, errorBody('size_mismatch',
        `fileSizeBytes ${fileSize} differs from the ${rec.sizeBytes} bytes announced at init.`));
    }
    rec.state = 'PROCESSING';
    rec.finalizedAt = new Date().toISOString();
    rec.kavoJobId = `job-${crypto.randomBytes(6).toString('hex')}`;
    rec.statusReads = 0;
    rec.finalizeRequest = body;
    this.stack.store.save();
    return { status: 200, json: { recording_id: rec.id, state: rec.state } };
  }

  recordingAnswer(rec) {
    return {
      id: rec.id,
      recording_id: rec.id,
      state: rec.state,
      error_message: rec.errorMessage,
      delivered_at: rec.deliveredAt ? this.date(rec.deliveredAt) : null,
      kavo_job_id: rec.kavoJobId,
      meeting_title: rec.finalizeRequest && typeof rec.finalizeRequest.meetingTitle === 'string' ? rec.finalizeRequest.meetingTitle : null,
      is_owner: true,
      effective_permission: 'owner',
    };
  }

  async recording(ctx) {
    const user = this.authenticate(ctx);
    const rec = this.findOwnRecording(ctx, user, ctx.params.id);
    if (rec.state === 'PROCESSING') {
      // The first `deliverAfterReads` reads after finalize see PROCESSING, the next one DELIVERED.
      const limit = rec.deliverAfterReads ?? this.settings.deliverAfterReads;
      if (rec.statusReads >= limit) {
        rec.state = 'DELIVERED';
        rec.deliveredAt = new Date().toISOString();
      }
      rec.statusReads++;
      this.stack.store.save();
    }
    return { status: 200, json: this.recordingAnswer(rec) };
  }

  me(ctx) {
    const user = this.authenticate(ctx);
    return {
      status: 200,
      json: {
        id: user.oid,
        email: user.email || user.preferredUsername,
        name: user.name,
        is_admin: user.isAdmin,
        meetings_access: this.stack.meetingsAccess(ctx.tenant, user),
      },
    };
  }

  branding(ctx) {
    return { status: 200, json: { ...ctx.tenant.branding } };
  }

  async feedback(ctx) {
    const user = this.authenticate(ctx);
    const body = await this.body(ctx);
    const p = new Problems();
    const category = checkField(p, body, 'category', 'string');
    if (typeof category === 'string' && category !== 'bug' && category !== 'question') {
      p.add('category', 'enum', "Input should be 'bug' or 'question'");
    }
    const subject = checkField(p, body, 'subject', 'string', { min: 5, max: 255 });
    checkField(p, body, 'description', 'string', { min: 10, max: 10000 });
    const recordingId = checkField(p, body, 'recording_id', 'string', { required: false });
    checkField(p, body, 'include_recording', 'bool');
    checkField(p, body, 'diagnostics', 'object');
    p.throwIfAny();
    const store = this.stack.store;
    store.ticketSeq++;
    const ticket = {
      id: `KAVO-${String(store.ticketSeq).padStart(6, '0')}`,
      tenantId: ctx.tenant.tenantId,
      userOid: user.oid,
      userEmail: user.email || user.preferredUsername,
      createdAt: new Date().toISOString(),
      recordingId: recordingId ?? null,
      request: body,
    };
    store.tickets.push(ticket);
    store.save();
    return {
      status: 201,
      json: { id: ticket.id, category, subject, status: 'open', created_at: this.date(ticket.createdAt) },
    };
  }
}

module.exports = { KavoApi, MAX_UPLOAD_BYTES };
