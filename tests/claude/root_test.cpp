#include "claude/root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "claude/history.h"
#include "context/sink.h"
#include "hash/hash.h"
#include "ordering/ordering.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::find_event;
using testing::messages_of;
using testing::paths_of;
using testing::TempTree;

// One pasted-content entry on its own history line.
std::string paste_line(const char* key_json_fields, const char* extra = "") {
  return std::string(R"({"display":"p","sessionId":"S1","timestamp":1700000000000)") + extra +
         R"(,"pastedContents":{"1":{)" + key_json_fields + "}}}\n";
}

class ClaudeRootTest : public ::testing::Test {
 protected:
  struct Parsed {
    EventList events;
    std::vector<Diagnostic> diagnostics;
  };
  Parsed parse(ParserOptions options = {}) {
    Parsed p;
    Status status =
        parse_claude_root(tree_ / ".claude", tree_ / ".claude", {options}, p.events, p.diagnostics);
    EXPECT_TRUE(status) << status.error().text();
    return p;
  }
  // The attachment event of history line `line`.
  static const TimelineEvent* attachment(const Parsed& p, uint64_t line) {
    for (const TimelineEvent& e : p.events) {
      if (e.source.line_number == line && e.source.record_type == "pasted_content") return &e;
    }
    return nullptr;
  }

  TempTree tree_;
};

TEST_F(ClaudeRootTest, HistoryAloneLeavesEveryReferenceMissing) {
  tree_.write(".claude/history.jsonl", paste_line(R"("contentHash":"h1")") +
                                           paste_line(R"("type":"image","contentHash":"h2")"));
  Parsed p = parse();
  ASSERT_EQ(p.events.size(), 4u);
  EXPECT_EQ(messages_of(p.diagnostics),
            (std::vector<std::string>{"Cache reference 'h1' could not be resolved.",
                                      "Cache reference 'h2' could not be resolved."}));
  const Diagnostic& d = p.diagnostics[1];
  EXPECT_EQ(d.code, DiagnosticCode::MissingReference);
  EXPECT_EQ(d.severity, Severity::Warning);
  ASSERT_TRUE(d.source);
  EXPECT_EQ(d.source->artifact_kind, ArtifactKind::History);
  EXPECT_EQ(d.source->relative_path, "history.jsonl");
  EXPECT_EQ(d.source->line_number, 2u);
  EXPECT_EQ(d.source->record_type, "pasted_content");
  EXPECT_EQ(d.source->source_id, "h2");
  EXPECT_EQ(attachment(p, 2)->artifact->reference_status, ReferenceStatus::Missing);
}

TEST_F(ClaudeRootTest, AReferenceFoundAloneIsFoldedIntoTheAttachment) {
  tree_.write(".claude/history.jsonl", paste_line(R"("contentHash":"h1")"));
  tree_.write(".claude/paste-cache/h1.txt", "cached text");
  ParserOptions options;
  options.include_content = true;
  Parsed p = parse(options);
  EXPECT_TRUE(p.diagnostics.empty()) << ::testing::PrintToString(messages_of(p.diagnostics));
  EXPECT_EQ(paths_of(p.events), (std::vector<std::string>{"history.jsonl", "history.jsonl"}));
  const ArtifactInfo& a = *attachment(p, 1)->artifact;
  EXPECT_EQ(a.reference_status, ReferenceStatus::Resolved);
  EXPECT_EQ(a.resolved_path, "paste-cache/h1.txt");
  EXPECT_EQ(a.content, "cached text");
  EXPECT_EQ(a.content_encoding, ContentEncoding::Utf8);
  EXPECT_EQ(a.sha256, sha256_bytes("cached text"));
  EXPECT_EQ(a.media_type, "text/plain");
  EXPECT_FALSE(a.size);  // the attachment keeps its own (absent) size
  EXPECT_EQ(attachment(p, 1)->timestamp_source, TimestampSource::ReferencedEvent);
}

