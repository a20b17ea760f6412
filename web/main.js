// The page: reads the embedded events, then keeps the axis, the list, the
// detail pane and the tables in step with one filter state.

import { readPayload, Events, formatTime } from "./data.js";
import { Facts } from "./fields.js";
import { Model, DIMENSIONS } from "./model.js";
import { Axis } from "./axis.js";
import { EventList } from "./list.js";
import { showDetail } from "./detail.js";
import { showTable } from "./tables.js";

const $ = (id) => document.getElementById(id);

function fillSelect(select, values, label) {
  const all = document.createElement("option");
  all.value = "";
  all.textContent = `all ${label}`;
  select.append(all);
  for (const v of values.slice(1).sort()) {
    const o = document.createElement("option");
    o.value = v;
    o.textContent = v;
    select.append(o);
  }
}

class Page {
  constructor(model) {
    this.model = model;
    this.state = { range: null, text: "" };
    for (const d of DIMENSIONS) this.state[d] = null;
    this.kept = new Uint32Array(0);
    this.selected = -1;
    this.tab = "tools";
    this.axis = new Axis($("axis"), model, {
      onView: (view) => this.list.scrollToTime(view[0]),
      onBrush: (range) => this.set({ range }),
      onPick: (i) => this.select(i),
    });
    this.list = new EventList($("list"), $("list-space"), model, {
      onPick: (i) => this.select(i),
      onSpan: (span) => this.axis.setSpan(span),
    });
    this.wire();
  }

  wire() {
    for (const d of DIMENSIONS) {
      const select = $(`f-${d}`);
      fillSelect(select, this.model.codes[d].values, d === "type" ? "types" : `${d}s`);
      select.disabled = this.model.codes[d].values.length <= 1;
      select.addEventListener("change", () => this.set({ [d]: select.value || null }));
    }
    let typing = 0;
    $("search").addEventListener("input", (e) => {
      clearTimeout(typing);
      typing = setTimeout(() => this.set({ text: e.target.value }), 120);
    });
    $("clear").addEventListener("click", () => this.clear());
    $("theme").addEventListener("click", () => this.toggleTheme());
    for (const tab of document.querySelectorAll("[data-tab]")) {
      tab.addEventListener("click", () => {
        this.tab = tab.dataset.tab;
        for (const t of document.querySelectorAll("[data-tab]")) t.setAttribute("aria-selected", String(t === tab));
        this.showTable();
      });
    }
    document.addEventListener("keydown", (e) => this.key(e));
  }

  set(change) {
    const started = performance.now();
    Object.assign(this.state, change);
    for (const d of DIMENSIONS) $(`f-${d}`).value = this.state[d] ?? "";
    this.kept = this.model.select(this.state);
    this.axis.setBrush(this.state.range);
    this.axis.setKept(this.kept);
    this.list.setKept(this.kept);
    this.showCounts();
    this.showTable();
    performance.measure("tq-filter", { start: started, end: performance.now() });
  }

  clear() {
    const empty = { range: null, text: "" };
    for (const d of DIMENSIONS) empty[d] = null;
    $("search").value = "";
    this.set(empty);
  }

  showCounts() {
    const m = this.model;
    const sessions = new Set();
    for (const i of this.kept) sessions.add(m.of.session[i]);
    sessions.delete(0);
    $("counts").textContent = `${this.kept.length} of ${m.count} events · ${sessions.size} of ${m.codes.session.values.length - 1} sessions`;
    const r = this.state.range;
    $("range").textContent = r ? `${formatTime(Math.floor(r[0]))} → ${formatTime(Math.floor(r[1]))}` : "";
  }

  showTable() {
    showTable($("table"), this.tab, this.model, this.kept, { onTool: (tool) => this.set({ tool }) });
  }

  select(i) {
    this.selected = i;
    this.axis.select(i);
    this.list.select(i);
    showDetail($("detail"), this.model, i);
  }

  toggleTheme() {
    const root = document.documentElement;
    root.dataset.theme = root.dataset.theme === "dark" ? "light" : "dark";
    this.axis.draw();
    this.list.render();
  }

  key(e) {
    const typing = e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement;
    if (e.key === "Escape") {
      if (typing) e.target.blur();
      else this.clear();
      return;
    }
    if (typing || e.ctrlKey || e.metaKey || e.altKey) return;
    const moves = { ArrowDown: 1, j: 1, ArrowUp: -1, k: -1, PageDown: this.list.pageRows(), PageUp: -this.list.pageRows(), Home: -Infinity, End: Infinity };
    if (e.key in moves) {
      e.preventDefault();
      const step = moves[e.key];
      const i = Number.isFinite(step) ? this.list.neighbour(step) : this.kept[step > 0 ? this.kept.length - 1 : 0];
      if (i !== undefined && i >= 0) this.select(i);
    } else if (e.key === "/") {
      e.preventDefault();
      $("search").focus();
    } else if (e.key === "t") {
      this.toggleTheme();
    } else if (e.key === "+" || e.key === "=") {
      this.axis.zoom(0.5, this.axis.width / 2);
    } else if (e.key === "-") {
      this.axis.zoom(2, this.axis.width / 2);
    }
  }
}

async function start() {
  const root = document.documentElement;
  if (!root.dataset.theme) root.dataset.theme = matchMedia("(prefers-color-scheme: dark)").matches ? "dark" : "light";
  const payload = await readPayload($("tq-data"));
  performance.mark("tq-unpacked");
  const events = new Events(payload);
  const model = new Model(events, new Facts(events));
  performance.mark("tq-indexed");
  const page = new Page(model);
  page.set({});
  requestAnimationFrame(() => {
    performance.mark("tq-first-paint");
    document.body.dataset.ready = "true";
  });
}

start().catch((error) => {
  $("counts").textContent = `This page could not read its events: ${error.message}`;
  throw error;
});
