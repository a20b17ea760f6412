// File: model/arrays.h
//
// Compile-time tables built from others: a table that adds a few entries to a
// shared one is the two joined, so the shared entries are written once.
//
//   constexpr std::array kWithContent = joined(kPlain, kContentOnly);
#pragma once

#include <array>
#include <cstddef>

namespace tq {

// The entries of `first` followed by those of `second`.
template <typename T, std::size_t N, std::size_t M>
constexpr std::array<T, N + M> joined(const std::array<T, N>& first,
                                      const std::array<T, M>& second) {
  std::array<T, N + M> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = first[i];
  for (std::size_t i = 0; i < M; ++i) out[N + i] = second[i];
  return out;
}

}  // namespace tq
