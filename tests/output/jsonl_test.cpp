#include "output/jsonl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "output/json.h"
#include "support/output_fixtures.h"

namespace tq {
namespace {

using testing::bare_event;
using testing::full_event;

std::string jsonl_text(const std::vector<TimelineEvent>& events) {
  std::string text;
  EXPECT_TRUE(write_jsonl(OutputTarget::memory(text), events).has_value());
  return text;
}

std::string compact_line(const TimelineEvent& event) {
  std::string text;
  OutputSink sink(OutputTarget::memory(text));
  write_compact_value(event, sink);
  return text + "\n";
}

// An event whose compact text is exactly `size` bytes long.
TimelineEvent event_of_size(std::size_t size) {
  TimelineEvent ev = bare_event();
  ev.message = "";
  const std::size_t base = compact_line(ev).size() - 1;
  ev.message = std::string(size - base, 'x');
  return ev;
}

TEST(JsonlTest, EachEventIsOneTerminatedCompactLine) {
  TimelineEvent broken = full_event();
  broken.message = "first line\nsecond line\r\n";
  const std::vector<TimelineEvent> events = {bare_event(), full_event(), broken};
  const std::string text = jsonl_text(events);
  EXPECT_EQ(text, compact_line(events[0]) + compact_line(events[1]) + compact_line(events[2]));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find(R"("message":"first line\nsecond line\r\n")"), std::string::npos);
}

TEST(JsonlTest, NoEventsGiveNoBytes) { EXPECT_EQ(jsonl_text({}), ""); }

TEST(JsonlTest, FileOutputEqualsMemoryOutput) {
  std::vector<TimelineEvent> events;
  for (uint64_t i = 0; i < 200; ++i) {
    events.push_back(i % 2 == 0 ? full_event() : bare_event());
    events.back().sequence = i;
  }
  events.push_back(event_of_size(3 * kWriteBufferSize + 5));
  testing::ScratchFile file("timeline.jsonl");
  const int fd = file.open_for_writing();
  ASSERT_GE(fd, 0);
  const Status s = write_jsonl(OutputTarget::file(fd), events);
  ::close(fd);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(file.contents(), jsonl_text(events));
}

// Where a full disk is noticed decides the message: while an event is written,
// while its line feed is written, or at the final flush.
TEST(JsonlTest, WriteFailuresNameTheStepThatFailed) {
  struct Case {
    const char* name;
    std::size_t event_size;
    const char* expected;
  };
  const Case cases[] = {
      {"event larger than the buffer", kWriteBufferSize + 100,
       "JSON serialization error: No space left on device (os error 28)"},
      {"event filling the buffer exactly", kWriteBufferSize,
       "I/O write error: No space left on device (os error 28)"},
      {"small event", 600, "I/O flush error: No space left on device (os error 28)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const std::vector<TimelineEvent> events = {event_of_size(c.event_size)};
    ASSERT_EQ(compact_line(events[0]).size(), c.event_size + 1);
    const Status s = write_jsonl(OutputTarget::file(fd), events);
    ::close(fd);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::Write);
    EXPECT_EQ(s.error().text(), c.expected);
  }
}

}  // namespace
}  // namespace tq
