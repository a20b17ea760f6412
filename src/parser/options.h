// File: parser/options.h
//
// The options of one parse, filled by the module functions from their arguments.
#pragma once

#include <cstdint>

#include "model/model.h"

namespace tq {

inline constexpr uint64_t kDefaultMaxLineSize = 10485760;     // 10 MiB
inline constexpr uint64_t kDefaultMaxContentSize = 52428800;  // 50 MiB

struct ParserOptions {
  uint64_t max_line_size = kDefaultMaxLineSize;        // 0: no limit
  uint64_t max_content_size = kDefaultMaxContentSize;  // 0: no limit
  InputKind input_kind = InputKind::Auto;              // Auto: detect
  ParseMode mode = ParseMode::BestEffort;
  bool include_raw = false;
  bool include_content = false;
  bool follow_symlinks = false;
  // Also read Claude Code's session transcripts (`projects/`). Off, a parse reads
  // only the history, the caches and the snapshots.
  bool transcripts = false;

  bool strict() const { return mode == ParseMode::Strict; }
};

}  // namespace tq
