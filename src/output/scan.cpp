#include "output/scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tq {

std::size_t find_special(std::string_view text, std::size_t from, std::string_view bytes,
                         bool controls) {
  std::size_t i = from;
#if defined(__SSE2__)
  constexpr std::size_t kMostBytes = 4;
  __m128i wanted[kMostBytes];
  const std::size_t count = bytes.size() < kMostBytes ? bytes.size() : kMostBytes;
  for (std::size_t k = 0; k < count; ++k) wanted[k] = _mm_set1_epi8(bytes[k]);
  const __m128i last_control = _mm_set1_epi8(0x1F);
  for (; bytes.size() <= kMostBytes && i + 16 <= text.size(); i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    // Unsigned x <= 0x1F exactly when max(x, 0x1F) == 0x1F.
    __m128i hits = controls ? _mm_cmpeq_epi8(_mm_max_epu8(x, last_control), last_control)
                            : _mm_setzero_si128();
    for (std::size_t k = 0; k < count; ++k) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(x, wanted[k]));
    if (const int mask = _mm_movemask_epi8(hits); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
  }
#endif
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((controls && c < 0x20) || bytes.find(text[i]) != std::string_view::npos) return i;
  }
  return text.size();
}

}  // namespace tq
