#include "codex/history.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/hash.h"
#include "ordering/ordering.h"
#include "support/codex_fixtures.h"

namespace tq::codex {
namespace {

using testing::describe_all;
using testing::TempTree;

class CodexHistoryTest : public ::testing::Test {
 protected:
  Result<LineFileOutput> parse(std::string_view bytes, ParserOptions options = {}) {
    auto path = dir_.write(".codex/history.jsonl", bytes);
    return parse_history_file(path, {options}, dir_.path(".codex"));
  }
  TempTree dir_;
};

TEST_F(CodexHistoryTest, LineBecomesPromptEvent) {
  const std::string bytes =
      "{\"session_id\":\"s1\",\"ts\":1735689600,\"text\":\"hello\",\"extra\":[1]}\n";
  ParserOptions options;
  options.include_raw = true;
  auto out = parse(bytes, options);
  ASSERT_TRUE(out.has_value()) << out.error().text();
  ASSERT_EQ(out->events.size(), 1u);
  EXPECT_TRUE(out->diagnostics.empty());
  const TimelineEvent& e = out->events[0];
  EXPECT_EQ(e.schema_version, "1");
  EXPECT_EQ(e.provider, Provider::Codex);
  EXPECT_EQ(e.event_type, EventType::PromptInput);
  EXPECT_EQ(e.event_id, generate_event_id(Provider::Codex, ArtifactKind::History, "history.jsonl",
                                          "codex_history:1"));
  EXPECT_EQ(e.session_id, "s1");
  EXPECT_EQ(e.message, "hello");
  ASSERT_TRUE(e.timestamp.has_value());
  EXPECT_EQ(format_rfc3339(*e.timestamp), "2025-01-01T00:00:00Z");
  EXPECT_EQ(e.timestamp_source, TimestampSource::Embedded);
  EXPECT_EQ(e.timestamp_raw, JsonValue(uint64_t{1735689600}));
  EXPECT_FALSE(e.working_directory.has_value());
  EXPECT_EQ(e.source.artifact_kind, ArtifactKind::History);
  EXPECT_EQ(e.source.record_type, "history");
  EXPECT_EQ(e.source.relative_path, "history.jsonl");
  EXPECT_EQ(e.source.line_number, 1u);
  EXPECT_EQ(e.source.source_id, "s1");
  EXPECT_FALSE(e.artifact.has_value());
  EXPECT_FALSE(e.fs_times.has_value());
  EXPECT_TRUE(e.warnings.empty());
  EXPECT_EQ(e.source_file_sha256, sha256_bytes(bytes));
  EXPECT_EQ(out->sha256, sha256_bytes(bytes));
  ASSERT_TRUE(e.raw.has_value());
  EXPECT_TRUE(e.raw->find("extra") != nullptr);
}

TEST_F(CodexHistoryTest, EmptyObjectGivesBareEvent) {
  auto out = parse("{}\n");
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 1u);
  const TimelineEvent& e = out->events[0];
  EXPECT_FALSE(e.session_id || e.message || e.timestamp || e.timestamp_raw || e.raw);
  EXPECT_EQ(e.timestamp_source, TimestampSource::None);
  EXPECT_TRUE(out->diagnostics.empty());
}

TEST_F(CodexHistoryTest, TimestampRules) {
  struct Case {
    const char* ts;
    std::optional<std::string> timestamp;  // none: invalid, with the warning
  };
  const Case cases[] = {
      {"0", "1970-01-01T00:00:00Z"},
      {"-1", "1969-12-31T23:59:59Z"},
      {"1735689600", "2025-01-01T00:00:00Z"},
      {"1.0", std::nullopt},
      {"\"1735689600\"", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"[1]", std::nullopt},
      {"{}", std::nullopt},
      {"9223372036854775808", std::nullopt},  // above 2^63-1
      {"9223372036854775807", std::nullopt},  // beyond the representable years
      {"-62167219200", "0000-01-01T00:00:00Z"},
      {"-62167219201", std::nullopt},
      {"253402300799", "9999-12-31T23:59:59Z"},
      {"253402300800", std::nullopt},
      {"1700000000000", std::nullopt},  // milliseconds written where seconds belong
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ts);
    auto out = parse(std::string("{\"ts\":") + c.ts + ",\"text\":\"x\"}\n");
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->events.size(), 1u);
    const TimelineEvent& e = out->events[0];
    EXPECT_EQ(e.message, "x");
    EXPECT_TRUE(e.timestamp_raw.has_value());
    if (c.timestamp) {
      ASSERT_TRUE(e.timestamp.has_value());
      EXPECT_EQ(format_rfc3339(*e.timestamp), *c.timestamp);
      EXPECT_TRUE(out->diagnostics.empty());
    } else {
      EXPECT_FALSE(e.timestamp.has_value());
      EXPECT_EQ(e.timestamp_source, TimestampSource::None);
      EXPECT_EQ(describe_all(out->diagnostics),
                std::vector<std::string>{"warning invalid_timestamp line 1: Field 'ts' is not a "
                                         "valid Unix timestamp in seconds."});
    }
  }
}

