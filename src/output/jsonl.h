// File: output/jsonl.h
//
// The timeline as JSON Lines: each event's compact JSON object followed by one
// line feed, in report order. Diagnostics are not written; no events give no
// bytes. Line feeds inside strings are escaped, so every line is one value.
//
//   std::string text;
//   Status s = write_jsonl(OutputTarget::memory(text), report.events);
#pragma once

#include <span>

#include "error/error.h"
#include "model/model.h"
#include "output/rows.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

// Writes through the sink's buffer. Failures are `Message` errors:
// "JSON serialization error: {error}" while writing an event,
// "I/O write error: {error}" while writing its line feed,
// "I/O flush error: {error}" at the final flush; {error} is the operating-system
// error text. The writer stops at the first failure. Each event holds the
// fields `surface` holds.
[[nodiscard]] Status write_jsonl(OutputTarget target, EventSelection events,
                                 Surface surface = Surface::Functions);
// The same lines with each event's bytes from `events`, which must be
// compact JSON objects (json_row_writer).
[[nodiscard]] Status write_jsonl(OutputTarget target, EventRows& events);

}  // namespace tq