TEST_F(ClaudeRootTest, ReferencesResolveAgainstTheirOwnCacheOnly) {
  struct Case {
    const char* name;
    std::vector<const char*> cache_files;  // below .claude/
    const char* entry;
    ReferenceStatus status;
    std::vector<std::string> diagnostics;
    std::vector<std::string> remaining;  // cache files left as events
  };
  const Case cases[] = {
      {"same key twice in the paste cache",
       {"paste-cache/k.txt", "paste-cache/sub/k.md", "image-cache/k.png"},
       R"("contentHash":"k")",
       ReferenceStatus::Ambiguous,
       {"Cache reference 'k' matched multiple files: paste-cache/k.txt, paste-cache/sub/k.md"},
       {"image-cache/k.png"}},
      {"image reference finds the image cache only",
       {"paste-cache/k.txt", "image-cache/k.png"},
       R"("type":"image/png","contentHash":"k")",
       ReferenceStatus::Resolved,
       {},
       {"paste-cache/k.txt"}},
      {"image reference whose key is only in the paste cache",
       {"paste-cache/k.txt"},
       R"("type":"image","contentHash":"k")",
       ReferenceStatus::Missing,
       {"Cache reference 'k' could not be resolved."},
       {"paste-cache/k.txt"}},
      {"same key twice in the image cache",
       {"image-cache/S1/k.png", "image-cache/S2/k.png"},
       R"("type":"image","contentHash":"k")",
       ReferenceStatus::Ambiguous,
       {"Cache reference 'k' matched multiple files: image-cache/S1/k.png, image-cache/S2/k.png"},
       {}},
      {"key differs only by extension",
       {"paste-cache/k.v1.txt"},
       R"("contentHash":"k")",
       ReferenceStatus::Missing,
       {"Cache reference 'k' could not be resolved."},
       {"paste-cache/k.v1.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    tree.write(".claude/history.jsonl", paste_line(c.entry));
    for (const char* f : c.cache_files) tree.write(std::string(".claude/") + f, f);
    Parsed p;
    ASSERT_TRUE(parse_claude_root(tree / ".claude", tree / ".claude", {}, p.events, p.diagnostics));
    EXPECT_EQ(messages_of(p.diagnostics), c.diagnostics);
    ASSERT_TRUE(attachment(p, 1));
    EXPECT_EQ(attachment(p, 1)->artifact->reference_status, c.status);
    std::vector<std::string> remaining;
    for (const TimelineEvent& e : p.events) {
      if (e.event_type != EventType::OrphanCache) continue;
      remaining.push_back(e.source.relative_path);
      EXPECT_FALSE(e.artifact->reference_status) << e.source.relative_path;
    }
    EXPECT_EQ(remaining, c.remaining);
  }
}

TEST_F(ClaudeRootTest, AmbiguousReferenceChangesOnlyTheStatus) {
  tree_.write(".claude/history.jsonl", paste_line(R"("content":"abc","contentHash":"k")"));
  tree_.write(".claude/paste-cache/k.txt", "1");
  tree_.write(".claude/paste-cache/k.md", "2");
  Parsed p = parse();
  const ArtifactInfo& a = *attachment(p, 1)->artifact;
  EXPECT_EQ(a.reference_status, ReferenceStatus::Ambiguous);
  EXPECT_FALSE(a.resolved_path);
  EXPECT_EQ(a.media_type, "text");
  EXPECT_EQ(a.content, "abc");
  EXPECT_EQ(p.diagnostics[0].code, DiagnosticCode::AmbiguousReference);
  EXPECT_EQ(p.diagnostics[0].source->source_id, "k");
}

TEST_F(ClaudeRootTest, TwoLinesReferringToOneFileBothResolveAndTheFileVanishesOnce) {
  tree_.write(".claude/history.jsonl",
              paste_line(R"("contentHash":"k")") + paste_line(R"("contentHash":"k")"));
  tree_.write(".claude/paste-cache/k.txt", "t");
  tree_.write(".claude/paste-cache/free.txt", "f");
  Parsed p = parse();
  EXPECT_TRUE(p.diagnostics.empty());
  EXPECT_EQ(attachment(p, 1)->artifact->resolved_path, "paste-cache/k.txt");
  EXPECT_EQ(attachment(p, 2)->artifact->resolved_path, "paste-cache/k.txt");
  EXPECT_EQ(find_event(p.events, "paste-cache/k.txt"), nullptr);
  const TimelineEvent* free_file = find_event(p.events, "paste-cache/free.txt");
  ASSERT_NE(free_file, nullptr);
  EXPECT_FALSE(free_file->artifact->reference_status);
}

TEST_F(ClaudeRootTest, InlineContentThatDisagreesWithTheCacheIsAHashMismatch) {
  tree_.write(".claude/history.jsonl", paste_line(R"("content":"inline","contentHash":"k")") +
                                           paste_line(R"("content":"same","contentHash":"s")"));
  tree_.write(".claude/paste-cache/k.txt", "cached");
  tree_.write(".claude/paste-cache/s.md", "same");
  ParserOptions options;
  options.include_content = true;
  Parsed p = parse(options);
  ASSERT_EQ(p.diagnostics.size(), 1u);
  const Diagnostic& d = p.diagnostics[0];
  EXPECT_EQ(d.code, DiagnosticCode::HashMismatch);
  EXPECT_EQ(d.severity, Severity::Error);
  EXPECT_EQ(d.message,
            "Inline content and resolved cache 'paste-cache/k.txt' have different SHA-256 values.");
  EXPECT_EQ(d.source->line_number, 1u);

  const ArtifactInfo& mismatched = *attachment(p, 1)->artifact;
  EXPECT_EQ(mismatched.reference_status, ReferenceStatus::Resolved);
  EXPECT_EQ(mismatched.resolved_path, "paste-cache/k.txt");
  EXPECT_EQ(mismatched.content, "inline");
  EXPECT_EQ(mismatched.sha256, sha256_bytes("inline"));
  EXPECT_EQ(mismatched.size, 6u);
  EXPECT_EQ(mismatched.media_type, "text/plain");
  EXPECT_EQ(attachment(p, 2)->artifact->media_type, "text/markdown");

  // Strict mode reports it only when the report is finalized.
  options.mode = ParseMode::Strict;
  Parsed strict = parse(options);
  auto report = finalize_report(strict.events, strict.diagnostics, true);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().text(), "Strict mode: " + d.message);
}

// Keeps what a parse hands over, stamping the unstamped as a store would.
class KeepingSink final : public EventSink {
 public:
  Status take(EventList&& events) override {
    kept.append(std::move(events));
    return {};
  }
  Status take_unstamped(EventList&& events) override {
    for (const TimelineEvent& e : events) EXPECT_FALSE(e.source_file_sha256);
    unstamped += events.size();
    return take(std::move(events));
  }
  Status stamp(std::string_view sha256) override {
    for (size_t i = kept.size() - unstamped; i < kept.size(); ++i) {
      kept[i].source_file_sha256 = std::string(sha256);
    }
    unstamped = 0;
    return {};
  }
  EventList kept;
  size_t unstamped = 0;
};

// The history leaves a few hundred events at a time; its reference
// diagnostics still come by key, in the order keys first appear, and the
// events in the order they would have been gathered, each with its digest.
TEST_F(ClaudeRootTest, TheHistoryLeavesInBatchesWithItsOrderKept) {
  std::string history = paste_line(R"("contentHash":"a")") + paste_line(R"("contentHash":"b")");
  for (size_t i = 0; i < kEventsPerHandOver + 10; ++i) {
    history += R"({"display":"q","sessionId":"S1","timestamp":1700000000000})"
               "\n";
  }
  history += paste_line(R"("contentHash":"a")");
  tree_.write(".claude/history.jsonl", history);
  tree_.write(".claude/paste-cache/c.txt", "c");
  const Parsed whole = parse();
  KeepingSink sink;
  ParserOptions options;
  ParseContext context{options};
  context.sink = &sink;
  Parsed streamed;
  ASSERT_TRUE(parse_claude_root(tree_ / ".claude", tree_ / ".claude", context, streamed.events,
                                streamed.diagnostics));
  EXPECT_EQ(sink.kept.size(), whole.events.size() - 1);  // all but the cache file
  sink.kept.append(std::move(streamed.events));
  ASSERT_EQ(sink.kept.size(), whole.events.size());
  for (size_t i = 0; i < whole.events.size(); ++i) {
    EXPECT_EQ(sink.kept[i].event_id, whole.events[i].event_id) << i;
    EXPECT_EQ(sink.kept[i].source_file_sha256, whole.events[i].source_file_sha256) << i;
  }
  for (const Parsed* p : std::initializer_list<const Parsed*>{&whole, &streamed}) {
    EXPECT_EQ(messages_of(p->diagnostics),
              (std::vector<std::string>{"Cache reference 'a' could not be resolved.",
                                        "Cache reference 'a' could not be resolved.",
                                        "Cache reference 'b' could not be resolved."}));
    EXPECT_EQ(p->diagnostics[1].source->line_number, kEventsPerHandOver + 13);
  }
}

TEST_F(ClaudeRootTest, SnapshotsTakeTheirSessionsOnlyProject) {
  tree_.write(".claude/history.jsonl", R"({"sessionId":"S1","project":"/p"})"
                                       "\n"
                                       R"({"sessionId":"S1","project":"/p"})"
                                       "\n"
                                       R"({"sessionId":"S1"})"
                                       "\n"
                                       R"({"sessionId":"S2","project":"/a"})"
                                       "\n"
                                       R"({"sessionId":"S2","project":"/b"})"
                                       "\n");
  for (const char* f : {"S1/x@v1", "S2/x@v1", "S3/x@v1"}) {
    tree_.write(std::string(".claude/file-history/") + f, "x");
  }
  Parsed p = parse();
  EXPECT_EQ(find_event(p.events, "file-history/S1/x@v1")->working_directory, "/p");
  EXPECT_FALSE(find_event(p.events, "file-history/S2/x@v1")->working_directory);
  EXPECT_FALSE(find_event(p.events, "file-history/S3/x@v1")->working_directory);
}

TEST_F(ClaudeRootTest, OutputComesInReaderOrder) {
  tree_.write(".claude/history.jsonl", "{oops\n" + paste_line(R"("contentHash":"gone")"));
  tree_.write(".claude/paste-cache/p.txt", "p");
  tree_.write(".claude/image-cache/i.png", "i");
  tree_.write(".claude/file-history/S1/x@v1", "1");
  tree_.write(".claude/file-history/S1/x@v3", "3");
  tree_.symlink("nowhere", ".claude/paste-cache/dangling");
  tree_.symlink("nowhere", ".claude/image-cache/dangling");
  ParserOptions follow;
  follow.follow_symlinks = true;
  Parsed p = parse(follow);
  EXPECT_EQ(paths_of(p.events),
            (std::vector<std::string>{"history.jsonl", "history.jsonl", "paste-cache/p.txt",
                                      "image-cache/i.png", "file-history/S1/x@v1",
                                      "file-history/S1/x@v3"}));
  std::vector<DiagnosticCode> codes;
  for (const Diagnostic& d : p.diagnostics) codes.push_back(d.code);
  EXPECT_EQ(codes, (std::vector<DiagnosticCode>{
                       DiagnosticCode::InvalidJson, DiagnosticCode::MissingReference,
                       DiagnosticCode::UnreadableArtifact, DiagnosticCode::UnreadableArtifact,
                       DiagnosticCode::SnapshotVersionGap}));
  EXPECT_EQ(p.diagnostics[2].source->artifact_kind, ArtifactKind::PasteCache);
  EXPECT_EQ(p.diagnostics[3].source->artifact_kind, ArtifactKind::ImageCache);
}

TEST_F(ClaudeRootTest, HistoryLinkIsReadOnlyWhenFollowedWhileCacheLinksAlwaysAre) {
  tree_.write("real/history.jsonl", paste_line(R"("contentHash":"k")"));
  tree_.write("real/cache/k.txt", "k");
  tree_.symlink("../real/history.jsonl", ".claude/history.jsonl");
  tree_.symlink("../real/cache", ".claude/paste-cache");

  Parsed plain = parse();
  EXPECT_EQ(paths_of(plain.events), std::vector<std::string>{"paste-cache/k.txt"});
  EXPECT_TRUE(plain.diagnostics.empty());

  ParserOptions follow;
  follow.follow_symlinks = true;
  Parsed followed = parse(follow);
  EXPECT_EQ(paths_of(followed.events),
            (std::vector<std::string>{"history.jsonl", "history.jsonl"}));
  EXPECT_EQ(attachment(followed, 1)->artifact->resolved_path, "paste-cache/k.txt");
}

TEST_F(ClaudeRootTest, AnEmptyRootGivesNothing) {
  tree_.mkdir(".claude");
  Parsed p = parse();
  EXPECT_TRUE(p.events.empty());
  EXPECT_TRUE(p.diagnostics.empty());
}

TEST_F(ClaudeRootTest, HistoryErrorsEndTheWalkWithNothingAppended) {
  tree_.write(".claude/history.jsonl", "{oops\n");
  tree_.write(".claude/paste-cache/p.txt", "p");
  ParserOptions options;
  options.mode = ParseMode::Strict;
  EventList events;
  std::vector<Diagnostic> diagnostics;
  Status status =
      parse_claude_root(tree_ / ".claude", tree_.root(), {options}, events, diagnostics);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::JsonParse);
  EXPECT_TRUE(
      status.error().text().starts_with("JSON parse error at .claude/history.jsonl line 1: "))
      << status.error().text();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(diagnostics.empty());
}

}  // namespace
}  // namespace tq::claude
