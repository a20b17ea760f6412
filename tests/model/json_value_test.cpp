#include "model/json_value.h"

#include <gtest/gtest.h>

#include <string>

#include "jsonl/json_parser.h"

namespace tq {
namespace {

TEST(JsonValueTest, CloneIsAnEqualValueThatOwnsItsParts) {
  const char* const texts[] = {
      "null",
      "true",
      "18446744073709551615",
      "-1",
      "0.5",
      R"("a text longer than its inline room")",
      R"([1, [2, []], {"k": "v"}])",
      R"({"b": {"c": [null, "x"]}, "a": 1})",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    JsonValue original = parse_json(text).value();
    JsonValue copy = original.clone();
    EXPECT_EQ(copy, original);
    // Taking the original apart leaves the copy as it was.
    original = JsonValue();
    EXPECT_EQ(copy, parse_json(text).value());
  }
}

}  // namespace
}  // namespace tq
