#include "output/csv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/output_fixtures.h"

namespace tq {
namespace {

using testing::bare_event;
using testing::full_event;

constexpr const char* kHeader =
    "schema_version,event_id,sequence,provider,source_file_sha256,timestamp,timestamp_raw,"
    "timestamp_source,event_type,session_id,working_directory,message,artifact_kind,"
    "source_record_type,source_relative_path,source_line,source_id,reference_status,"
    "resolved_path,snapshot_version,size,sha256,media_type,content,content_encoding,"
    "fs_modified,fs_accessed,fs_created,warnings,raw\n";

std::string csv_text(const std::vector<TimelineEvent>& events, bool include_message = true,
                     bool include_content = true) {
  std::string text;
  EXPECT_TRUE(
      write_csv(OutputTarget::memory(text), events, include_message, include_content).has_value());
  return text;
}

// A plain reader for the dialect written: comma separators, LF terminators,
// quoted cells with doubled quotes.
std::vector<std::vector<std::string>> read_csv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        cell.push_back(c);
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        cell.push_back('"');
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(std::move(cell));
      cell.clear();
    } else if (c == '\n') {
      row.push_back(std::move(cell));
      cell.clear();
      rows.push_back(std::move(row));
      row.clear();
    } else {
      cell.push_back(c);
    }
  }
  EXPECT_TRUE(row.empty() && cell.empty()) << "unterminated last record";
  return rows;
}

TEST(CsvTest, NoEventsGiveTheHeaderAlone) {
  EXPECT_EQ(csv_text({}), kHeader);
  EXPECT_EQ(csv_text({}, false, false), kHeader);
}

TEST(CsvTest, RowsAreWrittenByteForByte) {
  const std::string bare_row =
      "1,0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef,0,codex,,,,none,unknown,,"
      ",,history,,history.jsonl" +
      std::string(15, ',') + "\n";
  const std::string full_row =
      "1,0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef,7,claude_code,"
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa,"
      "2025-01-02T03:04:05.120+00:00,1735787045120,embedded,paste_attachment,s-1,/w,hi,"
      "paste_cache,paste,.claude/paste-cache/k.txt,3,k,resolved,paste-cache/k.txt,2,5,"
      "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb,text/plain,hello,utf8,"
      "2025-01-02T03:04:05+00:00,2025-01-02T03:04:05.123456+00:00,"
      "2025-01-02T03:04:05.123456789+00:00,"
      R"("[""w1"",""w2""]","{""a"":[true,null],""e"":{},""n"":-5.0}")"
      "\n";
  EXPECT_EQ(csv_text({bare_event(), full_event()}), kHeader + bare_row + full_row);
}

TEST(CsvTest, ExcludedMessageAndContentLeaveEmptyCells) {
  const CsvRecord with = event_to_record(full_event(), true, true);
  const CsvRecord without = event_to_record(full_event(), false, false);
  EXPECT_EQ(with[11], "hi");
  EXPECT_EQ(with[23], "hello");
  EXPECT_EQ(without[11], "");
  EXPECT_EQ(without[23], "");
  for (std::size_t i = 0; i < kCsvColumnCount; ++i) {
    if (i == 11 || i == 23) continue;
    SCOPED_TRACE(kCsvColumns[i]);
    EXPECT_EQ(with[i], without[i]);
  }
}

TEST(CsvTest, MissingNestedRecordsLeaveTheirColumnsEmpty) {
  TimelineEvent ev = full_event();
  ev.artifact.reset();
  ev.fs_times.reset();
  const CsvRecord r = event_to_record(ev, true, true);
  for (std::size_t i = 17; i < 28; ++i) {
    SCOPED_TRACE(kCsvColumns[i]);
    EXPECT_EQ(r[i], "");
  }
}

