#include "output/json.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/output_fixtures.h"

namespace tq {
namespace {

using testing::bare_event;
using testing::full_event;
using testing::kSampleSeconds;

std::string report_text(const ParseReport& report, JsonLayout layout) {
  std::string text;
  EXPECT_TRUE(write_report(report, OutputTarget::memory(text), layout).has_value());
  return text;
}

std::string compact_text(const TimelineEvent& event) {
  std::string text;
  OutputSink sink(OutputTarget::memory(text));
  write_compact_value(event, sink);
  return text;
}

Diagnostic sample_diagnostic() {
  return Diagnostic{DiagnosticCode::HashMismatch, Severity::Warning, std::nullopt, "m"};
}

// Drops the white space that lies outside string literals.
std::string strip_layout(const std::string& text) {
  std::string out;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out.push_back(c);
      if (c == '\\') {
        out.push_back(text[++i]);
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c != ' ' && c != '\n') {
      out.push_back(c);
      in_string = c == '"';
    }
  }
  return out;
}

constexpr const char* kBareCompact =
    R"({"schema_version":"1","event_id":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","sequence":0,)"
    R"("provider":"codex","source_file_sha256":null,"timestamp":null,"timestamp_source":"none",)"
    R"("timestamp_raw":null,"event_type":"unknown","session_id":null,"working_directory":null,)"
    R"("message":null,"source":{"artifact_kind":"history","record_type":null,)"
    R"("relative_path":"history.jsonl","line_number":null,"source_id":null},"artifact":null,)"
    R"("fs_times":null,"warnings":[],"raw":null})";

constexpr const char* kFullCompact =
    R"({"schema_version":"1","event_id":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","sequence":7,)"
    R"("provider":"claude_code","source_file_sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)"
    R"("timestamp":"2025-01-02T03:04:05.120Z","timestamp_source":"embedded",)"
    R"("timestamp_raw":1735787045120,"event_type":"paste_attachment","session_id":"s-1",)"
    R"("working_directory":"/w","message":"hi","source":{"artifact_kind":"paste_cache",)"
    R"("record_type":"paste","relative_path":".claude/paste-cache/k.txt","line_number":3,)"
    R"("source_id":"k"},"artifact":{"reference_status":"resolved",)"
    R"("resolved_path":"paste-cache/k.txt","snapshot_version":2,"size":5,)"
    R"("sha256":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",)"
    R"("media_type":"text/plain","content":"hello","content_encoding":"utf8"},)"
    R"("fs_times":{"modified":"2025-01-02T03:04:05Z","accessed":"2025-01-02T03:04:05.123456Z",)"
    R"("created":"2025-01-02T03:04:05.123456789Z"},"warnings":["w1","w2"],)"
    R"("raw":{"a":[true,null],"e":{},"n":-5.0}})";

constexpr const char* kBarePretty = R"({
  "events": [
    {
      "schema_version": "1",
      "event_id": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
      "sequence": 0,
      "provider": "codex",
      "source_file_sha256": null,
      "timestamp": null,
      "timestamp_source": "none",
      "timestamp_raw": null,
      "event_type": "unknown",
      "session_id": null,
      "working_directory": null,
      "message": null,
      "source": {
        "artifact_kind": "history",
        "record_type": null,
        "relative_path": "history.jsonl",
        "line_number": null,
        "source_id": null
      },
      "artifact": null,
      "fs_times": null,
      "warnings": [],
      "raw": null
    }
  ],
  "diagnostics": []
})";

constexpr const char* kFullPretty = R"({
  "events": [
    {
      "schema_version": "1",
      "event_id": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
      "sequence": 7,
      "provider": "claude_code",
      "source_file_sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
      "timestamp": "2025-01-02T03:04:05.120Z",
      "timestamp_source": "embedded",
      "timestamp_raw": 1735787045120,
      "event_type": "paste_attachment",
      "session_id": "s-1",
      "working_directory": "/w",
      "message": "hi",
      "source": {
        "artifact_kind": "paste_cache",
        "record_type": "paste",
        "relative_path": ".claude/paste-cache/k.txt",
        "line_number": 3,
        "source_id": "k"
      },
      "artifact": {
        "reference_status": "resolved",
        "resolved_path": "paste-cache/k.txt",
        "snapshot_version": 2,
        "size": 5,
        "sha256": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
        "media_type": "text/plain",
        "content": "hello",
        "content_encoding": "utf8"
      },
      "fs_times": {
        "modified": "2025-01-02T03:04:05Z",
        "accessed": "2025-01-02T03:04:05.123456Z",
        "created": "2025-01-02T03:04:05.123456789Z"
      },
      "warnings": [
        "w1",
        "w2"
      ],
      "raw": {
        "a": [
          true,
          null
        ],
        "e": {},
        "n": -5.0
      }
    }
  ],
  "diagnostics": [
    {
      "code": "hash_mismatch",
      "severity": "warning",
      "source": null,
      "message": "m"
    }
  ]
})";

