#include "ordering/ties.h"

#include <map>
#include <string_view>
#include <tuple>

namespace tq {
namespace {

using Subagent = std::tuple<Provider, std::string_view, std::string_view>;

std::optional<Subagent> subagent_of(const TimelineEvent& e) {
  if (!e.facts || !e.facts->agent_id || !e.session_id) return std::nullopt;
  return Subagent{e.provider, *e.session_id, *e.facts->agent_id};
}

}  // namespace

void tie_agent_files(EventTable& events) {
  // Keyed by views of the events' own texts; the first file naming a subagent wins.
  std::map<Subagent, const EventFacts*> described;
  for (const TimelineEvent& e : events) {
    if (e.event_type != EventType::AgentFile) continue;
    const std::optional<Subagent> key = subagent_of(e);
    if (key && (e.facts->agent_type || e.facts->agent_description)) {
      described.try_emplace(*key, &*e.facts);
    }
  }
  if (described.empty()) return;
  for (TimelineEvent& e : events) {
    if (e.event_type == EventType::AgentFile) continue;
    const std::optional<Subagent> key = subagent_of(e);
    if (!key) continue;
    auto found = described.find(*key);
    if (found == described.end()) continue;
    EventFacts& facts = e.facts.held();
    if (!facts.agent_type) facts.agent_type = found->second->agent_type;
    if (!facts.agent_description) facts.agent_description = found->second->agent_description;
  }
}

}  // namespace tq
