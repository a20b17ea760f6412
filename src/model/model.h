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
#include "model/fields.h"
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

// The one description of each record: its fields' names, in output order,
// and how each is read (model/fields.h has the machinery and the value kinds).
// The JSON and JSONL writers, the CSV columns and the Python conversion all
// derive from it, and the count of each record's fields is a compile-time
// constant (`kFieldCount<R>`).
//
// Adding a field is one line here, after adding the member to the record
// (model/records.h). A scalar field of the whole surface only, so that the
// module functions' output doesn't change:
//
//   field("tool_name", &TimelineEvent::tool_name, {.surface = Surface::Whole}),
//
// A nested record field: the member's type (say `struct Actor { std::string
// kind; std::optional<std::string> name; }`, held as an Actor, a
// std::optional<Actor> or a Boxed<Actor>) gets a Description of its own
// below, and the event one line; CSV spreads it over the columns `actor_kind`
// and `actor_name`:
//
//   template <> struct Description<Actor> {
//     static constexpr std::tuple fields{field("kind", &Actor::kind),
//                                        field("name", &Actor::name)};
//   };
//   field("actor", &TimelineEvent::actor, {.surface = Surface::Whole, .prefix = "actor_"}),
//
// A getter may also be a function of the record, for a value no member holds.
// CSV column names must stay distinct: a clash fails to compile.
template <>
struct Description<SourceInfo> {
  static constexpr std::tuple fields{
      field("artifact_kind", &SourceInfo::artifact_kind, {.column = "artifact_kind"}),
      field("record_type", &SourceInfo::record_type),
      field("relative_path", &SourceInfo::relative_path),
      field("line_number", &SourceInfo::line_number, {.column = "source_line"}),
      field("source_id", &SourceInfo::source_id, {.column = "source_id"}),
  };
};

template <>
struct Description<ArtifactInfo> {
  static constexpr std::tuple fields{
      field("reference_status", &ArtifactInfo::reference_status),
      field("resolved_path", &ArtifactInfo::resolved_path),
      field("snapshot_version", &ArtifactInfo::snapshot_version),
      field("size", &ArtifactInfo::size),
      field("sha256", &ArtifactInfo::sha256),
      field("media_type", &ArtifactInfo::media_type),
      field("content", &ArtifactInfo::content),
      field("content_encoding", &ArtifactInfo::content_encoding),
  };
};

template <>
struct Description<FsTimes> {
  static constexpr std::tuple fields{
      field("modified", &FsTimes::modified),
      field("accessed", &FsTimes::accessed),
      field("created", &FsTimes::created),
  };
};

template <>
struct Description<TimelineEvent> {
  static constexpr std::tuple fields{
      field("schema_version", &TimelineEvent::schema_version),
      field("event_id", &TimelineEvent::event_id),
      field("sequence", &TimelineEvent::sequence),
      field("provider", &TimelineEvent::provider),
      field("source_file_sha256", &TimelineEvent::source_file_sha256),
      field("timestamp", &TimelineEvent::timestamp),
      field("timestamp_source", &TimelineEvent::timestamp_source),
      field("timestamp_raw", &TimelineEvent::timestamp_raw, {.column_before = "timestamp_source"}),
      field("event_type", &TimelineEvent::event_type),
      field("session_id", &TimelineEvent::session_id),
      field("working_directory", &TimelineEvent::working_directory),
      field("message", &TimelineEvent::message),
      field("source", &TimelineEvent::source, {.prefix = "source_"}),
      field("artifact", &TimelineEvent::artifact),
      field("fs_times", &TimelineEvent::fs_times, {.prefix = "fs_"}),
      field("warnings", &TimelineEvent::warnings),
      field("raw", &TimelineEvent::raw),
  };
};

template <>
struct Description<Diagnostic> {
  static constexpr std::tuple fields{
      field("code", &Diagnostic::code),
      field("severity", &Diagnostic::severity),
      field("source", &Diagnostic::source),
      field("message", &Diagnostic::message),
  };
};

}  // namespace tq
