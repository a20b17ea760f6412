// File: store/words.h
//
// The fixed-width numbers a store's records begin with: 32-bit words in the
// machine's order, as the records never leave the process that wrote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tq::store {

inline constexpr size_t kWordSize = sizeof(uint32_t);

inline void put_word(std::string& out, uint32_t value) {
  char bytes[kWordSize];
  std::memcpy(bytes, &value, kWordSize);
  out.append(bytes, kWordSize);
}

// The word at `at`, which the caller has checked lies within `bytes`.
inline uint32_t word_at(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, kWordSize);
  return value;
}

}  // namespace tq::store
