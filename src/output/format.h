// File: output/format.h
//
// The output formats and the one place that names them: from the name a
// caller passes ("json", "jsonl", "csv", "html", "parquet"), from a file
// name's suffix, and the writer each stands for. Parquet has no writer here:
// the binding hands the Arrow stream (output/arrow.h) to pyarrow's.
//
//   std::optional<Format> format = format_from_suffix("out.ndjson");   // Jsonl
//   Status s = render(events, diagnostics, *format, target, options);
//
// The text formats' events may also be rendered one by one ahead of their
// document, their sequence left out (output/rows.h), and the document
// written later from those bytes:
//
//   TQ_TRY(EventRenderer renderer, EventRenderer::make(Format::Csv, options));
//   const size_t mark = renderer.render(event, body);   // kept with the body
//   ...
//   Status s = render(rows, diagnostics, Format::Csv, target, options);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"
#include "model/model.h"
#include "output/rows.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

enum class Format { Json, Jsonl, Csv, Html, Parquet };

// Which formats a caller offers: the module functions write the three text
// formats, a timeline also the page and Parquet.
enum class Formats : uint8_t { Text, All };

// "json", "jsonl", "csv", "html" or "parquet" (when offered), compared
// exactly; none for anything else.
std::optional<Format> format_from_name(std::string_view name, Formats offered = Formats::All);
// The offered names for a message: "'json', 'jsonl', or 'csv'".
std::string format_choices(Formats offered);
// The name format_from_name takes.
std::string_view format_name(Format format);
// The format a file name's suffix stands for, ASCII case ignored: .json,
// .jsonl or .ndjson, .csv, .html or .htm, .parquet; none for any other suffix
// or none at all.
std::optional<Format> format_from_suffix(std::string_view path);

struct RenderOptions {
  bool pretty = true;                   // JSON only: indented
  bool include_message = true;          // CSV only: the message column filled
  bool include_content = false;         // CSV only: the content column
  const JsonValue* summary = nullptr;   // HTML only: the summary the page shows; may be null
  const JsonValue* coverage = nullptr;  // HTML only: the parse's coverage; may be null
  // The fields every record holds: output_surface(parse options)
  // (context/options.h) of the parse that made the events.
  Surface surface = Surface::Functions;
};

// Renders with `format`'s writer into `target`: the JSON document and the
// page hold the events and the diagnostics, the other formats only the events. Touches no
// shared state, so it runs on any thread. Parquet is refused ("Parquet is
// written through pyarrow"): its writer lives outside this layer.
[[nodiscard]] Status render(EventSelection events, std::span<const Diagnostic> diagnostics,
                            Format format, OutputTarget target, const RenderOptions& options);
// The same document of a text format with each event's bytes from `rows`,
// rendered in that format with the same options (EventRenderer). The page and
// Parquet are refused ("only JSON, JSON Lines and CSV documents are written
// from rows").
[[nodiscard]] Status render(EventRows& rows, std::span<const Diagnostic> diagnostics, Format format,
                            OutputTarget target, const RenderOptions& options);

// Renders events of a text format one at a time, each as it stands inside
// its document and without what separates it from its neighbours (the JSON
// document's ",\n    ", a line feed), its sequence left out. Reused from
// event to event, it keeps its buffers. Touches no shared state.
class EventRenderer {
 public:
  // The page and Parquet are refused ("only JSON, JSON Lines and CSV events
  // are rendered alone").
  [[nodiscard]] static Result<EventRenderer> make(Format format, const RenderOptions& options);

  // Appends the event's bytes to `out`; returns where its sequence's digits
  // go, counted from where `out` ended.
  [[nodiscard]] size_t render(const TimelineEvent& event, std::string& out);

 private:
  explicit EventRenderer(std::unique_ptr<RowWriter> writer) : writer_(std::move(writer)) {}

  std::unique_ptr<RowWriter> writer_;  // never null
};

// One event rendered as EventRenderer::render does.
[[nodiscard]] Result<size_t> render_event_body(const TimelineEvent& event, Format format,
                                               const RenderOptions& options, std::string& out);

}  // namespace tq
