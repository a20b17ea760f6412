#include "claude/facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "claude/transcripts.h"
#include "model/text.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::TempTree;

constexpr const char* kSession = "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b";

std::string line_of(std::string_view fields) {
  return concat(R"({"sessionId":")", kSession,
                R"(","cwd":"/home/u/app","timestamp":"2025-01-02T10:00:00Z",)", fields, "}\n");
}

EventList read(TempTree& dir, std::string_view name, const std::string& bytes) {
  ParserOptions options;
  options.transcripts = true;
  auto path = dir.write(concat(".claude/projects/-home-u-app/", name, ".jsonl"), bytes);
  auto out = parse_transcript_file(path, {options}, dir.path(".claude"));
  EXPECT_TRUE(out.has_value());
  return out ? std::move(out->output.events) : EventList{};
}

std::string describe(const TimelineEvent& e) {
  const EventFacts& f = *e.facts;
  std::string text = concat(f.actor ? json_text(*f.actor) : "-", " ",
                            f.prompt.origin ? json_text(*f.prompt.origin) : "-");
  if (!f.tool) return text;
  const ToolFacts& t = *f.tool;
  auto list = [](const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += concat(out.empty() ? "" : "|", item);
    return out;
  };
  return concat(text, " ", t.name.value_or("-"), " ", t.kind ? json_text(*t.kind) : "-", " [",
                t.command_line.value_or("-"), "] r:", list(t.files_read),
                " c:", list(t.files_changed), " u:", list(t.urls), " q:", list(t.queries),
                t.error ? (*t.error ? " failed" : " ok") : "", t.outcome ? " " + *t.outcome : "",
                f.agent_type ? " " + *f.agent_type : "");
}

TEST(ClaudeFactsTest, BlocksSayWhoWroteThemAndWhatToolsDid) {
  struct Case {
    const char* fields;
    const char* facts;
  };
  const Case cases[] = {
      {R"("type":"user","message":{"content":"fix it"})", "user typed"},
      {R"("type":"user","message":{"content":"<local-command-stdout>ok</local-command-stdout>"})",
       "system local_command"},
      {R"("type":"user","message":{"content":"[Request interrupted by user]"})",
       "user interruption"},
      {R"("type":"user","isMeta":true,"message":{"content":"Caveat"})", "system instructions"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"Bash","input":{"command":"make"}}]})",
       "agent - Bash shell [make] r: c: u: q:"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"Read","input":{"file_path":"/a/b"}}]})",
       "agent - Read read [-] r:/a/b c: u: q:"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"Edit","input":{"file_path":"c.txt"}}]})",
       "agent - Edit edit [-] r: c:/home/u/app/c.txt u: q:"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"WebFetch","input":{"url":"https://e.com"}}]})",
       "agent - WebFetch web_fetch [-] r: c: u:https://e.com q:"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"Grep","input":{"pattern":"TODO"}}]})",
       "agent - Grep search [-] r: c: u: q:TODO"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"Task","input":{"subagent_type":"Explore","description":"look"}}]})",
       "agent - Task subagent [-] r: c: u: q: Explore"},
      {R"("type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"mcp__gh__search","input":{}}]})",
       "agent - mcp__gh__search mcp [-] r: c: u: q:"},
      {R"("type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t","is_error":true,"content":"boom"}]})",
       "agent - - - [-] r: c: u: q: failed"},
      {R"("type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t","content":"The user doesn't want to proceed with this tool use. The tool use was rejected."}]})",
       "agent - - - [-] r: c: u: q: failed denied"},
      {R"("type":"attachment","attachment":{"type":"queued_command","prompt":"later"})",
       "user queued"},
      {R"("type":"attachment","attachment":{"type":"hook_success","hookName":"PreToolUse:Bash","command":"./check.sh","exitCode":1})",
       "hook - PreToolUse:Bash shell [./check.sh] r: c: u: q: failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    TempTree dir;
    EventList events = read(dir, kSession, line_of(c.fields));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(describe(events[0]), c.facts);
  }
}

TEST(ClaudeFactsTest, SubagentFilesAreTheSubagentsAndNameTheirParent) {
  TempTree dir;
  EventList events = read(
      dir, "agent-a1b2c3d",
      line_of(R"("type":"user","message":{"content":"search"})") +
          line_of(
              R"("type":"assistant","uuid":"u2","message":{"id":"m","model":"claude-x","content":[{"type":"text","text":"found"}],"usage":{"input_tokens":5,"output_tokens":2,"cache_read_input_tokens":1}})"));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(describe(events[0]), "agent agent");
  EXPECT_EQ(describe(events[1]), "subagent -");
  EXPECT_EQ(events[1].facts->agent_id, "a1b2c3d");
  EXPECT_EQ(events[1].facts->parent_session_id, kSession);
  const UsageFacts& usage = *events[2].facts->usage;
  EXPECT_EQ(usage.model, "claude-x");
  EXPECT_EQ(usage.input_tokens, 5u);
  EXPECT_EQ(usage.output_tokens, 2u);
  EXPECT_EQ(usage.cache_read_input_tokens, 1u);
}

// A record's key comes from its uuid and block, never its file: a copy of the
// transcript elsewhere gives the same keys, and distinct blocks distinct keys.
TEST(ClaudeFactsTest, RecordKeysFollowTheRecordNotTheFile) {
  const std::string bytes = line_of(
      R"("type":"assistant","uuid":"u1","message":{"content":[{"type":"text","text":"a"},{"type":"text","text":"b"}]})");
  TempTree one;
  TempTree two;
  EventList a = read(one, kSession, bytes);
  EventList b = read(two, concat("elsewhere/", kSession), bytes);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(a[0].facts->record_key, b[0].facts->record_key);
  EXPECT_EQ(a[1].facts->record_key, b[1].facts->record_key);
  EXPECT_NE(a[0].facts->record_key, a[1].facts->record_key);
}

}  // namespace
}  // namespace tq::claude
