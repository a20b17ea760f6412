#include "claude/history.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "hash/hash.h"
#include "jsonl/json_parser.h"
#include "model/datetime.h"
#include "ordering/ordering.h"
#include "support/claude_fixtures.h"

namespace tq::claude {
namespace {

using testing::messages_of;
using testing::TempTree;

ReaderOutput parse_record(std::string_view json, bool include_raw = false) {
  auto value = parse_json(json);
  EXPECT_TRUE(value.has_value()) << json;
  const EventIds ids(Provider::ClaudeCode, ArtifactKind::History, "history.jsonl");
  return parse_history_record(std::move(value).value_or(JsonValue()), "history.jsonl", ids, 1,
                              include_raw);
}

std::optional<std::string> when(const TimelineEvent& e) {
  if (!e.timestamp) return std::nullopt;
  return format_rfc3339(*e.timestamp);
}

TEST(ClaudeHistoryTest, PromptTextFallsBackFromDisplayToMessageToQuery) {
  struct Case {
    const char* json;
    std::optional<std::string> text;
    std::vector<std::string> diagnostics;
  };
  const Case cases[] = {
      {R"({"display":"d","message":"m","query":"q"})", "d", {}},
      {R"({"display":"","message":"m"})", "", {}},
      {R"({"display":5,"message":"m"})", "m", {"Field 'display' expected string, got number"}},
      {R"({"display":null,"query":"q"})", "q", {"Field 'display' expected string, got null"}},
      {R"({"display":["x"]})", std::nullopt, {"Field 'display' expected string, got array"}},
      {R"({"message":3,"query":"q"})", "q", {}},
      {R"({"message":[],"query":{}})", std::nullopt, {}},
      {R"({})", std::nullopt, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    ReaderOutput out = parse_record(c.json);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0].message, c.text);
    EXPECT_EQ(messages_of(out.diagnostics), c.diagnostics);
  }
}

TEST(ClaudeHistoryTest, SessionAndProjectMustBeStrings) {
  struct Case {
    const char* json;
    std::optional<std::string> session;
    std::optional<std::string> project;
    std::vector<std::string> diagnostics;
  };
  const Case cases[] = {
      {R"({"sessionId":"s","project":"/p"})", "s", "/p", {}},
      {R"({"project":""})", std::nullopt, "", {}},
      {R"({"sessionId":1,"project":true})",
       std::nullopt,
       std::nullopt,
       {"Field 'sessionId' expected string, got number",
        "Field 'project' expected string, got boolean"}},
      {R"({"sessionId":null,"project":{}})",
       std::nullopt,
       std::nullopt,
       {"Field 'sessionId' expected string, got null",
        "Field 'project' expected string, got object"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    ReaderOutput out = parse_record(c.json);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0].session_id, c.session);
    EXPECT_EQ(out.events[0].working_directory, c.project);
    EXPECT_EQ(messages_of(out.diagnostics), c.diagnostics);
    for (const Diagnostic& d : out.diagnostics) {
      EXPECT_EQ(d.code, DiagnosticCode::InvalidFieldType);
      EXPECT_EQ(d.severity, Severity::Warning);
      ASSERT_TRUE(d.source);
      EXPECT_EQ(d.source->artifact_kind, ArtifactKind::History);
      EXPECT_EQ(d.source->relative_path, "history.jsonl");
      EXPECT_EQ(d.source->line_number, 1u);
      EXPECT_FALSE(d.source->record_type);
      EXPECT_FALSE(d.source->source_id);
    }
  }
}

TEST(ClaudeHistoryTest, TimestampsAreMillisecondsOrLenientRfc3339Text) {
  const std::string at = " at history.jsonl line 1";
  const std::string as_string = "Timestamp is a string (not numeric ms)" + at;
  const std::string not_number = "Timestamp is not a number or string" + at;
  const std::string fraction = "Timestamp has fractional milliseconds" + at + ", rounding down";
  auto out_of_range = [&](const char* ms) {
    return std::string("Timestamp ") + ms + " ms is outside reasonable range (2000-2100)" + at;
  };
  auto unconvertible = [&](const char* ms) {
    return std::string("Timestamp ") + ms + " ms could not be converted to DateTime" + at;
  };
  struct Case {
    const char* timestamp;  // JSON text; null pointer: key absent
    std::optional<std::string> instant;
    TimestampSource source;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {nullptr, std::nullopt, TimestampSource::None, {}},
      {"1700000000000", "2023-11-14T22:13:20Z", TimestampSource::Embedded, {}},
      {"1700000000123", "2023-11-14T22:13:20.123Z", TimestampSource::Embedded, {}},
      {"1700000000000.5", "2023-11-14T22:13:20Z", TimestampSource::Embedded, {fraction}},
      {"946684800000", "2000-01-01T00:00:00Z", TimestampSource::Embedded, {}},
      {"4102444800000", "2100-01-01T00:00:00Z", TimestampSource::Embedded, {}},
      {"4102444800001",
       "2100-01-01T00:00:00.001Z",
       TimestampSource::Embedded,
       {out_of_range("4102444800001")}},
      {"0", "1970-01-01T00:00:00Z", TimestampSource::Embedded, {out_of_range("0")}},
      {"-1", "1969-12-31T23:59:59.999Z", TimestampSource::Embedded, {out_of_range("-1")}},
      {"-1.5",
       "1969-12-31T23:59:59.999Z",
       TimestampSource::Embedded,
       {fraction, out_of_range("-1")}},
      {"1e300",
       std::nullopt,
       TimestampSource::Embedded,
       {out_of_range("9223372036854775807"), unconvertible("9223372036854775807")}},
      {"-62167219200000",
       "0000-01-01T00:00:00Z",
       TimestampSource::Embedded,
       {out_of_range("-62167219200000")}},
      {"-62167219200001",
       std::nullopt,
       TimestampSource::Embedded,
       {out_of_range("-62167219200001"), unconvertible("-62167219200001")}},
      {"253402300799999",
       "9999-12-31T23:59:59.999Z",
       TimestampSource::Embedded,
       {out_of_range("253402300799999")}},
      {"253402300800000",
       std::nullopt,
       TimestampSource::Embedded,
       {out_of_range("253402300800000"), unconvertible("253402300800000")}},
      {R"("0000-01-01T00:00:00+00:01")", std::nullopt, TimestampSource::None, {as_string}},
      {R"("9999-12-31 23:59:60 UTC")",
       "9999-12-31T23:59:60Z",
       TimestampSource::Embedded,
       {as_string}},
      {"-1e300",
       std::nullopt,
       TimestampSource::Embedded,
       {out_of_range("-9223372036854775808"), unconvertible("-9223372036854775808")}},
      {R"("2024-01-02T03:04:05+02:00")",
       "2024-01-02T01:04:05Z",
       TimestampSource::Embedded,
       {as_string}},
      {R"("2024-01-02 03:04:05Z")", "2024-01-02T03:04:05Z", TimestampSource::Embedded, {as_string}},
      {R"("2024-01-02t03:04:05.5 utc  ")",
       "2024-01-02T03:04:05.500Z",
       TimestampSource::Embedded,
       {as_string}},
      {R"("2024 - 01 - 02T03 : 04 : 05 +0200")",
       "2024-01-02T01:04:05Z",
       TimestampSource::Embedded,
       {as_string}},
      {R"("2024-01-02T03:04:05")", std::nullopt, TimestampSource::None, {as_string}},
      {R"("yesterday")", std::nullopt, TimestampSource::None, {as_string}},
      {R"("2024-01-02T03:04:05Z x")", std::nullopt, TimestampSource::None, {as_string}},
      {"null", std::nullopt, TimestampSource::None, {not_number}},
      {"true", std::nullopt, TimestampSource::None, {not_number}},
      {"[1700000000000]", std::nullopt, TimestampSource::None, {not_number}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timestamp ? c.timestamp : "(absent)");
    std::string json = c.timestamp ? std::string(R"({"timestamp":)") + c.timestamp + "}" : "{}";
    ReaderOutput out = parse_record(json);
    ASSERT_EQ(out.events.size(), 1u);
    const TimelineEvent& e = out.events[0];
    EXPECT_EQ(when(e), c.instant);
    EXPECT_EQ(e.timestamp_source, c.source);
    EXPECT_EQ(e.warnings, c.warnings);
    EXPECT_TRUE(out.diagnostics.empty());
    if (c.timestamp) {
      ASSERT_TRUE(e.timestamp_raw);
      EXPECT_EQ(*e.timestamp_raw, parse_json(c.timestamp).value());
    } else {
      EXPECT_FALSE(e.timestamp_raw);
    }
  }
}

TEST(ClaudeHistoryTest, PromptEventHasHistoryIdentityAndOptionalRaw) {
  const char* json = R"({"z":1,"display":"hi","sessionId":"s","project":"/p","a":2})";
  ReaderOutput out = parse_record(json, /*include_raw=*/true);
  ASSERT_EQ(out.events.size(), 1u);
  const TimelineEvent& e = out.events[0];
  EXPECT_EQ(e.schema_version, "1");
  EXPECT_EQ(e.provider, Provider::ClaudeCode);
  EXPECT_EQ(e.event_type, EventType::PromptInput);
  EXPECT_EQ(e.sequence, 0u);
  EXPECT_EQ(e.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::History,
                                          "history.jsonl", "history:1"));
  EXPECT_EQ(e.source.record_type, "history");
  EXPECT_EQ(e.source.line_number, 1u);
  EXPECT_FALSE(e.source.source_id);
  EXPECT_FALSE(e.artifact);
  EXPECT_FALSE(e.fs_times);
  ASSERT_TRUE(e.raw);
  EXPECT_EQ(*e.raw, parse_json(json).value());

