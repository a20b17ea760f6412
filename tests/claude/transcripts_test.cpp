#include "claude/transcripts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "claude/detection.h"
#include "files/evidence.h"
#include "files/paths.h"
#include "hash/hash.h"
#include "jsonl/json_parser.h"
#include "model/text.h"
#include "ordering/ordering.h"
#include "output/json.h"
#include "parser/driver.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;
using testing::messages_of;
using testing::TempTree;

constexpr const char* kSession = "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b";

std::string transcript_path(std::string_view name = "") {
  return concat("projects/-home-u-app/", name.empty() ? std::string(kSession) : std::string(name),
                ".jsonl");
}

std::string line_of(std::string_view fields) {
  return concat(R"({"sessionId":")", kSession,
                R"(","cwd":"/home/u/app","timestamp":"2025-01-02T10:00:00Z",)", fields, "}\n");
}

template <typename Events>
std::map<std::string, int> count_types(const Events& events) {
  std::map<std::string, int> counts;
  for (const TimelineEvent& e : events) counts[std::string(json_text(e.event_type))]++;
  return counts;
}

class TranscriptsTest : public ::testing::Test {
 protected:
  TranscriptOutput read(std::string_view bytes, ParserOptions options = {}) {
    fs::path file = tree_.write(transcript_path(), bytes);
    auto out = parse_transcript_file(file, {options}, tree_.root());
    EXPECT_TRUE(out.has_value()) << out.error().text();
    return out ? std::move(*out) : TranscriptOutput{};
  }
  TempTree tree_;
};

TEST_F(TranscriptsTest, EachBlockBecomesOneEvent) {
  struct Case {
    const char* name;
    std::string fields;
    EventType type;
    const char* record_type;
    std::optional<std::string> message;
    std::optional<std::string> message_with_content;
    std::optional<std::string> source_id;
  };
  const std::string tool_input = R"({"command":"ls"})";
  const std::vector<Case> cases = {
      {"string content", R"("type":"user","uuid":"u1","message":{"role":"user","content":"hi"})",
       EventType::PromptInput, "user/text", "hi", "hi", "u1"},
      {"meta text",
       R"("type":"user","isMeta":true,"message":{"content":[{"type":"text","text":"m"}]})",
       EventType::DeveloperMessage, "user/text", "m", "m", std::nullopt},
      {"compact summary", R"("type":"user","isCompactSummary":true,"message":{"content":"so far"})",
       EventType::ContextCompacted, "user/text", "so far", "so far", std::nullopt},
      {"tool result",
       R"("type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t1","content":[{"type":"text","text":"a"},{"type":"text","text":"b"}]}]})",
       EventType::ToolResult, "user/tool_result", "result of t1", "a\nb", "t1"},
      {"assistant text",
       R"("type":"assistant","message":{"content":[{"type":"text","text":"ok"}]})",
       EventType::AgentMessage, "assistant/text", "ok", "ok", std::nullopt},
      {"thinking",
       R"("type":"assistant","message":{"content":[{"type":"thinking","thinking":"hmm"}]})",
       EventType::AgentReasoning, "assistant/thinking", "hmm", "hmm", std::nullopt},
      {"tool use",
       R"("type":"assistant","uuid":"u2","message":{"content":[{"type":"tool_use","id":"t1","name":"Bash","input":)" +
           tool_input + "}]}",
       EventType::ToolCall, "assistant/tool_use", "Bash", "Bash: " + tool_input, "t1"},
      {"unknown block", R"("type":"assistant","message":{"content":[{"type":"server_tool"}]})",
       EventType::Unknown, "assistant/server_tool", std::nullopt, std::nullopt, std::nullopt},
      {"system", R"("type":"system","subtype":"local_command","content":"/clear")",
       EventType::TaskState, "system", "local_command: /clear", "local_command: /clear",
       std::nullopt},
      {"compact boundary", R"("type":"system","subtype":"compact_boundary")",
       EventType::ContextCompacted, "system", "compact_boundary", "compact_boundary", std::nullopt},
      {"summary", R"("type":"summary","summary":"Fixed it","leafUuid":"l1")", EventType::TaskState,
       "summary", "Fixed it", "Fixed it", "l1"},
      {"queue", R"("type":"queue-operation","operation":"dequeue")", EventType::TaskState,
       "queue-operation", "dequeue", "dequeue", std::nullopt},
      {"unknown record", R"("type":"brand-new","uuid":"u3")", EventType::Unknown, "brand-new",
       std::nullopt, std::nullopt, "u3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool include_content : {false, true}) {
      TranscriptOutput out = read(line_of(c.fields), {.include_content = include_content});
      ASSERT_EQ(out.output.events.size(), 1u);
      // A kind nobody has mapped is also a warning for the file.
      EXPECT_EQ(out.output.diagnostics.size(), c.type == EventType::Unknown ? 1u : 0u);
      const TimelineEvent& e = out.output.events[0];
      EXPECT_EQ(e.event_type, c.type);
      EXPECT_EQ(e.source.record_type, c.record_type);
      EXPECT_EQ(e.message, include_content ? c.message_with_content : c.message);
      EXPECT_EQ(e.source.source_id, c.source_id);
      EXPECT_EQ(e.session_id, kSession);
      EXPECT_EQ(e.working_directory, "/home/u/app");
      EXPECT_EQ(e.source.artifact_kind, ArtifactKind::Session);
      EXPECT_EQ(e.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::Session,
                                              transcript_path(), "transcript:1", 0));
      EXPECT_EQ(e.warnings.empty(), c.type != EventType::Unknown);
    }
  }
  TranscriptOutput unknown = read(line_of(R"("type":"brand-new")"));
  EXPECT_EQ(unknown.output.events[0].warnings,
            std::vector<std::string>{"Unmapped Claude transcript record type: brand-new"});
  EXPECT_EQ(unknown.output.diagnostics[0].message,
            "Unknown Claude Code record type 'brand-new': its events are of type unknown");
}