TEST_F(CodexHistoryTest, NonStringFieldsWarnAndKeepTheEvent) {
  auto out = parse("{\"session_id\":42,\"text\":null}\n");
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 1u);
  EXPECT_FALSE(out->events[0].session_id.has_value());
  EXPECT_FALSE(out->events[0].source.source_id.has_value());
  EXPECT_FALSE(out->events[0].message.has_value());
  const std::vector<std::string> expected = {
      "warning invalid_field_type line 1: Field 'session_id' expected string, got number",
      "warning invalid_field_type line 1: Field 'text' expected string, got null"};
  EXPECT_EQ(describe_all(out->diagnostics), expected);
  const Diagnostic& d = out->diagnostics[0];
  ASSERT_TRUE(d.source.has_value());
  EXPECT_EQ(d.source->artifact_kind, ArtifactKind::History);
  EXPECT_EQ(d.source->relative_path, "history.jsonl");
  EXPECT_FALSE(d.source->record_type.has_value());
  EXPECT_FALSE(d.source->source_id.has_value());
}

// Line-level problems, shared with the session reader.

TEST_F(CodexHistoryTest, BrokenLinesAreDiagnosedAndTheRestStillRead) {
  const std::string bytes =
      std::string(
          "{\"text\":\"a\"}\r\n"                         // 1: CRLF is fine
          "   \r\n"                                      // 2: blank, skipped silently
          "\n"                                           // 3: empty
          "{not json\n"                                  // 4
          "[1,2]\n"                                      // 5
          "\"text\"\n"                                   // 6
          "{\"text\":\"\xff\"}\n")                       // 7: invalid UTF-8
      + "{\"text\":\"" + std::string(40, 'y') + "\"}\n"  // 8: too long
      + " \t{\"text\":\"z\"} \xC2\xA0\n";  // 9: surrounding white space, NBSP included
  ParserOptions options;
  options.max_line_size = 30;
  auto out = parse(bytes, options);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->events.size(), 2u);
  EXPECT_EQ(out->events[0].message, "a");
  EXPECT_EQ(out->events[0].source.line_number, 1u);
  EXPECT_EQ(out->events[1].message, "z");
  EXPECT_EQ(out->events[1].source.line_number, 9u);
  EXPECT_EQ(out->events[1].sequence, 1u);
  ASSERT_EQ(out->diagnostics.size(), 5u);
  EXPECT_EQ(testing::describe(out->diagnostics[0]).substr(0, 37),
            "error invalid_json line 4: Invalid JS");
  const std::vector<std::string> all = describe_all(out->diagnostics);
  const std::vector<std::string> rest(all.begin() + 1, all.end());
  const std::vector<std::string> expected = {
      "warning unknown_record line 5: Top-level JSON value is not an object.",
      "warning unknown_record line 6: Top-level JSON value is not an object.",
      "error unreadable_artifact line 7: Failed to read line: invalid utf-8 sequence of 1 bytes "
      "from index 9",
      "warning invalid_json line 8: Line size 51 exceeds max_line_size 30, skipping."};
  EXPECT_EQ(rest, expected);
  for (const Diagnostic& d : out->diagnostics) {
    ASSERT_TRUE(d.source.has_value());
    EXPECT_EQ(d.source->artifact_kind, ArtifactKind::History);
    EXPECT_EQ(d.source->relative_path, "history.jsonl");
  }
}