  EXPECT_FALSE(parse_record(json).events[0].raw);
}

TEST(ClaudeHistoryTest, NonObjectRecordsYieldOnlyAWarning) {
  for (const char* json : {"[1,2]", "\"text\"", "42", "null"}) {
    SCOPED_TRACE(json);
    ReaderOutput out = parse_record(json);
    EXPECT_TRUE(out.events.empty());
    ASSERT_EQ(out.diagnostics.size(), 1u);
    EXPECT_EQ(out.diagnostics[0].code, DiagnosticCode::UnknownRecord);
    EXPECT_EQ(out.diagnostics[0].severity, Severity::Warning);
    EXPECT_EQ(out.diagnostics[0].message, "Top-level value is not a JSON object, skipping");
  }
}

TEST(ClaudeHistoryTest, SortedMapKeysOrderIntegerKeysByValue) {
  struct Case {
    const char* json;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      {R"({"10":0,"2":0})", {"2", "10"}},
      {R"({"a":0,"10":0,"2":0})", {"10", "2", "a"}},
      {R"({"-3":0,"+4":0,"0":0})", {"-3", "0", "+4"}},
      {R"({"1":0,"01":0,"+1":0})", {"+1", "01", "1"}},
      {R"({"9223372036854775807":0,"-9223372036854775808":0})",
       {"-9223372036854775808", "9223372036854775807"}},
      // Beyond 64 bits the keys are no longer integers: byte order.
      {R"({"9223372036854775808":0,"10":0})", {"10", "9223372036854775808"}},
      {R"({"+":0,"2":0,"10":0})", {"+", "10", "2"}},
      {R"({" 1":0,"2":0,"10":0})", {" 1", "10", "2"}},
      {R"({"1.0":0,"2":0,"10":0})", {"1.0", "10", "2"}},
      {R"({})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(sorted_map_keys(parse_json(c.json).value().as_object()), c.keys);
  }
}

TEST(ClaudeHistoryTest, PastedContentsBecomeAttachmentEvents) {
  ReaderOutput out =
      parse_record(R"({"display":"p","sessionId":"s","project":"/w","timestamp":1700000000000,)"
                   R"("pastedContents":{"10":{"type":"image/png","contentHash":"abc"},)"
                   R"("2":{"id":2,"type":"text","content":"a"},"3":{"type":"text"},)"
                   R"("4":{"content":"xy","contentHash":"h4"}}})");
  ASSERT_EQ(out.events.size(), 5u);
  EXPECT_TRUE(out.diagnostics.empty());

  const TimelineEvent& inline_text = out.events[1];
  EXPECT_EQ(inline_text.event_type, EventType::PasteAttachment);
  EXPECT_EQ(inline_text.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::History,
                                                    "history.jsonl", "history:1:paste:2", 0));
  EXPECT_EQ(inline_text.source.record_type, "pasted_content");
  EXPECT_FALSE(inline_text.source.source_id);
  EXPECT_EQ(inline_text.session_id, "s");
  EXPECT_EQ(inline_text.working_directory, "/w");
  EXPECT_EQ(when(inline_text), "2023-11-14T22:13:20Z");
  EXPECT_EQ(inline_text.timestamp_source, TimestampSource::ReferencedEvent);
  EXPECT_FALSE(inline_text.timestamp_raw);
  EXPECT_FALSE(inline_text.message);
  ASSERT_TRUE(inline_text.artifact);
  EXPECT_EQ(inline_text.artifact->media_type, "text");
  EXPECT_EQ(inline_text.artifact->content, "a");
  EXPECT_EQ(inline_text.artifact->content_encoding, ContentEncoding::Utf8);
  EXPECT_EQ(inline_text.artifact->size, 1u);
  EXPECT_EQ(inline_text.artifact->sha256,
            "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb");
  EXPECT_EQ(inline_text.artifact->reference_status, ReferenceStatus::Resolved);

  const TimelineEvent& neither = out.events[2];
  EXPECT_EQ(neither.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::History,
                                                "history.jsonl", "history:1:paste:3", 1));
  EXPECT_FALSE(neither.artifact->reference_status);
  EXPECT_FALSE(neither.artifact->size);
  EXPECT_FALSE(neither.artifact->sha256);

  const TimelineEvent& both = out.events[3];
  EXPECT_EQ(both.source.source_id, "h4");
  EXPECT_EQ(both.artifact->reference_status, ReferenceStatus::Missing);
  EXPECT_EQ(both.artifact->content, "xy");
  EXPECT_EQ(both.artifact->size, 2u);

  const TimelineEvent& image = out.events[4];
  EXPECT_EQ(image.event_type, EventType::ImageAttachment);
  EXPECT_EQ(image.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::History,
                                              "history.jsonl", "history:1:paste:10", 3));
  EXPECT_EQ(image.source.source_id, "abc");
  EXPECT_EQ(image.artifact->media_type, "image/png");
  EXPECT_EQ(image.artifact->reference_status, ReferenceStatus::Missing);
  EXPECT_FALSE(image.artifact->content);
  EXPECT_FALSE(image.artifact->content_encoding);
  EXPECT_FALSE(image.artifact->resolved_path);
}

