#include "claude/cache.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hash/hash.h"
#include "ordering/ordering.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::paths_of;
using testing::TempTree;

class ClaudeCacheTest : public ::testing::Test {
 protected:
  ReaderOutput scan(const char* dir, ArtifactKind kind, ParserOptions options = {}) {
    return scan_cache_dir(tree_ / ".claude" / dir, kind, {options}, tree_ / ".claude").value();
  }

  TempTree tree_;
};

TEST_F(ClaudeCacheTest, KeyIsTheNameWithoutItsLastExtension) {
  struct Case {
    std::string name;
    std::string key;
    std::optional<std::string> media_type;
  };
  // clang-format off
  const Case cases[] = {
      {"abc.txt", "abc", "text/plain"},
      {"README", "README", std::nullopt},
      {".hidden", ".hidden", std::nullopt},
      {"x.y.z", "x.y", std::nullopt},
      {"x.y.json", "x.y", "application/json"},
      {"shot.PNG", "shot", "image/png"},
      {"data.jsonl", "data", std::nullopt},
      {"trailing.", "trailing", std::nullopt},
      {"\xFF\xFE.txt", "", "text/plain"},
  };
  // clang-format on

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    tree.write(".claude/paste-cache/" + c.name, "x");
    ReaderOutput out =
        scan_cache_dir(tree / ".claude/paste-cache", ArtifactKind::PasteCache, {}, tree / ".claude")
            .value();
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_TRUE(out.diagnostics.empty());
    const TimelineEvent& e = out.events[0];
    EXPECT_EQ(e.source.source_id, c.key);
    EXPECT_EQ(e.artifact->media_type, c.media_type);
    const std::string id_path = "paste-cache/" + c.name;
    EXPECT_EQ(e.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::PasteCache, id_path,
                                            "cache:" + c.key));
  }
}

TEST_F(ClaudeCacheTest, EachFileIsAnOrphanCacheEventDescribingIt) {
  tree_.write(".claude/paste-cache/abc.txt", "pasted");
  ReaderOutput out = scan("paste-cache", ArtifactKind::PasteCache);
  ASSERT_EQ(out.events.size(), 1u);
  const TimelineEvent& e = out.events[0];
  EXPECT_EQ(e.schema_version, "1");
  EXPECT_EQ(e.provider, Provider::ClaudeCode);
  EXPECT_EQ(e.event_type, EventType::OrphanCache);
  EXPECT_EQ(e.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::PasteCache,
                                          "paste-cache/abc.txt", "cache:abc"));
  EXPECT_EQ(e.sequence, 0u);
  ASSERT_TRUE(e.timestamp);
  EXPECT_EQ(e.timestamp_source, TimestampSource::FilesystemModified);
  EXPECT_FALSE(e.timestamp_raw);
  EXPECT_FALSE(e.session_id);
  EXPECT_FALSE(e.message);
  EXPECT_FALSE(e.source_file_sha256);
  EXPECT_EQ(e.source.artifact_kind, ArtifactKind::PasteCache);
  EXPECT_EQ(e.source.relative_path, "paste-cache/abc.txt");
  EXPECT_EQ(e.source.source_id, "abc");
  EXPECT_FALSE(e.source.line_number);
  EXPECT_FALSE(e.source.record_type);
  ASSERT_TRUE(e.artifact);
  EXPECT_EQ(e.artifact->size, 6u);
  EXPECT_EQ(e.artifact->sha256, sha256_bytes("pasted"));
  EXPECT_FALSE(e.artifact->reference_status);
  EXPECT_FALSE(e.artifact->content);
  EXPECT_FALSE(e.artifact->snapshot_version);
  ASSERT_TRUE(e.fs_times);
  EXPECT_EQ(e.fs_times->modified, e.timestamp);
  EXPECT_TRUE(e.warnings.empty());
}

