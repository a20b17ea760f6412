// Codex files written by the agent itself (tests/data/samples/real): reading
// them must give exactly the events they hold and no diagnostic they don't
// deserve.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "codex/detection.h"
#include "codex/history.h"
#include "codex/sessions.h"
#include "hash/hash.h"
#include "support/temp_tree.h"
#include "support/zstd_data.h"

namespace tq::codex {
namespace {

namespace fs = std::filesystem;

fs::path samples_dir() {
  return fs::path(__FILE__).parent_path().parent_path() / "data" / "samples" / "real";
}

template <typename Events>
std::map<std::string, int> count_types(const Events& events) {
  std::map<std::string, int> counts;
  for (const TimelineEvent& e : events) counts[std::string(json_text(e.event_type))]++;
  return counts;
}

TEST(CodexRealSamplesTest, MinimalTurnGivesOneEventPerRecord) {
  const fs::path root = samples_dir() / "codex-localpush" / ".codex";
  const fs::path file = root /
                        "sessions/2026/02/23/"
                        "rollout-2026-02-23T13-19-38-019c8a70-dda7-7f33-98ea-f30553347322.jsonl";
  auto out = parse_session_file(file, {}, root);
  ASSERT_TRUE(out.has_value()) << out.error().text();
  EXPECT_TRUE(out->diagnostics.empty());
  // session_meta; 9 messages (4 developer, 4 user, 1 assistant); task_started,
  // user_message, turn_context, 2 token_count, agent_reasoning, reasoning,
  // agent_message and a function_call that never got its output.
  const std::map<std::string, int> expected = {
      {"session_start", 1}, {"developer_message", 4}, {"prompt_input", 5},    {"agent_message", 2},
      {"task_state", 2},    {"token_usage", 2},       {"agent_reasoning", 2}, {"tool_call", 1}};
  EXPECT_EQ(count_types(out->events), expected);
  auto digest = sha256_file(file);
  ASSERT_TRUE(digest.has_value());
  for (const TimelineEvent& e : out->events) {
    EXPECT_EQ(e.session_id, "019c8a70-dda7-7f33-98ea-f30553347322");
    EXPECT_TRUE(e.timestamp.has_value());
    EXPECT_TRUE(e.warnings.empty());
    EXPECT_EQ(e.source_file_sha256, *digest);
  }
  const TimelineEvent& call = out->events[17];
  EXPECT_EQ(call.event_type, EventType::ToolCall);
  EXPECT_EQ(call.source.source_id, "call_UtYwHmwWekzvq83m8Rb9K8jJ");
  EXPECT_EQ(call.message, "exec_command");
  EXPECT_EQ(call.working_directory, "/redacted/path/da0ba47443");
}

TEST(CodexRealSamplesTest, CompactedRecordsInALongSession) {
  const fs::path root = samples_dir() / "codex-localpush" / ".codex";
  const fs::path file = root /
                        "sessions/2026/02/23/"
                        "rollout-2026-02-23T12-54-34-019c8a59-e9dd-71f0-9ae3-4079fe9726a9.jsonl";
  auto out = parse_session_file(file, {}, root);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->diagnostics.empty());
  ASSERT_EQ(out->events.size(), 2722u);
  EXPECT_EQ(out->events[1787].event_type, EventType::ContextCompacted);
  EXPECT_EQ(out->events[1787].source.record_type, "compacted");
  EXPECT_EQ(out->events[1788].event_type, EventType::ContextCompacted);
  EXPECT_EQ(out->events[1788].source.record_type, "event_msg/context_compacted");
}

TEST(CodexRealSamplesTest, ProfilesGiveNoDiagnosticsAndNoUnmappedRecords) {
  struct Case {
    const char* profile;
    size_t events;
  };
  const Case cases[] = {{"codex-codemie", 485}, {"codex-localpush", 3506}, {"codex-shannon", 284}};
  ParserOptions options;
  options.include_content = true;
  options.include_raw = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    const fs::path root = samples_dir() / c.profile / ".codex";
    auto kind = detect_input_kind(root, false);
    ASSERT_TRUE(kind.has_value() && kind->has_value());
    EXPECT_EQ(**kind, InputKind::CodexRoot);
    auto out = parse_codex_input(root, **kind, codex_evidence_root(root, **kind), {options});
    ASSERT_TRUE(out.has_value()) << out.error().text();
    EXPECT_TRUE(out->diagnostics.empty());
    EXPECT_EQ(out->events.size(), c.events);
    for (const TimelineEvent& e : out->events) {
      EXPECT_NE(e.event_type, EventType::Unknown) << e.source.relative_path;
      EXPECT_TRUE(e.timestamp.has_value());
      EXPECT_TRUE(e.session_id.has_value());
    }
  }
}

