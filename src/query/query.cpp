#include "query/query.h"

#include <algorithm>
#include <map>
#include <utility>

namespace tq {
namespace {

// Calls `visit` with each text of an event a search looks through: the
// message, every text fact and an artifact's text content; stops at the
// first for which it answers true.
template <typename Visit>
bool any_text(const TimelineEvent& e, const Visit& visit) {
  auto one = [&](const std::optional<std::string>& text) { return text && visit(*text); };
  auto all = [&](const std::vector<std::string>& texts) {
    return std::any_of(texts.begin(), texts.end(), visit);
  };
  if (one(e.message)) return true;
  if (e.artifact && e.artifact->content_encoding != ContentEncoding::Base64 &&
      one(e.artifact->content)) {
    return true;
  }
  if (!e.facts) return false;
  const EventFacts& f = *e.facts;
  if (one(f.agent_id) || one(f.agent_type) || one(f.agent_description)) return true;
  if (f.usage && one(f.usage->model)) return true;
  if (!f.tool) return false;
  const ToolFacts& t = *f.tool;
  return one(t.name) || one(t.command_line) || one(t.working_directory) || one(t.patch) ||
         one(t.mcp_server) || one(t.mcp_tool) || one(t.outcome) || all(t.files_read) ||
         all(t.files_changed) || all(t.urls) || all(t.queries);
}

const ToolFacts* tool_facts(const TimelineEvent& e) {
  return e.facts && e.facts->tool ? &*e.facts->tool : nullptr;
}

bool matches_facts(const EventFilter& filter, const TimelineEvent& event) {
  if (filter.unique && event.facts && event.facts->duplicate_of) return false;
  if (filter.actors &&
      !(event.facts && event.facts->actor && filter.actors->contains(*event.facts->actor))) {
    return false;
  }
  const ToolFacts* t = tool_facts(event);
  if (filter.tool && !(t != nullptr && ((t->name && *t->name == *filter.tool) ||
                                        (t->kind && json_text(*t->kind) == *filter.tool)))) {
    return false;
  }
  if (filter.command && !(t != nullptr && t->command_line &&
                          t->command_line->find(*filter.command) != std::string::npos)) {
    return false;
  }
  if (filter.path) {
    auto match = [&](const std::string& p) { return filter.path->found_in(p); };
    if (t == nullptr || (std::none_of(t->files_read.begin(), t->files_read.end(), match) &&
                         std::none_of(t->files_changed.begin(), t->files_changed.end(), match))) {
      return false;
    }
  }
  if (filter.url) {
    auto match = [&](const std::string& u) { return u.find(*filter.url) != std::string::npos; };
    if (t == nullptr || std::none_of(t->urls.begin(), t->urls.end(), match)) return false;
  }
  return true;
}

template <typename Enum>
std::optional<Enum> from_json_text(std::string_view text, Enum last) {
  for (unsigned i = 0; i <= static_cast<unsigned>(last); ++i) {
    if (json_text(static_cast<Enum>(i)) == text) return static_cast<Enum>(i);
  }
  return std::nullopt;
}

template <typename Enum>
std::vector<std::string_view> json_texts(Enum last) {
  std::vector<std::string_view> texts;
  for (unsigned i = 0; i <= static_cast<unsigned>(last); ++i) {
    texts.push_back(json_text(static_cast<Enum>(i)));
  }
  return texts;
}

JsonValue optional_time(const std::optional<DateTime>& t) {
  return t ? JsonValue(format_rfc3339(*t)) : JsonValue();
}

// Counts keyed by text; std::map keeps them in byte order, as JSON objects are.
using Counts = std::map<std::string, uint64_t, std::less<>>;

JsonValue counts_object(const Counts& counts) {
  JsonObject members;
  for (const auto& [key, count] : counts) members.push_back({key, JsonValue(count)});
  return JsonValue(std::move(members));
}

struct Span {
  std::optional<DateTime> first;
  std::optional<DateTime> last;

