#include "codex/sessions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/evidence.h"
#include "hash/hash.h"
#include "jsonl/json_parser.h"
#include "ordering/ordering.h"
#include "support/codex_fixtures.h"
#include "support/zstd_data.h"

namespace tq::codex {
namespace {

using testing::describe_all;
using testing::TempTree;
using testing::zstd_frame;

constexpr const char* kRolloutName =
    "sessions/2025/01/02/rollout-2025-01-02T10-00-00-0194A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B.jsonl";

class CodexSessionsTest : public ::testing::Test {
 protected:
  Result<LineFileOutput> parse(std::string_view bytes, ParserOptions options = {},
                               std::string_view name = kRolloutName) {
    auto path = dir_.write(std::string(".codex/") + std::string(name), bytes);
    return parse_session_file(path, {options}, dir_.path(".codex"));
  }
  // The single event of a one-line file.
  TimelineEvent one(std::string_view line, ParserOptions options = {}) {
    auto out = parse(std::string(line) + "\n", options);
    EXPECT_TRUE(out.has_value());
    EXPECT_EQ(out->events.size(), 1u);
    return out->events.empty() ? TimelineEvent{} : out->events[0];
  }
  TempTree dir_;
};

TEST_F(CodexSessionsTest, RecordsAreClassifiedByRecordAndPayloadType) {
  struct Case {
    const char* line;
    EventType type;
    const char* record_type;
  };
  const Case cases[] = {
      {R"({"type":"session_meta","payload":{"type":"whatever"}})", EventType::SessionStart,
       "session_meta/whatever"},
      {R"({"type":"compacted","payload":{"message":"m"}})", EventType::ContextCompacted,
       "compacted"},
      {R"({"type":"event_msg","payload":{"type":"context_compacted"}})",
       EventType::ContextCompacted, "event_msg/context_compacted"},
      {R"({"type":"response_item","payload":{"type":"message","role":"user"}})",
       EventType::PromptInput, "response_item/message"},
      {R"({"type":"response_item","payload":{"type":"message","role":"assistant"}})",
       EventType::AgentMessage, "response_item/message"},
      {R"({"type":"response_item","payload":{"type":"message","role":"developer"}})",
       EventType::DeveloperMessage, "response_item/message"},
      {R"({"type":"event_msg","payload":{"type":"user_message"}})", EventType::PromptInput,
       "event_msg/user_message"},
      {R"({"type":"event_msg","payload":{"type":"agent_message"}})", EventType::AgentMessage,
       "event_msg/agent_message"},
      {R"({"type":"response_item","payload":{"type":"reasoning"}})", EventType::AgentReasoning,
       "response_item/reasoning"},
      {R"({"type":"event_msg","payload":{"type":"agent_reasoning"}})", EventType::AgentReasoning,
       "event_msg/agent_reasoning"},
      {R"({"type":"event_msg","payload":{"type":"error"}})", EventType::Error, "event_msg/error"},
      {R"({"type":"error"})", EventType::Error, "error"},
      {R"({"type":"turn_context","payload":{}})", EventType::TaskState, "turn_context"},
      {R"({"type":"event_msg","payload":{"type":"token_count"}})", EventType::TokenUsage,
       "event_msg/token_count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TimelineEvent e = one(c.line);
    EXPECT_EQ(e.event_type, c.type);
    EXPECT_EQ(e.source.record_type, c.record_type);
    EXPECT_TRUE(e.warnings.empty());
  }

  const char* tool_calls[] = {"function_call", "custom_tool_call", "web_search_call",
                              "tool_search_call"};
  const char* tool_results[] = {"function_call_output",
                                "custom_tool_call_output",
                                "tool_search_output",
                                "exec_command_end",
                                "patch_apply_end",
                                "mcp_tool_call_end",
                                "web_search_end",
                                "collab_close_end",
                                "collab_waiting_end",
                                "collab_agent_spawn_end",
                                "collab_agent_interaction_end"};
  const char* task_states[] = {"task_started",        "task_complete",
                               "turn_aborted",        "turn_context",
                               "world_state",         "thread_rolled_back",
                               "thread_goal_updated", "thread_settings_applied",
                               "sub_agent_activity",  "inter_agent_communication_metadata"};
  auto check_all = [&](auto& types, EventType expected) {
    for (const char* t : types) {
      SCOPED_TRACE(t);
      EXPECT_EQ(one(std::string(R"({"type":"x","payload":{"type":")") + t + "\"}}").event_type,
                expected);
    }
  };
  check_all(tool_calls, EventType::ToolCall);
  check_all(tool_results, EventType::ToolResult);
  check_all(task_states, EventType::TaskState);
}

TEST_F(CodexSessionsTest, UnmappedRecordsBecomeUnknownEventsWithAWarning) {
  struct Case {
    const char* line;
    const char* record_type;
    const char* warning;
  };
  const Case cases[] = {
      {R"({"timestamp":"2025-01-02T10:00:00Z"})", "unknown",
       "Unmapped Codex record type: unknown/none"},
      {R"({"type":7,"payload":[1]})", "unknown", "Unmapped Codex record type: unknown/none"},
      {R"({"type":"response_item","payload":{"type":"message","role":"system","content":[]}})",
       "response_item/message", "Unmapped Codex record type: response_item/message"},
      {R"({"type":"response_item","payload":{"type":"message"}})", "response_item/message",
       "Unmapped Codex record type: response_item/message"},
      {R"({"type":"context_compacted"})", "context_compacted",
       "Unmapped Codex record type: context_compacted/none"},
      {R"({"type":"event_msg","payload":{"type":"brand_new"}})", "event_msg/brand_new",
       "Unmapped Codex record type: event_msg/brand_new"},
      {R"({"type":"event_msg","payload":{"type":5}})", "event_msg",
       "Unmapped Codex record type: event_msg/none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto out = parse(std::string(c.line) + "\n");
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->events.size(), 1u);
    EXPECT_TRUE(out->diagnostics.empty());
    EXPECT_EQ(out->events[0].event_type, EventType::Unknown);
    EXPECT_EQ(out->events[0].source.record_type, c.record_type);
    EXPECT_EQ(out->events[0].warnings, std::vector<std::string>{c.warning});
  }
}

TEST_F(CodexSessionsTest, MessageTextRules) {
  ParserOptions with_content;
  with_content.include_content = true;
  struct Case {
    const char* name;
    const char* line;
    bool include_content;
    std::optional<std::string> message;
  };
  const Case cases[] = {
      {"message wins",
       R"({"type":"event_msg","payload":{"type":"agent_message","message":"m","text":"t"}})", false,
       "m"},
      {"non-text message passed over",
       R"({"type":"event_msg","payload":{"type":"agent_message","message":1,"text":"t"}})", false,
       "t"},
      {"content parts joined",
       R"({"type":"response_item","payload":{"type":"message","role":"assistant","content":[{"type":"output_text","text":"a"},{"type":"input_image"},"s",{"text":"b"}]}})",
       false, "a\nb"},
      {"content not an array",
       R"({"type":"response_item","payload":{"type":"message","role":"user","content":"x"}})",
       false, std::nullopt},
      {"tool name alone",
       R"({"type":"response_item","payload":{"type":"function_call","name":"N","arguments":"A"}})",
       false, "N"},
      {"tool name and arguments",
       R"({"type":"response_item","payload":{"type":"function_call","name":"N","arguments":"A"}})",
       true, "N: A"},
      {"input when arguments absent",
       R"({"type":"response_item","payload":{"type":"custom_tool_call","name":"apply_patch","input":"*** Begin"}})",
       true, "apply_patch: *** Begin"},
      {"arguments present but not text",
       R"({"type":"response_item","payload":{"type":"function_call","name":"N","arguments":{},"input":"I"}})",
       true, "N"},
      {"default tool name", R"({"type":"response_item","payload":{"type":"web_search_call"}})",
       true, "tool"},
      {"tool output hidden",
       R"({"type":"response_item","payload":{"type":"function_call_output","output":"O"}})", false,
       std::nullopt},
      {"tool output",
       R"({"type":"response_item","payload":{"type":"function_call_output","output":"O"}})", true,
       "O"},
      {"result when output absent",
       R"({"type":"event_msg","payload":{"type":"mcp_tool_call_end","result":"R"}})", true, "R"},
      {"output not text",
       R"({"type":"event_msg","payload":{"type":"exec_command_end","output":{"a":1},"result":"R"}})",
       true, std::nullopt},
      {"no payload", R"({"type":"function_call"})", true, std::nullopt},
      {"other types have none",
       R"({"type":"event_msg","payload":{"type":"token_count","info":null}})", true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(one(c.line, c.include_content ? with_content : ParserOptions{}).message, c.message);
  }
}

TEST_F(CodexSessionsTest, ToolCallIdComesFromCallIdThenId) {
  struct Case {
    const char* payload;
    std::optional<std::string> id;
  };
  const Case cases[] = {
      {R"({"type":"function_call_output","call_id":"c1","id":"i1"})", "c1"},
      {R"({"type":"function_call_output","call_id":null,"id":"i1"})", std::nullopt},
      {R"({"type":"reasoning","id":"i1"})", "i1"},
      {R"({"type":"reasoning","id":5})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(one(std::string(R"({"type":"response_item","payload":)") + c.payload + "}")
                  .source.source_id,
              c.id);
  }
}

TEST_F(CodexSessionsTest, SessionIdAndWorkingDirectoryFollowTheRecords) {
  const std::string bytes = R"({"type":"event_msg","payload":{"type":"task_started"}})"
                            "\n"
                            R"({"type":"session_meta","payload":{"id":"meta-id","cwd":"/w1"}})"
                            "\n"
                            R"({"type":"turn_context","payload":{"cwd":"/w2"}})"
                            "\n"
                            R"({"type":"session_meta","payload":{"id":3,"cwd":4}})"
                            "\n";
  auto out = parse(bytes, {}, "sessions/rollout-x.jsonl");
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 4u);
  EXPECT_EQ(out->events[0].session_id, std::nullopt);
  EXPECT_EQ(out->events[0].working_directory, std::nullopt);
  EXPECT_EQ(out->events[1].session_id, "meta-id");
  EXPECT_EQ(out->events[1].working_directory, "/w1");
  EXPECT_EQ(out->events[2].session_id, "meta-id");
  EXPECT_EQ(out->events[2].working_directory, "/w2");
  EXPECT_EQ(out->events[3].session_id, "meta-id");
  EXPECT_EQ(out->events[3].working_directory, "/w2");

  auto named = parse("{}\n");
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ(named->events[0].session_id, "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b");
}

TEST_F(CodexSessionsTest, SessionIdFromFileName) {
  struct Case {
    const char* name;
    std::optional<std::string> id;
  };
  const Case cases[] = {
      {"rollout-2025-01-02T10-00-00-0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl",
       "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"},
      {"ROLLOUT-0194A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B.jsonl",
       "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"},
      {"0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b", "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"},
      {"rollout-0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.x.jsonl", std::nullopt},
      {"rollout-0194a1b2c-3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl", std::nullopt},
      {"rollout-0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5g.jsonl", std::nullopt},
      {"rollout-94a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl", std::nullopt},
      {"rollout-x.jsonl", std::nullopt},
      {"rollout-2025-01-02T10-00-00-0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl.zst",
       "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(session_id_from_file_name(std::string("dir/") + c.name), c.id);
  }
}

TEST_F(CodexSessionsTest, TimestampsAreStrictRfc3339) {
  struct Case {
    const char* raw;
    std::optional<std::string> timestamp;
  };
  const Case cases[] = {
      {R"("2025-01-02T10:00:00+02:00")", "2025-01-02T08:00:00Z"},
      {R"("2025-01-02T10:00:00.123Z")", "2025-01-02T10:00:00.123Z"},
      {R"("2025-01-02 10:00:00z")", "2025-01-02T10:00:00Z"},
      {R"(" 2025-01-02T10:00:00Z")", std::nullopt},
      {R"("2025-01-02T10:00:00+0200")", std::nullopt},
      {R"("2025-01-02T10:00:00")", std::nullopt},
      {"1735812000", std::nullopt},
      {"null", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    auto out = parse(std::string(R"({"type":"error","timestamp":)") + c.raw + "}\n");
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->events.size(), 1u);
    const TimelineEvent& e = out->events[0];
    ASSERT_TRUE(e.timestamp_raw.has_value());
    EXPECT_EQ(*e.timestamp_raw, *parse_json(c.raw));
    if (c.timestamp) {
      ASSERT_TRUE(e.timestamp.has_value());
      EXPECT_EQ(format_rfc3339(*e.timestamp), *c.timestamp);
      EXPECT_EQ(e.timestamp_source, TimestampSource::Embedded);
      EXPECT_TRUE(out->diagnostics.empty());
    } else {
      EXPECT_FALSE(e.timestamp.has_value());
      EXPECT_EQ(e.timestamp_source, TimestampSource::None);
      EXPECT_EQ(describe_all(out->diagnostics),
                std::vector<std::string>{
                    "warning invalid_timestamp line 1: Field 'timestamp' is not valid RFC 3339."});
      EXPECT_EQ(out->diagnostics[0].source->artifact_kind, ArtifactKind::Session);
    }
  }
}

TEST_F(CodexSessionsTest, EventCarriesIdsPathsRawAndDigest) {
  const std::string bytes =
      "\n"
      R"({"type":"event_msg","payload":{"type":"user_message","message":"hi"}})"
      "\n";
  ParserOptions options;
  options.include_raw = true;
  auto out = parse(bytes, options);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 1u);
  const TimelineEvent& e = out->events[0];
  const std::string rel = std::string(kRolloutName);
  EXPECT_EQ(e.source.relative_path, rel);
  EXPECT_EQ(e.source.line_number, 2u);
  EXPECT_EQ(e.event_id,
            generate_event_id(Provider::Codex, ArtifactKind::Session, rel, "codex_session:2"));
  EXPECT_EQ(e.source.artifact_kind, ArtifactKind::Session);
  EXPECT_EQ(e.provider, Provider::Codex);
  EXPECT_EQ(e.source_file_sha256, sha256_bytes(bytes));
  ASSERT_TRUE(e.raw.has_value());
  EXPECT_EQ(*e.raw->find("type"), JsonValue("event_msg"));
  EXPECT_FALSE(e.artifact.has_value());
  EXPECT_FALSE(e.fs_times.has_value());
}

TEST_F(CodexSessionsTest, LineProblemsUseTheSessionArtifactKind) {
  auto out = parse("{bad\n[1]\n{}\n");
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->events.size(), 1u);
  ASSERT_EQ(out->diagnostics.size(), 2u);
  EXPECT_EQ(out->diagnostics[0].code, DiagnosticCode::InvalidJson);
  EXPECT_EQ(out->diagnostics[0].severity, Severity::Error);
  EXPECT_EQ(out->diagnostics[1].message, "Top-level JSON value is not an object.");
  for (const Diagnostic& d : out->diagnostics) {
    EXPECT_EQ(d.source->artifact_kind, ArtifactKind::Session);
  }

  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  auto failed = parse("{}\n{bad\n", strict);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::JsonParse);
  EXPECT_TRUE(failed.error().text().starts_with("JSON parse error at " + std::string(kRolloutName) +
                                                " line 2: "));
}

TEST_F(CodexSessionsTest, AForkKeepsItsOwnSessionIdThroughTheReplayedParent) {
  // A forked rollout opens with its own session_meta, then replays the parent's.
  const std::string fork =
      R"({"type":"session_meta","payload":{"id":"fork","forked_from_id":"parent","cwd":"/f"}})"
      "\n"
      R"({"type":"session_meta","payload":{"id":"parent","cwd":"/p"}})"
      "\n"
      R"({"type":"event_msg","payload":{"type":"user_message","message":"new"}})"
      "\n";
  auto out = parse(fork);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 3u);
  for (const TimelineEvent& e : out->events) EXPECT_EQ(e.session_id, "fork");
  EXPECT_EQ(out->events[0].working_directory, "/f");
  EXPECT_EQ(out->events[2].working_directory, "/p");

