// File: model/model.h
//
// The report that owns a timeline's records, what readers hand up to it, and
// the one description of each record's fields.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "model/event_list.h"
#include "model/records.h"

namespace tq {

struct ParseReport {
  EventTable events;
  std::vector<Diagnostic> diagnostics;
};

// What every reader hands up: its events and diagnostics, in the order produced.
struct ReaderOutput {
  EventList events;
  std::vector<Diagnostic> diagnostics;
};

// Moves `from`'s events and diagnostics to the end of `into`'s, handing the
// events' blocks over rather than the events.
void append_output(ReaderOutput& into, ReaderOutput from);
// Moves `from`'s diagnostics to the end of `into`; an empty list takes the other whole.
void append_diagnostics(std::vector<Diagnostic>& into, std::vector<Diagnostic> from);

// The one description of each record's fields: their names, in output order,
// with their values. The JSON writers and the Python conversion both walk it,
// so a field is named in one place. `v.field(name, value)` is called once per
// field, where value is one of: std::string_view (always present text),
// const std::optional<std::string>&, const Shared<std::string>&,
// std::optional<std::string_view> (an optional enumeration's JSON text),
// uint64_t, const std::optional<uint64_t>&, const std::optional<DateTime>&,
// const Shared<JsonValue>&, a nested record (const SourceInfo&, or
// const ArtifactInfo* / const FsTimes* / const SourceInfo* that are null when
// absent) or std::span<const std::string>. A Shared value may be held by many
// events, which a visitor can tell by `shares` to convert it once.
template <typename E>
std::optional<std::string_view> optional_json_text(const std::optional<E>& e) {
  return e ? std::optional<std::string_view>(json_text(*e)) : std::nullopt;
}

template <typename Visitor>
void visit_fields(const SourceInfo& s, Visitor& v) {
  v.field("artifact_kind", json_text(s.artifact_kind));
  v.field("record_type", s.record_type);
  v.field("relative_path", std::string_view(s.relative_path));
  v.field("line_number", s.line_number);
  v.field("source_id", s.source_id);
}

template <typename Visitor>
void visit_fields(const ArtifactInfo& a, Visitor& v) {
  v.field("reference_status", optional_json_text(a.reference_status));
  v.field("resolved_path", a.resolved_path);
  v.field("snapshot_version", a.snapshot_version);
  v.field("size", a.size);
  v.field("sha256", a.sha256);
  v.field("media_type", a.media_type);
  v.field("content", a.content);
  v.field("content_encoding", optional_json_text(a.content_encoding));
}

template <typename Visitor>
void visit_fields(const FsTimes& t, Visitor& v) {
  v.field("modified", t.modified);
  v.field("accessed", t.accessed);
  v.field("created", t.created);
}

template <typename Visitor>
void visit_fields(const TimelineEvent& e, Visitor& v) {
  v.field("schema_version", std::string_view(e.schema_version));
  v.field("event_id", std::string_view(e.event_id));
  v.field("sequence", e.sequence);
  v.field("provider", json_text(e.provider));
  v.field("source_file_sha256", e.source_file_sha256);
  v.field("timestamp", e.timestamp);
  v.field("timestamp_source", json_text(e.timestamp_source));
  v.field("timestamp_raw", e.timestamp_raw);
  v.field("event_type", json_text(e.event_type));
  v.field("session_id", e.session_id);
  v.field("working_directory", e.working_directory);
  v.field("message", e.message);
  v.field("source", e.source);
  v.field("artifact", e.artifact ? &*e.artifact : static_cast<const ArtifactInfo*>(nullptr));
  v.field("fs_times", e.fs_times ? &*e.fs_times : static_cast<const FsTimes*>(nullptr));
  v.field("warnings", std::span<const std::string>(e.warnings));
  v.field("raw", e.raw);
}

template <typename Visitor>
void visit_fields(const Diagnostic& d, Visitor& v) {
  v.field("code", json_text(d.code));
  v.field("severity", json_text(d.severity));
  v.field("source", d.source ? &*d.source : static_cast<const SourceInfo*>(nullptr));
  v.field("message", std::string_view(d.message));
}

}  // namespace tq