TEST_F(TranscriptsTest, ImageBlockDescribesTheDecodedImage) {
  const std::string image =
      R"("type":"user","message":{"content":[{"type":"image","source":{"type":"base64","media_type":"image/png","data":"iVBORw=="}}]})";
  for (bool include_content : {false, true}) {
    TranscriptOutput out = read(line_of(image), {.include_content = include_content});
    ASSERT_EQ(out.output.events.size(), 1u);
    const TimelineEvent& e = out.output.events[0];
    EXPECT_EQ(e.event_type, EventType::ImageAttachment);
    ASSERT_TRUE(e.artifact);
    EXPECT_EQ(e.artifact->media_type, "image/png");
    EXPECT_EQ(e.artifact->size, 4u);
    EXPECT_EQ(e.artifact->sha256, sha256_bytes("\x89PNG"));
    EXPECT_EQ(e.artifact->content,
              include_content ? std::optional<std::string>("iVBORw==") : std::nullopt);
  }
  TranscriptOutput bad = read(line_of(
      R"("type":"user","message":{"content":[{"type":"image","source":{"data":"iV=B"}}]})"));
  EXPECT_EQ(bad.output.events[0].warnings,
            std::vector<std::string>{"Image data is not valid Base64"});
}

TEST_F(TranscriptsTest, BlocksOfOneResponseShareOneUsageEvent) {
  const std::string usage = R"("usage":{"input_tokens":10,"output_tokens":2,"service_tier":"x"})";
  const std::string later = R"("usage":{"input_tokens":10,"output_tokens":7})";
  TranscriptOutput out = read(
      line_of(
          R"("type":"assistant","message":{"id":"m1","content":[{"type":"thinking","thinking":"t"}],)" +
          usage + "}") +
      line_of(
          R"("type":"assistant","message":{"id":"m1","content":[{"type":"text","text":"a"},{"type":"tool_use","id":"t1","name":"Read"}],)" +
          later + "}") +
      line_of(R"("type":"assistant","message":{"id":"m2","content":"b",)" + usage + "}"));
  EXPECT_EQ(
      count_types(out.output.events),
      (std::map<std::string, int>{
          {"agent_message", 2}, {"agent_reasoning", 1}, {"token_usage", 2}, {"tool_call", 1}}));
  const TimelineEvent& first = out.output.events[1];
  EXPECT_EQ(first.event_type, EventType::TokenUsage);
  EXPECT_EQ(first.source.line_number, 1u);
  EXPECT_EQ(first.source.source_id, "m1");
  EXPECT_EQ(first.message, "input_tokens=10, output_tokens=7");
  EXPECT_EQ(first.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::Session,
                                              transcript_path(), "transcript:1:usage"));
  // The second record's two blocks: ordinals 0 and 1 of line 2.
  EXPECT_EQ(out.output.events[3].event_id,
            generate_event_id(Provider::ClaudeCode, ArtifactKind::Session, transcript_path(),
                              "transcript:2", 1));
}

