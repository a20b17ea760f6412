// The events as arrays the axis, the list and the filters read quickly:
// times, a small code per event for each value a filter chooses among, and
// the lanes (sessions, their subagents under them).

import { COLUMNS } from "./fields.js";

// Distinct values numbered in order of appearance; code 0 is "none".
class Codes {
  constructor(values = []) {
    this.values = [null, ...values];
    this.index = new Map(values.map((v, k) => [v, k + 1]));
  }
  code(value) {
    if (value === null || value === undefined) return 0;
    let c = this.index.get(value);
    if (c === undefined) {
      c = this.values.length;
      this.values.push(value);
      this.index.set(value, c);
    }
    return c;
  }
}

export const DIMENSIONS = ["provider", "type", "actor", "tool", "session"];

export class Model {
  constructor(events, facts) {
    const n = events.count;
    this.events = events;
    this.facts = facts;
    this.count = n;
    const time = events.column(COLUMNS.time);
    this.time = time ? time.values : new Float64Array(n).fill(NaN);
    this.codes = {};
    this.of = {};
    for (const d of DIMENSIONS) {
      this.codes[d] = new Codes();
      this.of[d] = new Uint32Array(n);
    }
    // A column's own dictionary codes serve as they are.
    const own = { provider: COLUMNS.provider, type: COLUMNS.type, session: COLUMNS.session };
    for (const [d, name] of Object.entries(own)) {
      const column = events.column(name);
      if (column && column.dict) {
        this.codes[d] = new Codes(column.dict);
        this.of[d] = column.codes;
        delete own[d];
      }
    }
    // The rest are read or derived event by event.
    const derive = { actor: (i) => facts.actor(i), tool: (i) => facts.tool(i) };
    for (const [d, name] of Object.entries(own)) derive[d] = (i) => events.value(name, i);
    const derived = Object.keys(derive);
    const laneCodes = new Codes();
    this.laneOf = new Uint32Array(n);
    const lanes = new Map();
    for (let i = 0; i < n; i++) {
      for (const d of derived) this.of[d][i] = this.codes[d].code(derive[d](i));
      const lane = facts.lane(i);
      this.laneOf[i] = laneCodes.code(lane.key);
      if (!lanes.has(lane.key)) lanes.set(lane.key, { ...lane, code: this.laneOf[i], count: 0, first: Infinity });
      const entry = lanes.get(lane.key);
      entry.count++;
      if (this.time[i] < entry.first) entry.first = this.time[i];
    }
    this.lanes = orderLanes([...lanes.values()]);
    this.rowOfLane = new Uint32Array(laneCodes.values.length);
    this.lanes.forEach((lane, row) => (this.rowOfLane[lane.code] = row));
    this.extent = this.span(() => true);
    // What the axis opens on: the sessions' time. Files stamped only with
    // their modification time (caches, snapshots) may lie months away.
    const sessions = this.of.session;
    this.focus = this.codes.session.values.length > 1 ? this.span((i) => sessions[i] !== 0) : this.extent;
    this.lowered = null;
  }

  // The first and last time of the events that `keep`; a second at least.
  span(keep) {
    let lo = Infinity;
    let hi = -Infinity;
    for (let i = 0; i < this.count; i++) {
      const t = this.time[i];
      if (!keep(i) || Number.isNaN(t)) continue;
      if (t < lo) lo = t;
      if (t > hi) hi = t;
    }
    return lo <= hi ? [lo, Math.max(hi, lo + 1000)] : [0, 1000];
  }

  // The events that pass every filter set in `state`, in timeline order.
  select(state) {
    const { range, text } = state;
    const chosen = DIMENSIONS.filter((d) => state[d] !== null).map((d) => [this.of[d], this.codes[d].index.get(state[d]) ?? -1]);
    const needle = text ? text.toLowerCase() : "";
    if (needle && !this.lowered) this.lowered = Array.from({ length: this.count }, (_, i) => (this.events.value(COLUMNS.message, i) || "").toLowerCase());
    const kept = new Uint32Array(this.count);
    let k = 0;
    outer: for (let i = 0; i < this.count; i++) {
      for (const [codes, code] of chosen) if (codes[i] !== code) continue outer;
      if (range) {
        const t = this.time[i];
        if (!(t >= range[0] && t < range[1])) continue;
      }
      if (needle && !this.lowered[i].includes(needle)) continue;
      kept[k++] = i;
    }
    return kept.subarray(0, k);
  }
}

// Sessions by their first event, each followed by its subagents.
function orderLanes(lanes) {
  const byFirst = (a, b) => a.first - b.first || (a.key < b.key ? -1 : a.key > b.key ? 1 : 0);
  const keys = new Set(lanes.map((l) => l.key));
  const roots = lanes.filter((l) => l.parent === null || !keys.has(l.parent)).sort(byFirst);
  const ordered = [];
  for (const root of roots) {
    ordered.push(root);
    for (const child of lanes.filter((l) => l.parent === root.key).sort(byFirst)) ordered.push({ ...child, depth: 1 });
  }
  return ordered.map((l) => ({ depth: 0, ...l }));
}
