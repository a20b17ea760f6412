// File: output/page.h
//
// The timeline as one self-contained HTML page: the page's own script and
// styles (web/, embedded when the project is built, each allowed by its hash in
// the page's Content-Security-Policy, which refuses every network request) and
// the events, diagnostics and summary as one compressed payload that the
// browser unpacks natively.
//
//   Status s = write_page(events, diagnostics, {&summary, nullptr}, target, Surface::Whole);
//
// The payload is JSON, gzip-compressed and base64-encoded into a data block
// the browser never runs:
//   {"format": 1, "count": N,
//    "columns": [{"name": "source.relative_path", "kind": "text", ...}, ...],
//    "diagnostics": [...], "summary": {...} | null, "coverage": null}
// One column per field of the events' description (model/model.h), nested
// records flattened to dotted names, so a field added there reaches the page
// without a change here. Column kinds:
//   text, json  "dict": the distinct values in order of appearance, "codes":
//               per event 0 (absent) or 1 + the value's position in dict;
//               json values are compact JSON text. A text column whose
//               values are all lower-case hexadecimal of one even length
//               (digests, ids) has instead "width", the digits per value, and
//               "hex": the base64 of every value's bytes in dict's order
//   list        "dict" as text, "lengths" per event, "codes" every item's code
//   number      "deltas": per event the difference from the previous present
//               value, or null when absent; "bool" the same with 0 and 1
//   time        "deltas" of milliseconds since 1970 (null when absent) and
//               "sub": the nanoseconds below the millisecond, plus 1000000
//               during a leap second
// Any of these lists (codes, lengths, deltas, sub) may instead be
// {"runs": [value, count, ...]} where that is shorter. Deltas, runs and
// dictionaries keep the payload small, and quick to unpack, where events
// repeat their sessions, paths and files, count their lines and sequence one
// by one, or mostly lack a field.
//
// A failed write is the writers' Message error, as for the other formats.
#pragma once

#include <span>

#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

// What the page shows beside its events; either may be null, and the page
// then shows none.
struct PageReports {
  const JsonValue* summary = nullptr;   // query/query.h's summary of the events
  const JsonValue* coverage = nullptr;  // query/coverage.h's report of the parse
};

// `surface`: the fields the events hold (model/fields.h).
[[nodiscard]] Status write_page(EventSelection events, std::span<const Diagnostic> diagnostics,
                                PageReports reports, OutputTarget target, Surface surface);

}  // namespace tq