TEST_F(TranscriptsTest, EveryEventOfARecordCarriesItWhole) {
  const std::vector<std::string> records = {
      line_of(R"("type":"assistant","message":{"id":"m1","content":[{"type":"text","text":"a"},)"
              R"({"type":"thinking","thinking":"t"}],"usage":{"input_tokens":1}})"),
      line_of(R"("type":"summary","summary":"s")")};
  for (bool include_raw : {false, true}) {
    SCOPED_TRACE(include_raw);
    TranscriptOutput out = read(records[0] + records[1], {.include_raw = include_raw});
    ASSERT_EQ(out.output.events.size(), 4u);  // two blocks and the usage, then the summary
    const TimelineEvent& first = out.output.events[0];
    for (const TimelineEvent& e : out.output.events) {
      SCOPED_TRACE(e.event_id);
      ASSERT_EQ(e.raw.has_value(), include_raw);
      if (include_raw) {
        EXPECT_EQ(*e.raw, parse_json(records[*e.source.line_number - 1]).value());
      }
      // Held once, not once per block: records that repeat a text share it too.
      EXPECT_TRUE(e.session_id.shares(first.session_id));
      EXPECT_TRUE(e.working_directory.shares(first.working_directory));
      if (e.source.line_number == 1u) {
        EXPECT_TRUE(e.raw.shares(first.raw));
        EXPECT_TRUE(e.timestamp_raw.shares(first.timestamp_raw));
      }
    }
  }
}

TEST_F(TranscriptsTest, DamagedLinesAreDiagnosticsAndEndAStrictParse) {
  const std::string bytes = line_of(R"("type":"user","message":{"content":"a"})") + "{\"type\":\n" +
                            line_of(R"("type":"user","message":{"content":7})");
  TranscriptOutput out = read(bytes);
  EXPECT_EQ(out.output.events.size(), 2u);
  ASSERT_EQ(out.output.diagnostics.size(), 2u);
  EXPECT_EQ(out.output.diagnostics[0].code, DiagnosticCode::InvalidJson);
  EXPECT_EQ(out.output.diagnostics[0].severity, Severity::Error);
  EXPECT_EQ(out.output.diagnostics[0].source->line_number, 2u);
  EXPECT_EQ(out.output.diagnostics[1].message,
            "Field 'message.content' expected string or array, got number");
  EXPECT_EQ(out.output.diagnostics[1].severity, Severity::Warning);

  fs::path file = tree_.write(transcript_path(), bytes);
  auto strict =
      parse_transcript_file(file, {ParserOptions{.mode = ParseMode::Strict}}, tree_.root());
  ASSERT_FALSE(strict.has_value());
  EXPECT_EQ(strict.error().kind(), ErrorKind::JsonParse);
}

TEST_F(TranscriptsTest, SubagentsInBothLayoutsKeepTheParentSession) {
  const std::string record = R"({"type":"user","agentId":"a2","message":{"content":"go"}})"
                             "\n";
  tree_.write("projects/-home-u-app/agent-a1.jsonl",
              concat(R"({"type":"user","sessionId":")", kSession,
                     R"(","agentId":"a1","message":{"content":"go"}})", "\n"));
  tree_.write(concat("projects/-home-u-app/", kSession, "/subagents/agent-a2.jsonl"), record);
  tree_.write("projects/-home-u-app/notes.txt", "not a transcript");
  auto out = scan_transcripts(tree_ / "projects", {}, tree_.root());
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->output.events.size(), 2u);
  EXPECT_EQ(out->output.events[0].source.relative_path,
            concat("projects/-home-u-app/", kSession, "/subagents/agent-a2.jsonl"));
  EXPECT_EQ(out->output.events[1].source.relative_path, "projects/-home-u-app/agent-a1.jsonl");
  for (const TimelineEvent& e : out->output.events) EXPECT_EQ(e.session_id, kSession);
}

