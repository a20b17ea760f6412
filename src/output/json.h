// File: output/json.h
//
// Streaming JSON text of reports, records and generic values. Records are
// written straight from their fields in their fixed member order, with every
// optional present (null when absent); generic values keep the key order of
// their objects (ascending byte order). No tree of the report is ever built.
//
//   std::string text;
//   Status s = write_report(report, OutputTarget::memory(text), JsonLayout::Pretty);
//
// Text rules shared by every output: strings are raw UTF-8 except for the quote,
// the backslash and control characters below U+0020; floating-point numbers use
// their shortest round-trip digits; date-times are RFC 3339 in UTC with "Z".
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/rows.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

enum class JsonLayout : uint8_t {
  Pretty,   // two-space indentation, "key": value, no final newline
  Compact,  // no white space outside strings
};

// Writes the whole report document to `target`, each record with the fields
// `surface` holds. Writing into memory can't fail; a file write failure stops
// the writer at once and yields JsonSerialization with the operating-system
// error text.
[[nodiscard]] Status write_report(const ParseReport& report, OutputTarget target, JsonLayout layout,
                                  Surface surface = Surface::Functions);
// The same document made of chosen events and the report's diagnostics.
[[nodiscard]] Status write_report(EventSelection events, std::span<const Diagnostic> diagnostics,
                                  OutputTarget target, JsonLayout layout,
                                  Surface surface = Surface::Functions);
// The same document with each event's bytes from `events`, which must have
// been rendered in this layout and on this surface (json_row_writer).
[[nodiscard]] Status write_report(EventRows& events, std::span<const Diagnostic> diagnostics,
                                  OutputTarget target, JsonLayout layout,
                                  Surface surface = Surface::Functions);

// Writes an event's object as it stands in the document: indented, when
// pretty, at its depth in the "events" array; compact, it is also a JSON
// Lines line without its line feed.
std::unique_ptr<RowWriter> json_row_writer(JsonLayout layout, Surface surface);

// Compact text of one record or generic value, written through `sink`. A write
// failure stays recorded in the sink (check `sink.ok()`); nothing is flushed.
void write_compact_value(const TimelineEvent& event, OutputSink& sink,
                         Surface surface = Surface::Functions);
void write_compact_value(const Diagnostic& diagnostic, OutputSink& sink,
                         Surface surface = Surface::Functions);
void write_compact_value(const SourceInfo& source, OutputSink& sink);
void write_compact_value(const ArtifactInfo& artifact, OutputSink& sink);
void write_compact_value(const FsTimes& times, OutputSink& sink);
void write_compact_value(const JsonValue& value, OutputSink& sink);
// A list of texts as a JSON array of strings (as an event's `warnings`).
void write_compact_value(std::span<const std::string> strings, OutputSink& sink);

// One text as a JSON string, quoted and escaped by the rules above.
void write_json_string(std::string_view text, OutputSink& sink);

// The compact text of a generic value as a string.
std::string compact_json(const JsonValue& value);

}  // namespace tq
