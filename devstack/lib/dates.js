'use strict';
// Timestamps in the shapes the Kavo server is known to send. The style is a
// setting so that clients can be tried against each shape.
//   micros-offset   2025-03-04T09:15:00.123000+00:00   (default)
//   millis-z        2025-03-04T09:15:00.123Z
//   seconds-z       2025-03-04T09:15:00Z
//   seconds-offset  2025-03-04T09:15:00+00:00

function formatDate(date, style) {
  const iso = new Date(date).toISOString(); // 2025-03-04T09:15:00.123Z
  const seconds = iso.slice(0, 19);
  const millis = iso.slice(20, 23);
  switch (style) {
    case 'millis-z': return `${seconds}.${millis}Z`;
    case 'seconds-z': return `${seconds}Z`;
    case 'seconds-offset': return `${seconds}+00:00`;
    case 'micros-offset':
    default: return `${seconds}.${millis}000+00:00`;
  }
}

// RFC 3339 date-time with a zone, as clients send it.
const RFC3339_RE = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})$/;

function isRfc3339(text) {
  if (typeof text !== 'string') return false;
  const m = RFC3339_RE.exec(text);
  if (!m) return false;
  const [, y, mo, d, h, mi, s] = m.map(Number);
  if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 60) return false;
  const days = new Date(Date.UTC(y, mo, 0)).getUTCDate();
  return d <= days;
}

module.exports = { formatDate, isRfc3339 };
