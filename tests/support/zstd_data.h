// File: support/zstd_data.h
//
// zstd data built in the test from exact bytes, as Codex stores its older
// rollouts: `zstd_frame("a\n")` is one complete frame; frames concatenate.
#pragma once

#include <zstd.h>

#include <string>
#include <string_view>

namespace tq::testing {

inline std::string zstd_frame(std::string_view bytes) {
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 3);
  out.resize(ZSTD_isError(n) ? 0 : n);
  return out;
}

}  // namespace tq::testing