  // Only a text forked_from_id in the first session_meta marks a fork.
  const std::string not_forks[] = {
      R"({"type":"session_meta","payload":{"id":"a","forked_from_id":null}})"
      "\n"
      R"({"type":"session_meta","payload":{"id":"b"}})"
      "\n",
      R"({"type":"session_meta","payload":{"id":"a"}})"
      "\n"
      R"({"type":"session_meta","payload":{"id":"b","forked_from_id":"a"}})"
      "\n"};
  for (const std::string& bytes : not_forks) {
    SCOPED_TRACE(bytes);
    auto plain = parse(bytes);
    ASSERT_TRUE(plain.has_value());
    ASSERT_GE(plain->events.size(), 2u);
    EXPECT_EQ(plain->events[1].session_id, "b");
  }
}

// Scanning a sessions directory.

TEST_F(CodexSessionsTest, ScanReadsRolloutFilesInPathOrder) {
  dir_.write(".codex/sessions/2025/01/9/rollout-b.jsonl", "{}\n");
  dir_.write(".codex/sessions/2025/01/10/rollout-a.jsonl", "{}\n{}\n");
  dir_.write(".codex/sessions/2025/01/10/notes.jsonl", "{}\n");
  dir_.write(".codex/sessions/2025/01/10/rollout-c.json", "{}\n");
  dir_.write(".codex/sessions/rollout-.jsonl", "{}\n");
  dir_.write(".codex/sessions/rollout-.jsonl.zst", zstd_frame("{}\n"));
  dir_.write(".codex/sessions/rollout-d.zst", zstd_frame("{}\n"));
  auto out = scan_sessions(dir_.path(".codex/sessions"), {}, dir_.path(".codex"));
  ASSERT_TRUE(out.has_value());
  std::vector<std::string> seen;
  for (const TimelineEvent& e : out->events) {
    seen.push_back(e.source.relative_path + ":" + std::to_string(*e.source.line_number) + "#" +
                   std::to_string(e.sequence));
  }
  const std::vector<std::string> expected = {
      "sessions/2025/01/10/rollout-a.jsonl:1#0", "sessions/2025/01/10/rollout-a.jsonl:2#1",
      "sessions/2025/01/9/rollout-b.jsonl:1#0", "sessions/rollout-.jsonl:1#0",
      "sessions/rollout-.jsonl.zst:1#0"};
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(out->diagnostics.empty());
}

