#include "output/csv.h"

#include <charconv>
#include <string>

#include "model/datetime.h"
#include "output/json.h"
#include "output/scan.h"

namespace tq {

const std::array<std::string_view, kCsvColumnCount> kCsvColumns = {
    "schema_version",   "event_id",           "sequence",
    "provider",         "source_file_sha256", "timestamp",
    "timestamp_raw",    "timestamp_source",   "event_type",
    "session_id",       "working_directory",  "message",
    "artifact_kind",    "source_record_type", "source_relative_path",
    "source_line",      "source_id",          "reference_status",
    "resolved_path",    "snapshot_version",   "size",
    "sha256",           "media_type",         "content",
    "content_encoding", "fs_modified",        "fs_accessed",
    "fs_created",       "warnings",           "raw",
};

namespace {

// Each setter overwrites `cell` in place, so a record reused across rows keeps
// its strings' capacity.
// `text` is a std::optional or a Shared text.
template <typename Text>
void set_text(std::string& cell, const Text& text, bool wanted = true) {
  if (wanted && text) {
    cell.assign(*text);
  } else {
    cell.clear();
  }
}

void set_uint(std::string& cell, std::optional<uint64_t> value) {
  cell.clear();
  if (!value) return;
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, *value);
  cell.append(buf, r.ptr);
}

void set_datetime(std::string& cell, const std::optional<DateTime>& t) {
  cell.clear();
  if (t) append_rfc3339(cell, *t, /*plus_offset=*/true);
}

template <typename Enum>
void set_enum(std::string& cell, const std::optional<Enum>& value) {
  if (value) {
    cell.assign(json_text(*value));
  } else {
    cell.clear();
  }
}

void set_json(std::string& cell, const Shared<JsonValue>& value) {
  cell.clear();
  if (!value) return;
  OutputSink sink(OutputTarget::memory(cell));
  write_compact_value(*value, sink);
}

void fill_record(const TimelineEvent& ev, bool include_message, bool include_content,
                 CsvRecord& r) {
  static const ArtifactInfo kNoArtifact;
  static const FsTimes kNoTimes;
  const ArtifactInfo& art = ev.artifact ? *ev.artifact : kNoArtifact;
  const FsTimes& times = ev.fs_times ? *ev.fs_times : kNoTimes;

  r[0].assign(ev.schema_version);
  r[1].assign(ev.event_id);
  set_uint(r[2], ev.sequence);
  r[3].assign(json_text(ev.provider));
  set_text(r[4], ev.source_file_sha256);
  set_datetime(r[5], ev.timestamp);
  set_json(r[6], ev.timestamp_raw);
  r[7].assign(json_text(ev.timestamp_source));
  r[8].assign(json_text(ev.event_type));
  set_text(r[9], ev.session_id);
  set_text(r[10], ev.working_directory);
  set_text(r[11], ev.message, include_message);
  r[12].assign(json_text(ev.source.artifact_kind));
  set_text(r[13], ev.source.record_type);
  r[14].assign(ev.source.relative_path);
  set_uint(r[15], ev.source.line_number);
  set_text(r[16], ev.source.source_id);
  set_enum(r[17], art.reference_status);
  set_text(r[18], art.resolved_path);
  set_uint(r[19], art.snapshot_version);
  set_uint(r[20], art.size);
  set_text(r[21], art.sha256);
  set_text(r[22], art.media_type);
  set_text(r[23], art.content, include_content);
  set_enum(r[24], art.content_encoding);
  set_datetime(r[25], times.modified);
  set_datetime(r[26], times.accessed);
  set_datetime(r[27], times.created);
  r[28].clear();
  if (!ev.warnings.empty()) {
    OutputSink sink(OutputTarget::memory(r[28]));
    write_compact_value(std::span<const std::string>(ev.warnings), sink);
  }
  set_json(r[29], ev.raw);
}

void write_cell(OutputSink& out, std::string_view cell) {
  if (find_special</*Controls=*/false, ',', '"', '\r', '\n'>(cell, 0) == cell.size()) {
    out.write(cell);
    return;
  }
  out.put('"');
  std::size_t start = 0;
  for (std::size_t q = cell.find('"'); q != std::string_view::npos; q = cell.find('"', q + 1)) {
    // Write through the quote, then the quote once more.
    out.write(cell.substr(start, q + 1 - start));
    out.put('"');
    start = q + 1;
  }
  out.write(cell.substr(start));
  out.put('"');
}

template <typename Cells>
void write_row(OutputSink& out, const Cells& cells) {
  bool first = true;
  for (const auto& cell : cells) {
    if (!first) out.put(',');
    first = false;
    write_cell(out, cell);
  }
  out.put('\n');
}

}  // namespace

CsvRecord event_to_record(const TimelineEvent& event, bool include_message, bool include_content) {
  CsvRecord record;
  fill_record(event, include_message, include_content, record);
  return record;
}

std::string json_value(const Shared<JsonValue>& value) {
  std::string cell;
  set_json(cell, value);
  return cell;
}

Status write_csv(OutputTarget target, EventSelection events, bool include_message,
                 bool include_content) {
  OutputSink sink(target, kWriteBufferSize);
  auto failed = [&sink](std::string_view what) { return std::unexpected(sink.failure(what)); };
  write_row(sink, kCsvColumns);
  if (!sink.ok()) return failed("CSV header write error: ");
  CsvRecord record;
  for (size_t i = 0; i < events.size(); ++i) {
    fill_record(events[i], include_message, include_content, record);
    write_row(sink, record);
    if (!sink.ok()) return failed("CSV record write error: ");
  }
  if (!sink.flush()) return failed("CSV flush error: ");
  return {};
}

}  // namespace tq
