#include "output/arrow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/format.h"
#include "support/output_fixtures.h"

namespace tq {
namespace {

using testing::bare_event;
using testing::full_event;

// A stream over `events`, released when this goes away.
struct Exported {
  explicit Exported(const std::vector<TimelineEvent>& events, Surface surface = Surface::Functions,
                    std::shared_ptr<const void> owner = nullptr) {
    export_event_stream(EventSelection(events), surface, std::move(owner), &stream);
  }
  ~Exported() {
    if (stream.release != nullptr) stream.release(&stream);
  }
  ArrowArrayStream stream{};
};

const ArrowSchema* child_named(const ArrowSchema& schema, std::string_view name) {
  for (int64_t i = 0; i < schema.n_children; ++i) {
    if (schema.children[i]->name == name) return schema.children[i];
  }
  return nullptr;
}

int64_t child_index(const ArrowSchema& schema, std::string_view name) {
  for (int64_t i = 0; i < schema.n_children; ++i) {
    if (schema.children[i]->name == name) return i;
  }
  return -1;
}

std::string text_at(const ArrowArray& array, int64_t row) {
  const auto* offsets = static_cast<const int32_t*>(array.buffers[1]);
  const auto* bytes = static_cast<const char*>(array.buffers[2]);
  return std::string(bytes + offsets[row], static_cast<size_t>(offsets[row + 1] - offsets[row]));
}

bool valid_at(const ArrowArray& array, int64_t row) {
  const auto* bits = static_cast<const uint8_t*>(array.buffers[0]);
  return bits == nullptr || ((bits[row / 8] >> (row % 8)) & 1) != 0;
}

int64_t word_at(const ArrowArray& array, int64_t row) {
  return static_cast<const int64_t*>(array.buffers[1])[row];
}

TEST(ArrowTest, SchemaFollowsTheDescription) {
  std::vector<TimelineEvent> events;
  Exported out(events);
  ArrowSchema schema;
  ASSERT_EQ(out.stream.get_schema(&out.stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  struct Case {
    std::vector<std::string_view> path;
    const char* format;
    bool nullable;
  };
  const Case cases[] = {
      {{"event_id"}, "u", false},
      {{"sequence"}, "L", false},
      {{"message"}, "u", true},
      {{"timestamp"}, "tsu:UTC", true},
      {{"timestamp_text"}, "u", true},
      {{"timestamp_raw"}, "u", true},
      {{"source"}, "+s", false},
      {{"source", "line_number"}, "L", true},
      {{"artifact"}, "+s", true},
      {{"artifact", "size"}, "L", true},
      {{"fs_times", "created"}, "tsu:UTC", true},
      {{"fs_times", "created_text"}, "u", true},
      {{"warnings"}, "+l", false},
      {{"warnings", "item"}, "u", false},
      {{"raw"}, "u", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.back()));
    const ArrowSchema* at = &schema;
    for (std::string_view name : c.path) {
      at = child_named(*at, name);
      ASSERT_NE(at, nullptr);
    }
    EXPECT_STREQ(at->format, c.format);
    EXPECT_EQ((at->flags & ARROW_FLAG_NULLABLE) != 0, c.nullable);
  }
  EXPECT_EQ(schema.n_children, 18);  // 17 fields and the timestamp's text
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
}

TEST(ArrowTest, BatchHoldsEachKindOfValue) {
  std::vector<TimelineEvent> events{full_event(), bare_event()};
  Exported out(events);
  ArrowSchema schema;
  ArrowArray batch;
  ASSERT_EQ(out.stream.get_schema(&out.stream, &schema), 0);
  ASSERT_EQ(out.stream.get_next(&out.stream, &batch), 0);
  ASSERT_EQ(batch.length, 2);
  auto column = [&](std::string_view name) -> const ArrowArray& {
    return *batch.children[child_index(schema, name)];
  };

  EXPECT_EQ(text_at(column("event_id"), 0), testing::kSampleEventId);
  EXPECT_EQ(word_at(column("sequence"), 0), 7);
  EXPECT_EQ(word_at(column("timestamp"), 0), testing::kSampleSeconds * 1'000'000 + 120'000);
  EXPECT_FALSE(valid_at(column("timestamp_text"), 0));  // microseconds hold it
  EXPECT_FALSE(valid_at(column("timestamp"), 1));
  EXPECT_EQ(text_at(column("timestamp_raw"), 0), "1735787045120");
  EXPECT_EQ(text_at(column("raw"), 0), R"({"a":[true,null],"e":{},"n":-5.0})");
  EXPECT_FALSE(valid_at(column("raw"), 1));
  EXPECT_EQ(column("message").null_count, 1);

  const ArrowArray& warnings = column("warnings");
  const auto* list_offsets = static_cast<const int32_t*>(warnings.buffers[1]);
  EXPECT_EQ(list_offsets[1], 2);
  EXPECT_EQ(list_offsets[2], 2);  // none is an empty list
  EXPECT_EQ(text_at(*warnings.children[0], 1), "w2");

  const ArrowArray& artifact = column("artifact");
  EXPECT_TRUE(valid_at(artifact, 0));
  EXPECT_FALSE(valid_at(artifact, 1));
  EXPECT_EQ(text_at(*artifact.children[6], 0), "hello");

  const ArrowArray& times = column("fs_times");  // modified, its text, accessed, ...
  EXPECT_FALSE(valid_at(*times.children[3], 0));
  EXPECT_EQ(word_at(*times.children[4], 0), testing::kSampleSeconds * 1'000'000 + 123'456);
  EXPECT_EQ(text_at(*times.children[5], 0), "2025-01-02T03:04:05.123456789Z");

  ArrowArray end;
  ASSERT_EQ(out.stream.get_next(&out.stream, &end), 0);
  EXPECT_EQ(end.release, nullptr);
  batch.release(&batch);
  schema.release(&schema);
}

TEST(ArrowTest, SharedRawValuesAreWrittenOncePerRowAlike) {
  std::vector<TimelineEvent> events{full_event(), full_event(), bare_event(), full_event()};
  events[1].raw = events[0].raw;  // the second block of the same record
  Exported out(events);
  ArrowSchema schema;
  ArrowArray batch;
  ASSERT_EQ(out.stream.get_schema(&out.stream, &schema), 0);
  ASSERT_EQ(out.stream.get_next(&out.stream, &batch), 0);
  const ArrowArray& raw = *batch.children[child_index(schema, "raw")];
  for (int64_t row : {0, 1, 3}) EXPECT_EQ(text_at(raw, row), text_at(raw, 0)) << row;
  batch.release(&batch);
  schema.release(&schema);
}

TEST(ArrowTest, BatchesAreBoundedAndCoverEveryEvent) {
  struct Case {
    const char* name;
    size_t events;
    size_t message_bytes;
    std::vector<int64_t> lengths;
  };
  const Case cases[] = {
      {"rows", kArrowBatchRows + 3, 0, {static_cast<int64_t>(kArrowBatchRows), 3}},
      {"bytes", 40, 1024 * 1024, {32, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TimelineEvent> events(c.events, bare_event());
    for (TimelineEvent& event : events) event.message = std::string(c.message_bytes, 'm');
    Exported out(events);
    std::vector<int64_t> lengths;
    for (;;) {
      ArrowArray batch;
      ASSERT_EQ(out.stream.get_next(&out.stream, &batch), 0);
      if (batch.release == nullptr) break;
      lengths.push_back(batch.length);
      batch.release(&batch);
    }
    EXPECT_EQ(lengths, c.lengths);
  }
}

TEST(ArrowTest, ReleasingFreesWhatTheStreamKeptAlive) {
  auto owner = std::make_shared<int>(0);
  std::vector<TimelineEvent> events{full_event()};
  ArrowArray batch;
  {
    Exported out(events, Surface::Whole, owner);
    EXPECT_EQ(owner.use_count(), 2);
    ASSERT_EQ(out.stream.get_next(&out.stream, &batch), 0);
  }
  EXPECT_EQ(owner.use_count(), 1);
  // A batch outlives its stream; a child a consumer moved out is its own.
  ArrowArray moved = *batch.children[0];
  batch.children[0]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(batch.release, nullptr);
  EXPECT_EQ(text_at(moved, 0), "1");
  moved.release(&moved);
}

TEST(ArrowTest, ParquetIsChosenByNameAndSuffixOnATimelineOnly) {
  EXPECT_EQ(format_from_suffix("week.Parquet"), Format::Parquet);
  EXPECT_EQ(format_from_name("parquet"), Format::Parquet);
  EXPECT_EQ(format_from_name("parquet", Formats::Text), std::nullopt);
  std::string text;
  const std::vector<TimelineEvent> none;
  const Status rendered = render(none, {}, Format::Parquet, OutputTarget::memory(text), {});
  ASSERT_FALSE(rendered);
  EXPECT_EQ(rendered.error().text(), "Parquet is written through pyarrow");
}

}  // namespace
}  // namespace tq