TEST(JsonReportTest, ReportsAreWrittenByteForByte) {
  struct Case {
    const char* name;
    ParseReport report;
    JsonLayout layout;
    std::string expected;
  };
  const Case cases[] = {
      {"empty compact", {}, JsonLayout::Compact, R"({"events":[],"diagnostics":[]})"},
      {"empty pretty", {}, JsonLayout::Pretty, "{\n  \"events\": [],\n  \"diagnostics\": []\n}"},
      {"bare event pretty", {{bare_event()}, {}}, JsonLayout::Pretty, kBarePretty},
      {"full event pretty",
       {{full_event()}, {sample_diagnostic()}},
       JsonLayout::Pretty,
       kFullPretty},
      {"full event compact",
       {{full_event()}, {sample_diagnostic()}},
       JsonLayout::Compact,
       std::string(R"({"events":[)") + kFullCompact +
           R"(],"diagnostics":[{"code":"hash_mismatch","severity":"warning","source":null,)"
           R"("message":"m"}]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(report_text(c.report, c.layout), c.expected);
  }
}

TEST(JsonReportTest, CompactEventsHaveEveryFieldInOrder) {
  EXPECT_EQ(compact_text(bare_event()), kBareCompact);
  EXPECT_EQ(compact_text(full_event()), kFullCompact);
}

TEST(JsonReportTest, DiagnosticSourceIsANestedRecord) {
  Diagnostic d{DiagnosticCode::InvalidJson, Severity::Error,
               SourceInfo{ArtifactKind::Session, std::nullopt, "s.jsonl", 4, std::nullopt},
               "Invalid JSON"};
  std::string text;
  OutputSink sink(OutputTarget::memory(text));
  write_compact_value(d, sink);
  EXPECT_EQ(text,
            R"({"code":"invalid_json","severity":"error","source":{"artifact_kind":"session",)"
            R"("record_type":null,"relative_path":"s.jsonl","line_number":4,"source_id":null},)"
            R"("message":"Invalid JSON"})");
}

TEST(JsonReportTest, ArtifactWithNoFieldsIsAnObjectOfNulls) {
  TimelineEvent ev = bare_event();
  ev.artifact = ArtifactInfo{};
  ev.fs_times = FsTimes{DateTime{kSampleSeconds, 0}, std::nullopt, std::nullopt};
  const std::string text = compact_text(ev);
  EXPECT_NE(text.find(R"("artifact":{"reference_status":null,"resolved_path":null,)"
                      R"("snapshot_version":null,"size":null,"sha256":null,"media_type":null,)"
                      R"("content":null,"content_encoding":null})"),
            std::string::npos);
  EXPECT_NE(text.find(R"("fs_times":{"modified":"2025-01-02T03:04:05Z","accessed":null,)"
                      R"("created":null})"),
            std::string::npos);
}

TEST(JsonReportTest, PrettyAndCompactDifferOnlyInLayout) {
  TimelineEvent tricky = full_event();
  tricky.message = "a b\n\"c\" \\ {x: [1, 2]}";
  tricky.raw = parse_json(R"([[], [{}], " spaced key "])").value();
  Diagnostic d = sample_diagnostic();
  d.message = "line one\nline two";
  const ParseReport report{{bare_event(), tricky, full_event()}, {d, d}};
  const std::string compact = report_text(report, JsonLayout::Compact);
  EXPECT_EQ(compact.find('\n'), std::string::npos);
  EXPECT_EQ(strip_layout(report_text(report, JsonLayout::Pretty)), compact);
}

TEST(JsonTextTest, StringsEscapeOnlyQuoteBackslashAndControls) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", "abc", R"("abc")"},
      {"empty", "", R"("")"},
      {"tab newline quote escape", "a\tb\nc\"d\x1b", R"("a\tb\nc\"d\u001b")"},
      {"backslash and solidus", "C:\\x/y", R"("C:\\x/y")"},
      {"named controls", "\b\f\r", R"("\b\f\r")"},
      {"other controls", std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"delete stays raw", "\x7f", "\"\x7f\""},
      {"cyrillic", "Привет", "\"Привет\""},
      {"emoji", "ok 😀", "\"ok 😀\""},
      {"line and paragraph separators", "a\u2028b\u2029c", "\"a\u2028b\u2029c\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compact_json(JsonValue(c.input)), c.expected);
  }
}