TEST(ClaudeHistoryTest, AttachmentTypeDecidesImageByItsFirstFiveBytes) {
  struct Case {
    const char* type_json;
    EventType type;
    const char* media_type;
  };
  const Case cases[] = {
      {R"("image")", EventType::ImageAttachment, "image"},
      {R"("imagery")", EventType::ImageAttachment, "imagery"},
      {R"("imag")", EventType::PasteAttachment, "imag"},
      {R"("IMAGE/PNG")", EventType::PasteAttachment, "IMAGE/PNG"},
      {R"("text/x-image")", EventType::PasteAttachment, "text/x-image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type_json);
    ReaderOutput out =
        parse_record(std::string(R"({"pastedContents":{"1":{"type":)") + c.type_json + "}}}");
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[1].event_type, c.type);
    EXPECT_EQ(out.events[1].artifact->media_type, c.media_type);
  }
}

TEST(ClaudeHistoryTest, MalformedPastedEntriesWarnWithTheirKey) {
  ReaderOutput out =
      parse_record(R"({"pastedContents":{"1":5,"2":{"type":7,"content":false,"contentHash":[]}}})");
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(messages_of(out.diagnostics),
            (std::vector<std::string>{"pastedContents[1] is not an object, skipping",
                                      "pastedContents[2].type expected string, got number",
                                      "pastedContents[2].content expected string, got boolean",
                                      "pastedContents[2].contentHash expected string, got array"}));
  EXPECT_EQ(out.diagnostics[0].source->source_id, "1");
  EXPECT_EQ(out.diagnostics[3].source->source_id, "2");
  // The skipped key still takes its position.
  const TimelineEvent& e = out.events[1];
  EXPECT_EQ(e.event_id, generate_event_id(Provider::ClaudeCode, ArtifactKind::History,
                                          "history.jsonl", "history:1:paste:2", 1));
  EXPECT_EQ(e.event_type, EventType::PasteAttachment);
  EXPECT_EQ(e.artifact->media_type, "text");
  EXPECT_FALSE(e.artifact->reference_status);
  EXPECT_FALSE(e.source.source_id);
  EXPECT_EQ(e.timestamp_source, TimestampSource::None);

  ReaderOutput not_object = parse_record(R"({"pastedContents":["x"]})");
  EXPECT_EQ(not_object.events.size(), 1u);
  EXPECT_EQ(messages_of(not_object.diagnostics),
            std::vector<std::string>{"Field 'pastedContents' expected object, got array"});
}

