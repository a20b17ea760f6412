#include "output/scan.h"

#include <gtest/gtest.h>

#include <string>

namespace tq {
namespace {

// The vector loop and the byte loop must agree wherever the byte falls: in
// the first block, across a block's end, in the tail, or nowhere.
TEST(FindSpecialTest, FindsTheFirstSpecialByteAnywhere) {
  const std::string plain(40, 'a');
  for (size_t at : {size_t{0}, size_t{15}, size_t{16}, size_t{31}, size_t{37}, size_t{39}}) {
    for (const char special : {'"', '\\', ',', '\n', '\x01', '\x1f'}) {
      std::string text = plain;
      text[at] = special;
      SCOPED_TRACE(std::to_string(at) + " " + std::to_string(special));
      const bool control = static_cast<unsigned char>(special) < 0x20;
      const bool json = special == '"' || special == '\\' || control;
      const bool csv = special == ',' || special == '"' || special == '\n';
      EXPECT_EQ((find_special<true, '"', '\\'>(text, 0)), json ? at : text.size());
      EXPECT_EQ((find_special<false, ',', '"', '\r', '\n'>(text, 0)), csv ? at : text.size());
      EXPECT_EQ((find_special<true, '"', '\\'>(text, at + 1)), text.size());
    }
  }
  EXPECT_EQ((find_special<true, '"', '\\'>("\xc3\xa9\x7f\xff", 0)), 4u);  // high bytes are text
}

}  // namespace
}  // namespace tq
