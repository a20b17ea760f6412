#include "store/event_store.h"

#include <gtest/gtest.h>

#include <random>

#include "ordering/ordering.h"

namespace tq::store {
namespace {

constexpr std::string_view kDigest =
    "00000000000000000000000000000000000000000000000000000000000000ff";

// Events that test every step of the order: equal times, snapshot chains
// whose versions disagree with their paths (the order is then not
// transitive), ids sharing their first eight bytes, events without time or
// line, and exact copies.
std::vector<TimelineEvent> awkward_events() {
  std::mt19937 random(7);
  std::vector<TimelineEvent> events;
  for (int i = 0; i < 400; ++i) {
    TimelineEvent e;
    const int kind = static_cast<int>(random() % 4);
    e.event_type = kind == 0 ? EventType::FileSnapshot
                             : (kind == 1 ? EventType::SessionStart : EventType::ToolCall);
    e.source.relative_path = "p/" + std::to_string(random() % 5) + "@v" + std::to_string(i % 12);
    if (random() % 5 != 0) e.source.line_number = random() % 3;
    if (random() % 6 != 0) e.timestamp = DateTime{static_cast<int64_t>(random() % 3), 0};
    e.sequence = random() % 4;
    e.session_id = std::string(random() % 2 ? "s1" : "s2");
    if (random() % 3 != 0) e.source.source_id = std::string(random() % 2 ? "f" : "g");
    if (kind == 0) {
      e.artifact = ArtifactInfo{};
      e.artifact->snapshot_version = random() % 12;
    }
    e.event_id = "ffffffff" + std::to_string(random() % 50);  // shared prefixes
    if (i % 3 == 0)
      e.event_id = generate_event_id(Provider::Codex, ArtifactKind::Session, e.source.relative_path,
                                     std::to_string(i));
    e.message = "event " + std::to_string(i) + ", \"quoted\"\nline";
    // A few long events take the records past one append's worth, so some
    // digests are stamped on records already appended and some on records
    // still gathered.
    if (i % 100 == 50) e.message->append(size_t{300} << 10, 'm');
    e.source_file_sha256 = std::string(kDigest);
    if (i % 7 == 0) {
      // A twin that differs only by an id sharing the first eight bytes,
      // gathered first though its id sorts last.
      TimelineEvent twin = e;
      twin.event_id = "ffffffff~" + std::to_string(i);
      events.push_back(std::move(twin));
    }
    events.push_back(e);
    if (i % 50 == 0) events.push_back(e);  // an exact copy
  }
  return events;
}

std::string written_directly(const std::vector<TimelineEvent>& events, Format format,
                             const RenderOptions& options) {
  EventList list(events);
  auto report = finalize_report(std::move(list), {}, false);
  EXPECT_TRUE(report.has_value());
  std::string text;
  EXPECT_TRUE(
      render(report->events, report->diagnostics, format, OutputTarget::memory(text), options)
          .has_value());
  return text;
}

// `unstamped`: each part is taken before its digest is known, as a file
// still being read is, and stamped after.
std::string written_from_store(const std::vector<TimelineEvent>& events, Format format,
                               const RenderOptions& options, size_t budget, size_t per_take,
                               bool unstamped = false) {
  EventStore store(format, options, budget);
  for (size_t i = 0; i < events.size(); i += per_take) {
    std::vector<TimelineEvent> part(
        events.begin() + static_cast<ptrdiff_t>(i),
        events.begin() + static_cast<ptrdiff_t>(std::min(events.size(), i + per_take)));
    if (!unstamped) {
      EXPECT_TRUE(store.take(EventList(std::move(part))).has_value());
      continue;
    }
    for (TimelineEvent& e : part) e.source_file_sha256.reset();
    EXPECT_TRUE(store.take_unstamped(EventList(std::move(part))).has_value());
    EXPECT_TRUE(store.stamp(kDigest).has_value());
  }
  EXPECT_TRUE(store.sort(nullptr).has_value());
  std::string text;
  EXPECT_TRUE(store.write({}, OutputTarget::memory(text)).has_value());
  // Written twice, the same bytes.
  std::string again;
  EXPECT_TRUE(store.write({}, OutputTarget::memory(again)).has_value());
  EXPECT_EQ(text, again);
  return text;
}

TEST(EventStoreTest, WritesWhatTheReportWouldHaveWritten) {
  const std::vector<TimelineEvent> events = awkward_events();
  struct Case {
    Format format;
    RenderOptions options;
  };
  const Case cases[] = {
      {Format::Json, {.pretty = true}},
      {Format::Json, {.pretty = false}},
      {Format::Jsonl, {}},
      {Format::Csv, {.include_message = true, .include_content = true}},
      {Format::Csv, {.include_message = false}},
  };
  for (const Case& c : cases) {
    const std::string expected = written_directly(events, c.format, c.options);
    for (size_t budget : {size_t{0}, size_t{1000}, size_t{1} << 30}) {
      for (size_t per_take : {size_t{1}, size_t{37}, events.size()}) {
        SCOPED_TRACE(testing::Message()
                     << format_name(c.format) << " budget " << budget << " per take " << per_take);
        EXPECT_EQ(written_from_store(events, c.format, c.options, budget, per_take), expected);
        EXPECT_EQ(written_from_store(events, c.format, c.options, budget, per_take, true),
                  expected);
      }
    }
  }
}

TEST(EventStoreTest, AnEmptyStoreWritesAnEmptyDocument) {
  for (Format format : {Format::Json, Format::Jsonl, Format::Csv}) {
    EXPECT_EQ(written_from_store({}, format, {}, 0, 1), written_directly({}, format, {}));
  }
}

}  // namespace
}  // namespace tq::store