TEST(CodexRealSamplesTest, PaginatedFormatGivesNoDiagnostics) {
  const fs::path root = samples_dir() / "codex-conin" / ".codex";
  auto out = parse_codex_input(root, InputKind::CodexRoot, root, {});
  ASSERT_TRUE(out.has_value()) << out.error().text();
  EXPECT_TRUE(out->diagnostics.empty());
  EXPECT_EQ(out->events.size(), 14u);
}

// Codex compresses rollouts older than about a week in place and moves
// archived ones to archived_sessions/: the profile still tells the same story.
TEST(CodexRealSamplesTest, CompressedAndArchivedRolloutsGiveTheSameEvents) {
  const fs::path source = samples_dir() / "codex-localpush" / ".codex";
  testing::TempTree tree;
  const std::string day = "sessions/2026/02/23/";
  const std::string compressed = "rollout-2026-02-23T12-54-34-019c8a59-e9dd-71f0-9ae3-4079fe9726a9";
  const std::string archived = "rollout-2026-02-23T20-34-25-019c8bfe-ec25-79e0-97d7-bda6a9c575ff";
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    if (!entry.is_regular_file()) continue;
    std::string rel = fs::relative(entry.path(), source).string();
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (rel == day + compressed + ".jsonl") {
      tree.write(".codex/" + rel + ".zst", testing::zstd_frame(bytes));
    } else if (rel == day + archived + ".jsonl") {
      tree.write(".codex/archived_sessions/" + archived + ".jsonl.zst", testing::zstd_frame(bytes));
    } else {
      tree.write(".codex/" + rel, bytes);
    }
  }
  auto summaries = [](const fs::path& root) {
    auto out = parse_codex_input(root, InputKind::CodexRoot, root, {});
    EXPECT_TRUE(out.has_value() && out->diagnostics.empty());
    std::multiset<std::string> lines;
    if (!out) return lines;
    for (const TimelineEvent& e : out->events) {
      lines.insert(std::string(json_text(e.event_type)) + " " + e.session_id.value_or("-") + " " +
                   e.message.value_or("-"));
    }
    return lines;
  };
  const std::multiset<std::string> plain = summaries(source);
  EXPECT_EQ(plain.size(), 3506u);
  EXPECT_EQ(summaries(tree.path(".codex")), plain);
}

TEST(CodexRealSamplesTest, HistoryLinesAreAllPrompts) {
  const fs::path root = samples_dir() / "codex-shannon" / ".codex";
  auto out = parse_history_file(root / "history.jsonl", {}, root);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->diagnostics.empty());
  ASSERT_EQ(out->events.size(), 14u);
  for (const TimelineEvent& e : out->events) {
    EXPECT_EQ(e.event_type, EventType::PromptInput);
    EXPECT_EQ(e.session_id, "019ba997-bbca-7483-9a75-07808dcc061c");
    EXPECT_TRUE(e.timestamp.has_value());
    EXPECT_TRUE(e.message.has_value());
  }
}

}  // namespace
}  // namespace tq::codex