int g_opens = 0;

TEST_F(CodexSessionsTest, ScanOfAFileReadsItWhateverItsNameFromOneOpen) {
  auto path = dir_.write("export/anything.txt", "{}\n");
  EvidenceScope scope;
  scope.begin(path, false);
  g_opens = 0;
  scope.after_open = [](const std::filesystem::path&) { ++g_opens; };
  auto out = scan_sessions(path, {.scope = &scope}, dir_.path("export"));
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 1u);
  EXPECT_EQ(out->events[0].source.relative_path, "anything.txt");
  EXPECT_EQ(g_opens, 1);
}

TEST_F(CodexSessionsTest, ScanFollowsLinksOnlyWhenAsked) {
  dir_.write("elsewhere/rollout-linked.jsonl", "{}\n");
  dir_.write(".codex/sessions/2025/rollout-own.jsonl", "{}\n");
  dir_.symlink("../../elsewhere", ".codex/sessions/linked");
  dir_.symlink("nowhere", ".codex/sessions/broken");

  auto plain = scan_sessions(dir_.path(".codex/sessions"), {}, dir_.path(".codex"));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->events.size(), 1u);
  EXPECT_TRUE(plain->diagnostics.empty());

  ParserOptions follow;
  follow.follow_symlinks = true;
  for (ParseMode mode : {ParseMode::BestEffort, ParseMode::Strict}) {
    follow.mode = mode;
    auto followed = scan_sessions(dir_.path(".codex/sessions"), {follow}, dir_.path(".codex"));
    ASSERT_TRUE(followed.has_value());
    ASSERT_EQ(followed->events.size(), 2u);
    EXPECT_EQ(followed->events[1].source.relative_path, "sessions/linked/rollout-linked.jsonl");
    ASSERT_EQ(followed->diagnostics.size(), 1u);
    const Diagnostic& d = followed->diagnostics[0];
    EXPECT_EQ(d.code, DiagnosticCode::UnreadableArtifact);
    EXPECT_EQ(d.severity, Severity::Error);
    EXPECT_EQ(d.message, "Cannot traverse session artifact: IO error for operation on " +
                             dir_.path(".codex/sessions/broken").string() +
                             ": No such file or directory (os error 2)");
    EXPECT_EQ(d.source->relative_path, "sessions/broken");
    EXPECT_EQ(d.source->artifact_kind, ArtifactKind::Session);
    EXPECT_FALSE(d.source->line_number.has_value());
  }
}

TEST_F(CodexSessionsTest, ScanEndsAtTheFirstFileError) {
  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  dir_.write(".codex/sessions/rollout-a.jsonl", "{}\n");
  dir_.write(".codex/sessions/rollout-b.jsonl", "nope\n");
  auto out = scan_sessions(dir_.path(".codex/sessions"), {strict}, dir_.path(".codex"));
  ASSERT_FALSE(out.has_value());
  EXPECT_TRUE(
      out.error().text().starts_with("JSON parse error at sessions/rollout-b.jsonl line 1: "));
}

}  // namespace
}  // namespace tq::codex
