// File: model/text.h
//
// Message building. libstdc++ 12 has no <format>, so messages are put together
// with `concat`, which appends text pieces and decimal integers:
//
//   concat("Invalid JSON at line ", line, ": ", error)  // std::string
//
// Arguments: anything convertible to std::string_view, chars, and integers.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace tq {

namespace text_internal {

template <typename T>
void append_piece(std::string& out, const T& piece) {
  if constexpr (std::is_same_v<T, char>) {
    out.push_back(piece);
  } else if constexpr (std::is_same_v<T, bool>) {
    out.append(piece ? "true" : "false");
  } else if constexpr (std::integral<T>) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, piece);
    (void)ec;
    out.append(buffer, end);
  } else {
    out.append(std::string_view(piece));
  }
}

}  // namespace text_internal

template <typename... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  (text_internal::append_piece(out, pieces), ...);
  return out;
}

}  // namespace tq
