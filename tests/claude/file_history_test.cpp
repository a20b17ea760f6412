#include "claude/file_history.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/hash.h"
#include "ordering/ordering.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::messages_of;
using testing::paths_of;
using testing::TempTree;

class ClaudeFileHistoryTest : public ::testing::Test {
 protected:
  ReaderOutput scan(ParserOptions options = {}) {
    return scan_file_history(tree_ / ".claude/file-history", {options}, tree_ / ".claude").value();
  }
  static ParserOptions strict() {
    ParserOptions o;
    o.mode = ParseMode::Strict;
    return o;
  }

  TempTree tree_;
};

TEST_F(ClaudeFileHistoryTest, ChainsAreCheckedForRepeatedAndMissingVersions) {
  struct Case {
    const char* name;
    std::vector<const char*> files;  // below file-history/
    std::vector<std::string> diagnostics;
  };
  const Case cases[] = {
      {"complete chain", {"S1/abc@v1", "S1/abc@v2", "S1/abc@v3"}, {}},
      {"gap",
       {"S1/abc@v1", "S1/abc@v4"},
       {"Snapshot version gap for source 'abc' in session 'S1': v1 -> v4 (missing v2..v3)"}},
      {"same version written twice",
       {"S1/abc@v2", "S1/abc@v+2"},
       {"Duplicate snapshot version v2 for source 'abc' in session 'S1'"}},
      {"same id in two sessions", {"S1/abc@v1", "S2/abc@v3"}, {}},
      {"chain starting at 0 is not checked for holes", {"S1/abc@v0", "S1/abc@v5"}, {}},
      {"chain starting above 1 is not blamed for low versions", {"S1/abc@v3", "S1/abc@v4"}, {}},
      {"single snapshot", {"S1/abc@v7"}, {}},
      {"duplicates before gaps, gaps named from the lowest version",
       {"S1/f@v2", "S1/f@v5", "S1/f@v+5", "S1/f@v9"},
       {"Duplicate snapshot version v5 for source 'f' in session 'S1'",
        "Snapshot version gap for source 'f' in session 'S1': v2 -> v5 (missing v3..v4)",
        "Snapshot version gap for source 'f' in session 'S1': v5 -> v9 (missing v6..v8)"}},
      {"chains in session and id order",
       {"S2/a@v1", "S2/a@v3", "S1/b@v1", "S1/b@v3", "S1/a@v2", "S1/a@v4"},
       {"Snapshot version gap for source 'a' in session 'S1': v2 -> v4 (missing v3..v3)",
        "Snapshot version gap for source 'b' in session 'S1': v1 -> v3 (missing v2..v2)",
        "Snapshot version gap for source 'a' in session 'S2': v1 -> v3 (missing v2..v2)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    for (const char* f : c.files) tree.write(std::string(".claude/file-history/") + f, "x");
    ReaderOutput out =
        scan_file_history(tree / ".claude/file-history", {}, tree / ".claude").value();
    EXPECT_EQ(out.events.size(), c.files.size());
    EXPECT_EQ(messages_of(out.diagnostics), c.diagnostics);
  }
}

TEST_F(ClaudeFileHistoryTest, ChainWarningsNameTheirEntry) {
  tree_.write(".claude/file-history/S1/abc@v2", "a");
  tree_.write(".claude/file-history/S1/abc@v+2", "b");
  tree_.write(".claude/file-history/S1/abc@v5", "c");
  ReaderOutput out = scan();
  ASSERT_EQ(out.diagnostics.size(), 2u);
  const Diagnostic& duplicate = out.diagnostics[0];
  EXPECT_EQ(duplicate.code, DiagnosticCode::DuplicateSnapshotVersion);
  EXPECT_EQ(duplicate.severity, Severity::Warning);
  // "+" sorts before "2", so the walk meets abc@v+2 first.
  EXPECT_EQ(duplicate.source->relative_path, "file-history/S1/abc@v+2");
  EXPECT_EQ(duplicate.source->source_id, "abc");
  EXPECT_EQ(duplicate.source->artifact_kind, ArtifactKind::FileHistory);
  EXPECT_FALSE(duplicate.source->line_number);
  EXPECT_FALSE(duplicate.source->record_type);
  const Diagnostic& gap = out.diagnostics[1];
  EXPECT_EQ(gap.code, DiagnosticCode::SnapshotVersionGap);
  EXPECT_EQ(gap.message,
            "Snapshot version gap for source 'abc' in session 'S1': v2 -> v5 (missing v3..v4)");
  EXPECT_EQ(gap.source->relative_path, "file-history/S1/abc@v+2");
}

TEST_F(ClaudeFileHistoryTest, SnapshotNamesSplitAtTheLastMarker) {
  struct Case {
    const char* name;
    bool fits;
    const char* id;
    uint64_t version;
  };
  const Case cases[] = {
      {"abc@v1", true, "abc", 1},
      {"a@vb@v3", true, "a@vb", 3},
      {"x.txt@v12", true, "x.txt", 12},
      {"abc@v+7", true, "abc", 7},
      {"abc@v007", true, "abc", 7},
      {"abc@v18446744073709551615", true, "abc", 18446744073709551615u},
      {"abc@v18446744073709551616", false, "", 0},
      {"@v3", false, "", 0},
      {"abc@v", false, "", 0},
      {"abc@v+", false, "", 0},
      {"abc@v-1", false, "", 0},
      {"abc@v1a", false, "", 0},
      {"abc@v 1", false, "", 0},
      {"notes.txt", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    tree.write(std::string(".claude/file-history/S1/") + c.name, "x");

    ReaderOutput lenient =
        scan_file_history(tree / ".claude/file-history", {}, tree / ".claude").value();
    ASSERT_EQ(lenient.events.size(), 1u);
    EXPECT_TRUE(lenient.diagnostics.empty());
    const TimelineEvent& e = lenient.events[0];
    const std::string id = c.fits ? c.id : c.name;
    EXPECT_EQ(e.source.source_id, id);
    EXPECT_EQ(e.artifact->snapshot_version, c.version);
    EXPECT_EQ(e.event_id,
              generate_event_id(Provider::ClaudeCode, ArtifactKind::FileHistory,
                                std::string("file-history/S1/") + c.name,
                                "file_history:S1:" + id + "@v" + std::to_string(c.version)));

    ReaderOutput strict_out =
        scan_file_history(tree / ".claude/file-history", {strict()}, tree / ".claude").value();
    if (c.fits) {
      EXPECT_EQ(strict_out.events.size(), 1u);
      EXPECT_TRUE(strict_out.diagnostics.empty());
    } else {
      EXPECT_TRUE(strict_out.events.empty());
      ASSERT_EQ(strict_out.diagnostics.size(), 1u);
      const Diagnostic& d = strict_out.diagnostics[0];
      EXPECT_EQ(d.code, DiagnosticCode::UnexpectedFileName);
      EXPECT_EQ(d.severity, Severity::Error);
      EXPECT_EQ(d.message,
                std::string("Filename does not match '<id>@v<version>' pattern: ") + c.name);
      EXPECT_EQ(d.source->relative_path, std::string("file-history/S1/") + c.name);
    }
  }
}

// Names that are not text never fit the pattern; each keeps its shown form as
// id, so two of them in one session are not reported as one id's duplicates.
TEST_F(ClaudeFileHistoryTest, NamesThatAreNotTextKeepTheirShownFormAsId) {
  tree_.write(".claude/file-history/S1/\xFE.md", "x");
  tree_.write(".claude/file-history/S1/\xFF@v1", "y");
  ReaderOutput out = scan();
  EXPECT_TRUE(out.diagnostics.empty());
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(out.events[0].source.source_id, "\uFFFD.md");
  EXPECT_EQ(out.events[0].artifact->media_type, "text/markdown");
  EXPECT_EQ(out.events[1].source.source_id, "\uFFFD@v1");
  EXPECT_EQ(out.events[1].artifact->snapshot_version, 0u);
  EXPECT_EQ(
      messages_of(scan(strict()).diagnostics),
      (std::vector<std::string>{"Filename does not match '<id>@v<version>' pattern: \uFFFD.md",
                                "Filename does not match '<id>@v<version>' pattern: \uFFFD@v1"}));
}

TEST_F(ClaudeFileHistoryTest, EventsDescribeTheSnapshotFileInPathOrder) {
  tree_.write(".claude/file-history/S1/abc@v2", "two");
  tree_.write(".claude/file-history/S1/abc@v10", "ten");
  tree_.write(".claude/file-history/S1/notes.txt", "n");
  ReaderOutput out = scan();
  EXPECT_EQ(
      messages_of(out.diagnostics),
      std::vector<std::string>{
          "Snapshot version gap for source 'abc' in session 'S1': v2 -> v10 (missing v3..v9)"});
  EXPECT_EQ(paths_of(out.events),
            (std::vector<std::string>{"file-history/S1/abc@v10", "file-history/S1/abc@v2",
                                      "file-history/S1/notes.txt"}));
  for (size_t i = 0; i < out.events.size(); ++i) EXPECT_EQ(out.events[i].sequence, i);

  const TimelineEvent& e = out.events[0];
  EXPECT_EQ(e.provider, Provider::ClaudeCode);
  EXPECT_EQ(e.event_type, EventType::FileSnapshot);
  EXPECT_EQ(e.session_id, "S1");
  EXPECT_FALSE(e.working_directory);
  EXPECT_FALSE(e.source_file_sha256);
  EXPECT_EQ(e.source.artifact_kind, ArtifactKind::FileHistory);
  EXPECT_EQ(e.source.source_id, "abc");
  EXPECT_FALSE(e.source.record_type);
  ASSERT_TRUE(e.timestamp);
  EXPECT_EQ(e.timestamp_source, TimestampSource::FilesystemModified);
  ASSERT_TRUE(e.fs_times);
  EXPECT_EQ(e.fs_times->modified, e.timestamp);
  ASSERT_TRUE(e.artifact);
  EXPECT_EQ(e.artifact->snapshot_version, 10u);
  EXPECT_EQ(e.artifact->size, 3u);
  EXPECT_EQ(e.artifact->sha256, sha256_bytes("ten"));
  EXPECT_FALSE(e.artifact->media_type);
  EXPECT_FALSE(e.artifact->content);
  EXPECT_FALSE(e.artifact->reference_status);
  EXPECT_FALSE(e.artifact->resolved_path);
  EXPECT_EQ(out.events[2].artifact->media_type, "text/plain");
  EXPECT_EQ(out.events[2].artifact->snapshot_version, 0u);
}

TEST_F(ClaudeFileHistoryTest, ContentIsInlinedOnRequestWithinTheLimit) {
  tree_.write(".claude/file-history/S1/a@v1", "hello");
  tree_.write(".claude/file-history/S1/b@v1", std::string("\xFF\x00\x01", 3));
  tree_.write(".claude/file-history/S1/c@v1", "0123456789X");
  ParserOptions options;
  options.include_content = true;
  options.max_content_size = 10;
  ReaderOutput out = scan(options);
  ASSERT_EQ(out.events.size(), 3u);
  EXPECT_EQ(out.events[0].artifact->content, "hello");
  EXPECT_EQ(out.events[0].artifact->content_encoding, ContentEncoding::Utf8);
  EXPECT_EQ(out.events[1].artifact->content, "/wAB");
  EXPECT_EQ(out.events[1].artifact->content_encoding, ContentEncoding::Base64);
  EXPECT_FALSE(out.events[2].artifact->content);
  EXPECT_FALSE(out.events[2].artifact->content_encoding);
  EXPECT_EQ(out.events[2].artifact->size, 11u);

  options.max_content_size = 0;
  EXPECT_EQ(scan(options).events[2].artifact->content, "0123456789X");
}

TEST_F(ClaudeFileHistoryTest, SessionComesFromTheFilesOwnDirectory) {
  tree_.write(".claude/file-history/top@v1", "x");
  tree_.write(".claude/file-history/S1/deeper/d@v1", "x");
  ReaderOutput out = scan();
  EXPECT_TRUE(out.diagnostics.empty());
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(out.events[0].session_id, "deeper");
  EXPECT_EQ(out.events[1].session_id, "file-history");

  // A single file given directly takes its directory's name as well.
  ReaderOutput single = scan_file_history(tree_ / ".claude/file-history/S1/deeper/d@v1", {},
                                          tree_ / ".claude/file-history/S1/deeper")
                            .value();
  ASSERT_EQ(single.events.size(), 1u);
  EXPECT_EQ(single.events[0].session_id, "deeper");
  EXPECT_EQ(single.events[0].source.relative_path, "d@v1");

  // Reached through "..", a file has no directory name to take.
  tree_.write(".claude/file-history/S1/x@v1", "x");
  ReaderOutput dotdot =
      scan_file_history(tree_ / ".claude/file-history/S1/deeper/..", {}, tree_ / ".claude").value();
  ASSERT_EQ(dotdot.diagnostics.size(), 1u);
  EXPECT_EQ(dotdot.diagnostics[0].code, DiagnosticCode::UnreadableArtifact);
  EXPECT_EQ(dotdot.diagnostics[0].severity, Severity::Warning);
  EXPECT_EQ(dotdot.diagnostics[0].message, "Cannot determine session ID from parent directory");
  EXPECT_EQ(dotdot.diagnostics[0].source->relative_path, "file-history/S1/deeper/../x@v1");
  EXPECT_EQ(paths_of(dotdot.events),
            std::vector<std::string>{"file-history/S1/deeper/../deeper/d@v1"});
}

TEST_F(ClaudeFileHistoryTest, LinksAreFollowedOnlyWhenAsked) {
  tree_.write("outside/target.txt", "t");
  tree_.write(".claude/file-history/S1/a@v1", "a");
  tree_.symlink("../../../outside/target.txt", ".claude/file-history/S1/link@v2");
  tree_.symlink("..", ".claude/file-history/S1/loop");

  ReaderOutput plain = scan();
  EXPECT_EQ(paths_of(plain.events), std::vector<std::string>{"file-history/S1/a@v1"});
  EXPECT_TRUE(plain.diagnostics.empty());

  ParserOptions follow;
  follow.follow_symlinks = true;
  ReaderOutput followed = scan(follow);
  EXPECT_EQ(paths_of(followed.events),
            (std::vector<std::string>{"file-history/S1/a@v1", "file-history/S1/link@v2"}));
  EXPECT_EQ(followed.events[1].artifact->sha256, sha256_bytes("t"));
  // The link back to file-history is reported once and not entered.
  ASSERT_EQ(followed.diagnostics.size(), 1u);
  EXPECT_EQ(followed.diagnostics[0].code, DiagnosticCode::UnreadableArtifact);
  EXPECT_TRUE(followed.diagnostics[0].message.starts_with("walkdir error: "));
  EXPECT_EQ(followed.diagnostics[0].source->relative_path, "file-history");
}

TEST_F(ClaudeFileHistoryTest, MissingDirectoryIsOneWalkWarning) {
  ReaderOutput out = scan();
  EXPECT_TRUE(out.events.empty());
  ASSERT_EQ(out.diagnostics.size(), 1u);
  EXPECT_EQ(out.diagnostics[0].message, "walkdir error: IO error for operation on " +
                                            (tree_ / ".claude/file-history").string() +
                                            ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tq::claude
