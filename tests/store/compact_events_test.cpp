// A timeline's events kept encoded give back, event for event, what a report
// of the same parse holds: every field, numbered and linked as the report's,
// with the values the report's events share shared again.
#include "store/compact_events.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ordering/ordering.h"
#include "output/jsonl.h"
#include "parser/driver.h"

namespace tq::store {
namespace {

namespace fs = std::filesystem;

fs::path data(const char* name) {
  return fs::path(__FILE__).parent_path().parent_path() / "data" / name;
}

std::string lines(EventSelection events) {
  std::string text;
  EXPECT_TRUE(write_jsonl(OutputTarget::memory(text), events, Surface::Whole).has_value());
  return text;
}

struct Case {
  const char* home;
  bool transcripts;
  bool raw;
  size_t budget = kDefaultSpillBudget;  // 0: every record in the temporary file
};

class CompactEventsTest : public testing::TestWithParam<Case> {};

TEST_P(CompactEventsTest, EventsReadBackAreTheReportsEvents) {
  const Case c = GetParam();
  ParserOptions options{
      .include_raw = c.raw, .include_content = true, .transcripts = c.transcripts};
  const Result<ParseReport> report = parse_path(data(c.home), options);
  ASSERT_TRUE(report.has_value()) << report.error().text();
  CompactEvents events(c.budget, c.transcripts);
  const Result<ParseReport> stored =
      parse_path(data(c.home), {options, nullptr, nullptr, nullptr, &events});
  ASSERT_TRUE(stored.has_value()) << stored.error().text();
  ASSERT_TRUE(events.finish(nullptr).has_value());
  EXPECT_TRUE(stored->events.empty());
  EXPECT_EQ(stored->diagnostics.size(), report->diagnostics.size());
  ASSERT_EQ(events.size(), report->events.size());
  EXPECT_EQ(lines(events), lines(report->events));
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    const TimelineEvent& a = report->events[i];
    const TimelineEvent& b = report->events[i + 1];
    const TimelineEvent x = events.at(i);
    const TimelineEvent y = events.at(i + 1);
    EXPECT_EQ(x.tool_name, a.tool_name) << i;
    // What two events share in the report, they share when read back.
    EXPECT_EQ(x.raw.shares(y.raw), a.raw.shares(b.raw)) << i;
    EXPECT_EQ(x.session_id.shares(y.session_id), a.session_id.shares(b.session_id)) << i;
  }
  EXPECT_LT(events.bytes(), size_t{64} << 20);
}

INSTANTIATE_TEST_SUITE_P(Samples, CompactEventsTest,
                         testing::Values(Case{"claude-hillviewcap", true, true},
                                         Case{"claude-hillviewcap", true, false, 0},
                                         Case{"claude-hillviewcap", false, false},
                                         Case{"../../examples/sample-home", true, false},
                                         Case{"samples/real/codex-codemie", false, true, 0}));

// Forty files whose events interleave in time, as sessions that ran at once
// do: reading them in report order jumps between forty places in the area,
// more than a reader keeps windows onto.
TEST(CompactEventsInterleavedTest, EveryFileIsReadWhereverItsEventsLie) {
  std::vector<TimelineEvent> all;
  CompactEvents events(0);
  for (int file = 0; file < 40; ++file) {
    EventList taken;
    for (int i = 0; i < 60; ++i) {
      TimelineEvent e;
      e.event_id = std::to_string(file) + "-" + std::to_string(i);
      e.source.relative_path = "f" + std::to_string(file);
      e.timestamp = DateTime{i * 40 + file, 0};
      e.message =
          std::string(static_cast<size_t>(100 + 37 * file), 'a' + static_cast<char>(file % 26));
      all.push_back(e);
      taken.push_back(std::move(e));
    }
    ASSERT_TRUE(events.take(std::move(taken)).has_value());
  }
  ASSERT_TRUE(events.finish(nullptr).has_value());
  auto report = finalize_report(EventList(std::move(all)), {}, false);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(lines(events), lines(report->events));
}

TEST(CompactEventsReplaceTest, AReplacedEventIsReadAsGivenAndNotLinkedAgain) {
  CompactEvents events(0, /*link=*/true);
  const Result<ParseReport> stored = parse_path(
      data("claude-hillviewcap"), {{.transcripts = true}, nullptr, nullptr, nullptr, &events});
  ASSERT_TRUE(stored.has_value());
  ASSERT_TRUE(events.finish(nullptr).has_value());
  ASSERT_GT(events.size(), 3u);
  TimelineEvent changed = events.at(2);
  changed.message = "[REDACTED:x:00000000]";
  ASSERT_TRUE(events.replace(2, changed).has_value());
  EXPECT_EQ(lines(EventSelection(events, std::vector<size_t>{2})),
            lines(std::vector<TimelineEvent>{changed}));
}

}  // namespace
}  // namespace tq::store
