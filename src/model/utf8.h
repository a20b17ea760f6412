// File: model/utf8.h
//
// One UTF-8 decoder step shared by the validators and the lossy converter, so
// that "invalid" means the same everywhere.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tq {

struct Utf8Step {
  size_t length;    // bytes of the valid sequence, or of the bad prefix (>= 1)
  bool valid;       // a complete, well-formed scalar value
  bool incomplete;  // bad only because the text ends inside the sequence
};

// Decodes the sequence starting at bytes[i] (i < bytes.size()).
Utf8Step utf8_step(std::string_view bytes, size_t i);

// "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}"; none when `bytes` is valid.
std::optional<std::string> utf8_error(std::string_view bytes);

}  // namespace tq