TEST_F(TranscriptsTest, SnapshotsTakeTheirOriginFromTheTranscript) {
  const std::string snapshot = concat(
      R"({"type":"file-history-snapshot","messageId":"m1","snapshot":{"timestamp":"2025-01-02T09:00:00Z","trackedFileBackups":{"/home/u/app/main.py":{"backupFileName":"abc@v2","version":2,"backupTime":"2025-01-02T08:59:00.5Z"},"/home/u/app/gone.py":{"backupFileName":null,"version":3}}}})",
      "\n");
  tree_.write(".claude/" + transcript_path(), snapshot);
  tree_.write(concat(".claude/file-history/", kSession, "/abc@v2"), "x");
  tree_.write(concat(".claude/file-history/", kSession, "/def@v1"), "y");
  tree_.write(".claude/history.jsonl", "");

  auto with = parse_path(tree_ / ".claude", {.transcripts = true});
  ASSERT_TRUE(with.has_value()) << with.error().text();
  std::map<std::string, const TimelineEvent*> snapshots;
  const TimelineEvent* state = nullptr;
  for (const TimelineEvent& e : with->events) {
    if (e.event_type == EventType::FileSnapshot) snapshots[*e.source.source_id] = &e;
    if (e.event_type == EventType::TaskState) state = &e;
  }
  ASSERT_EQ(snapshots.size(), 2u);
  const TimelineEvent& origin = *snapshots["abc"];
  EXPECT_EQ(origin.message, "/home/u/app/main.py");
  EXPECT_EQ(origin.timestamp_source, TimestampSource::ReferencedEvent);
  EXPECT_EQ(format_rfc3339(*origin.timestamp), "2025-01-02T08:59:00.500Z");
  EXPECT_TRUE(origin.fs_times && origin.fs_times->modified);
  EXPECT_EQ(snapshots["def"]->message, std::nullopt);
  EXPECT_EQ(snapshots["def"]->timestamp_source, TimestampSource::FilesystemModified);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->session_id, kSession);  // from the file name
  EXPECT_EQ(state->message, "/home/u/app/gone.py\n/home/u/app/main.py");
  EXPECT_EQ(format_rfc3339(*state->timestamp), "2025-01-02T09:00:00Z");

  auto without = parse_path(tree_ / ".claude", ParserOptions{});
  ASSERT_TRUE(without.has_value());
  EXPECT_EQ(without->events.size(), 2u);
  for (const TimelineEvent& e : without->events) EXPECT_EQ(e.message, std::nullopt);
}