  void add(const std::optional<DateTime>& t) {
    if (!t) return;
    if (!first || *t < *first) first = t;
    if (!last || *t > *last) last = t;
  }
};

struct SessionSummary {
  uint64_t events = 0;
  Span span;
  Shared<std::string> working_directory;
  Shared<std::string> title;         // the latest name its agent gave the thread
  Shared<std::string> thread_title;  // the latest its thread database holds
};

JsonValue sessions_object(const std::map<std::string, SessionSummary, std::less<>>& sessions) {
  JsonObject members;
  for (const auto& [id, s] : sessions) {
    JsonObject session;
    session.push_back({"events", JsonValue(s.events)});
    session.push_back({"first_timestamp", optional_time(s.span.first)});
    session.push_back({"last_timestamp", optional_time(s.span.last)});
    session.push_back(
        {"working_directory", s.working_directory ? JsonValue(*s.working_directory) : JsonValue()});
    const Shared<std::string>& title = s.title ? s.title : s.thread_title;
    session.push_back({"title", title ? JsonValue(*title) : JsonValue()});
    members.push_back({id, JsonValue(std::move(session))});
  }
  return JsonValue(std::move(members));
}

JsonValue diagnostics_object(std::span<const Diagnostic> diagnostics) {
  Counts by_severity;
  Counts by_code;
  for (const Diagnostic& d : diagnostics) {
    ++by_severity[std::string(json_text(d.severity))];
    ++by_code[std::string(json_text(d.code))];
  }
  JsonObject members;
  members.push_back({"by_code", counts_object(by_code)});
  members.push_back({"by_severity", counts_object(by_severity)});
  members.push_back({"total", JsonValue(static_cast<uint64_t>(diagnostics.size()))});
  return JsonValue(std::move(members));
}

}  // namespace

bool EventFilter::matches(const TimelineEvent& event) const {
  if (since || until) {
    if (!event.timestamp) return false;
    if (since && *event.timestamp < *since) return false;
    if (until && !(*event.timestamp < *until)) return false;
  }
  if (providers && !providers->contains(event.provider)) return false;
  if (event_types && !event_types->contains(event.event_type)) return false;
  if (sessions && (!event.session_id || !sessions->contains(*event.session_id))) return false;
  if (text && !text->empty() &&
      !any_text(event, [&](const std::string& t) { return text->found_in(t); })) {
    return false;
  }
  return matches_facts(*this, event);
}

std::vector<size_t> select_events(EventSelection events, const EventFilter& filter) {
  std::vector<size_t> kept;
  for (size_t i = 0; i < events.size(); ++i) {
    if (filter.matches(*events[i])) kept.push_back(events.position(i));
  }
  return kept;
}

std::optional<Provider> provider_from_json_text(std::string_view text) {
  return from_json_text(text, Provider::Unknown);
}
std::optional<Actor> actor_from_json_text(std::string_view text) {
  return from_json_text(text, Actor::Last);
}
std::vector<std::string_view> actor_json_texts() { return json_texts(Actor::Last); }

std::optional<EventType> event_type_from_json_text(std::string_view text) {
  return from_json_text(text, EventType::Unknown);
}
std::vector<std::string_view> provider_json_texts() { return json_texts(Provider::Unknown); }
std::vector<std::string_view> event_type_json_texts() { return json_texts(EventType::Unknown); }

std::string_view tool_name(const TimelineEvent& event) {
  return event.tool_name && !event.tool_name->empty() ? std::string_view(*event.tool_name)
                                                      : kUnnamedTool;
}

JsonValue summarize(EventSelection events, std::span<const Diagnostic> diagnostics) {
  std::map<std::string, Counts, std::less<>> by_provider;
  Counts by_event_type;
  Counts tool_calls;
  std::map<std::string, SessionSummary, std::less<>> sessions;
  Span span;
  uint64_t without_timestamp = 0;
  uint64_t duplicates = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const EventRef ref = events[i];
    const TimelineEvent& e = *ref;
    if (e.facts && e.facts->duplicate_of) ++duplicates;
    ++by_provider[std::string(json_text(e.provider))][std::string(json_text(e.event_type))];
    ++by_event_type[std::string(json_text(e.event_type))];
    span.add(e.timestamp);
    if (!e.timestamp) ++without_timestamp;
    if (e.event_type == EventType::ToolCall) ++tool_calls[std::string(tool_name(e))];
    if (e.session_id) {
      SessionSummary& s = sessions[*e.session_id];
      ++s.events;
      s.span.add(e.timestamp);
      if (!s.working_directory) s.working_directory = e.working_directory;
      // Events come in time order: the last name is the current one.
      if (e.source.record_type == kSessionTitleRecord && e.message) s.title = *e.message;
      if (e.source.record_type == kThreadTitleRecord && e.message) s.thread_title = *e.message;
    }
  }

  JsonObject providers;
  for (const auto& [provider, counts] : by_provider) {
    providers.push_back({provider, counts_object(counts)});
  }
  // Members in byte order of their keys, as every generic object keeps them.
  JsonObject members;
  members.push_back({"by_event_type", counts_object(by_event_type)});
  members.push_back({"by_provider", JsonValue(std::move(providers))});
  members.push_back({"diagnostics", diagnostics_object(diagnostics)});
  members.push_back({"duplicates", JsonValue(duplicates)});
  members.push_back({"events", JsonValue(static_cast<uint64_t>(events.size()))});
  members.push_back({"first_timestamp", optional_time(span.first)});
  members.push_back({"last_timestamp", optional_time(span.last)});
  members.push_back({"sessions", sessions_object(sessions)});
  members.push_back({"tool_calls", counts_object(tool_calls)});
  members.push_back({"without_timestamp", JsonValue(without_timestamp)});
  return JsonValue(std::move(members));
}

}  // namespace tq
