#include "codex/detection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/codex_fixtures.h"

namespace tq::codex {
namespace {

using testing::TempTree;

std::string kind_text(const Result<std::optional<InputKind>>& r) {
  if (!r) return "error: " + r.error().text();
  if (!*r) return "none";
  return std::string(identifier(**r));
}

TEST(CodexDetectionTest, RecognisesEachKind) {
  TempTree dir;
  dir.write("home/.codex/history.jsonl", "");
  dir.write("home/.codex/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl", "");
  dir.write("home/.codex/attachments/S1/a.txt", "");
  dir.write("x/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl", "");
  dir.write("x/sessions/rollout-a.json", "");
  dir.write("x/attachments/sessions/rollout-a.json", "");
  dir.write("x/attachments/paste-cache/p.txt", "");
  dir.write("x/history.jsonl", "");
  dir.write("x/attachments/history.jsonl", "");
  dir.write("work/sessions/a/b/c/d/rollout-x.jsonl", "");
  dir.write("deep/sessions/a/b/c/d/e/rollout-x.jsonl", "");
  dir.write("home/.claude/sessions/rollout-x.jsonl", "");
  dir.write("export/sessions/sessions/rollout-x.jsonl", "");
  dir.mkdir("empty/.codex");
  dir.mkdir("plain");
  dir.mkdir("bare/sessions");
  dir.mkdir("bare/attachments");
  dir.write("home/.codex/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl.zst", "");
  dir.write("home/.codex/archived_sessions/rollout-2025-01-02T10-00-00-abc.jsonl.zst", "");
  dir.write("home/.codex/archived_sessions/rollout-a.zst", "");
  dir.write("old/archived_sessions/rollout-x.jsonl.zst", "");
  dir.mkdir("bare/archived_sessions");

  struct Case {
    const char* path;
    const char* kind;
  };
  const Case cases[] = {
      {"home/.codex", "CodexRoot"},
      {"empty/.codex", "CodexRoot"},
      {"home/.codex/history.jsonl", "CodexHistory"},
      {"home/.codex/sessions", "CodexSessions"},
      {"home/.codex/sessions/2025", "none"},
      {"home/.codex/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl", "CodexSession"},
      {"home/.codex/attachments", "CodexAttachments"},
      {"home/.codex/attachments/S1/a.txt", "CodexAttachments"},
      {"x/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl", "CodexSession"},
      {"x/sessions/rollout-a.json", "none"},
      {"x/attachments/sessions/rollout-a.json", "CodexAttachments"},
      {"x/attachments/paste-cache/p.txt", "CodexAttachments"},
      {"x/history.jsonl", "none"},
      {"x/attachments/history.jsonl", "CodexAttachments"},
      {"x", "CodexRoot"},
      {"work", "CodexRoot"},
      {"deep", "none"},
      {"home/.claude", "none"},
      {"export/sessions", "CodexRoot"},
      {"bare/sessions", "none"},
      {"bare/attachments", "none"},
      {"plain", "none"},
      {"home", "none"},
      {"home/.codex/sessions/2025/01/02/rollout-2025-01-02T10-00-00-abc.jsonl.zst", "CodexSession"},
      {"home/.codex/archived_sessions", "CodexSessions"},
      {"home/.codex/archived_sessions/rollout-2025-01-02T10-00-00-abc.jsonl.zst", "CodexSession"},
      {"home/.codex/archived_sessions/rollout-a.zst", "none"},
      {"old", "CodexRoot"},
      {"bare/archived_sessions", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(kind_text(detect_input_kind(dir.path(c.path), false)), c.kind);
  }
}

TEST(CodexDetectionTest, LinksAreRecognisedOnlyWhenFollowed) {
  TempTree dir;
  dir.write("real/.codex/history.jsonl", "");
  dir.symlink("real/.codex", "linkdir");
  dir.mkdir("home/.codex");
  dir.symlink("../../real/.codex/history.jsonl", "home/.codex/history.jsonl");

  EXPECT_EQ(kind_text(detect_input_kind(dir.path("home/.codex/history.jsonl"), false)), "none");
  EXPECT_EQ(kind_text(detect_input_kind(dir.path("home/.codex/history.jsonl"), true)),
            "CodexHistory");
  // A link's own name decides, not its target's.
  EXPECT_EQ(kind_text(detect_input_kind(dir.path("linkdir"), false)), "none");
  EXPECT_EQ(kind_text(detect_input_kind(dir.path("linkdir"), true)), "none");
}

TEST(CodexDetectionTest, MissingPathIsAnIoError) {
  TempTree dir;
  auto r = detect_input_kind(dir.path("missing"), false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().text(), "I/O error at " + dir.path("missing").string() +
                                  ": No such file or directory (os error 2)");
}

TEST(CodexDetectionTest, ConfidenceAndEvidenceRoot) {
  EXPECT_EQ(codex_detection_confidence("/home/u/.codex/sessions/2025", InputKind::CodexSessions),
            100);
  EXPECT_EQ(codex_detection_confidence(".codex", InputKind::CodexRoot), 100);
  EXPECT_EQ(codex_detection_confidence("/data/export/sessions", InputKind::CodexRoot), 80);

  struct Case {
    const char* path;
    InputKind kind;
    const char* root;
  };
  const Case cases[] = {
      {"/h/.codex", InputKind::CodexRoot, "/h/.codex"},
      {"/h/.codex/history.jsonl", InputKind::CodexHistory, "/h/.codex"},
      {"history.jsonl", InputKind::CodexHistory, ""},
      {"/h/.codex/sessions", InputKind::CodexSessions, "/h/.codex"},
      {"/h/.codex/sessions/", InputKind::CodexSessions, "/h/.codex"},
      {"x/sessions/2025/01/02/rollout-a.jsonl", InputKind::CodexSession, "x"},
      {"x/sessions/a/sessions/rollout-a.jsonl", InputKind::CodexSession, "x/sessions/a"},
      // A rollout copied out of its profile: measured from its directory.
      {"/tmp/rollout-a.jsonl", InputKind::CodexSession, "/tmp"},
      {"/h/.codex/attachments", InputKind::CodexAttachments, "/h/.codex"},
      {"/h/.codex/attachments/S1/a.txt", InputKind::CodexAttachments, "/h/.codex"},
      {"/a/attachments/b/attachments/c", InputKind::CodexAttachments, "/a/attachments/b"},
      {"/", InputKind::CodexHistory, "/"},
      {"/h/.codex/archived_sessions", InputKind::CodexSessions, "/h/.codex"},
      {"/h/.codex/archived_sessions/rollout-a.jsonl.zst", InputKind::CodexSession, "/h/.codex"},
      {"x/sessions/archived_sessions/rollout-a.jsonl", InputKind::CodexSession, "x/sessions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(codex_evidence_root(c.path, c.kind), std::filesystem::path(c.root));
  }
}

TEST(CodexDetectionTest, SupportsOnlyCodexKinds) {
  for (int k = 0; k <= static_cast<int>(InputKind::CodexAttachments); ++k) {
    InputKind kind = static_cast<InputKind>(k);
    SCOPED_TRACE(identifier(kind));
    EXPECT_EQ(supports_codex_input(kind), kind >= InputKind::CodexRoot);
  }
  TempTree dir;
  auto r = parse_codex_input(dir.root(), InputKind::PasteCache, dir.root(), {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Argument);
  EXPECT_EQ(r.error().text(), "Codex adapter does not support input kind PasteCache.");
}

TEST(CodexDetectionTest, RootParseReadsHistorySessionsArchivedSessionsThenAttachments) {
  TempTree dir;
  dir.write(".codex/attachments/S1/a.txt", "a");
  dir.write(".codex/archived_sessions/rollout-b.jsonl", "{}\n");
  dir.write(".codex/archived_sessions/2024/rollout-a.jsonl", "{}\n");
  dir.write(".codex/archived_sessions/notes.jsonl", "{}\n");
  dir.write(".codex/sessions/2025/rollout-x.jsonl", "{\"type\":\"session_meta\"}\n");
  dir.write(".codex/history.jsonl", "{\"text\":\"p\"}\n[1]\n");
  auto out = parse_codex_input(dir.path(".codex"), InputKind::CodexRoot, dir.path(".codex"), {});
  ASSERT_TRUE(out.has_value()) << out.error().text();
  std::vector<std::string> paths;
  for (const TimelineEvent& e : out->events) paths.push_back(e.source.relative_path);
  const std::vector<std::string> expected = {
      "history.jsonl", "sessions/2025/rollout-x.jsonl", "archived_sessions/2024/rollout-a.jsonl",
      "archived_sessions/rollout-b.jsonl", "attachments/S1/a.txt"};
  EXPECT_EQ(paths, expected);
  ASSERT_EQ(out->diagnostics.size(), 1u);
  EXPECT_EQ(out->diagnostics[0].code, DiagnosticCode::UnknownRecord);

  auto empty = parse_codex_input(dir.mkdir("e/.codex"), InputKind::CodexRoot, dir.path("e"), {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->events.empty());
  EXPECT_TRUE(empty->diagnostics.empty());

  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  dir.write(".codex/sessions/2025/rollout-y.jsonl", "oops\n");
  auto failed =
      parse_codex_input(dir.path(".codex"), InputKind::CodexRoot, dir.path(".codex"), {strict});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::JsonParse);
}

TEST(CodexDetectionTest, SameTreeInTwoPlacesGivesTheSameEvents) {
  TempTree dir;
  std::vector<std::vector<std::string>> runs;
  for (const char* home : {"one", "elsewhere/two"}) {
    const std::string root = std::string(home) + "/.codex";
    dir.write(root + "/history.jsonl", "{\"text\":\"p\",\"ts\":1}\n");
    dir.write(root + "/sessions/2025/rollout-x.jsonl",
              "{\"type\":\"session_meta\",\"payload\":{\"id\":\"s\"}}\n");
    auto out = parse_codex_input(dir.path(root), InputKind::CodexRoot, dir.path(root), {});
    ASSERT_TRUE(out.has_value());
    std::vector<std::string> lines;
    for (const TimelineEvent& e : out->events) {
      lines.push_back(e.event_id + " " + e.source.relative_path + " " +
                      e.source_file_sha256.value_or("-") + " " + e.session_id.value_or("-"));
    }
    runs.push_back(lines);
  }
  EXPECT_EQ(runs[0].size(), 2u);
  EXPECT_EQ(runs[0], runs[1]);
}

}  // namespace
}  // namespace tq::codex
