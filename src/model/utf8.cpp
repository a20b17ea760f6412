#include "model/utf8.h"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "model/text.h"

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
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) return std::nullopt;
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

size_t Utf8Pieces::sequence_length(char lead) {
  const auto c = static_cast<unsigned char>(lead);
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 1;
}

size_t Utf8Pieces::complete_prefix(std::string_view bytes) {
  const size_t n = bytes.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;
    return sequence_length(bytes[n - back]) > back ? n - back : n;
  }
  return n;
}

void Utf8Measure::add(std::string_view bytes) {
  pieces_.feed(bytes, [this](std::string_view piece) { measure(piece, false); });
}

void Utf8Measure::finish() {
  if (!pieces_.rest().empty()) measure(pieces_.rest(), true);
}

uint32_t Utf8Measure::widest() const {
  // Continuation bytes stay below 0xC2, so the largest byte tells the width:
  // lead bytes C2-C3 start U+0080-U+00FF, C4-EF the rest of the plane.
  if (widest_byte_ < 0x80) return 0x7F;
  if (widest_byte_ < 0xC4) return 0xFF;
  if (widest_byte_ < 0xF0) return 0xFFFF;
  return 0x10FFFF;
}

void Utf8Measure::measure(std::string_view piece, bool last) {
  // The vectorised check answers for nearly every piece; the step-by-step walk
  // runs only to word the first error.
  if (!error_ && !simdjson::validate_utf8(piece.data(), piece.size())) {
    for (size_t i = 0; i < piece.size();) {
      const Utf8Step step = utf8_step(piece, i);
      if (!step.valid) {
        error_ = step.incomplete && last
                     ? concat("incomplete utf-8 byte sequence from index ", offset_ + i)
                     : concat("invalid utf-8 sequence of ", step.length, " bytes from index ",
                              offset_ + i);
        break;
      }
      i += step.length;
    }
  }
  size_t starts = 0;
  unsigned char widest = widest_byte_;
  for (char ch : piece) {
    const auto c = static_cast<unsigned char>(ch);
    starts += (c & 0xC0) != 0x80;
    widest = std::max(widest, c);
  }
  characters_ += starts;
  widest_byte_ = widest;
  offset_ += piece.size();
}

std::string escape_invalid_utf8(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() + 16);
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (step.valid) {
      text.append(bytes.substr(i, step.length));
    } else {
      // Each byte of a bad sequence on its own, so that no two differ alike.
      for (size_t k = i; k < i + step.length; ++k) {
        const auto byte = static_cast<unsigned char>(bytes[k]);
        text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      }
    }
    i += step.length;
  }
  return text;
}

}  // namespace tq
