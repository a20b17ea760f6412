#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ordering/links.h"

namespace tq {
namespace {

struct Row {
  const char* id;
  EventType type;
  const char* message;   // "" for none
  const char* call;      // "" for none
  const char* key;       // "" for none
  const char* expected;  // the id it copies, "" for an original
};

TimelineEvent make(const Row& s) {
  TimelineEvent e;
  e.event_id = s.id;
  e.provider = Provider::Codex;
  e.event_type = s.type;
  e.session_id = std::string("s");
  e.source.relative_path = s.id;
  if (*s.message != '\0') e.message = s.message;
  if (*s.key != '\0') e.facts.held().record_key = s.key;
  if (*s.call != '\0') e.facts.held().tool.held().call_id = s.call;
  return e;
}

TEST(DuplicatesTest, LaterCopiesNameTheFirst) {
  using enum EventType;
  const std::vector<Row> rows = {
      {"start", SessionStart, "", "", "k0", ""},
      {"start again", SessionStart, "", "", "k1", "start"},
      {"history", PromptInput, "fix it", "", "", ""},
      {"item", PromptInput, "fix it", "", "k2", "history"},
      {"event", PromptInput, "fix it", "", "k3", "history"},
      {"same record", AgentMessage, "x", "", "k3", "event"},
      {"call", ToolCall, "", "c", "k4", ""},
      {"call replayed", ToolCall, "", "c", "k5", "call"},
      {"result", ToolResult, "", "c", "k6", ""},
      {"second result", ToolResult, "", "c", "k7", "result"},
      {"answer", AgentMessage, "done", "", "k8", ""},
      {"typed again", PromptInput, "fix it", "", "k9", ""},
      {"forked", AgentMessage, "done", "", "k10", "answer"},
  };
  EventTable events;
  for (const Row& s : rows) {
    TimelineEvent e = make(s);
    // A fork replays its parent's records with their times, into another file.
    if (e.event_type == EventType::AgentMessage) e.timestamp = DateTime{};
    events.push_back(std::move(e));
  }
  link_report(events);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].id);
    const TimelineEvent& e = events[i];
    EXPECT_EQ(e.facts && e.facts->duplicate_of ? *e.facts->duplicate_of : "", rows[i].expected);
  }
  EXPECT_EQ(count_duplicates(events), 7u);
}

TEST(DuplicatesTest, CallsAndFirstResultsPointAtEachOtherAndShareTheOutcome) {
  EventTable events;
  events.push_back(make({"call", EventType::ToolCall, "", "c", "", ""}));
  events.push_back(make({"output", EventType::ToolResult, "", "c", "", ""}));
  TimelineEvent end = make({"end", EventType::ToolResult, "", "c", "", ""});
  end.facts->tool->exit_code = 3;
  end.facts->tool->files_read = {"/a"};
  events.push_back(std::move(end));
  link_report(events);
  const ToolFacts& call = *events[0].facts->tool;
  const ToolFacts& output = *events[1].facts->tool;
  EXPECT_EQ(call.result_event_id, "output");
  EXPECT_EQ(output.call_event_id, "call");
  EXPECT_EQ(output.exit_code, 3);
  EXPECT_EQ(call.exit_code, 3);
  EXPECT_EQ(call.files_read, std::vector<std::string>{"/a"});
}

}  // namespace
}  // namespace tq
