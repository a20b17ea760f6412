// The tables under the detail pane: tool calls by name, files touched and
// URLs among the events that pass the filters; the parse's diagnostics, its
// summary and, when the timeline reports it, its coverage.

function cell(tag, text) {
  const e = document.createElement(tag);
  e.textContent = text;
  return e;
}

// A table of rows (arrays of texts); a click on a row calls onRow with it.
function table(head, rows, onRow) {
  const t = document.createElement("table");
  const tr = document.createElement("tr");
  for (const h of head) tr.append(cell("th", h));
  t.append(tr);
  for (const row of rows) {
    const r = document.createElement("tr");
    for (const v of row) r.append(cell("td", String(v ?? "")));
    if (onRow) {
      r.className = "pick";
      r.addEventListener("click", () => onRow(row));
    }
    t.append(r);
  }
  return t;
}

function counted(kept, valuesOf) {
  const counts = new Map();
  for (const i of kept) {
    for (const v of valuesOf(i)) counts.set(v, (counts.get(v) || 0) + 1);
  }
  return [...counts].sort((a, b) => b[1] - a[1] || (a[0] < b[0] ? -1 : 1));
}

const LIMIT = 500;

export function showTable(panel, tab, model, kept, handlers) {
  const facts = model.facts;
  const events = model.events;
  let content;
  if (tab === "tools") {
    const rows = counted(kept, (i) => {
      const tool = facts.tool(i);
      return tool === null ? [] : [tool];
    });
    content = table(["Tool", "Calls"], rows.slice(0, LIMIT), (row) => handlers.onTool(row[0]));
  } else if (tab === "files") {
    const rows = counted(kept, (i) => facts.files(i).map(([f, how]) => `${how}\u0000${f}`));
    content = table(["File", "How", "Events"], rows.slice(0, LIMIT).map(([k, n]) => [k.split("\u0000")[1], k.split("\u0000")[0], n]));
  } else if (tab === "urls") {
    content = table(["URL", "Events"], counted(kept, (i) => facts.urls(i)).slice(0, LIMIT));
  } else if (tab === "coverage") {
    content = coverageTable(events.coverage);
  } else if (tab === "diagnostics") {
    const rows = events.diagnostics.map((d) => [d.severity, d.code, d.source ? `${d.source.relative_path}:${d.source.line_number ?? ""}` : "", d.message]);
    content = table(["Severity", "Code", "Where", "Message"], rows);
  } else {
    content = summaryTable(events);
  }
  const empty = content.rows.length <= 1;
  const none = { diagnostics: "No diagnostics.", coverage: "No coverage was recorded for this timeline." };
  panel.replaceChildren(empty ? cell("p", none[tab] || "Nothing among the events shown.") : content);
}

function summaryTable(events) {
  const rows = [];
  const s = events.summary;
  if (s) {
    rows.push(["events", s.events], ["sessions", Object.keys(s.sessions || {}).length], ["first", s.first_timestamp], ["last", s.last_timestamp], ["without timestamp", s.without_timestamp]);
    for (const [type, n] of Object.entries(s.by_event_type || {})) rows.push([`type ${type}`, n]);
    if (s.diagnostics) rows.push(["diagnostics", s.diagnostics.total]);
  }
  const c = events.coverage;
  if (c) rows.push(["files not read", c.not_read], ["events of an unknown record", c.unknown]);
  return table(["", "Whole timeline"], rows);
}

// Every file under the profiles, those not read first with the reason, then
// every kind of record with the event type it became: what the parse saw of
// the whole input, whatever the filters keep.
function coverageTable(coverage) {
  if (!coverage) return table([], []);
  const files = [...coverage.files].sort((a, b) => (a.reason === null) - (b.reason === null));
  const rows = files.map((f) => [f.path, f.size, f.events ?? "", f.reason ?? "read"]);
  for (const r of coverage.records) rows.push([`${r.provider} ${r.record_type ?? ""}`, "", r.count, `record → ${r.event_type}`]);
  return table(["File or record", "Bytes", "Events", "Read, or why not"], rows);
}