// Whether the history refers to a cache file is settled by the profile's
// reader afterwards; a scan gives every file the same plain event.
TEST_F(ClaudeCacheTest, CacheEventsCarryTheirKindAndKeyButNoReferenceStatus) {
  tree_.write(".claude/image-cache/abc.png", "1");
  tree_.write(".claude/image-cache/other.png", "2");
  ReaderOutput out = scan("image-cache", ArtifactKind::ImageCache);
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(out.events[0].source.artifact_kind, ArtifactKind::ImageCache);
  EXPECT_FALSE(out.events[0].artifact->reference_status);
  EXPECT_FALSE(out.events[1].artifact->reference_status);
  EXPECT_EQ(out.events[0].event_id,
            generate_event_id(Provider::ClaudeCode, ArtifactKind::ImageCache, "image-cache/abc.png",
                              "cache:abc"));
}

TEST_F(ClaudeCacheTest, ContentIsInlinedOnRequestWithinTheLimit) {
  tree_.write(".claude/paste-cache/a.txt", "hello");
  tree_.write(".claude/paste-cache/b.bin", std::string("\x89PNG\x00", 5));
  tree_.write(".claude/paste-cache/c.txt", "0123456789X");
  ParserOptions options;
  options.include_content = true;
  options.max_content_size = 10;
  ReaderOutput out = scan("paste-cache", ArtifactKind::PasteCache, options);
  ASSERT_EQ(out.events.size(), 3u);
  EXPECT_EQ(out.events[0].artifact->content, "hello");
  EXPECT_EQ(out.events[0].artifact->content_encoding, ContentEncoding::Utf8);
  EXPECT_EQ(out.events[1].artifact->content, "iVBORwA=");
  EXPECT_EQ(out.events[1].artifact->content_encoding, ContentEncoding::Base64);
  EXPECT_FALSE(out.events[2].artifact->content);
  EXPECT_FALSE(out.events[2].artifact->content_encoding);
  EXPECT_EQ(out.events[2].artifact->size, 11u);
  EXPECT_EQ(out.events[2].artifact->sha256, sha256_bytes("0123456789X"));

  options.max_content_size = 0;
  EXPECT_EQ(scan("paste-cache", ArtifactKind::PasteCache, options).events[2].artifact->content,
            "0123456789X");
  options.include_content = false;
  EXPECT_FALSE(scan("paste-cache", ArtifactKind::PasteCache, options).events[0].artifact->content);
}

TEST_F(ClaudeCacheTest, NestedFilesComeInPathOrderAndAreNumbered) {
  for (const char* f : {"S2/1.png", "S1/2.png", "S1/10.png", "a.png", "S1.png"}) {
    tree_.write(std::string(".claude/image-cache/") + f, f);
  }
  ReaderOutput out = scan("image-cache", ArtifactKind::ImageCache);
  EXPECT_EQ(paths_of(out.events),
            (std::vector<std::string>{"image-cache/S1/10.png", "image-cache/S1/2.png",
                                      "image-cache/S1.png", "image-cache/S2/1.png",
                                      "image-cache/a.png"}));
  for (size_t i = 0; i < out.events.size(); ++i) EXPECT_EQ(out.events[i].sequence, i);
}

TEST_F(ClaudeCacheTest, AFileGivenDirectlyIsItsOwnOnlyEntry) {
  tree_.write(".claude/paste-cache/abc.txt", "x");
  tree_.write(".claude/paste-cache/def.txt", "y");
  ReaderOutput out = scan_cache_dir(tree_ / ".claude/paste-cache/abc.txt", ArtifactKind::PasteCache,
                                    {}, tree_ / ".claude")
                         .value();
  EXPECT_EQ(paths_of(out.events), std::vector<std::string>{"paste-cache/abc.txt"});
}

