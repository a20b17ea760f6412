#include "output/page.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "output/format.h"
#include "output/json.h"
#include "support/output_fixtures.h"

namespace tq {
namespace {

using testing::bare_event;
using testing::full_event;

constexpr std::string_view kDataOpen = "id=\"tq-data\">";

std::string page_of(const std::vector<TimelineEvent>& events, const JsonValue* summary) {
  std::string page;
  const std::vector<Diagnostic> diagnostics = {
      {DiagnosticCode::InvalidJson, Severity::Warning, std::nullopt, "bad line"}};
  EXPECT_TRUE(write_page(events, diagnostics, {summary, nullptr}, OutputTarget::memory(page),
                         Surface::Whole)
                  .has_value());
  return page;
}

// The payload a page embeds: base64, then gzip, undone.
JsonValue payload_of(const std::string& page) {
  const size_t start = page.find(kDataOpen) + kDataOpen.size();
  const std::string text = page.substr(start, page.find('<', start) - start);
  std::string bytes(text.size() / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  EXPECT_GE(decoded, 0);
  // The decoder counts the padding's zero bytes too.
  bytes.resize(static_cast<size_t>(decoded) -
               static_cast<size_t>(text.size() - text.find_last_not_of('=') - 1));
  std::string json(1 << 20, '\0');
  uLongf size = json.size();
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, 15 + 16), Z_OK);
  s.next_in = reinterpret_cast<Bytef*>(bytes.data());
  s.avail_in = static_cast<uInt>(bytes.size());
  s.next_out = reinterpret_cast<Bytef*>(json.data());
  s.avail_out = static_cast<uInt>(size);
  EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
  json.resize(s.total_out);
  inflateEnd(&s);
  return parse_json(json).value();
}

const JsonValue* column(const JsonValue& payload, std::string_view name) {
  for (const JsonValue& c : payload.find("columns")->as_array()) {
    if (*c.find_string("name") == name) return &c;
  }
  return nullptr;
}

TEST(PageTest, ColumnsFollowTheEventsDescription) {
  TimelineEvent later = full_event();
  later.sequence = 9;
  later.message = "<script>alert(1)</script> javascript:void(0)";
  const std::string page = page_of({full_event(), bare_event(), later}, nullptr);
  const JsonValue payload = payload_of(page);
  EXPECT_EQ(payload.find("count")->as_uint(), 3u);

  struct Case {
    const char* column;
    const char* member;
    const char* expected;  // compact JSON
  };
  const Case cases[] = {
      {"event_id", "kind", R"("text")"},
      {"event_id", "codes", R"({"runs":[1,3]})"},
      {"event_id", "width", "64"},
      {"event_id", "hex", R"("ASNFZ4mrze8BI0VniavN7wEjRWeJq83vASNFZ4mrze8=")"},
      {"source.relative_path", "dict", R"([".claude/paste-cache/k.txt","history.jsonl"])"},
      {"message", "dict", R"x(["hi","<script>alert(1)</script> javascript:void(0)"])x"},
      {"message", "codes", "[1,0,2]"},
      {"sequence", "deltas", "[7,-7,9]"},
      {"source.line_number", "deltas", "[3,null,0]"},
      {"artifact.size", "deltas", "[5,null,0]"},
      {"artifact.reference_status", "codes", "[1,0,1]"},
      {"fs_times.accessed", "sub", "[456000,0,456000]"},
      {"schema_version", "codes", R"({"runs":[1,3]})"},
      {"timestamp", "kind", R"("time")"},
      {"timestamp", "deltas", "[1735787045120,null,0]"},
      {"warnings", "lengths", "[2,0,2]"},
      {"warnings", "codes", "[1,2,1,2]"},
      {"raw", "kind", R"("json")"},
      {"raw", "codes", "[1,0,1]"},  // two copies of one value: one text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " " + c.member);
    const JsonValue* col = column(payload, c.column);
    ASSERT_NE(col, nullptr);
    EXPECT_EQ(compact_json(*col->find(c.member)), c.expected);
  }
  // Event text reaches the page only inside the compressed payload.
  EXPECT_EQ(page.find("alert(1)"), std::string::npos);
  EXPECT_EQ(compact_json(*payload.find("diagnostics")),
            R"([{"code":"invalid_json","message":"bad line","severity":"warning","source":null}])");
  EXPECT_TRUE(payload.find("summary")->is_null());
}

TEST(PageTest, PageIsSelfContained) {
  JsonValue summary = JsonValue::object();
  summary.set("events", JsonValue(uint64_t{0}));
  const std::string page = page_of({}, &summary);
  EXPECT_EQ(compact_json(*payload_of(page).find("summary")), R"({"events":0})");
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
  for (const char* outside : {"http:", "https:", "src=", "href=", "@import", "url("}) {
    SCOPED_TRACE(outside);
    EXPECT_EQ(page.find(outside), std::string::npos);
  }
}

TEST(PageTest, HtmlIsChosenByNameAndSuffixWhereOffered) {
  EXPECT_EQ(format_from_suffix("week.HTML"), Format::Html);
  EXPECT_EQ(format_from_suffix("week.htm"), Format::Html);
  EXPECT_EQ(format_from_name("html"), Format::Html);
  EXPECT_EQ(format_from_name("html", Formats::Text), std::nullopt);
  EXPECT_EQ(format_choices(Formats::Text), "'json', 'jsonl', or 'csv'");
  EXPECT_EQ(format_choices(Formats::All), "'json', 'jsonl', 'csv', 'html', or 'parquet'");
}

}  // namespace
}  // namespace tq
