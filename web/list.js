// The events that pass the filters, as a list that makes rows only for what
// is on screen: a spacer as tall as every row, and a few rows moved over it.

import { typeColor } from "./colors.js";
import { COLUMNS } from "./fields.js";
import { formatTime } from "./data.js";

const ROW = 22;

export class EventList {
  constructor(body, space, model, handlers) {
    this.body = body;
    this.space = space;
    this.model = model;
    this.handlers = handlers;
    this.kept = new Uint32Array(0);
    this.selected = -1;
    this.rows = [];
    body.addEventListener("scroll", () => this.render());
    body.addEventListener("click", (e) => {
      const row = e.target.closest(".row");
      if (row && row.dataset.index) this.handlers.onPick(Number(row.dataset.index));
    });
    new ResizeObserver(() => this.render()).observe(body);
  }

  setKept(kept) {
    this.kept = kept;
    this.space.style.height = `${kept.length * ROW}px`;
    this.render();
  }

  // Where event i sits among the kept ones, or -1.
  position(i) {
    let lo = 0;
    let hi = this.kept.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (this.kept[mid] < i) lo = mid + 1;
      else hi = mid;
    }
    return this.kept[lo] === i ? lo : -1;
  }

  select(i) {
    this.selected = i;
    const at = this.position(i);
    if (at >= 0) {
      const top = at * ROW;
      if (top < this.body.scrollTop || top + ROW > this.body.scrollTop + this.body.clientHeight) {
        this.body.scrollTop = top - this.body.clientHeight / 2;
      }
    }
    this.render();
  }

  // Shows the first kept event at or after time t.
  scrollToTime(t) {
    const time = this.model.time;
    let lo = 0;
    let hi = this.kept.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (time[this.kept[mid]] < t) lo = mid + 1;
      else hi = mid;
    }
    this.body.scrollTop = lo * ROW;
  }

  // The kept event `step` rows from the selected one (or the first on screen).
  neighbour(step) {
    if (this.kept.length === 0) return -1;
    let at = this.position(this.selected);
    if (at < 0) at = Math.floor(this.body.scrollTop / ROW) - (step > 0 ? 1 : 0);
    return this.kept[Math.max(0, Math.min(this.kept.length - 1, at + step))];
  }
  pageRows() {
    return Math.max(1, Math.floor(this.body.clientHeight / ROW) - 1);
  }

  render() {
    const first = Math.floor(this.body.scrollTop / ROW);
    const count = Math.min(this.kept.length - first, Math.ceil(this.body.clientHeight / ROW) + 2);
    while (this.rows.length < count) this.rows.push(this.makeRow());
    const events = this.model.events;
    const dark = document.documentElement.dataset.theme === "dark";
    this.rows.forEach((row, r) => {
      if (r >= count) {
        row.hidden = true;
        return;
      }
      const i = this.kept[first + r];
      row.hidden = false;
      row.style.top = `${(first + r) * ROW}px`;
      row.dataset.index = String(i);
      row.setAttribute("aria-selected", String(i === this.selected));
      const type = events.value(COLUMNS.type, i) || "";
      const [time, chip, session, message] = row.children;
      const t = this.model.time[i];
      time.textContent = Number.isNaN(t) ? "—" : formatTime(t).slice(0, 19).replace("T", " ");
      chip.textContent = type;
      chip.style.borderColor = typeColor(type, dark);
      session.textContent = (events.value(COLUMNS.session, i) || "").slice(0, 8);
      message.textContent = (events.value(COLUMNS.message, i) || "").slice(0, 300);
    });
    if (count > 0) {
      const last = this.kept[first + count - 1];
      this.handlers.onSpan([this.model.time[this.kept[first]], this.model.time[last]]);
    }
  }

  makeRow() {
    const row = document.createElement("div");
    row.className = "row event";
    row.setAttribute("role", "option");
    for (const name of ["time", "chip", "session", "message"]) {
      const cell = document.createElement("span");
      cell.className = name;
      row.append(cell);
    }
    this.space.append(row);
    return row;
  }
}
