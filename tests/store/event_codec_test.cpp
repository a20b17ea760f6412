#include "store/event_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <tuple>

#include "model/text.h"
#include "parser/driver.h"

namespace tq::store {
namespace {

// Every member of each record, listed apart from the codec's own lists so
// that a member the codec forgets shows here as a difference. (Tuples of
// members holding a Shared don't compare: its comparisons take the tuple in.)
auto members(const ArtifactInfo& a) {
  return std::tie(a.reference_status, a.resolved_path, a.snapshot_version, a.size, a.sha256,
                  a.media_type, a.content, a.content_encoding);
}
auto members(const FsTimes& t) { return std::tie(t.modified, t.accessed, t.created); }
auto members(const ToolFacts& t) {
  return std::tie(t.name, t.call_id, t.kind, t.command_line, t.working_directory, t.exit_code,
                  t.error, t.duration_ns, t.files_read, t.files_changed, t.patch, t.urls, t.queries,
                  t.mcp_server, t.mcp_tool, t.outcome, t.call_event_id, t.result_event_id);
}
auto members(const UsageFacts& u) {
  return std::tie(u.model, u.input_tokens, u.output_tokens, u.cache_read_input_tokens,
                  u.reasoning_output_tokens);
}
auto members(const EventFacts& f) {
  return std::tie(f.actor, f.agent_id, f.agent_type, f.agent_description, f.parent_session_id,
                  f.prompt.origin, f.record_key, f.duplicate_of);
}

template <typename T>
bool same(const T& a, const T& b) {
  return members(a) == members(b);
}
template <typename T>
bool same(const Boxed<T>& a, const Boxed<T>& b) {
  return a.has_value() == b.has_value() && (!a || same(*a, *b));
}
template <>
bool same(const EventFacts& a, const EventFacts& b) {
  return members(a) == members(b) && same(a.tool, b.tool) && same(a.usage, b.usage);
}
bool same(const SourceInfo& a, const SourceInfo& b) {
  return a.artifact_kind == b.artifact_kind && a.record_type == b.record_type &&
         a.relative_path == b.relative_path && a.line_number == b.line_number &&
         a.source_id == b.source_id;
}
bool same(const TimelineEvent& a, const TimelineEvent& b) {
  return a.schema_version == b.schema_version && a.event_id == b.event_id &&
         a.sequence == b.sequence && a.provider == b.provider &&
         a.source_file_sha256 == b.source_file_sha256 && a.timestamp == b.timestamp &&
         a.timestamp_source == b.timestamp_source && a.timestamp_raw == b.timestamp_raw &&
         a.event_type == b.event_type && a.session_id == b.session_id &&
         a.working_directory == b.working_directory && a.message == b.message &&
         same(a.source, b.source) && same(a.artifact, b.artifact) && same(a.fs_times, b.fs_times) &&
         a.warnings == b.warnings && a.raw == b.raw && same(a.facts, b.facts) &&
         a.tool_name == b.tool_name;
}

// Decodes `e`'s encoding and checks it gives `e` back. Encoding the decoded
// event again must give the same bytes, which also holds numbers to their
// exact bits where == compares values.
void expect_round_trip(const TimelineEvent& e, TextTable& texts) {
  std::string bytes = "before";  // an encoding is appended
  encode_event(e, texts, bytes);
  const std::string_view encoding = std::string_view(bytes).substr(6);
  EXPECT_EQ(event_id_of(encoding), e.event_id);
  auto back = decode_event(encoding, texts);
  ASSERT_TRUE(back.has_value()) << back.error().text();
  EXPECT_TRUE(same(*back, e)) << e.event_id;
  std::string again;
  encode_event(*back, texts, again);
  EXPECT_EQ(again, encoding);
}

std::vector<std::filesystem::path> sample_homes() {
  const auto tests = std::filesystem::path(__FILE__).parent_path().parent_path();
  std::vector<std::filesystem::path> homes = {tests.parent_path() / "examples" / "sample-home",
                                              tests / "data" / "claude-hillviewcap"};
  for (const auto& entry : std::filesystem::directory_iterator(tests / "data/samples/real")) {
    homes.push_back(entry.path());
  }
  std::sort(homes.begin() + 2, homes.end());
  return homes;
}

TEST(EventCodecTest, EveryEventOfTheSamplesComesBackWhole) {
  for (const auto& home : sample_homes()) {
    SCOPED_TRACE(home.filename().string());
    const ParserOptions options{.include_raw = true, .include_content = true, .transcripts = true};
    auto report = parse_path(home, options);
    ASSERT_TRUE(report.has_value()) << report.error().text();
    EXPECT_FALSE(report->events.empty());
    TextTable texts;
    for (const TimelineEvent& e : report->events) expect_round_trip(e, texts);
  }
}

constexpr std::string_view kHex =
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// A value `depth` levels deep, objects and arrays in turn.
JsonValue nested(int depth) {
  JsonValue v(uint64_t{7});
  for (int i = 0; i < depth; ++i) {
    JsonValue outer = i % 2 ? JsonValue::array() : JsonValue::object();
    if (i % 2) {
      outer.as_array().push_back(std::move(v));
    } else {
      outer.as_object().push_back({"k", std::move(v)});
    }
    v = std::move(outer);
  }
  return v;
}

// An event that holds something in every member, each of an awkward kind.
TimelineEvent everything() {
  TimelineEvent e;
  e.event_id = std::string(kHex);
  e.sequence = std::numeric_limits<uint64_t>::max();
  e.provider = Provider::Last;
  e.source_file_sha256 = std::string(kHex);
  e.timestamp = DateTime{-62167219200, 1'999'999'999};
  e.timestamp_source = TimestampSource::Last;
  e.timestamp_raw = JsonValue("2025-01-01 UTC");
  e.event_type = EventType::Last;
  e.session_id = std::string("s");
  e.working_directory = std::string("/w");
  e.message = std::string("m\0essage", 8);
  e.source = {ArtifactKind::Last, "type", "a/b.jsonl", std::numeric_limits<uint64_t>::max(),
              std::string("src")};
  e.artifact = ArtifactInfo{
      ReferenceStatus::Last, "/r", 0, 12, std::string(kHex), "image/png", "Y29udGVudA==",
      ContentEncoding::Last};
  e.fs_times = FsTimes{DateTime{1, 2}, DateTime{-1, 0}, DateTime{253402300799, 999'999'999}};
  e.warnings = {"w1", "", "w3"};
  JsonValue raw = JsonValue::object();
  // Held as given: out of key order, a key twice, numbers of every kind.
  for (auto& [key, value] : std::initializer_list<std::pair<const char*, double>>{
           {"z", -0.0}, {"a", 1e308}, {"z", 5e-324}, {"m", -1.5}}) {
    raw.as_object().push_back({key, JsonValue(value)});
  }
  JsonArray numbers;
  numbers.emplace_back(std::numeric_limits<uint64_t>::max());
  numbers.emplace_back(std::numeric_limits<int64_t>::min());
  numbers.emplace_back(int64_t{-1});
  numbers.emplace_back(std::numeric_limits<double>::infinity());
  numbers.emplace_back(true);
  numbers.emplace_back();
  raw.as_object().push_back({"", JsonValue(std::move(numbers))});
  e.raw = std::move(raw);
  EventFacts& f = e.facts.held();
  f = {Actor::Last,
       "agent",
       "type",
       "description",
       "parent",
       {PromptOrigin::Last},
       {},
       {},
       "0123456789abcdef0123456789abcdef",
       std::string(kHex)};
  f.tool = ToolFacts{
      "Bash", "call_1", ToolKind::Last, "ls",       "/w",    std::numeric_limits<int64_t>::min(),
      false,  0,        {"r"},          {"c", "d"}, "patch", {"u"},
      {"q"},  "srv",    "tool",         "approved", "abc",   std::string(kHex)};
  f.usage = UsageFacts{"model", 1, 0, std::numeric_limits<uint64_t>::max(), 4};
  e.tool_name = std::string("Bash");
  return e;
}

TEST(EventCodecTest, ContrivedEventsComeBackWhole) {
  std::string binary(5 << 20, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 131 % 256);
  const struct {
    const char* name;
    std::function<void(TimelineEvent&)> change;
  } cases[] = {
      {"nothing held", [](TimelineEvent& e) { e = TimelineEvent{}; }},
      {"everything held", [](TimelineEvent&) {}},
      {"empty, not absent",
       [](TimelineEvent& e) {
         e = TimelineEvent{};
         e.schema_version = e.event_id = "";
         e.session_id = e.tool_name = std::string();
         e.message = e.source.record_type = "";
         e.artifact = ArtifactInfo{};
         e.fs_times = FsTimes{};
         e.warnings = {""};
         e.raw = JsonValue::object();
         e.timestamp_raw = JsonValue("");
         e.facts.held().tool.held();
         e.facts->usage.held();
         e.facts->record_key = "";
       }},
      {"ids that are not lowercase hex",
       [](TimelineEvent& e) {
         e.event_id = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
         e.artifact->sha256 = std::string(kHex.substr(1));  // odd length
         e.facts->duplicate_of = std::string(kHex.substr(2)) + "g0";
         e.facts->tool->call_event_id = "0";
       }},
      {"five megabytes of binary content",
       [&](TimelineEvent& e) {
         e.artifact->content = binary;
         e.artifact->content_encoding = ContentEncoding::Utf8;
       }},
      {"JSON nested a thousand levels", [](TimelineEvent& e) { e.raw = nested(1000); }},
  };
  TextTable texts;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimelineEvent e = everything();
    c.change(e);
    expect_round_trip(e, texts);
  }
}

TEST(EventCodecTest, TextTableKeepsEachTextOnceWhereItWas) {
  TextTable texts;
  const std::string long_text(100'000, 'x');
  std::vector<std::string> kept = {"", long_text};
  for (int i = 0; i < 20'000; ++i) kept.push_back("text " + std::to_string(i));
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(texts.intern(kept[i]), i);
  // Every view still holds its text after the table has grown.
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(texts.intern(kept[i]), i);
    EXPECT_EQ(texts.at(static_cast<uint32_t>(i)), kept[i]);
  }
  EXPECT_EQ(texts.size(), kept.size());
  EXPECT_GE(texts.bytes(), long_text.size() + 20'000 * 9);
}

TEST(EventCodecTest, FileDigestIsSetInPlace) {
  TextTable texts;
  TimelineEvent e = everything();
  e.source_file_sha256.reset();
  std::string bytes;
  encode_event(e, texts, bytes);
  EXPECT_EQ(file_digest_of(bytes), kNoText);
  set_file_digest(bytes, texts.intern("digest"));
  EXPECT_EQ(file_digest_of(bytes), texts.intern("digest"));
  auto back = decode_event(bytes, texts);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->source_file_sha256, "digest");
}

// Damaged bytes: every prefix and every byte changed must give an error or
// an event, never a read outside them (the sanitizer build checks that).
TEST(EventCodecTest, DamagedEncodingsGiveAnInternalError) {
  TextTable texts;
  TimelineEvent e = everything();
  e.raw = nested(20);
  std::string bytes;
  encode_event(e, texts, bytes);
  for (size_t size = 0; size < bytes.size(); ++size) {
    auto back = decode_event(std::string_view(bytes).substr(0, size), texts);
    ASSERT_FALSE(back.has_value()) << size;
    EXPECT_EQ(back.error().kind(), ErrorKind::Internal);
    EXPECT_TRUE(back.error().text().starts_with("A stored event's bytes are damaged: ")) << size;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (const char b : {'\x00', '\x7f', '\xff'}) {
      std::string damaged = bytes;
      damaged[at] = b;
      (void)decode_event(damaged, texts);
      (void)event_id_of(damaged);
    }
  }
  const TextTable empty;
  std::string unknown_bit;
  encode_event(TimelineEvent{}, texts, unknown_bit);
  unknown_bit.replace(4, 1, "\x80\x20");  // the event's mask, with bit 12 set
  const struct {
    const char* name;
    std::string bytes;
    const TextTable& texts;
    std::string message;
  } bad[] = {
      {"nothing", "", texts, "the end inside a value at byte 0 of 0"},
      {"a byte after", bytes + "x", texts,
       concat("bytes after the event at byte ", bytes.size(), " of ", bytes.size() + 1)},
      {"another table", bytes, empty,
       concat("a text index past the table at byte 4 of ", bytes.size())},
      {"a number past 64 bits", std::string(4, '\xff') + std::string(10, '\xff'), texts,
       "a number past 64 bits at byte 14 of 14"},
      {"a presence bit for no member", unknown_bit, texts,
       concat("a presence bit for no member at byte ", unknown_bit.size(), " of ",
              unknown_bit.size())},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    auto back = decode_event(c.bytes, c.texts);
    ASSERT_FALSE(back.has_value());
    EXPECT_EQ(back.error().text(), "A stored event's bytes are damaged: " + c.message + ".");
  }
  EXPECT_EQ(event_id_of(std::string_view(bytes).substr(0, 20)), "");
  e.raw = nested(1100);
  std::string deep;
  encode_event(e, texts, deep);
  auto back = decode_event(deep, texts);
  ASSERT_FALSE(back.has_value());
  EXPECT_NE(back.error().text().find(": JSON nested too deep at byte "), std::string::npos);
}

}  // namespace
}  // namespace tq::store
