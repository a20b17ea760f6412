// The time axis: one lane per session (its subagents' lanes under it), each
// event a tick in its type's colour. Drawn on a canvas so that hundreds of
// thousands of events stay smooth. The wheel zooms around the pointer, a drag
// pans, a shift-drag brushes a time range, a click picks the nearest event.

import { typeColor } from "./colors.js";
import { formatTime } from "./data.js";

const LANE = 16;
const SCALE = 22;
const LABEL = 150;
const PICK = 5;
const DAY = 864e5;
const STEPS = [1, 5, 10, 50, 100, 500, 1e3, 5e3, 15e3, 6e4, 3e5, 9e5, 36e5, 6 * 36e5, DAY, 7 * DAY, 14 * DAY, 28 * DAY, 91 * DAY, 364 * DAY];

export class Axis {
  constructor(canvas, model, handlers) {
    this.canvas = canvas;
    this.model = model;
    this.handlers = handlers;
    this.view = pad(model.focus);
    this.kept = null;
    this.selected = -1;
    this.brush = null;
    this.span = null;
    this.drag = null;
    this.scrollTop = 0;
    this.pending = false;
    this.listen();
  }

  setKept(kept) {
    this.kept = kept;
    this.draw();
  }
  select(i) {
    this.selected = i;
    const t = this.model.time[i];
    if (t < this.view[0] || t > this.view[1]) {
      const w = this.view[1] - this.view[0];
      this.view = [t - w / 2, t + w / 2];
      this.handlers.onView(this.view);
    }
    this.scrollToLane(this.model.rowOfLane[this.model.laneOf[i]]);
    this.draw();
  }
  setBrush(range) {
    this.brush = range;
    this.draw();
  }
  // The time span the list shows, drawn as a band.
  setSpan(span) {
    this.span = span;
    this.draw();
  }

  x(t) {
    return LABEL + ((t - this.view[0]) / (this.view[1] - this.view[0])) * (this.width - LABEL);
  }
  t(x) {
    return this.view[0] + ((x - LABEL) / (this.width - LABEL)) * (this.view[1] - this.view[0]);
  }

  resize() {
    const ratio = window.devicePixelRatio || 1;
    const box = this.canvas.getBoundingClientRect();
    this.width = box.width;
    this.height = box.height;
    this.canvas.width = Math.round(box.width * ratio);
    this.canvas.height = Math.round(box.height * ratio);
    this.ratio = ratio;
    this.draw();
  }

  scrollToLane(row) {
    const visible = Math.floor((this.height - SCALE) / LANE);
    if (row < this.scrollTop || row >= this.scrollTop + visible) this.scrollTop = Math.max(0, row - Math.floor(visible / 2));
  }