TEST(CsvTest, JsonCellsHoldCompactJson) {
  struct Case {
    const char* name;
    Shared<JsonValue> value;
    const char* expected;
  };
  const Case cases[] = {
      {"absent", std::nullopt, ""},
      {"null", JsonValue(), "null"},
      {"integer", JsonValue(uint64_t{1712345678901}), "1712345678901"},
      {"string keeps quotes", JsonValue("2024-03-05T12:30:45Z"), R"("2024-03-05T12:30:45Z")"},
      {"float", JsonValue(1e16), "1e+16"},
      {"object", parse_json(R"({"b": "x\ny", "a": []})").value(), R"({"a":[],"b":"x\ny"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_value(c.value), c.expected);
  }
}

TEST(CsvTest, CellsAreQuotedExactlyWhenNeeded) {
  struct Case {
    const char* name;
    std::string message;
    std::string written;
  };
  const Case cases[] = {
      {"plain", "hello world", "hello world"},
      {"comma", "a,b", R"("a,b")"},
      {"quote", R"(say "hi")", R"("say ""hi""")"},
      {"line feed", "a\nb", "\"a\nb\""},
      {"carriage return", "a\rb", "\"a\rb\""},
      {"only a quote", "\"", R"("""")"},
      {"spaces and tab stay bare", " a\tb ", " a\tb "},
      {"other controls stay bare", "\x01\x1b", "\x01\x1b"},
      {"unicode stays bare", "Привет 😀", "Привет 😀"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TimelineEvent ev = bare_event();
    ev.message = c.message;
    const std::string text = csv_text({ev});
    const std::string expected_prefix =
        std::string(kHeader) + "1," + testing::kSampleEventId + ",0,codex,,,,none,unknown,,,";
    EXPECT_EQ(text.substr(0, expected_prefix.size()), expected_prefix);
    EXPECT_EQ(text.substr(expected_prefix.size(), c.written.size() + 1), c.written + ",");
    const auto rows = read_csv(text);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1].size(), kCsvColumnCount);
    EXPECT_EQ(rows[1][11], c.message);
  }
}

TEST(CsvTest, WarningsAndTimestampsFollowTheirCellRules) {
  TimelineEvent ev = bare_event();
  ev.warnings = {"a,b"};
  ev.timestamp = DateTime{1712345678, 901'000'000};
  ev.timestamp_raw = JsonValue(uint64_t{1712345678901});
  const std::string text = csv_text({ev});
  EXPECT_NE(text.find(",2024-04-05T19:34:38.901+00:00,1712345678901,none,"), std::string::npos);
  EXPECT_NE(text.find(R"(,"[""a,b""]",)"), std::string::npos);

  ev.timestamp_raw = JsonValue("2024-03-05T12:30:45Z");
  EXPECT_NE(csv_text({ev}).find(R"(,"""2024-03-05T12:30:45Z""",)"), std::string::npos);
}

TEST(CsvTest, AReaderGetsEveryCellBack) {
  TimelineEvent tricky = full_event();
  tricky.message = "x,\"y\"\r\nz";
  tricky.working_directory = "/dir, with \"quotes\"";
  tricky.artifact->content = std::string(kWriteBufferSize * 2, 'c') + ",\n";
  const std::vector<TimelineEvent> events = {bare_event(), full_event(), tricky};
  const auto rows = read_csv(csv_text(events));
  ASSERT_EQ(rows.size(), events.size() + 1);
  for (std::size_t i = 0; i < kCsvColumnCount; ++i) EXPECT_EQ(rows[0][i], kCsvColumns[i]);
  for (std::size_t e = 0; e < events.size(); ++e) {
    SCOPED_TRACE(e);
    const CsvRecord expected = event_to_record(events[e], true, true);
    ASSERT_EQ(rows[e + 1].size(), kCsvColumnCount);
    for (std::size_t i = 0; i < kCsvColumnCount; ++i) EXPECT_EQ(rows[e + 1][i], expected[i]);
  }
}

TEST(CsvTest, FileOutputEqualsMemoryOutput) {
  std::vector<TimelineEvent> events(150, full_event());
  testing::ScratchFile file("timeline.csv");
  const int fd = file.open_for_writing();
  ASSERT_GE(fd, 0);
  const Status s = write_csv(OutputTarget::file(fd), events, false, true);
  ::close(fd);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(file.contents(), csv_text(events, false, true));
}

TEST(CsvTest, WriteFailuresNameTheStepThatFailed) {
  struct Case {
    const char* name;
    std::size_t content_size;
    const char* expected;
  };
  const Case cases[] = {
      {"record larger than the buffer", kWriteBufferSize * 2,
       "CSV record write error: No space left on device (os error 28)"},
      {"small record", 10, "CSV flush error: No space left on device (os error 28)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    TimelineEvent ev = full_event();
    ev.artifact->content = std::string(c.content_size, 'c');
    const Status s = write_csv(OutputTarget::file(fd), std::vector<TimelineEvent>{ev}, true, true);
    ::close(fd);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::Write);
    EXPECT_EQ(s.error().text(), c.expected);
  }
}

}  // namespace
}  // namespace tq
