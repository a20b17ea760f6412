// One event in full: its message, where it was read (file, line, the file's
// digest), every other field the events carry, and the raw record when the
// timeline kept it. Every value is set as text, never as markup.

import { COLUMNS } from "./fields.js";

const SHOWN_APART = new Set([COLUMNS.message, COLUMNS.raw]);

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function shown(value) {
  if (Array.isArray(value)) return value.join("\n");
  return String(value);
}

export function showDetail(pane, model, i) {
  const events = model.events;
  const value = (name) => events.value(name, i);
  pane.replaceChildren();
  pane.append(element("h2", "detail-id", value(COLUMNS.id) || ""));
  const where = [value(COLUMNS.path), value(COLUMNS.line)].filter((v) => v !== null).join(":");
  pane.append(element("p", "detail-where", where));
  pane.append(element("pre", "detail-message", value(COLUMNS.message) ?? "(no message)"));
  const facts = element("dl", "detail-fields");
  for (const [name, column] of events.columns) {
    if (SHOWN_APART.has(name)) continue;
    const v = column.get(i);
    if (v === null || (Array.isArray(v) && v.length === 0)) continue;
    facts.append(element("dt", "", name), element("dd", "", shown(v)));
  }
  const lane = model.lanes[model.rowOfLane[model.laneOf[i]]];
  if (lane.parent) facts.append(element("dt", "", "lane"), element("dd", "", `${lane.label} under ${lane.parent}`));
  pane.append(facts);
  const raw = value(COLUMNS.raw);
  if (raw !== null) {
    pane.append(element("h3", "", "Raw record"));
    pane.append(element("pre", "detail-raw", JSON.stringify(JSON.parse(raw), null, 2)));
  }
}