// File loop.

class ClaudeHistoryFileTest : public ::testing::Test {
 protected:
  Result<HistoryFileResult> parse(std::string_view bytes, ParserOptions options = {}) {
    path_ = tree_.write(".claude/history.jsonl", bytes);
    return parse_history_file(path_, {options}, tree_ / ".claude");
  }
  ParserOptions strict() {
    ParserOptions o;
    o.mode = ParseMode::Strict;
    return o;
  }

  TempTree tree_;
  std::filesystem::path path_;
};

TEST_F(ClaudeHistoryFileTest, BlankLinesAreSkippedButCounted) {
  const std::string bytes =
      "\n   \r\n{\"display\":\"a\"}\r\n\r\r\n\t{\"display\":\"b\"} \n\xC2\xA0{\"display\":\"c\"}";
  auto result = parse(bytes);
  ASSERT_TRUE(result) << result.error().text();
  EXPECT_TRUE(result->diagnostics.empty());
  ASSERT_EQ(result->events.size(), 3u);
  EXPECT_EQ(result->events[0].source.line_number, 3u);
  EXPECT_EQ(result->events[1].source.line_number, 5u);
  EXPECT_EQ(result->events[2].source.line_number, 6u);
  EXPECT_EQ(result->events[2].message, "c");
  EXPECT_EQ(result->sha256, sha256_bytes(bytes));
  for (const TimelineEvent& e : result->events) {
    EXPECT_EQ(e.source_file_sha256, result->sha256);
    EXPECT_EQ(e.source.relative_path, "history.jsonl");
  }
}