TEST_F(TranscriptsTest, TranscriptInputsAreRecognisedOnlyWhenTranscriptsAreRead) {
  tree_.write(".claude/" + transcript_path(),
              line_of(R"("type":"user","message":{"content":"a"})"));
  struct Case {
    std::string path;
    InputKind kind;
    std::string evidence_root;
  };
  const std::string root = tree_.root().string();
  const std::vector<Case> cases = {
      {root + "/.claude", InputKind::ClaudeRoot, root + "/.claude"},
      {root + "/.claude/projects", InputKind::ClaudeProjects, root + "/.claude"},
      {root + "/.claude/" + transcript_path(), InputKind::ClaudeTranscript, root + "/.claude"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto off = detect_input_kind(c.path, false);
    ASSERT_TRUE(off.has_value());
    EXPECT_EQ(*off, std::nullopt);
    auto on = detect_input_kind_with_transcripts(c.path, false);
    ASSERT_TRUE(on.has_value());
    EXPECT_EQ(*on, c.kind);
    EXPECT_EQ(claude_evidence_root(c.path, c.kind).string(), c.evidence_root);
    auto report = parse_path(c.path, {.transcripts = true});
    ASSERT_TRUE(report.has_value()) << report.error().text();
    ASSERT_EQ(report->events.size(), 1u);
    EXPECT_EQ(report->events[0].source.relative_path, transcript_path());
  }
  // A home's own ~/projects doesn't make it a profile, nor is Codex's history a transcript.
  tree_.write("u/projects/app/notes.jsonl", "{}\n");
  tree_.write("u/.codex/history.jsonl", "{}\n");
  for (const char* other : {"u", "u/.codex/history.jsonl"}) {
    SCOPED_TRACE(other);
    auto kind = detect_input_kind_with_transcripts(tree_ / other, false);
    ASSERT_TRUE(kind.has_value());
    EXPECT_EQ(*kind, std::nullopt);
  }
  auto home = parse_path(tree_.root(), {.transcripts = true});
  ASSERT_TRUE(home.has_value());
  ASSERT_FALSE(home->events.empty());
  EXPECT_EQ(home->events.front().source.relative_path, transcript_path());
  EXPECT_FALSE(parse_path(tree_.root(), ParserOptions{}).has_value());
}

TEST_F(TranscriptsTest, TranscriptsAreReadThroughTheEvidenceScope) {
  const fs::path inside = tree_.write("home/.claude/" + transcript_path(),
                                      line_of(R"("type":"user","message":{"content":"a"})"));
  const fs::path outside = tree_.write(concat("elsewhere/", transcript_path()),
                                       line_of(R"("type":"user","message":{"content":"b"})"));
  // The history keeps the profile recognisable once its projects are a link.
  tree_.write("home/.claude/history.jsonl", "");
  struct Case {
    const char* name;
    bool link_projects_outside;
    fs::path transcript;
    size_t events;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"projects inside", false, inside, 1, {}},
      {"projects linked outside the evidence",
       true,
       outside,
       0,
       {"Not following symbolic link outside the evidence: projects (pass follow_symlinks=True "
        "to follow it)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path profile = tree_ / "home/.claude";
    if (c.link_projects_outside) {
      fs::remove_all(profile / "projects");
      fs::create_directory_symlink(tree_ / "elsewhere/projects", profile / "projects");
    }
    EvidenceScope scope;
    auto report = parse_path(profile, {ParserOptions{.transcripts = true}, &scope});
    ASSERT_TRUE(report.has_value()) << report.error().text();
    EXPECT_EQ(messages_of(report->diagnostics), c.warnings);
    EXPECT_EQ(report->events.size(), c.events);
    // What was read is what convert must never write over.
    struct stat st {};
    ASSERT_EQ(::stat(c.transcript.c_str(), &st), 0);
    EXPECT_EQ(scope.was_read({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}),
              c.events == 1);
  }
}

// A public profile (tests/data/claude-hillviewcap, MIT; SOURCE.txt tells where
// it comes from): every transcript line must show on the timeline.
TEST(TranscriptsRealSampleTest, EveryLineBecomesAnEventOrADiagnostic) {
  const fs::path root =
      fs::path(__FILE__).parent_path().parent_path() / "data" / "claude-hillviewcap";
  auto with = parse_path(root, {.transcripts = true});
  ASSERT_TRUE(with.has_value()) << with.error().text();
  EXPECT_TRUE(with->diagnostics.empty()) << messages_of(with->diagnostics).front();
  std::vector<TimelineEvent> transcript_events;
  std::set<std::pair<std::string, uint64_t>> lines_seen;
  for (const TimelineEvent& e : with->events) {
    if (e.source.artifact_kind != ArtifactKind::Session) continue;
    lines_seen.insert({e.source.relative_path, *e.source.line_number});
    transcript_events.push_back(e);
    EXPECT_TRUE(e.warnings.empty()) << *e.source.record_type;
  }
  size_t lines = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root / ".claude/projects")) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines += line.empty() ? 0 : 1;
  }
  EXPECT_EQ(lines_seen.size(), lines);
  // 46 user records (35 texts, 8 of them meta, and 11 tool results), 39
  // assistant records (16 texts, 12 thinking, 11 tool uses; 20 responses), 12
  // snapshots, 6 system records (4 of them stop hooks), 4 summaries and 2 queue
  // operations.
  EXPECT_EQ(count_types(transcript_events), (std::map<std::string, int>{{"agent_message", 16},
                                                                        {"agent_reasoning", 12},
                                                                        {"developer_message", 8},
                                                                        {"hook_run", 4},
                                                                        {"prompt_input", 27},
                                                                        {"task_state", 20},
                                                                        {"token_usage", 20},
                                                                        {"tool_call", 11},
                                                                        {"tool_result", 11}}));

  const auto snapshot = std::find_if(with->events.begin(), with->events.end(), [](const auto& e) {
    return e.event_type == EventType::FileSnapshot;
  });
  ASSERT_NE(snapshot, with->events.end());
  EXPECT_EQ(snapshot->message, "/home/jenkins/.claude/settings.json");
  EXPECT_EQ(format_rfc3339(*snapshot->timestamp), "2025-12-17T01:46:22.096Z");

  auto without = parse_path(root, ParserOptions{});
  ASSERT_TRUE(without.has_value());
  EXPECT_EQ(with->events.size() - transcript_events.size(), without->events.size());
}

}  // namespace
}  // namespace tq::claude
