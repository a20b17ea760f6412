// File: context/options.h
//
// The options of one parse, filled by the module functions from their arguments:
// values only, which the parse reads and never changes. What one call lends or
// sets up for itself (scope, monitor, accounts) is its context (context/context.h).
#pragma once

#include <cstdint>

#include "model/model.h"

namespace tq {

inline constexpr uint64_t kDefaultMaxLineSize = 10485760;     // 10 MiB
inline constexpr uint64_t kDefaultMaxContentSize = 52428800;  // 50 MiB
// Codex's rollouts expand 3 to 10 times under zstd; a file that expands more
// than a hundred times is taken for a decompression bomb, whose cost would
// otherwise grow with what it expands to rather than with its size.
inline constexpr uint64_t kDefaultMaxDecompressionRatio = 100;

struct ParserOptions {
  uint64_t max_line_size = kDefaultMaxLineSize;        // 0: no limit
  uint64_t max_content_size = kDefaultMaxContentSize;  // 0: no limit
  // A compressed file decompresses to at most this many times its stored
  // size (kDecompressedSizeFloor at least; jsonl/line_reader.h). 0: no limit.
  uint64_t max_decompression_ratio = kDefaultMaxDecompressionRatio;
  InputKind input_kind = InputKind::Auto;  // Auto: detect
  ParseMode mode = ParseMode::BestEffort;
  bool include_raw = false;
  bool include_content = false;
  bool follow_symlinks = false;
  // Threads that read and hash files; 1 reads on the calling thread only and
  // starts no thread. The report is the same for every count.
  unsigned workers = 1;
  // The whole surface of Timeline and the command: also read Claude Code's
  // session transcripts (`projects/`), and give the records agents write today
  // the event types and messages the module functions, whose output is fixed,
  // don't give them. Off, a parse reads only the history, the caches, the
  // snapshots and the rollouts, as the module functions do.
  bool transcripts = false;

  bool strict() const { return mode == ParseMode::Strict; }
};

// What a parse whose caller sets nothing reads with.
inline constexpr ParserOptions kDefaultParserOptions{};

// The fields a parse's records hold in every output of them: the whole
// surface's with transcripts, the module functions' without.
inline Surface output_surface(const ParserOptions& options) {
  return options.transcripts ? Surface::Whole : Surface::Functions;
}

}  // namespace tq
