// File: support/zstd_data.h
//
// zstd data built in the test from exact bytes, as Codex stores its older
// rollouts: `zstd_frame("a\n")` is one complete frame; frames concatenate.
#pragma once

#include <zstd.h>

#include <string>
#include <string_view>

namespace tq::testing {

// With `checksum`, the frame ends in the checksum of its content, as the
// zstd command writes it.
inline std::string zstd_frame(std::string_view bytes, bool checksum = false) {
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  const size_t n = ZSTD_compress2(context, out.data(), out.size(), bytes.data(), bytes.size());
  ZSTD_freeCCtx(context);
  out.resize(ZSTD_isError(n) ? 0 : n);
  return out;
}

}  // namespace tq::testing