TEST(JsonTextTest, EscapesAreFoundAtEveryOffsetOfALongString) {
  // Clean text is skipped a word at a time; a special byte may sit anywhere.
  const std::pair<char, std::string> specials[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\x01', "\\u0001"}, {'\x1f', "\\u001f"}, {'\n', "\\n"}};
  for (const auto& [special, escaped] : specials) {
    for (size_t at = 0; at < 20; ++at) {
      std::string text(19, 'a');
      text.insert(at, 1, special);
      std::string expected = "\"" + text.substr(0, at) + escaped + text.substr(at + 1) + "\"";
      EXPECT_EQ(compact_json(JsonValue(text)), expected) << at;
    }
  }
  // Bytes at and above 0x7F and the characters around the special ones pass as they are.
  const std::string clean = "\x7F !#[]\xC3\xA9\xF0\x9F\x98\x80/~ abcdefgh";
  EXPECT_EQ(compact_json(JsonValue(clean)), "\"" + clean + "\"");
}

TEST(JsonTextTest, ObjectKeysComeOutInByteOrder) {
  JsonObject members;
  members.push_back({"zeta", JsonValue(uint64_t{1})});
  members.push_back({"alpha", JsonValue(uint64_t{2})});
  members.push_back({"Beta", JsonValue(uint64_t{3})});
  const JsonValue v(std::move(members));
  EXPECT_EQ(compact_json(v), R"({"Beta":3,"alpha":2,"zeta":1})");
  JsonValue escaped_key = JsonValue::object();
  escaped_key.set("a\"b", JsonValue());
  EXPECT_EQ(compact_json(escaped_key), R"({"a\"b":null})");
}

TEST(JsonTextTest, NumbersUseTheirShortestText) {
  struct Case {
    const char* name;
    JsonValue value;
    const char* expected;
  };
  const Case cases[] = {
      {"zero", JsonValue(uint64_t{0}), "0"},
      {"max unsigned", JsonValue(std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
      {"negative", JsonValue(int64_t{-5}), "-5"},
      {"min signed", JsonValue(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {"one", JsonValue(1.0), "1.0"},
      {"two", JsonValue(2.0), "2.0"},
      {"huge", JsonValue(1e300), "1e+300"},
      {"fraction", JsonValue(123456.789), "123456.789"},
      {"quarter", JsonValue(0.25), "0.25"},
      {"tenth", JsonValue(0.1), "0.1"},
      {"micro", JsonValue(1e-6), "1e-6"},
      {"ten micro", JsonValue(0.00001), "0.00001"},
      {"small with digits", JsonValue(1.5e-7), "1.5e-7"},
      {"e15", JsonValue(1e15), "1000000000000000.0"},
      {"e16", JsonValue(1e16), "1e+16"},
      {"e17 with digits", JsonValue(1.2345678901234568e17), "1.2345678901234568e+17"},
      {"plain with digits", JsonValue(12345678901234.5), "12345678901234.5"},
      {"negative fraction", JsonValue(-1.5), "-1.5"},
      {"positive zero", JsonValue(0.0), "0.0"},
      {"negative zero", JsonValue(-0.0), "-0.0"},
      {"largest", JsonValue(1.7976931348623157e308), "1.7976931348623157e+308"},
      {"smallest subnormal", JsonValue(5e-324), "5e-324"},
      {"negative small", JsonValue(-2.5e-10), "-2.5e-10"},
      {"infinity", JsonValue(std::numeric_limits<double>::infinity()), "null"},
      {"nan", JsonValue(std::nan("")), "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compact_json(c.value), c.expected);
  }
}

TEST(JsonTextTest, DateTimesUseTheShortestFractionGroup) {
  struct Case {
    const char* name;
    DateTime time;
    const char* expected;
  };
  const Case cases[] = {
      {"whole second", {kSampleSeconds, 0}, "2025-01-02T03:04:05Z"},
      {"milliseconds", {kSampleSeconds, 500'000'000}, "2025-01-02T03:04:05.500Z"},
      {"microseconds", {kSampleSeconds, 1'000}, "2025-01-02T03:04:05.000001Z"},
      {"nanoseconds", {kSampleSeconds, 123'456'789}, "2025-01-02T03:04:05.123456789Z"},
      {"leap second", {1483228799, 1'000'000'000}, "2016-12-31T23:59:60Z"},
      {"leap second fraction", {1483228799, 1'500'000'000}, "2016-12-31T23:59:60.500Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    OutputSink sink(OutputTarget::memory(text));
    write_compact_value(FsTimes{c.time, std::nullopt, std::nullopt}, sink);
    EXPECT_EQ(text, std::string(R"({"modified":")") + c.expected +
                        R"(","accessed":null,"created":null})");
  }
}

TEST(JsonFileTest, FileOutputEqualsMemoryOutput) {
  ParseReport report;
  for (uint64_t i = 0; i < 300; ++i) {
    TimelineEvent ev = full_event();
    ev.sequence = i;
    report.events.push_back(std::move(ev));
  }
  report.diagnostics.push_back(sample_diagnostic());
  testing::ScratchFile file("report.json");
  const int fd = file.open_for_writing();
  ASSERT_GE(fd, 0);
  const Status s = write_report(report, OutputTarget::file(fd), JsonLayout::Pretty);
  ::close(fd);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(file.contents(), report_text(report, JsonLayout::Pretty));
}

TEST(JsonFileTest, WriteFailureCarriesTheSystemError) {
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  const Status s =
      write_report(ParseReport{{bare_event()}, {}}, OutputTarget::file(fd), JsonLayout::Pretty);
  ::close(fd);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind(), ErrorKind::Write);
  EXPECT_EQ(s.error().text(), "JSON serialization error: No space left on device (os error 28)");
}

}  // namespace
}  // namespace tq
