// File: output/scan.h
//
// Finding the bytes a writer must treat specially (quote, escape) in text that
// mostly holds none: sixteen bytes at a time where the CPU allows.
//
//   size_t at = find_special(text, 0, "\"\\", /*controls=*/true);  // JSON
//   bool quoted = find_special(cell, 0, ",\"\r\n", false) < cell.size();  // CSV
#pragma once

#include <cstddef>
#include <string_view>

namespace tq {

// The position of the first byte of `text` at or after `from` that is one of
// `bytes` (at most four) or, with `controls`, below 0x20; text.size() if none.
std::size_t find_special(std::string_view text, std::size_t from, std::string_view bytes,
                         bool controls);

}  // namespace tq