TEST_F(ClaudeHistoryFileTest, BadLinesBecomeDiagnosticsInBestEffortMode) {
  ParserOptions options;
  options.max_line_size = 20;
  auto result = parse(
      "{\"display\":\"a\"}\n{not "
      "json\n\xFF\n{\"display\":\"0123456789\"}\n[1]\n{\"display\":\"z\"}\n",
      options);
  ASSERT_TRUE(result) << result.error().text();
  ASSERT_EQ(result->events.size(), 2u);
  EXPECT_EQ(result->events[1].source.line_number, 6u);
  ASSERT_EQ(result->diagnostics.size(), 4u);

  const Diagnostic& json = result->diagnostics[0];
  EXPECT_EQ(json.code, DiagnosticCode::InvalidJson);
  EXPECT_EQ(json.severity, Severity::Error);
  EXPECT_EQ(json.source->line_number, 2u);
  EXPECT_TRUE(json.message.starts_with("Invalid JSON: ")) << json.message;

  const Diagnostic& utf8 = result->diagnostics[1];
  EXPECT_EQ(utf8.code, DiagnosticCode::UnreadableArtifact);
  EXPECT_EQ(utf8.severity, Severity::Error);
  EXPECT_EQ(utf8.source->line_number, 3u);
  EXPECT_EQ(utf8.message, "Failed to read line: invalid utf-8 sequence of 1 bytes from index 0");

  const Diagnostic& too_long = result->diagnostics[2];
  EXPECT_EQ(too_long.code, DiagnosticCode::InvalidJson);
  EXPECT_EQ(too_long.severity, Severity::Warning);
  EXPECT_EQ(too_long.source->line_number, 4u);
  EXPECT_EQ(too_long.message, "Line exceeds max_line_size (24 > 20), skipping");

  EXPECT_EQ(result->diagnostics[3].code, DiagnosticCode::UnknownRecord);
  EXPECT_EQ(result->diagnostics[3].source->line_number, 5u);
  EXPECT_EQ(result->diagnostics[3].message, "Top-level value is not a JSON object, skipping");
  for (const Diagnostic& d : result->diagnostics) {
    EXPECT_EQ(d.source->artifact_kind, ArtifactKind::History);
    EXPECT_EQ(d.source->relative_path, "history.jsonl");
  }
}

