#include "model/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tq {
namespace {

// Measures `text` fed in pieces of `step` bytes, so that every sequence is cut
// at every position somewhere in the loop below.
Utf8Measure measure_in_pieces(std::string_view text, size_t step) {
  Utf8Measure m;
  for (size_t at = 0; at < text.size(); at += step) m.add(text.substr(at, step));
  m.finish();
  return m;
}

TEST(Utf8MeasureTest, CountsCharactersAndWidestWhereverThePiecesEnd) {
  struct Case {
    const char* name;
    std::string text;
    size_t characters;
    uint32_t widest;
  };
  const Case cases[] = {
      {"empty", "", 0, 0x7F},
      {"ascii", "plain text", 10, 0x7F},
      {"latin-1", "caf\xC3\xA9", 4, 0xFF},
      {"plane", "\xE6\x97\xA5 \xC3\xA9", 3, 0xFFFF},
      {"astral", "a\xF0\x9F\x98\x80z\xC4\x80", 4, 0x10FFFF},
  };
  for (const Case& c : cases) {
    for (size_t step : {1u, 2u, 3u, 5u, 64u}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      const Utf8Measure m = measure_in_pieces(c.text, step);
      EXPECT_FALSE(m.error().has_value());
      EXPECT_EQ(m.characters(), c.characters);
      EXPECT_EQ(m.widest(), c.widest);
    }
  }
}

TEST(Utf8MeasureTest, FirstBadSequenceIsDescribedByItsIndexInTheWholeText) {
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"stray continuation",
       "ab\x80"
       "cd",
       "invalid utf-8 sequence of 1 bytes from index 2"},
      {"bad second byte", "abc\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 3"},
      {"cut by a new lead", "\xC3\xA9\xE6\x97z\xFF",
       "invalid utf-8 sequence of 2 bytes from index 2"},
      {"ends inside", "abcd\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 4"},
  };
  for (const Case& c : cases) {
    for (size_t step : {1u, 2u, 3u, 64u}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      const Utf8Measure m = measure_in_pieces(c.text, step);
      ASSERT_TRUE(m.error().has_value());
      EXPECT_EQ(*m.error(), c.error);
      EXPECT_EQ(utf8_error(c.text), c.error);
    }
  }
}

}  // namespace
}  // namespace tq