TEST_F(ClaudeCacheTest, LinksAreDescribedOnlyWhenFollowed) {
  tree_.write("outside/shared.txt", "shared");
  tree_.write(".claude/paste-cache/own.txt", "own");
  tree_.symlink("../../outside/shared.txt", ".claude/paste-cache/linked.txt");
  tree_.symlink("../../outside", ".claude/paste-cache/dir");
  tree_.symlink("missing.txt", ".claude/paste-cache/dangling.txt");

  ReaderOutput plain = scan("paste-cache", ArtifactKind::PasteCache);
  EXPECT_EQ(paths_of(plain.events), std::vector<std::string>{"paste-cache/own.txt"});
  EXPECT_TRUE(plain.diagnostics.empty());

  ParserOptions follow;
  follow.follow_symlinks = true;
  ReaderOutput followed = scan("paste-cache", ArtifactKind::PasteCache, follow);
  EXPECT_EQ(paths_of(followed.events),
            (std::vector<std::string>{"paste-cache/dir/shared.txt", "paste-cache/linked.txt",
                                      "paste-cache/own.txt"}));
  EXPECT_EQ(followed.events[1].artifact->sha256, sha256_bytes("shared"));
  EXPECT_EQ(followed.events[1].source.source_id, "linked");
  // The dangling link can't be typed: one walk warning naming the scanned directory.
  ASSERT_EQ(followed.diagnostics.size(), 1u);
  const Diagnostic& d = followed.diagnostics[0];
  EXPECT_EQ(d.code, DiagnosticCode::UnreadableArtifact);
  EXPECT_EQ(d.severity, Severity::Warning);
  EXPECT_EQ(d.message, "walkdir error: IO error for operation on " +
                           (tree_ / ".claude/paste-cache/dangling.txt").string() +
                           ": No such file or directory (os error 2)");
  EXPECT_EQ(d.source->relative_path, "paste-cache");
  EXPECT_EQ(d.source->artifact_kind, ArtifactKind::PasteCache);
  EXPECT_FALSE(d.source->source_id);
}

TEST_F(ClaudeCacheTest, ALinkCycleIsReportedOnceAndNotEntered) {
  tree_.write(".claude/image-cache/S1/1.png", "p");
  tree_.symlink("..", ".claude/image-cache/S1/up");
  ParserOptions follow;
  follow.follow_symlinks = true;
  ReaderOutput out = scan("image-cache", ArtifactKind::ImageCache, follow);
  EXPECT_EQ(paths_of(out.events), std::vector<std::string>{"image-cache/S1/1.png"});
  ASSERT_EQ(out.diagnostics.size(), 1u);
  EXPECT_TRUE(out.diagnostics[0].message.starts_with("walkdir error: "))
      << out.diagnostics[0].message;
}

TEST_F(ClaudeCacheTest, MissingPathIsOneWalkWarning) {
  ReaderOutput out = scan("paste-cache", ArtifactKind::PasteCache);
  EXPECT_TRUE(out.events.empty());
  ASSERT_EQ(out.diagnostics.size(), 1u);
  EXPECT_EQ(out.diagnostics[0].message, "walkdir error: IO error for operation on " +
                                            (tree_ / ".claude/paste-cache").string() +
                                            ": No such file or directory (os error 2)");
  EXPECT_EQ(out.diagnostics[0].source->relative_path, "paste-cache");
}

TEST_F(ClaudeCacheTest, OutputDoesNotDependOnWhereTheTreeLies) {
  TempTree other;
  for (const TempTree* t : {&tree_, &other}) {
    t->write(".claude/paste-cache/b.txt", "b");
    t->write(".claude/paste-cache/a/c.txt", "c");
  }
  ReaderOutput here = scan("paste-cache", ArtifactKind::PasteCache);
  ReaderOutput there =
      scan_cache_dir(other / ".claude/paste-cache", ArtifactKind::PasteCache, {}, other / ".claude")
          .value();
  ASSERT_EQ(here.events.size(), 2u);
  ASSERT_EQ(there.events.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(here.events[i].event_id, there.events[i].event_id);
    EXPECT_EQ(here.events[i].source.relative_path, there.events[i].source.relative_path);
    EXPECT_EQ(here.events[i].artifact->sha256, there.events[i].artifact->sha256);
  }
}

}  // namespace
}  // namespace tq::claude
