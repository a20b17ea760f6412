#include "ordering/links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tq {
namespace {

ToolFacts& tool(TimelineEvent& e) { return e.facts.held().tool.held(); }

// One event of a report, and what linking should leave on it.
struct Row {
  const char* id;
  EventType type;
  const char* session;
  const char* message;  // "" for none
  const char* call;     // "" for none
  const char* file;     // the file it was read from
  void (*more)(TimelineEvent&);
  const char* expected;  // links_of() after linking
};

TimelineEvent make(const Row& row) {
  TimelineEvent e;
  e.event_id = row.id;
  e.provider = Provider::Codex;
  e.event_type = row.type;
  e.session_id = std::string(row.session);
  e.source.relative_path = row.file;
  if (*row.message != '\0') e.message = row.message;
  if (*row.call != '\0') tool(e).call_id = row.call;
  if (row.more != nullptr) row.more(e);
  return e;
}

// What linking writes, and the facts it fills, in a line.
std::string links_of(const TimelineEvent& e) {
  if (!e.facts) return "no facts";
  std::string out;
  auto add = [&out](const char* name, const auto& value) {
    if (value) out += std::string(out.empty() ? "" : " ") + name + "=" + std::string(*value);
  };
  const EventFacts& f = *e.facts;
  add("dup", f.duplicate_of);
  add("type", f.agent_type);
  add("desc", f.agent_description);
  if (f.prompt.origin) add("origin", std::optional(json_text(*f.prompt.origin)));
  if (f.actor) add("actor", std::optional(json_text(*f.actor)));
  if (!f.tool) return out;
  const ToolFacts& t = *f.tool;
  add("call", t.call_event_id);
  add("result", t.result_event_id);
  if (t.exit_code) add("exit", std::optional(std::to_string(*t.exit_code)));
  if (t.kind) add("kind", std::optional(json_text(*t.kind)));
  if (!t.files_read.empty()) add("read", std::optional(t.files_read.front()));
  return out;
}

void exit_1(TimelineEvent& e) { tool(e).exit_code = 1; }
void exit_2_shell_reads(TimelineEvent& e) {
  tool(e).exit_code = 2;
  tool(e).kind = ToolKind::Shell;
  tool(e).files_read = {"/a"};
}
void typed(TimelineEvent& e) {
  e.facts.held().prompt.origin = PromptOrigin::Typed;
  e.facts->actor = Actor::User;
}
void queued_by_agent(TimelineEvent& e) {
  e.facts.held().prompt.origin = PromptOrigin::Queued;
  e.facts->actor = Actor::Agent;
}
void at_noon(TimelineEvent& e) { e.timestamp = DateTime{43200, 0}; }
void of_agent_x(TimelineEvent& e) { e.facts.held().agent_id = "x"; }
void of_agent_x_typed(TimelineEvent& e) {
  of_agent_x(e);
  e.facts->agent_type = "Plan";
}
void describes_x(TimelineEvent& e) {
  of_agent_x(e);
  e.facts->agent_type = "Explore";
  e.facts->agent_description = "find the bug";
}
void describes_x_again(TimelineEvent& e) {
  of_agent_x(e);
  e.facts->agent_type = "Other";
}
void claude(TimelineEvent& e) { e.provider = Provider::ClaudeCode; }
void keyed(TimelineEvent& e) { e.facts.held().record_key = "0123456789abcdef0123456789abcdef"; }

TEST(LinksTest, EachEventIsGivenWhatTheOthersSayOfIt) {
  using enum EventType;
  const std::vector<Row> rows = {
      // A result read before its call still pairs with it.
      {"r1", ToolResult, "s1", "", "c1", "f", exit_1, "call=c1 exit=1"},
      {"c1", ToolCall, "s1", "", "c1", "f", nullptr, "result=r1 exit=1"},
      // Each later result fills what the first lacks, the earliest first;
      // the call then takes how it ended, not what it ran.
      {"c2", ToolCall, "s2", "", "c2", "f", nullptr, "result=r2 exit=1 read=/a"},
      {"r2", ToolResult, "s2", "", "c2", "f", nullptr, "call=c2 exit=1 kind=shell read=/a"},
      {"r2b", ToolResult, "s2", "", "c2", "f", exit_1, "dup=r2 exit=1"},
      {"r2c", ToolResult, "s2", "", "c2", "f", exit_2_shell_reads,
       "dup=r2 exit=2 kind=shell read=/a"},
      // The same call id of another agent is another call.
      {"c2claude", ToolCall, "s2", "", "c2", "f", claude, ""},
      // A prompt's copies before the answer are copies; the first that says
      // where it came from tells it for all. After an answer, the same text
      // is a new prompt.
      {"p1", PromptInput, "s3", "fix it", "", "history", nullptr, "origin=typed actor=user"},
      {"p1b", PromptInput, "s3", "fix it", "", "rollout", nullptr, "dup=p1"},
      {"p1c", PromptInput, "s3", "fix it", "", "rollout", typed, "dup=p1 origin=typed actor=user"},
      {"p1d", PromptInput, "s3", "fix it", "", "rollout", queued_by_agent,
       "dup=p1 origin=queued actor=agent"},
      {"a3", AgentMessage, "s3", "done", "", "rollout", nullptr, "no facts"},
      {"p1e", PromptInput, "s3", "fix it", "", "rollout", nullptr, "no facts"},
      // A record replayed into another file is a copy; the same time and
      // text twice in one file are two events.
      {"m4", AgentMessage, "s4", "hello", "", "parent", at_noon, "no facts"},
      {"m4same", AgentMessage, "s4", "hello", "", "parent", at_noon, "no facts"},
      {"m4fork", AgentMessage, "s4", "hello", "", "fork", at_noon, "dup=m4"},
      // A subagent's events take the first description of it, even from a
      // file read after them, and keep what they say themselves.
      {"x1", AgentMessage, "s5", "looking", "", "sub", of_agent_x,
       "type=Explore desc=find the bug"},
      {"x2", AgentMessage, "s5", "", "", "sub", of_agent_x_typed, "type=Plan desc=find the bug"},
      {"meta", AgentFile, "s5", "", "", "meta", describes_x, "type=Explore desc=find the bug"},
      {"meta2", AgentFile, "s5", "", "", "meta2", describes_x_again, "type=Other"},
      {"x3", AgentMessage, "s6", "", "", "sub", of_agent_x, ""},
      // The same record read twice is one, whatever else it is.
      {"k7", AgentMessage, "s7", "", "", "f", keyed, ""},
      {"k7again", ToolCall, "s7", "", "c7", "g", keyed, "dup=k7"},
      {"c7", ToolCall, "s7", "", "c7", "f", nullptr, ""},
  };
  EventTable events;
  for (const Row& row : rows) events.push_back(make(row));
  link_report(events);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].id);
    EXPECT_EQ(links_of(events[i]), rows[i].expected);
  }
}

TEST(LinksTest, APlanGivesEachEventTheSameInAnyOrder) {
  std::vector<TimelineEvent> made;
  for (const Row& row : std::vector<Row>{
           {"c", EventType::ToolCall, "s", "", "c", "f", nullptr, ""},
           {"r", EventType::ToolResult, "s", "", "c", "f", nullptr, ""},
           {"r2", EventType::ToolResult, "s", "", "c", "f", exit_2_shell_reads, ""},
       }) {
    made.push_back(make(row));
  }
  LinkPlanner planner;
  // Added in any order, visited in the report's.
  for (size_t i = made.size(); i-- > 0;) planner.add(made[i]);
  for (size_t i = made.size(); i-- > 0;) planner.visit(i);
  const LinkPlan plan = std::move(planner).finish();
  EXPECT_GT(plan.bytes(), 0u);
  for (size_t i = made.size(); i-- > 0;) plan.apply(i, made[i]);
  EXPECT_EQ(links_of(made[0]), "result=r exit=2 read=/a");
  EXPECT_EQ(links_of(made[1]), "call=c exit=2 kind=shell read=/a");
  EXPECT_EQ(links_of(made[2]), "dup=r exit=2 kind=shell read=/a");
}

}  // namespace
}  // namespace tq
