// File: output/scan.h
//
// Finding the bytes a writer must treat specially (quote, escape) in text that
// mostly holds none: sixteen bytes at a time where the CPU allows.
//
//   size_t at = find_special<true, '"', '\\'>(text, 0);              // JSON
//   bool quoted = find_special<false, ',', '"', '\r', '\n'>(cell, 0) < cell.size();  // CSV
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tq {

// The position of the first byte of `text` at or after `from` that is one of
// `Bytes` or, with `Controls`, below 0x20; text.size() if none. The bytes are
// fixed when compiled, so each writer's scan is as tight as one written for it.
template <bool Controls, char... Bytes>
std::size_t find_special(std::string_view text, std::size_t from) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i last_control = _mm_set1_epi8(0x1F);
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    // Unsigned x <= 0x1F exactly when max(x, 0x1F) == 0x1F.
    __m128i hits = Controls ? _mm_cmpeq_epi8(_mm_max_epu8(x, last_control), last_control)
                            : _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(x, _mm_set1_epi8(Bytes)))), ...);
    if (const int mask = _mm_movemask_epi8(hits); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
  }
#endif
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((Controls && c < 0x20) || ((text[i] == Bytes) || ...)) return i;
  }
  return text.size();
}

}  // namespace tq
