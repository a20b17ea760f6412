#include "ordering/duplicates.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace tq {
namespace {

bool is_agent_activity(EventType type) {
  return type == EventType::AgentMessage || type == EventType::AgentReasoning ||
         type == EventType::ToolCall;
}

const std::optional<std::string>& call_id_of(const TimelineEvent& e) {
  static const std::optional<std::string> kNone;
  return e.facts && e.facts->tool ? e.facts->tool->call_id : kNone;
}

template <typename T>
void fill(std::optional<T>& into, const std::optional<T>& from) {
  if (!into && from) into = from;
}

void fill(std::vector<std::string>& into, const std::vector<std::string>& from) {
  if (into.empty()) into = from;
}

// What a call's results say of how it ended, and what it touched; a later
// result of a call also gives its first result what that one lacks.
void fill_outcome(ToolFacts& into, const ToolFacts& from, bool whole) {
  fill(into.exit_code, from.exit_code);
  fill(into.error, from.error);
  fill(into.duration_ns, from.duration_ns);
  fill(into.outcome, from.outcome);
  fill(into.files_read, from.files_read);
  fill(into.files_changed, from.files_changed);
  fill(into.queries, from.queries);
  if (!whole) return;
  fill(into.kind, from.kind);
  fill(into.command_line, from.command_line);
  fill(into.working_directory, from.working_directory);
  fill(into.mcp_server, from.mcp_server);
  fill(into.mcp_tool, from.mcp_tool);
}

void mark(TimelineEvent& copy, const TimelineEvent& first) {
  copy.facts.held().duplicate_of = first.event_id;
}

// The Linker's keys are looked up once per event and never walked in order,
// so they are hashed: the events' own texts and the small values beside them.
struct KeyHash {
  static size_t mix(size_t seed, size_t h) {
    return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
  }
  template <typename... T>
  size_t operator()(const std::tuple<T...>& key) const {
    return std::apply(
        [](const auto&... part) {
          size_t seed = 0;
          ((seed = mix(seed, std::hash<std::remove_cvref_t<decltype(part)>>{}(part))), ...);
          return seed;
        },
        key);
  }
  template <typename A, typename B>
  size_t operator()(const std::pair<A, B>& key) const {
    return (*this)(std::tuple<const A&, const B&>(key.first, key.second));
  }
};

// A prompt's copies follow it before the agent has answered; the first copy
// that says where the prompt came from tells it for all.
struct RecentPrompt {
  TimelineEvent* first = nullptr;
  bool answered = false;
};

class Linker {
 public:
  void visit(TimelineEvent& e) {
    if (e.facts && e.facts->record_key) {
      auto [at, added] = by_key_.try_emplace(*e.facts->record_key, &e);
      if (!added) return mark(e, *at->second);
    }
    const Session session(e.provider, e.session_id ? std::string_view(*e.session_id) : "");
    if (is_agent_activity(e.event_type)) prompts_[session].answered = true;
    if (e.event_type == EventType::SessionStart) {
      auto [at, added] = starts_.try_emplace(session, &e);
      if (!added) return mark(e, *at->second);
    }
    if (e.event_type == EventType::PromptInput && e.message) return visit_prompt(e, session);
    const std::optional<std::string>& call = call_id_of(e);
    if (call && (e.event_type == EventType::ToolCall || e.event_type == EventType::ToolResult)) {
      auto& seen = e.event_type == EventType::ToolCall ? calls_ : results_;
      auto [at, added] = seen.try_emplace({e.provider, *call}, &e);
      if (added) return;
      mark(e, *at->second);
      if (e.event_type == EventType::ToolResult) {
        fill_outcome(at->second->facts->tool.held(), *e.facts->tool, true);
      }
      return;
    }
    if (e.event_type != EventType::ToolCall && e.event_type != EventType::ToolResult) {
      visit_replay(e);
    }
  }

  // Each call points at its first result and back; the call takes the
  // result's outcome, so that a list of calls shows how each ended.
  void link() {
    for (auto& [id, call] : calls_) {
      auto result = results_.find(id);
      if (result == results_.end()) continue;
      ToolFacts& call_tool = call->facts->tool.held();
      ToolFacts& result_tool = result->second->facts->tool.held();
      call_tool.result_event_id = result->second->event_id;
      result_tool.call_event_id = call->event_id;
      fill_outcome(call_tool, result_tool, false);
    }
  }

 private:
  using Session = std::pair<Provider, std::string_view>;
  using Call = std::pair<Provider, std::string_view>;  // the provider and the call's id

  void visit_prompt(TimelineEvent& e, const Session& session) {
    RecentPrompt& recent = prompts_[session];
    if (recent.first != nullptr && !recent.answered && recent.first->message == e.message) {
      mark(e, *recent.first);
      if (e.facts && e.facts->prompt.origin) {
        EventFacts& first = recent.first->facts.held();
        fill(first.prompt.origin, e.facts->prompt.origin);
        fill(first.actor, e.facts->actor);
      }
      return;
    }
    recent = RecentPrompt{&e, false};
    visit_replay(e);
  }

  // A record copied whole into another file (a fork, a side question) keeps
  // its time and text.
  void visit_replay(TimelineEvent& e) {
    if (!e.timestamp || !e.message) return;
    const Replay key{e.provider, e.event_type, e.timestamp->seconds, e.timestamp->nanos,
                     *e.message};
    auto [at, added] = replays_.try_emplace(key, &e);
    if (!added && at->second->source.relative_path != e.source.relative_path) mark(e, *at->second);
  }

  std::unordered_map<std::string_view, TimelineEvent*> by_key_;
  std::unordered_map<Session, TimelineEvent*, KeyHash> starts_;
  std::unordered_map<Session, RecentPrompt, KeyHash> prompts_;
  // A call and its result pair up whatever order the pairs are visited in.
  std::unordered_map<Call, TimelineEvent*, KeyHash> calls_;
  std::unordered_map<Call, TimelineEvent*, KeyHash> results_;
  // Keyed by views of the events' own texts, so that nothing is copied.
  using Replay = std::tuple<Provider, EventType, int64_t, uint32_t, std::string_view>;
  std::unordered_map<Replay, TimelineEvent*, KeyHash> replays_;
};

}  // namespace

void link_events(EventTable& events) {
  Linker linker;
  for (TimelineEvent& e : events) linker.visit(e);
  linker.link();
}

size_t count_duplicates(const EventTable& events) {
  size_t count = 0;
  for (const TimelineEvent& e : events) count += e.facts && e.facts->duplicate_of ? 1 : 0;
  return count;
}

}  // namespace tq
