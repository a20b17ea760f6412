#include "codex/facts.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "codex/sessions.h"
#include "model/text.h"
#include "support/codex_fixtures.h"
#include "support/zstd_data.h"

namespace tq::codex {
namespace {

using testing::TempTree;
using testing::zstd_frame;

constexpr const char* kUuid = "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b";
constexpr const char* kContext =
    R"({"timestamp":"2025-01-02T10:00:00Z","type":"turn_context","payload":{"cwd":"/w","model":"gpt-5"}})";

ParserOptions whole() {
  ParserOptions options;
  options.transcripts = true;
  return options;
}

std::string rollout_name(std::string_view dir) {
  return std::string(dir) + "/rollout-2025-01-02T10-00-00-" + kUuid + ".jsonl";
}

// The events of a rollout holding `kContext` then `lines`, without the context's.
std::vector<TimelineEvent> facts_of(TempTree& dir, const std::vector<std::string>& lines) {
  std::string bytes = std::string(kContext) + "\n";
  for (const std::string& line : lines) bytes += line + "\n";
  auto path = dir.write(".codex/" + rollout_name("sessions/2025/01/02"), bytes);
  auto out = parse_session_file(path, {whole()}, dir.path(".codex"));
  EXPECT_TRUE(out.has_value());
  std::vector<TimelineEvent> events(std::next(out->events.begin()), out->events.end());
  return events;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : "|") + item;
  return out;
}

// name kind command cwd exit files_read files_changed urls queries, one line.
std::string describe(const TimelineEvent& e) {
  if (!e.facts || !e.facts->tool) return "no tool";
  const ToolFacts& t = *e.facts->tool;
  return concat(t.name.value_or("-"), " ", t.kind ? json_text(*t.kind) : "-", " [",
                t.command_line.value_or("-"), "] ", t.working_directory.value_or("-"), " ",
                t.exit_code ? std::to_string(*t.exit_code) : "-", " r:", joined(t.files_read),
                " c:", joined(t.files_changed), " u:", joined(t.urls), " q:", joined(t.queries),
                " ", t.outcome.value_or("-"));
}

TEST(CodexFactsTest, ToolRecordsGiveWhatTheyRanAndTouched) {
  struct Case {
    const char* name;
    const char* payload;
    const char* tool;
  };
  const Case cases[] = {
      {"exec call",
       R"({"type":"function_call","name":"exec_command","call_id":"c1","arguments":"{\"cmd\":\"ls -la\",\"workdir\":\"/w/src\"}"})",
       "exec_command shell [ls -la] /w/src - r: c: u: q: -"},
      {"shell argv",
       R"({"type":"function_call","name":"shell","call_id":"c1","arguments":"{\"command\":[\"bash\",\"-lc\",\"make\"]}"})",
       "shell shell [make] - - r: c: u: q: -"},
      {"patch call",
       R"({"type":"custom_tool_call","name":"apply_patch","call_id":"c1","input":"*** Begin Patch\n*** Update File: a.c\n*** Add File: /t/b.c\n*** End Patch"})",
       "apply_patch edit [-] - - r: c:/w/a.c|/t/b.c u: q: -"},
      {"code mode",
       R"({"type":"custom_tool_call","name":"exec","call_id":"c1","input":"const r = await tools.exec_command({cmd: \"git status\", workdir: '/w'});"})",
       "exec shell [git status] /w - r: c: u: q: -"},
      {"mcp",
       R"({"type":"function_call","name":"mcp__db__run_sql","call_id":"c1","arguments":"{}"})",
       "mcp__db__run_sql mcp [-] - - r: c: u: q: -"},
      {"exec end",
       R"({"type":"exec_command_end","call_id":"c1","command":["/bin/zsh","-lc","cat x"],"cwd":"/w","exit_code":2,"duration":{"secs":1,"nanos":5},"parsed_cmd":[{"type":"read","cmd":"cat x","name":"x","path":"/w/x"},{"type":"search","query":"TODO"}]})",
       "- shell [cat x] /w 2 r:/w/x c: u: q:TODO -"},
      {"patch end",
       R"({"type":"patch_apply_end","call_id":"c1","success":false,"changes":{"/w/a":{"type":"update","move_path":"/w/b"}}})",
       "- edit [-] - - r: c:/w/a|/w/b u: q: -"},
      {"web search",
       R"({"type":"web_search_call","status":"completed","action":{"type":"search","query":"q1","queries":["q1","q2"]}})",
       "web_search web_search [-] - - r: c: u: q:q1|q2 -"},
      {"open page",
       R"({"type":"web_search_end","call_id":"c1","action":{"type":"open_page","url":"https://e.com/p"}})",
       "web_search web_fetch [-] - - r: c: u:https://e.com/p q: -"},
      {"reviewer",
       R"({"type":"guardian_assessment","target_item_id":"c1","status":"denied","action":{"type":"command","command":"rm -rf /","cwd":"/w"}})",
       "command shell [rm -rf /] /w - r: c: u: q: denied"},
      {"old output",
       R"({"type":"function_call_output","call_id":"c1","output":"{\"output\":\"x\",\"metadata\":{\"exit_code\":1,\"duration_seconds\":0.5}}"})",
       "- - [-] - 1 r: c: u: q: -"},
      {"image", R"({"type":"view_image_tool_call","call_id":"c1","path":"/w/i.png"})",
       "view_image image [-] - - r:/w/i.png c: u: q: -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree dir;
    const char* record =
        std::string_view(c.payload).find("\"function_call") != std::string::npos ||
                std::string_view(c.payload).find("custom_tool") != std::string::npos ||
                std::string_view(c.payload).find("web_search_call") != std::string::npos
            ? "response_item"
            : "event_msg";
    auto events = facts_of(dir, {concat(R"({"timestamp":"2025-01-02T10:00:01Z","type":")", record,
                                        R"(","payload":)", c.payload, "}")});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(describe(events[0]), c.tool);
    EXPECT_TRUE(events[0].warnings.empty()) << events[0].warnings.front();
  }
}

