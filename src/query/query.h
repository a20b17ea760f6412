// File: query/query.h
//
// Questions asked of a finished report without parsing again: which events a
// filter keeps, and a summary of a set of events. Both work on an
// `EventSelection`, so a filtered view of a report can be filtered and
// summarised again; kept events are referred to by their position in the
// report and are never copied or renumbered.
//
//   EventFilter filter;
//   filter.providers = {Provider::Codex};
//   std::vector<size_t> kept = select_events(report.events, filter);
//   JsonValue summary = summarize(EventSelection(report.events, kept), report.diagnostics);
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/datetime.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/selection.h"
#include "query/pattern.h"

namespace tq {

// Every member that is set must match; an unset member matches everything.
struct EventFilter {
  std::optional<DateTime> since;  // timestamp >= since; events without one fail
  std::optional<DateTime> until;  // timestamp < until; events without one fail
  std::optional<std::set<Provider>> providers;
  std::optional<std::set<EventType>> event_types;
  std::optional<std::set<std::string, std::less<>>> sessions;  // exact session ids
  // Found in the message, the facts or an artifact's text; an empty pattern
  // matches every event.
  std::optional<Pattern> text;
  std::optional<std::set<Actor>> actors;
  std::optional<std::string> tool;     // a tool's name or kind
  std::optional<std::string> command;  // a part of the command line
  std::optional<Pattern> path;         // a glob matching a file read or changed
  std::optional<std::string> url;      // a part of a URL
  bool unique = false;                 // leave out the events that copy another

  bool matches(const TimelineEvent& event) const;
};

// The positions (in the underlying list) of the selected events that match,
// in selection order.
std::vector<size_t> select_events(EventSelection events, const EventFilter& filter);

// The enumeration member whose JSON text is `text`; none for any other text.
std::optional<Provider> provider_from_json_text(std::string_view text);
std::optional<EventType> event_type_from_json_text(std::string_view text);
std::optional<Actor> actor_from_json_text(std::string_view text);
// Every JSON text, in declaration order (for messages that list them).
std::vector<std::string_view> provider_json_texts();
std::vector<std::string_view> event_type_json_texts();
std::vector<std::string_view> actor_json_texts();

// The tool a tool_call event called, as its reader stored it; kUnnamedTool
// when the record names none or an empty name.
inline constexpr std::string_view kUnnamedTool = "tool";
std::string_view tool_name(const TimelineEvent& event);

// An object with the keys
//   events, without_timestamp     counts
//   duplicates                    how many events copy another (whole surface)
//   first_timestamp, last_timestamp  RFC 3339 texts, or null without timestamps
//   by_provider                   {provider: {event_type: count}}
//   by_event_type                 {event_type: count}
//   sessions                      {session_id: {events, first_timestamp,
//                                  last_timestamp, working_directory}}
//   tool_calls                    {tool name: count} of the tool_call events
//   diagnostics                   {total, by_severity: {...}, by_code: {...}}
// Working directory is the first one met in selection order.
JsonValue summarize(EventSelection events, std::span<const Diagnostic> diagnostics);

}  // namespace tq
