// Secrets found in events read a chunk at a time, as a timeline's store
// gives them: a value many events share is reported once, on the first event
// that holds it, whichever chunk that event falls in.
#include "secrets/events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tq {
namespace {

TEST(EventSecretsTest, ASharedValueIsReportedOnceAcrossChunks) {
  // Built from pieces so that this file holds no credential-shaped text.
  std::string token = "ghp_";
  for (int i = 0; i < 6; ++i) token += "a1B2c3";
  const Shared<JsonValue> raw(JsonValue(std::string("key ") + token));
  std::vector<TimelineEvent> events(5);
  for (size_t i = 0; i < events.size(); ++i) {
    events[i].event_id = "e" + std::to_string(i);
    if (i != 2) events[i].raw = raw;  // shared by four events
  }
  events[3].message = "mine " + token;                    // an event's own text
  const auto read = [&](size_t i) { return events[i]; };  // copies share `raw`
  Result<SecretDetector> detector = SecretDetector::make();
  ASSERT_TRUE(detector.has_value());
  auto found = [&](bool stable, size_t chunk) {
    Result<JsonValue> json = find_event_secrets_json(
        events.size(), read, [stable](const void*) { return stable; }, *detector, 1, chunk);
    EXPECT_TRUE(json.has_value());
    std::vector<std::string> where;
    for (const JsonValue& f : json->as_array()) {
      where.push_back(f.find("event_id")->as_string() + " " + f.find("field")->as_string());
    }
    return where;
  };
  const std::vector<std::string> once = {"e0 raw", "e3 message"};
  EXPECT_EQ(found(true, 100), once);
  EXPECT_EQ(found(true, 1), once);
  EXPECT_EQ(found(true, 2), once);
  // A value not kept for the whole scan may be another's in the next chunk.
  EXPECT_EQ(found(false, 2),
            (std::vector<std::string>{"e0 raw", "e3 message", "e3 raw", "e4 raw"}));
}

}  // namespace
}  // namespace tq
