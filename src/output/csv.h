// File: output/csv.h
//
// The timeline as one CSV table: a fixed 30-column header and one row per
// event, in report order. Nested records are spread over their own columns;
// lists and generic values become compact JSON text in one cell. Absent values
// are empty cells, never "null". Date-times end in "+00:00".
//
// Syntax: comma separators, a single line feed after every record (header and
// last record included), no carriage returns, no byte-order mark. A cell is
// quoted exactly when it holds a comma, a double quote, CR or LF; inner quotes
// are doubled.
//
//   std::string text;
//   Status s = write_csv(OutputTarget::memory(text), report.events,
//                        /*include_message=*/true, /*include_content=*/false);
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

inline constexpr std::size_t kCsvColumnCount = 30;

using CsvRecord = std::array<std::string, kCsvColumnCount>;

// The header row, in column order.
extern const std::array<std::string_view, kCsvColumnCount> kCsvColumns;

// The cells of one row in column order. `include_message` false empties the
// message cell, `include_content` false the content cell.
CsvRecord event_to_record(const TimelineEvent& event, bool include_message, bool include_content);

// The JSON cell text: empty when absent, otherwise compact JSON (a string keeps
// its quotes, a present null is "null").
std::string json_value(const Shared<JsonValue>& value);

// Writes the header and one row per event through the sink's buffer. Failures are
// `Message` errors: "CSV header write error: {error}", "CSV record write error:
// {error}" or "CSV flush error: {error}", {error} being the operating-system
// error text. The writer stops at the first failure.
[[nodiscard]] Status write_csv(OutputTarget target, EventSelection events, bool include_message,
                               bool include_content);

}  // namespace tq
