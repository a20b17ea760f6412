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

// The facts of an event, each concern a nested record of the whole surface
// only; who wrote the event is the facts record itself.
template <>
struct Description<EventFacts> {
  static constexpr std::tuple fields{
      field("actor", &EventFacts::actor),
      field("agent_id", &EventFacts::agent_id),
      field("agent_type", &EventFacts::agent_type),
      field("agent_description", &EventFacts::agent_description),
      field("parent_session_id", &EventFacts::parent_session_id),
  };
};

template <>
struct Description<PromptFacts> {
  static constexpr std::tuple fields{field("origin", &PromptFacts::origin)};
};

template <>
struct Description<ToolFacts> {
  static constexpr std::tuple fields{
      field("name", &ToolFacts::name),
      field("call_id", &ToolFacts::call_id),
      field("kind", &ToolFacts::kind),
      field("command_line", &ToolFacts::command_line),
      field("working_directory", &ToolFacts::working_directory),
      field("exit_code", &ToolFacts::exit_code),
      field("error", &ToolFacts::error),
      field("duration_ns", &ToolFacts::duration_ns),
      field("files_read", &ToolFacts::files_read),
      field("files_changed", &ToolFacts::files_changed),
      field("patch", &ToolFacts::patch),
      field("urls", &ToolFacts::urls),
      field("queries", &ToolFacts::queries),
      field("mcp_server", &ToolFacts::mcp_server),
      field("mcp_tool", &ToolFacts::mcp_tool),
      field("outcome", &ToolFacts::outcome),
      field("call_event_id", &ToolFacts::call_event_id),
      field("result_event_id", &ToolFacts::result_event_id),
  };
};

template <>
struct Description<UsageFacts> {
  static constexpr std::tuple fields{
      field("model", &UsageFacts::model),
      field("input_tokens", &UsageFacts::input_tokens),
      field("output_tokens", &UsageFacts::output_tokens),
      field("cache_read_input_tokens", &UsageFacts::cache_read_input_tokens),
      field("reasoning_output_tokens", &UsageFacts::reasoning_output_tokens),
  };
};

namespace facts_fields {
inline const PromptFacts* prompt(const TimelineEvent& e) {
  return e.facts && e.facts->prompt.origin ? &e.facts->prompt : nullptr;
}
inline const ToolFacts* tool(const TimelineEvent& e) {
  return e.facts && e.facts->tool ? &*e.facts->tool : nullptr;
}
inline const UsageFacts* usage(const TimelineEvent& e) {
  return e.facts && e.facts->usage ? &*e.facts->usage : nullptr;
}
inline const std::optional<std::string>& record_key(const TimelineEvent& e) {
  static const std::optional<std::string> kNone;
  return e.facts ? e.facts->record_key : kNone;
}
inline const std::optional<std::string>& duplicate_of(const TimelineEvent& e) {
  static const std::optional<std::string> kNone;
  return e.facts ? e.facts->duplicate_of : kNone;
}
}  // namespace facts_fields

template <>
struct Description<TimelineEvent> {
  static constexpr std::tuple fields{
      field("schema_version", &TimelineEvent::schema_version),
      field("event_id", &TimelineEvent::event_id),
      field("sequence", &TimelineEvent::sequence, {.numbered = true}),
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
      field("record_key", &facts_fields::record_key, {.surface = Surface::Whole}),
      field("duplicate_of", &facts_fields::duplicate_of, {.surface = Surface::Whole}),
      field("who", &TimelineEvent::facts, {.surface = Surface::Whole, .prefix = "who_"}),
      field("prompt", &facts_fields::prompt, {.surface = Surface::Whole, .prefix = "prompt_"}),
      field("tool", &facts_fields::tool, {.surface = Surface::Whole, .prefix = "tool_"}),
      field("usage", &facts_fields::usage, {.surface = Surface::Whole, .prefix = "usage_"}),
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