TEST_F(ClaudeHistoryFileTest, StrictModeFailsOnTheFirstBadLine) {
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t max_line_size;
    ErrorKind kind;
    std::string text_prefix;
  };
  const Case cases[] = {
      {"invalid json", "{\"display\":\"a\"}\n{not json\n", kDefaultMaxLineSize,
       ErrorKind::JsonParse, "JSON parse error at history.jsonl line 2: "},
      {"invalid utf-8", "\xFF\n", kDefaultMaxLineSize, ErrorKind::Io, ""},
      {"too long", "{\"display\":\"0123456789\"}\n", 10, ErrorKind::Strict,
       "Line exceeds max_line_size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParserOptions options = strict();
    options.max_line_size = c.max_line_size;
    auto result = parse(c.bytes, options);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), c.kind);
    if (c.kind == ErrorKind::Io) {
      EXPECT_EQ(result.error().text(), "I/O error at " + path_.string() +
                                           ": invalid utf-8 sequence of 1 bytes from index 0");
    } else if (c.kind == ErrorKind::Strict) {
      EXPECT_EQ(result.error().text(), c.text_prefix);
    } else {
      EXPECT_TRUE(result.error().text().starts_with(c.text_prefix)) << result.error().text();
    }
  }
}

TEST_F(ClaudeHistoryFileTest, StrictModeKeepsRecordWarnings) {
  auto result = parse("{\"display\":1,\"timestamp\":\"x\"}\n", strict());
  ASSERT_TRUE(result) << result.error().text();
  EXPECT_EQ(result->events.size(), 1u);
  EXPECT_EQ(result->diagnostics.size(), 1u);
  EXPECT_EQ(result->events[0].warnings.size(), 1u);
}

TEST_F(ClaudeHistoryFileTest, MissingFileIsADiagnosticUnlessStrict) {
  auto best_effort = parse_history_file(tree_ / "nope/history.jsonl", {}, tree_.root());
  ASSERT_TRUE(best_effort);
  EXPECT_TRUE(best_effort->events.empty());
  ASSERT_EQ(best_effort->diagnostics.size(), 1u);
  EXPECT_EQ(best_effort->diagnostics[0].severity, Severity::Error);
  EXPECT_EQ(best_effort->diagnostics[0].code, DiagnosticCode::UnreadableArtifact);
  EXPECT_EQ(best_effort->diagnostics[0].source->relative_path, "nope/history.jsonl");
  EXPECT_EQ(best_effort->diagnostics[0].message,
            "Cannot open file: No such file or directory (os error 2)");

  auto result = parse_history_file(tree_ / "nope/history.jsonl", {strict()}, tree_.root());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Io);
  EXPECT_EQ(result.error().text(), "I/O error at " + (tree_ / "nope/history.jsonl").string() +
                                       ": No such file or directory (os error 2)");
}

TEST(ClaudeHistoryPlacementTest, IdsDependOnlyOnThePathBelowTheEvidenceRoot) {
  const std::string bytes = R"({"display":"p","pastedContents":{"1":{"content":"x"}}})"
                            "\n";
  TempTree a;
  TempTree b;
  auto in_a = parse_history_file(a.write(".claude/history.jsonl", bytes), {}, a.root());
  auto in_b = parse_history_file(b.write(".claude/history.jsonl", bytes), {}, b.root());
  auto outside = parse_history_file(b / ".claude/history.jsonl", {}, "/elsewhere");
  ASSERT_TRUE(in_a && in_b && outside);
  ASSERT_EQ(in_a->events.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(in_a->events[i].source.relative_path, ".claude/history.jsonl");
    EXPECT_EQ(in_a->events[i].event_id, in_b->events[i].event_id);
    // A root that is no leading part of the path leaves the path whole.
    EXPECT_EQ(outside->events[i].source.relative_path, (b / ".claude/history.jsonl").string());
  }
}

TEST(ClaudeHistorySampleTest, PrettyPrintedHistoryGivesOneInvalidJsonPerLine) {
  const std::filesystem::path sample =
      std::filesystem::path(__FILE__).parent_path() /
      "../data/samples/thirdparty-handwritten/codemie-claude/history-single-clear.jsonl";
  auto result = parse_history_file(sample, {}, sample.parent_path());
  ASSERT_TRUE(result) << result.error().text();
  EXPECT_TRUE(result->events.empty());
  ASSERT_EQ(result->diagnostics.size(), 18u);
  for (size_t i = 0; i < 18; ++i) {
    EXPECT_EQ(result->diagnostics[i].code, DiagnosticCode::InvalidJson);
    EXPECT_EQ(result->diagnostics[i].source->line_number, i + 1);
    EXPECT_EQ(result->diagnostics[i].source->relative_path, "history-single-clear.jsonl");
  }
}

}  // namespace
}  // namespace tq::claude