  // Draws at the next frame, once however often it is asked for before then.
  draw() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.paint();
    });
  }

  paint() {
    if (!this.width) return;
    const g = this.canvas.getContext("2d");
    const style = getComputedStyle(document.documentElement);
    const dark = document.documentElement.dataset.theme === "dark";
    const color = (name) => style.getPropertyValue(name).trim();
    g.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    g.fillStyle = color("--bg");
    g.fillRect(0, 0, this.width, this.height);
    const lanes = this.model.lanes;
    const rows = Math.max(0, Math.floor((this.height - SCALE) / LANE));
    this.scrollTop = Math.max(0, Math.min(this.scrollTop, lanes.length - rows));
    g.font = "11px system-ui, sans-serif";
    g.textBaseline = "middle";
    for (let r = 0; r < rows && r + this.scrollTop < lanes.length; r++) {
      const lane = lanes[r + this.scrollTop];
      const y = SCALE + r * LANE;
      g.fillStyle = r % 2 ? color("--stripe") : color("--bg");
      g.fillRect(0, y, this.width, LANE);
      g.fillStyle = color("--muted");
      g.fillText((lane.depth ? "  └ " : "") + lane.label.slice(0, 22), 4, y + LANE / 2);
    }
    this.drawScale(g, color);
    g.fillStyle = color("--muted");
    const last = Math.min(lanes.length, this.scrollTop + rows);
    g.fillText(`lanes ${this.scrollTop + 1}–${last} of ${lanes.length}`, 4, SCALE / 2);
    this.drawEvents(g, dark, rows);
    this.drawMarks(g, color);
  }

  drawScale(g, color) {
    const span = this.view[1] - this.view[0];
    const pixels = (s) => (s / span) * (this.width - LABEL);
    const longest = STEPS[STEPS.length - 1];
    const step = STEPS.find((s) => pixels(s) > 80) || longest * Math.ceil(80 / pixels(longest));
    g.strokeStyle = color("--line");
    g.fillStyle = color("--muted");
    g.beginPath();
    for (let t = Math.ceil(this.view[0] / step) * step; t <= this.view[1]; t += step) {
      const x = Math.round(this.x(t)) + 0.5;
      if (x < LABEL) continue;
      g.moveTo(x, SCALE - 4);
      g.lineTo(x, this.height);
      g.fillText(label(t, step), x + 3, SCALE / 2);
    }
    g.stroke();
  }

  drawEvents(g, dark, rows) {
    const model = this.model;
    const kept = this.kept;
    if (!kept) return;
    const colors = model.codes.type.values.map((name) => typeColor(name, dark));
    // One tick per lane, pixel and type: later events drawn over the same
    // pixel would add nothing.
    let lastKey = -1;
    const left = LABEL;
    const scale = (this.width - LABEL) / (this.view[1] - this.view[0]);
    let current = -1;
    for (let k = 0; k < kept.length; k++) {
      const i = kept[k];
      const t = model.time[i];
      if (!(t >= this.view[0] && t <= this.view[1])) continue;
      const row = model.rowOfLane[model.laneOf[i]] - this.scrollTop;
      if (row < 0 || row >= rows) continue;
      const x = Math.floor(left + (t - this.view[0]) * scale);
      const type = model.of.type[i];
      const key = (row * 8192 + x) * 64 + type;
      if (key === lastKey) continue;
      lastKey = key;
      if (type !== current) {
        g.fillStyle = colors[type];
        current = type;
      }
      g.fillRect(x, SCALE + row * LANE + 2, 2, LANE - 4);
    }
  }

  drawMarks(g, color) {
    if (this.span) {
      g.fillStyle = color("--span");
      const a = Math.max(LABEL, this.x(this.span[0]));
      g.fillRect(a, SCALE, Math.max(2, this.x(this.span[1]) - a), this.height - SCALE);
    }
    if (this.brush) {
      g.fillStyle = color("--brush");
      const a = Math.max(LABEL, this.x(this.brush[0]));
      g.fillRect(a, 0, Math.max(2, this.x(this.brush[1]) - a), this.height);
    }
    if (this.selected >= 0 && !Number.isNaN(this.model.time[this.selected])) {
      const x = Math.round(this.x(this.model.time[this.selected])) + 0.5;
      g.strokeStyle = color("--accent");
      g.beginPath();
      g.moveTo(x, 0);
      g.lineTo(x, this.height);
      g.stroke();
    }
  }

  zoom(factor, x) {
    const at = this.t(Math.max(LABEL, x));
    this.view = [at - (at - this.view[0]) * factor, at + (this.view[1] - at) * factor];
    this.handlers.onView(this.view);
    this.draw();
  }

  // The kept event nearest to (x, y) within a few pixels, or -1.
  pick(x, y) {
    const row = Math.floor((y - SCALE) / LANE) + this.scrollTop;
    const lane = this.model.lanes[row];
    if (!lane || !this.kept) return -1;
    let best = -1;
    let bestDistance = PICK;
    for (const i of this.kept) {
      if (this.model.laneOf[i] !== lane.code) continue;
      const d = Math.abs(this.x(this.model.time[i]) - x);
      if (d <= bestDistance) {
        best = i;
        bestDistance = d;
      }
    }
    return best;
  }

  listen() {
    const c = this.canvas;
    const point = (e) => {
      const box = c.getBoundingClientRect();
      return [e.clientX - box.left, e.clientY - box.top];
    };
    c.addEventListener("wheel", (e) => {
      e.preventDefault();
      const [x, y] = point(e);
      if (x < LABEL) {
        this.scrollTop += Math.sign(e.deltaY);
        this.draw();
      } else {
        this.zoom(e.deltaY > 0 ? 1.25 : 0.8, x);
      }
    }, { passive: false });
    c.addEventListener("mousedown", (e) => {
      const [x] = point(e);
      this.drag = { x, view: this.view, brush: e.shiftKey, moved: false };
    });
    window.addEventListener("mousemove", (e) => {
      if (!this.drag) return;
      const [x] = point(e);
      if (Math.abs(x - this.drag.x) > 3) this.drag.moved = true;
      if (!this.drag.moved) return;
      if (this.drag.brush) {
        const a = this.t(Math.min(x, this.drag.x));
        const b = this.t(Math.max(x, this.drag.x));
        this.setBrush([a, b]);
      } else {
        const dt = ((x - this.drag.x) / (this.width - LABEL)) * (this.drag.view[1] - this.drag.view[0]);
        this.view = [this.drag.view[0] - dt, this.drag.view[1] - dt];
        this.draw();
      }
    });
    window.addEventListener("mouseup", (e) => {
      const drag = this.drag;
      this.drag = null;
      if (!drag) return;
      if (drag.moved && drag.brush) this.handlers.onBrush(this.brush);
      else if (drag.moved) this.handlers.onView(this.view);
      else {
        const [x, y] = point(e);
        const i = this.pick(x, y);
        if (i >= 0) this.handlers.onPick(i);
      }
    });
    c.addEventListener("dblclick", () => {
      this.view = pad(this.model.extent);
      this.handlers.onView(this.view);
      this.draw();
    });
    new ResizeObserver(() => this.resize()).observe(c);
  }
}

function pad([a, b]) {
  const m = (b - a) * 0.02;
  return [a - m, b + m];
}

function label(t, step) {
  const text = formatTime(t);
  if (step >= DAY) return text.slice(0, 10);
  if (step >= 6e4) return text.slice(5, 16).replace("T", " ");
  if (step >= 1e3) return text.slice(11, 19);
  return text.slice(11, 23);
}