TEST(CodexFactsTest, PromptsSayWhoWroteThemAndTokensTheModel) {
  struct Case {
    const char* text;
    const char* origin;
    const char* actor;
  };
  const Case cases[] = {
      {"fix the build", "typed", "user"},
      {"<environment_context>cwd</environment_context>", "environment", "system"},
      {"# AGENTS.md instructions for /w", "instructions", "system"},
      {"<turn_aborted>", "interruption", "user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TempTree dir;
    auto events =
        facts_of(dir, {concat(R"({"type":"event_msg","payload":{"type":"user_message","message":")",
                              c.text, R"("}})")});
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(events[0].facts);
    EXPECT_EQ(json_text(*events[0].facts->prompt.origin), c.origin);
    EXPECT_EQ(json_text(*events[0].facts->actor), c.actor);
  }
  TempTree dir;
  auto usage = facts_of(
      dir,
      {R"({"type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":10,"cached_input_tokens":4,"output_tokens":3,"reasoning_output_tokens":1}}}})"});
  const UsageFacts& u = *usage[0].facts->usage;
  EXPECT_EQ(u.model, "gpt-5");
  EXPECT_EQ(std::make_tuple(*u.input_tokens, *u.cache_read_input_tokens, *u.output_tokens,
                            *u.reasoning_output_tokens),
            std::make_tuple(10u, 4u, 3u, 1u));
}

TEST(CodexFactsTest, SpawnedThreadsNameTheirParentAndTheirPromptsAreTheAgents) {
  TempTree dir;
  auto path = dir.write(
      ".codex/" + rollout_name("sessions/2025/01/02"),
      R"({"type":"session_meta","payload":{"id":"0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b","source":{"subagent":{"thread_spawn":{"parent_thread_id":"p-1","depth":1,"agent_nickname":"Ada","agent_role":"explorer"}}}}})"
      "\n"
      R"({"type":"event_msg","payload":{"type":"user_message","message":"look around"}})"
      "\n"
      R"({"type":"event_msg","payload":{"type":"agent_message","message":"done"}})"
      "\n");
  auto out = parse_session_file(path, {whole()}, dir.path(".codex"));
  ASSERT_TRUE(out.has_value());
  const EventFacts& meta = *out->events[0].facts;
  const EventFacts& prompt = *out->events[1].facts;
  const EventFacts& answer = *out->events[2].facts;
  EXPECT_EQ(meta.parent_session_id, "p-1");
  EXPECT_EQ(json_text(*prompt.prompt.origin), "agent");
  EXPECT_EQ(json_text(*answer.actor), "subagent");
  EXPECT_EQ(answer.agent_id, "Ada");
  EXPECT_EQ(answer.agent_type, "explorer");
}

