#include "codex/attachments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/hash.h"
#include "ordering/ordering.h"
#include "support/codex_fixtures.h"

namespace tq::codex {
namespace {

using testing::TempTree;

class CodexAttachmentsTest : public ::testing::Test {
 protected:
  ReaderOutput scan(ParserOptions options = {}) {
    return scan_attachments(dir_.path(".codex/attachments"), {options}, dir_.path(".codex"))
        .value();
  }
  TempTree dir_;
};

TEST_F(CodexAttachmentsTest, NamesDifferingOnlyInInvalidBytesKeepDistinctIds) {
  dir_.write(".codex/attachments/S1/x\xff.txt", "a");
  dir_.write(".codex/attachments/S1/x\xfe.txt", "a");
  ReaderOutput out = scan();
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(out.events[0].source.relative_path, "attachments/S1/x\xEF\xBF\xBD.txt");
  EXPECT_EQ(out.events[1].source.relative_path, out.events[0].source.relative_path);
  EXPECT_NE(out.events[0].event_id, out.events[1].event_id);
}

TEST_F(CodexAttachmentsTest, FileBecomesAttachmentEvent) {
  dir_.write(".codex/attachments/S1/notes.txt", "hello");
  ParserOptions options;
  options.include_content = true;
  ReaderOutput out = scan(options);
  ASSERT_EQ(out.events.size(), 1u);
  EXPECT_TRUE(out.diagnostics.empty());
  const TimelineEvent& e = out.events[0];
  const std::string rel = "attachments/S1/notes.txt";
  EXPECT_EQ(e.provider, Provider::Codex);
  EXPECT_EQ(e.event_type, EventType::Attachment);
  EXPECT_EQ(e.event_id, generate_event_id(Provider::Codex, ArtifactKind::Attachment, rel,
                                          "codex_attachment:" + rel));
  EXPECT_EQ(e.source.relative_path, rel);
  EXPECT_EQ(e.source.record_type, "attachment");
  EXPECT_EQ(e.source.source_id, "S1");
  EXPECT_EQ(e.source.artifact_kind, ArtifactKind::Attachment);
  EXPECT_FALSE(e.source.line_number.has_value());
  EXPECT_FALSE(e.session_id.has_value());
  EXPECT_FALSE(e.source_file_sha256.has_value());
  EXPECT_FALSE(e.timestamp_raw.has_value());
  ASSERT_TRUE(e.timestamp.has_value());
  EXPECT_EQ(e.timestamp_source, TimestampSource::FilesystemModified);
  ASSERT_TRUE(e.fs_times.has_value());
  EXPECT_EQ(e.fs_times->modified, e.timestamp);
  ASSERT_TRUE(e.artifact.has_value());
  EXPECT_EQ(e.artifact->size, 5u);
  EXPECT_EQ(e.artifact->sha256, sha256_bytes("hello"));
  EXPECT_EQ(e.artifact->media_type, "text/plain");
  EXPECT_EQ(e.artifact->content, "hello");
  EXPECT_EQ(e.artifact->content_encoding, ContentEncoding::Utf8);
  EXPECT_FALSE(e.artifact->reference_status.has_value());

  ReaderOutput without = scan();
  ASSERT_EQ(without.events.size(), 1u);
  EXPECT_FALSE(without.events[0].artifact->content.has_value());
  EXPECT_FALSE(without.events[0].artifact->content_encoding.has_value());
}

TEST_F(CodexAttachmentsTest, FilesAtAnyDepthInPathOrder) {
  dir_.write(".codex/attachments/b/10/z.bin", "\xff");
  dir_.write(".codex/attachments/b/9/y", "");
  dir_.write(".codex/attachments/a-b/x.png", "");
  dir_.write(".codex/attachments/top.md", "");
  dir_.write(".codex/attachments/a/README", "");
  ReaderOutput out = scan();
  std::vector<std::string> seen;
  for (const TimelineEvent& e : out.events) {
    seen.push_back(e.source.relative_path + " " + e.source.source_id.value_or("-") + " " +
                   e.artifact->media_type.value_or("-") + " #" + std::to_string(e.sequence));
  }
  const std::vector<std::string> expected = {
      "attachments/a/README a - #0", "attachments/a-b/x.png a-b image/png #1",
      "attachments/b/10/z.bin 10 application/octet-stream #2", "attachments/b/9/y 9 - #3",
      "attachments/top.md attachments text/markdown #4"};
  EXPECT_EQ(seen, expected);
}

TEST_F(CodexAttachmentsTest, SingleFileGivesOneEvent) {
  auto file = dir_.write(".codex/attachments/S1/data.json", "{}");
  ReaderOutput out = scan_attachments(file, {}, dir_.path(".codex")).value();
  ASSERT_EQ(out.events.size(), 1u);
  EXPECT_EQ(out.events[0].source.relative_path, "attachments/S1/data.json");
  EXPECT_EQ(out.events[0].artifact->media_type, "application/json");
}

TEST_F(CodexAttachmentsTest, LinkedFilesOnlyWhenFollowingLinks) {
  dir_.write("outside/real.txt", "linked data");
  dir_.write(".codex/attachments/S1/own.txt", "own");
  dir_.symlink("../../../outside/real.txt", ".codex/attachments/S1/link.txt");
  ReaderOutput plain = scan();
  ASSERT_EQ(plain.events.size(), 1u);
  EXPECT_EQ(plain.events[0].source.relative_path, "attachments/S1/own.txt");

  ParserOptions follow;
  follow.follow_symlinks = true;
  ReaderOutput followed = scan(follow);
  ASSERT_EQ(followed.events.size(), 2u);
  EXPECT_EQ(followed.events[0].source.relative_path, "attachments/S1/link.txt");
  EXPECT_EQ(followed.events[0].artifact->size, 11u);
  EXPECT_EQ(followed.events[0].artifact->sha256, sha256_bytes("linked data"));
}

TEST_F(CodexAttachmentsTest, UnreadableEntriesAreWarnings) {
  dir_.write(".codex/attachments/S1/ok.txt", "ok");
  dir_.symlink("nowhere", ".codex/attachments/S1/broken");
  dir_.symlink("..", ".codex/attachments/S1/loop");
  ParserOptions follow;
  follow.follow_symlinks = true;
  follow.mode = ParseMode::Strict;
  ReaderOutput out = scan(follow);
  ASSERT_EQ(out.events.size(), 1u);
  ASSERT_EQ(out.diagnostics.size(), 2u);
  const std::string s1 = dir_.path(".codex/attachments/S1").string();
  EXPECT_EQ(out.diagnostics[0].message,
            "Cannot traverse attachment artifact: IO error for operation on " + s1 +
                "/broken: No such file or directory (os error 2)");
  EXPECT_EQ(out.diagnostics[0].source->relative_path, "attachments/S1/broken");
  EXPECT_EQ(out.diagnostics[1].message,
            "Cannot traverse attachment artifact: File system loop "
            "found: " +
                s1 + "/loop points to an ancestor " + dir_.path(".codex/attachments").string());
  for (const Diagnostic& d : out.diagnostics) {
    EXPECT_EQ(d.severity, Severity::Warning);
    EXPECT_EQ(d.code, DiagnosticCode::UnreadableArtifact);
    EXPECT_EQ(d.source->artifact_kind, ArtifactKind::Attachment);
    EXPECT_FALSE(d.source->source_id.has_value());
  }
}

TEST_F(CodexAttachmentsTest, MissingStartIsOneWarning) {
  ReaderOutput out = scan();
  EXPECT_TRUE(out.events.empty());
  ASSERT_EQ(out.diagnostics.size(), 1u);
  EXPECT_EQ(out.diagnostics[0].source->relative_path, "attachments");
  EXPECT_TRUE(out.diagnostics[0].message.ends_with("No such file or directory (os error 2)"));
}

}  // namespace
}  // namespace tq::codex
