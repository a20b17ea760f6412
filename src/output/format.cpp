#include "output/format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "output/csv.h"
#include "output/json.h"
#include "output/jsonl.h"
#include "output/page.h"

namespace tq {
namespace {

constexpr std::array<std::pair<std::string_view, Format>, 5> kNames = {{
    {"json", Format::Json},
    {"jsonl", Format::Jsonl},
    {"csv", Format::Csv},
    {"html", Format::Html},
    {"parquet", Format::Parquet},
}};

constexpr std::array<std::pair<std::string_view, Format>, 7> kSuffixes = {{
    {".json", Format::Json},
    {".jsonl", Format::Jsonl},
    {".ndjson", Format::Jsonl},
    {".csv", Format::Csv},
    {".html", Format::Html},
    {".htm", Format::Html},
    {".parquet", Format::Parquet},
}};

bool offers(Formats offered, Format format) {
  return offered == Formats::All || (format != Format::Html && format != Format::Parquet);
}

JsonLayout json_layout(Format format, const RenderOptions& options) {
  return format == Format::Json && options.pretty ? JsonLayout::Pretty : JsonLayout::Compact;
}

// The writer of one event's bytes in a text format; null for the others.
std::unique_ptr<RowWriter> row_writer(Format format, const RenderOptions& options) {
  switch (format) {
    case Format::Json:
    case Format::Jsonl:
      return json_row_writer(json_layout(format, options), options.surface);
    case Format::Csv:
      return csv_row_writer(options.include_message, options.include_content, options.surface);
    case Format::Html:
    case Format::Parquet:
      break;
  }
  return nullptr;
}

}  // namespace

std::optional<Format> format_from_name(std::string_view name, Formats offered) {
  for (const auto& [text, format] : kNames) {
    if (text == name && offers(offered, format)) return format;
  }
  return std::nullopt;
}

std::string format_choices(Formats offered) {
  std::vector<std::string_view> names;
  for (const auto& [text, format] : kNames) {
    if (offers(offered, format)) names.push_back(text);
  }
  std::string choices;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) choices += i + 1 == names.size() ? ", or " : ", ";
    choices.append("'").append(names[i]).append("'");
  }
  return choices;
}

std::string_view format_name(Format format) {
  for (const auto& [text, member] : kNames) {
    if (member == format) return text;
  }
  return {};
}

std::optional<Format> format_from_suffix(std::string_view path) {
  // The suffix of the last component only: a dot in a directory name is no
  // suffix, and neither is a leading dot (".csv" is a hidden file's name).
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string suffix(name.substr(dot));
  std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& [text, format] : kSuffixes) {
    if (text == suffix) return format;
  }
  return std::nullopt;
}

Status render(EventSelection events, std::span<const Diagnostic> diagnostics, Format format,
              OutputTarget target, const RenderOptions& options) {
  switch (format) {
    case Format::Json:
    case Format::Jsonl:
    case Format::Csv:
      break;
    case Format::Html:
      return write_page(events, diagnostics, {options.summary, options.coverage}, target,
                        options.surface);
    case Format::Parquet:
      return std::unexpected(Error::argument("Parquet is written through pyarrow"));
  }
  // Each event rendered straight into the document as it is written.
  SelectionRows rows(events, row_writer(format, options));
  return render(rows, diagnostics, format, target, options);
}

Status render(EventRows& rows, std::span<const Diagnostic> diagnostics, Format format,
              OutputTarget target, const RenderOptions& options) {
  switch (format) {
    case Format::Json:
      return write_report(rows, diagnostics, target, json_layout(format, options), options.surface);
    case Format::Jsonl:
      return write_jsonl(target, rows);
    case Format::Csv:
      return write_csv(target, rows, options.surface);
    case Format::Html:
    case Format::Parquet:
      break;
  }
  return std::unexpected(
      Error::argument("only JSON, JSON Lines and CSV documents are written from rows"));
}

Result<EventRenderer> EventRenderer::make(Format format, const RenderOptions& options) {
  std::unique_ptr<RowWriter> writer = row_writer(format, options);
  if (writer == nullptr) {
    return std::unexpected(
        Error::argument("only JSON, JSON Lines and CSV events are rendered alone"));
  }
  return EventRenderer(std::move(writer));
}

size_t EventRenderer::render(const TimelineEvent& event, std::string& out) {
  OutputSink sink(OutputTarget::memory(out));
  SequenceMark mark(out);
  writer_->write(event, sink, mark);
  return mark.offset();
}

Result<size_t> render_event_body(const TimelineEvent& event, Format format,
                                 const RenderOptions& options, std::string& out) {
  TQ_TRY(EventRenderer renderer, EventRenderer::make(format, options));
  return renderer.render(event, out);
}

}  // namespace tq