TEST_F(CodexHistoryTest, StrictModeEndsAtTheFirstErrorLine) {
  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  strict.max_line_size = 30;

  auto invalid = parse("{\"text\":\"a\"}\n{oops\n", strict);
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error().kind(), ErrorKind::JsonParse);
  EXPECT_TRUE(invalid.error().text().starts_with("JSON parse error at history.jsonl line 2: "))
      << invalid.error().text();

  auto unreadable = parse("{\"text\":\"\xff\"}\n", strict);
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error().kind(), ErrorKind::Io);
  EXPECT_EQ(unreadable.error().text(), "I/O error at " +
                                           dir_.path(".codex/history.jsonl").string() +
                                           ": invalid utf-8 sequence of 1 bytes from index 9");

  // Warnings don't end a strict parse.
  auto warnings = parse("[1]\n{\"text\":\"" + std::string(40, 'y') + "\"}\n{\"ts\":1.5}\n", strict);
  ASSERT_TRUE(warnings.has_value());
  EXPECT_EQ(warnings->events.size(), 1u);
  EXPECT_EQ(warnings->diagnostics.size(), 3u);
}

TEST_F(CodexHistoryTest, FileThatCannotBeOpenedIsADiagnosticUnlessStrict) {
  auto missing = parse_history_file(dir_.path("nope.jsonl"), {}, dir_.root());
  ASSERT_TRUE(missing.has_value());
  EXPECT_TRUE(missing->events.empty());
  EXPECT_EQ(describe_all(missing->diagnostics),
            std::vector<std::string>{"error unreadable_artifact: Cannot open file: No such "
                                     "file or directory (os error 2)"});

  ParserOptions strict;
  strict.mode = ParseMode::Strict;
  auto strict_missing = parse_history_file(dir_.path("nope.jsonl"), {strict}, dir_.root());
  ASSERT_FALSE(strict_missing.has_value());
  EXPECT_EQ(strict_missing.error().kind(), ErrorKind::Io);
  EXPECT_EQ(strict_missing.error().text(), "I/O error at " + dir_.path("nope.jsonl").string() +
                                               ": No such file or directory (os error 2)");

  // A directory opens but every read fails: one diagnostic, not one per retry.
  auto directory = parse_history_file(dir_.mkdir("dir.jsonl"), {}, dir_.root());
  ASSERT_TRUE(directory.has_value());
  EXPECT_TRUE(directory->events.empty());
  EXPECT_EQ(
      describe_all(directory->diagnostics),
      std::vector<std::string>{
          "error unreadable_artifact line 1: Failed to read line: Is a directory (os error 21)"});
}

TEST_F(CodexHistoryTest, SameContentUnderAnotherRootChangesOnlyPathAndId) {
  const std::string bytes = "{\"text\":\"a\"}\n";
  auto a = parse_history_file(dir_.write("one/history.jsonl", bytes), {}, dir_.path("one"));
  auto b = parse_history_file(dir_.write("two/x/history.jsonl", bytes), {}, dir_.path("two"));
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->events[0].source.relative_path, "history.jsonl");
  EXPECT_EQ(b->events[0].source.relative_path, "x/history.jsonl");
  EXPECT_NE(a->events[0].event_id, b->events[0].event_id);
  EXPECT_EQ(a->events[0].source_file_sha256, b->events[0].source_file_sha256);
}

}  // namespace
}  // namespace tq::codex
