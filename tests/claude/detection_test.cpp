#include "claude/detection.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/claude_fixtures.h"

namespace tq {
namespace {

using testing::ClaudeTree;
using testing::paths_of;

std::string kind_name(const std::optional<InputKind>& kind) {
  return kind ? std::string(identifier(*kind)) : "none";
}

// Every case builds its own tree; `path` is below the tree's root.
struct DetectionCase {
  const char* name;
  std::vector<const char*> files;  // regular files to write
  std::vector<const char*> dirs;   // empty directories to make
  std::vector<std::pair<const char*, const char*>> links;  // target, link
  const char* path;
  bool follow;
  std::optional<InputKind> kind;
};

TEST(ClaudeDetectionTest, RecognisesEachKindByItsNamesAndContents) {
  const DetectionCase cases[] = {
      {"profile root with history", {".claude/history.jsonl"}, {}, {}, ".claude", false,
       InputKind::ClaudeRoot},
      {"any directory with a history file", {"r/history.jsonl"}, {}, {}, "r", false,
       InputKind::ClaudeRoot},
      {"directory with a cache directory", {}, {"r/image-cache"}, {}, "r", false,
       InputKind::ClaudeRoot},
      {"directory with a file-history directory", {}, {"r/file-history"}, {}, "r", false,
       InputKind::ClaudeRoot},
      {"directory with a history directory", {}, {"r/history.jsonl"}, {}, "r", false,
       std::nullopt},
      {"directory with a paste-cache file", {"r/paste-cache"}, {}, {}, "r", false, std::nullopt},
      {"empty profile directory", {}, {".claude"}, {}, ".claude", false, std::nullopt},
      {".codex is never ours", {".codex/history.jsonl"}, {".codex/paste-cache"}, {}, ".codex",
       false, std::nullopt},
      {".codex history", {".codex/history.jsonl"}, {}, {}, ".codex/history.jsonl", false,
       std::nullopt},
      {"history elsewhere", {"x/history.jsonl"}, {}, {}, "x/history.jsonl", false,
       InputKind::History},
      {"history inside a cache", {"paste-cache/history.jsonl"}, {}, {},
       "paste-cache/history.jsonl", false, InputKind::History},
      {"history below .codex/file-history", {".codex/file-history/history.jsonl"}, {}, {},
       ".codex/file-history/history.jsonl", false, InputKind::History},
      {"file-history directory", {}, {"a/file-history"}, {}, "a/file-history", false,
       InputKind::FileHistory},
      {"paste-cache directory", {}, {"paste-cache"}, {}, "paste-cache", false,
       InputKind::PasteCache},
      {"image-cache directory", {}, {"image-cache"}, {}, "image-cache", false,
       InputKind::ImageCache},
      {"paste file", {"paste-cache/a.txt"}, {}, {}, "paste-cache/a.txt", false,
       InputKind::PasteCache},
      {"image file", {"image-cache/1.png"}, {}, {}, "image-cache/1.png", false,
       InputKind::ImageCache},
      {"image in a session directory", {"image-cache/S1/1.png"}, {}, {}, "image-cache/S1/1.png",
       false, std::nullopt},
      {"snapshot beside sessions", {"file-history/a@v1"}, {}, {}, "file-history/a@v1", false,
       InputKind::FileHistory},
      {"snapshot in a session", {"file-history/S1/a@v1"}, {}, {}, "file-history/S1/a@v1", false,
       InputKind::FileHistory},
      {"snapshot two levels down", {"file-history/S1/d/a@v1"}, {}, {},
       "file-history/S1/d/a@v1", false, std::nullopt},
      {"a plain file", {"notes.txt"}, {}, {}, "notes.txt", false, std::nullopt},
      {"root whose cache is a link, not followed", {"elsewhere/x"}, {"r"},
       {{"../elsewhere", "r/paste-cache"}}, "r", false, std::nullopt},
      {"root whose cache is a link, followed", {"elsewhere/x"}, {"r"},
       {{"../elsewhere", "r/paste-cache"}}, "r", true, InputKind::ClaudeRoot},
      {"root whose cache links back to the root, followed", {}, {"r"}, {{".", "r/file-history"}},
       "r", true, InputKind::ClaudeRoot},
      {"linked history, not followed", {"real.jsonl"}, {}, {{"../real.jsonl", "x/history.jsonl"}},
       "x/history.jsonl", false, std::nullopt},
      {"linked history, followed", {"real.jsonl"}, {}, {{"../real.jsonl", "x/history.jsonl"}},
       "x/history.jsonl", true, InputKind::History},
      {"link to a root, not followed", {"r/history.jsonl"}, {}, {{"r", "lnk"}}, "lnk", false,
       std::nullopt},
      {"link to a root, followed", {"r/history.jsonl"}, {}, {{"r", "lnk"}}, "lnk", true,
       InputKind::ClaudeRoot},
      {"trailing slash", {}, {"a/paste-cache"}, {}, "a/paste-cache/", false,
       InputKind::PasteCache},
  };
  for (const DetectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClaudeTree tree;
    for (const char* f : c.files) tree.write(f, "{}\n");
    for (const char* d : c.dirs) tree.mkdir(d);
    for (const auto& [target, link] : c.links) tree.link(target, link);
    auto kind = claude::detect_input_kind(tree.root().native() + "/" + c.path, c.follow);
    ASSERT_TRUE(kind) << kind.error().text();
    EXPECT_EQ(kind_name(*kind), kind_name(c.kind));
  }
}

TEST(ClaudeDetectionTest, OnlyUnreadableMetadataIsAnError) {
  ClaudeTree tree;
  const auto missing = tree / "missing";
  for (bool follow : {false, true}) {
    auto kind = claude::detect_input_kind(missing, follow);
    ASSERT_FALSE(kind);
    EXPECT_EQ(kind.error().kind(), ErrorKind::Io);
    EXPECT_EQ(kind.error().text(),
              "I/O error at " + missing.string() + ": No such file or directory (os error 2)");
  }
  // A dangling link is itself readable; followed, it is missing.
  tree.link("nowhere", "dangling");
  auto plain = claude::detect_input_kind(tree / "dangling", false);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(*plain);
  EXPECT_FALSE(claude::detect_input_kind(tree / "dangling", true));

  ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
  auto fifo = claude::detect_input_kind(tree / "fifo", false);
  ASSERT_TRUE(fifo);
  EXPECT_FALSE(*fifo);
}

TEST(ClaudeDetectionTest, ConfidenceIsSureOnlyBelowAProfileDirectory) {
  struct Case {
    const char* path;
    InputKind kind;
    int score;
  };
  const Case cases[] = {
      {"/home/u/.claude/history.jsonl", InputKind::History, 100},
      {"/home/u/.claude", InputKind::ClaudeRoot, 100},
      {".claude", InputKind::ClaudeRoot, 100},
      {"/home/u/.claude/", InputKind::ClaudeRoot, 100},
      {"/a/.claude/file-history/S1/x@v1", InputKind::FileHistory, 100},
      {"/a/.claude/b/c/d", InputKind::PasteCache, 100},
      {"/tmp/x/history.jsonl", InputKind::History, 10},
      {"/tmp/x", InputKind::ClaudeRoot, 10},
      {"/tmp/paste-cache", InputKind::PasteCache, 80},
      {"/tmp/image-cache/1.png", InputKind::ImageCache, 80},
      {"/tmp/file-history", InputKind::FileHistory, 80},
      {"/a/.claudex/paste-cache", InputKind::PasteCache, 80},
      {"/a/x.claude/history.jsonl", InputKind::History, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(claude_detection_confidence(c.path, c.kind), c.score);
  }
}

TEST(ClaudeDetectionTest, EvidenceRootIsTheProfileOrSessionDirectory) {
  ClaudeTree tree;
  tree.write(".claude/file-history/S1/a@v1", "x");
  tree.write(".claude/file-history/b@v1", "x");
  tree.write(".claude/paste-cache/p.txt", "x");
  tree.mkdir(".claude/image-cache");
  tree.mkdir("loose");
  const std::string r = tree.root().native();
  struct Case {
    std::string path;
    InputKind kind;
    std::string root;
  };
  const Case cases[] = {
      {r + "/.claude/file-history/S1/a@v1", InputKind::FileHistory, r + "/.claude/file-history/S1"},
      {r + "/.claude/file-history/S1", InputKind::FileHistory, r + "/.claude/file-history/S1"},
      {r + "/.claude/file-history/b@v1", InputKind::FileHistory, r + "/.claude"},
      {r + "/.claude/file-history", InputKind::FileHistory, r + "/.claude"},
      {r + "/.claude/paste-cache/p.txt", InputKind::PasteCache, r + "/.claude"},
      {r + "/.claude/image-cache", InputKind::ImageCache, r + "/.claude"},
      {r + "/loose", InputKind::PasteCache, r + "/loose"},
      {r + "/.claude/history.jsonl", InputKind::History, r + "/.claude"},
      {"history.jsonl", InputKind::History, ""},
      {r + "/.claude", InputKind::ClaudeRoot, r + "/.claude"},
      {r + "/.codex", InputKind::CodexRoot, r + "/.codex"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(claude_evidence_root(c.path, c.kind).native(), c.root);
  }
}

TEST(ClaudeDetectionTest, SupportsExactlyTheClaudeKinds) {
  for (int k = 0; k <= static_cast<int>(InputKind::CodexAttachments); ++k) {
    const auto kind = static_cast<InputKind>(k);
    SCOPED_TRACE(identifier(kind));
    EXPECT_EQ(supports_claude_input(kind), k >= 1 && k <= 5);
  }
}

TEST(ClaudeDetectionTest, OtherKindsAreRefusedByName) {
  for (InputKind kind : {InputKind::Auto, InputKind::CodexRoot, InputKind::CodexHistory,
                         InputKind::CodexSessions, InputKind::CodexSession,
                         InputKind::CodexAttachments}) {
    auto out = parse_claude_input("/nonexistent", kind, "/", {});
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind(), ErrorKind::Message);
    EXPECT_EQ(out.error().text(), "Claude Code adapter does not support input kind " +
                                      std::string(identifier(kind)) + ".");
  }
}

TEST(ClaudeDetectionTest, EachKindIsReadByItsOwnReader) {
  ClaudeTree tree;
  tree.write(".claude/history.jsonl",
             R"({"display":"p","pastedContents":{"1":{"contentHash":"k"}}})"
             "\n");
  tree.write(".claude/paste-cache/k.txt", "k");
  tree.write(".claude/image-cache/i.png", "i");
  tree.write(".claude/file-history/S1/a@v1", "a");
  struct Case {
    const char* path;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {".claude", {"history.jsonl", "history.jsonl", "image-cache/i.png", "file-history/S1/a@v1"}},
      {".claude/history.jsonl", {"history.jsonl", "history.jsonl"}},
      {".claude/paste-cache", {"paste-cache/k.txt"}},
      {".claude/paste-cache/k.txt", {"paste-cache/k.txt"}},
      {".claude/image-cache", {"image-cache/i.png"}},
      {".claude/file-history", {"file-history/S1/a@v1"}},
      {".claude/file-history/S1/a@v1", {"a@v1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto path = tree / c.path;
    auto kind = claude::detect_input_kind(path, false);
    ASSERT_TRUE(kind && *kind);
    auto out = parse_claude_input(path, **kind, claude_evidence_root(path, **kind), {});
    ASSERT_TRUE(out) << out.error().text();
    EXPECT_EQ(paths_of(out->events), c.paths);
    // A cache read alone knows of no references.
    for (const TimelineEvent& e : out->events) {
      if (e.event_type == EventType::OrphanCache) {
        EXPECT_FALSE(e.artifact->reference_status);
      }
    }
  }

  auto missing = parse_claude_input(tree / "gone/history.jsonl", InputKind::History, tree.root(), {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

TEST(ClaudeDetectionTest, AdapterEntryNamesTheClaudeOperations) {
  const ProviderAdapter& a = claude_adapter();
  EXPECT_EQ(a.profile_dir_name, ".claude");
  EXPECT_EQ(a.detect, &claude::detect_input_kind);
  EXPECT_EQ(a.parse, &parse_claude_input);
  EXPECT_EQ(a.evidence_root, &claude_evidence_root);
  EXPECT_EQ(a.supports, &supports_claude_input);
  EXPECT_EQ(a.confidence, &claude_detection_confidence);
  EXPECT_EQ(a.root_kind, InputKind::ClaudeRoot);
  EXPECT_EQ(a.provider, Provider::ClaudeCode);
}

}  // namespace
}  // namespace tq