TEST(CodexFactsTest, SurprisingValuesLeaveTheFactOutWithAWarning) {
  struct Case {
    const char* payload;
    const char* warning;
  };
  const Case cases[] = {
      {R"({"type":"exec_command_end","call_id":"c","exit_code":"0"})",
       "Exit code is not an integer: string"},
      {R"({"type":"patch_apply_end","call_id":"c","changes":{"rel/a":{}}})",
       "Path is not absolute: 'rel/a'"},
      {R"({"type":"custom_tool_call","name":"apply_patch","call_id":"c","input":"diff --git"})",
       "Patch does not parse"},
      {R"({"type":"function_call","name":"shell","call_id":"c","arguments":"[1"})",
       "Tool arguments are not a JSON object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    TempTree dir;
    // Without a turn_context, the record has no directory to resolve against.
    auto path = dir.write(".codex/" + rollout_name("sessions/2025/01/02"),
                          concat(R"({"type":"event_msg","payload":)", c.payload, "}\n"));
    auto out = parse_session_file(path, {whole()}, dir.path(".codex"));
    ASSERT_TRUE(out.has_value());
    const TimelineEvent& e = out->events[0];
    ASSERT_EQ(e.warnings.size(), 1u);
    EXPECT_EQ(e.warnings[0], c.warning);
    EXPECT_FALSE(e.facts->tool->exit_code);
    EXPECT_TRUE(e.facts->tool->files_changed.empty());
  }
}

TEST(CodexFactsTest, ScriptCommandsAreTakenOnlyFromLiterals) {
  struct Case {
    const char* script;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {R"(await tools.exec_command({cmd: "a", workdir: "/w", yield_time_ms: 10}))", {"a"}},
      {R"(tools.exec_command({"cmd": 'b\n', }); tools.exec_command({ cmd: `c` }))", {"b\n", "c"}},
      {R"(tools.exec_command({cmd: `x ${y}`}))", {}},
      {R"(tools.exec_command({cmd: name}))", {}},
      {R"(tools.exec_command(args))", {}},
      {R"(tools.exec_command({cmd: "a", env: {A: "1"}}))", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    std::vector<std::string> got;
    for (const ScriptCommand& command : script_commands(c.script)) got.push_back(command.cmd);
    EXPECT_EQ(got, c.commands);
  }
}

// The same rollout plain, compressed and archived: one record, one key.
TEST(CodexFactsTest, RecordKeysSurviveCompressionAndArchiving) {
  const std::string bytes =
      std::string(kContext) + "\n" +
      R"({"timestamp":"2025-01-02T10:00:01Z","type":"event_msg","payload":{"type":"user_message","message":"hi"}})"
      "\n";
  std::vector<std::vector<std::string>> keys;
  for (int form = 0; form < 3; ++form) {
    TempTree dir;
    const std::string name = rollout_name(form == 2 ? "archived_sessions" : "sessions/2025/01/02");
    auto path = form == 1 ? dir.write(".codex/" + name + ".zst", zstd_frame(bytes))
                          : dir.write(".codex/" + name, bytes);
    auto out = parse_session_file(path, {whole()}, dir.path(".codex"));
    ASSERT_TRUE(out.has_value());
    keys.emplace_back();
    for (const TimelineEvent& e : out->events) keys.back().push_back(*e.facts->record_key);
  }
  EXPECT_EQ(keys[0].size(), 2u);
  EXPECT_EQ(keys[1], keys[0]);
  EXPECT_EQ(keys[2], keys[0]);
}

}  // namespace
}  // namespace tq::codex
