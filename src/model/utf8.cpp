#include "model/utf8.h"
#include "model/text.h"

#include <cstdint>
#include <cstring>

namespace tq {

Utf8Step utf8_step(std::string_view bytes, size_t i) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  const unsigned char c = s[i];
  if (c < 0x80) return {1, true, false};
  size_t len = 0;
  // The second byte's range excludes overlong forms, surrogates and values
  // beyond U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false, false};
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= n) return {k, false, true};
    const unsigned char b = s[i + k];
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {k, false, false};
  }
  return {len, true, false};
}

std::optional<std::string> utf8_error(std::string_view bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time: most of the agents' text is ASCII.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const Utf8Step step = utf8_step(bytes, i);
    if (step.incomplete) return concat("incomplete utf-8 byte sequence from index ", i);
    if (!step.valid) {
      return concat("invalid utf-8 sequence of ", step.length, " bytes from index ", i);
    }
    i += step.length;
  }
  return std::nullopt;
}

}  // namespace tq
