#include "claude/detection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::paths_of;
using testing::TempTree;

std::string kind_name(const std::optional<InputKind>& kind) {
  return kind ? std::string(identifier(*kind)) : "none";
}

// Builds a tree from space-separated entries: "a/b" is a file, "a/b/" a
// directory, "a/b->target" a symbolic link.
void build(const TempTree& tree, std::string_view layout) {
  while (!layout.empty()) {
    const size_t end = std::min(layout.find(' '), layout.size());
    const std::string_view entry = layout.substr(0, end);
    layout.remove_prefix(std::min(end + 1, layout.size()));
    if (const size_t arrow = entry.find("->"); arrow != std::string_view::npos) {
      tree.symlink(entry.substr(arrow + 2), entry.substr(0, arrow));
    } else if (entry.ends_with('/')) {
      tree.mkdir(entry);
    } else {
      tree.write(entry, "{}\n");
    }
  }
}

TEST(ClaudeDetectionTest, RecognisesEachKindByItsNamesAndContents) {
  struct Case {
    const char* layout;
    const char* path;
    bool follow;
    std::optional<InputKind> kind;
  };
  // clang-format off
  const Case cases[] = {
      {".claude/history.jsonl", ".claude", false, InputKind::ClaudeRoot},
      {"r/history.jsonl", "r", false, InputKind::ClaudeRoot},
      {"r/image-cache/", "r", false, InputKind::ClaudeRoot},
      {"r/file-history/", "r", false, InputKind::ClaudeRoot},
      {"r/history.jsonl/", "r", false, std::nullopt},
      {"r/paste-cache", "r", false, std::nullopt},
      {".claude/", ".claude", false, std::nullopt},
      {".codex/history.jsonl .codex/paste-cache/", ".codex", false, std::nullopt},
      {".codex/history.jsonl", ".codex/history.jsonl", false, std::nullopt},
      {"x/history.jsonl", "x/history.jsonl", false, InputKind::History},
      {"paste-cache/history.jsonl", "paste-cache/history.jsonl", false, InputKind::History},
      {".codex/file-history/history.jsonl", ".codex/file-history/history.jsonl", false,
       InputKind::History},
      {"a/file-history/", "a/file-history", false, InputKind::FileHistory},
      {"paste-cache/", "paste-cache", false, InputKind::PasteCache},
      {"image-cache/", "image-cache", false, InputKind::ImageCache},
      {"a/paste-cache/", "a/paste-cache/", false, InputKind::PasteCache},
      {"paste-cache/a.txt", "paste-cache/a.txt", false, InputKind::PasteCache},
      {"image-cache/1.png", "image-cache/1.png", false, InputKind::ImageCache},
      {"image-cache/S1/1.png", "image-cache/S1/1.png", false, std::nullopt},
      {"file-history/a@v1", "file-history/a@v1", false, InputKind::FileHistory},
      {"file-history/S1/a@v1", "file-history/S1/a@v1", false, InputKind::FileHistory},
      {"file-history/S1/d/a@v1", "file-history/S1/d/a@v1", false, std::nullopt},
      {"notes.txt", "notes.txt", false, std::nullopt},
      // Links: at the path itself, and among a root's entries.
      {"elsewhere/x r/paste-cache->../elsewhere", "r", false, std::nullopt},
      {"elsewhere/x r/paste-cache->../elsewhere", "r", true, InputKind::ClaudeRoot},
      {"r/file-history->.", "r", true, InputKind::ClaudeRoot},
      {"real.jsonl x/history.jsonl->../real.jsonl", "x/history.jsonl", false, std::nullopt},
      {"real.jsonl x/history.jsonl->../real.jsonl", "x/history.jsonl", true, InputKind::History},
      {"r/history.jsonl lnk->r", "lnk", false, std::nullopt},
      {"r/history.jsonl lnk->r", "lnk", true, InputKind::ClaudeRoot},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " @ " + c.path + (c.follow ? " (following links)" : ""));
    TempTree tree;
    build(tree, c.layout);
    auto kind = detect_input_kind(tree.root().native() + "/" + c.path, c.follow);
    ASSERT_TRUE(kind) << kind.error().text();
    EXPECT_EQ(kind_name(*kind), kind_name(c.kind));
  }
}

TEST(ClaudeDetectionTest, OnlyUnreadableMetadataIsAnError) {
  TempTree tree;
  const auto missing = tree / "missing";
  for (bool follow : {false, true}) {
    auto kind = detect_input_kind(missing, follow);
    ASSERT_FALSE(kind);
    EXPECT_EQ(kind.error().kind(), ErrorKind::Io);
    EXPECT_EQ(kind.error().text(),
              "I/O error at " + missing.string() + ": No such file or directory (os error 2)");
  }
  // A dangling link is itself readable; followed, it is missing.
  tree.symlink("nowhere", "dangling");
  auto plain = detect_input_kind(tree / "dangling", false);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(*plain);
  EXPECT_FALSE(detect_input_kind(tree / "dangling", true));

  ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
  auto fifo = detect_input_kind(tree / "fifo", false);
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
  TempTree tree;
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
    EXPECT_EQ(supports_claude_input(kind),
              k >= 1 && k <= static_cast<int>(InputKind::ClaudeTranscript));
  }
}

TEST(ClaudeDetectionTest, OtherKindsAreRefusedByName) {
  for (InputKind kind :
       {InputKind::Auto, InputKind::CodexRoot, InputKind::CodexHistory, InputKind::CodexSessions,
        InputKind::CodexSession, InputKind::CodexAttachments}) {
    auto out = parse_claude_input("/nonexistent", kind, "/", {});
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind(), ErrorKind::Argument);
    EXPECT_EQ(out.error().text(), "Claude Code adapter does not support input kind " +
                                      std::string(identifier(kind)) + ".");
  }
}

TEST(ClaudeDetectionTest, EachKindIsReadByItsOwnReader) {
  TempTree tree;
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
    auto kind = detect_input_kind(path, false);
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

  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  auto missing =
      parse_claude_input(tree / "gone/history.jsonl", InputKind::History, tree.root(), {strict});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace tq::claude
