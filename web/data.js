// The page's data: the payload the writer embeds (gzip, then base64) read
// back into columns, one per field of the events, each answering `get(i)`.

// Bytes of base64 text: natively where the browser can, else through atob,
// which gives one character per byte.
function decodeBase64(text) {
  if (Uint8Array.fromBase64) return Uint8Array.fromBase64(text);
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export async function readPayload(element) {
  const bytes = decodeBase64(element.textContent.trim());
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
  return JSON.parse(await new Response(stream).text());
}

// A list the writer may have written as runs of one value: {runs: [value, count, ...]}.
function expand(list) {
  if (Array.isArray(list)) return list;
  const values = [];
  const runs = list.runs;
  for (let k = 0; k < runs.length; k += 2) {
    for (let n = 0; n < runs[k + 1]; n++) values.push(runs[k]);
  }
  return values;
}

// Running sums of deltas; NaN where a value is absent.
function undelta(list) {
  const deltas = expand(list);
  const values = new Float64Array(deltas.length);
  let previous = 0;
  for (let i = 0; i < deltas.length; i++) {
    const d = deltas[i];
    if (d === null) {
      values[i] = NaN;
    } else {
      previous += d;
      values[i] = previous;
    }
  }
  return values;
}

const HEX = Array.from({ length: 256 }, (_, b) => b.toString(16).padStart(2, "0"));

// Texts by dictionary code; digests and ids come as their bytes ("hex").
class TextColumn {
  constructor(packed) {
    this.name = packed.name;
    this.kind = packed.kind;
    this.dict = packed.dict || null;
    this.bytes = packed.hex === undefined ? null : decodeBase64(packed.hex);
    this.width = (packed.width || 0) / 2;
    this.codes = Uint32Array.from(expand(packed.codes));
  }
  get(i) {
    const code = this.codes[i];
    if (code === 0) return null;
    if (this.dict) return this.dict[code - 1];
    let text = "";
    for (let k = (code - 1) * this.width; k < code * this.width; k++) text += HEX[this.bytes[k]];
    return text;
  }
}

class ListColumn {
  constructor(packed) {
    this.name = packed.name;
    this.kind = packed.kind;
    this.dict = packed.dict;
    this.codes = Uint32Array.from(expand(packed.codes));
    const lengths = expand(packed.lengths);
    this.starts = new Uint32Array(lengths.length + 1);
    lengths.forEach((n, i) => (this.starts[i + 1] = this.starts[i] + n));
  }
  get(i) {
    const items = [];
    for (let k = this.starts[i]; k < this.starts[i + 1]; k++) items.push(this.dict[this.codes[k] - 1]);
    return items;
  }
}

class NumberColumn {
  constructor(packed) {
    this.name = packed.name;
    this.kind = packed.kind;
    this.values = undelta(packed.deltas);
  }
  get(i) {
    const v = this.values[i];
    if (Number.isNaN(v)) return null;
    return this.kind === "bool" ? v !== 0 : v;
  }
}

// Milliseconds for the axis and the filters; the text keeps the digits below
// the millisecond that the events carry.
class TimeColumn {
  constructor(packed) {
    this.name = packed.name;
    this.kind = packed.kind;
    this.values = undelta(packed.deltas);
    this.sub = Uint32Array.from(expand(packed.sub));
  }
  get(i) {
    const ms = this.values[i];
    return Number.isNaN(ms) ? null : formatTime(ms, this.sub[i]);
  }
}

const LEAP = 1000000;

// RFC 3339 in UTC, with as many fraction digits as the instant needs.
export function formatTime(ms, sub = 0) {
  let text = new Date(ms).toISOString().slice(0, 19);
  if (sub >= LEAP) {
    text = text.slice(0, 17) + "60";
    sub -= LEAP;
  }
  const millis = ((ms % 1000) + 1000) % 1000;
  if (sub !== 0) {
    const nanos = String(millis * LEAP + sub).padStart(9, "0");
    text += "." + (sub % 1000 === 0 ? nanos.slice(0, 6) : nanos);
  } else if (millis !== 0) {
    text += "." + String(millis).padStart(3, "0");
  }
  return text + "Z";
}

const KINDS = { text: TextColumn, json: TextColumn, list: ListColumn, number: NumberColumn, bool: NumberColumn, time: TimeColumn };

// Every column of the payload by its dotted name, in the writer's order.
export class Events {
  constructor(payload) {
    this.count = payload.count;
    this.columns = new Map();
    for (const packed of payload.columns) {
      const Kind = KINDS[packed.kind];
      if (Kind) this.columns.set(packed.name, new Kind(packed));
    }
    this.diagnostics = payload.diagnostics || [];
    this.summary = payload.summary || null;
    this.coverage = payload.coverage || null;
  }
  column(name) {
    return this.columns.get(name) || null;
  }
  // One value, or null when the column is absent.
  value(name, i) {
    const c = this.columns.get(name);
    return c ? c.get(i) : null;
  }
}
