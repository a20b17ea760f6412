// File: jsonl/line_reader.h
//
// Reading the agents' JSON-lines files in one pass: a HashingReader feeds every
// byte read from the file into SHA-256, a buffer of up to kLineBufferSize sits
// on top of it, and a BoundedLineReader splits the stream into lines while
// keeping at most max_line_size + 1 bytes of any one line. After iterating to the end,
// `finalize()` gives the digest of the whole file. A zstd-compressed file is
// read through a ZstdReader between the two: the digest stays that of the
// bytes as stored, and the lines are those of the decompressed text, under the
// same rules and the same memory bound.
//
//   auto lines = BoundedLineReader::open(path, Compression::None, options.max_line_size,
//                                        options.max_decompression_ratio, context.scope);
//   if (!lines) { ...lines.error() is the system error of the open, or a refusal... }
//   while (auto item = lines->next()) { ... item->index, item->text ... }
//   std::string digest = std::move(*lines).finalize();
//
// Invalid UTF-8 produces an item with a `failure` and reading goes on with the
// next line. A read error, compressed data that can't be decoded, or more
// decompressed data than the file's limit, produces one item with a `failure`
// and ends the file; the complete lines before it stand, the partial line the
// failure cut is dropped. A too-long line never fails.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "context/context.h"
#include "context/monitor.h"
#include "error/error.h"
#include "files/evidence_file.h"
#include "hash/hash.h"
#include "model/model.h"
#include "model/utf8.h"

struct ZSTD_DCtx_s;

namespace tq {

// The most a line reader reads at once (larger reads measured slower: the bytes
// leave the cache before they are scanned); a smaller file takes a buffer of
// its own size.
inline constexpr size_t kLineBufferSize = 64 * 1024;
// Allocated bytes every line's text has past its end, so that a JSON parser
// that reads ahead in wide blocks can parse the line where it lies.
inline constexpr size_t kLinePadding = 64;

// Owns an open file descriptor and a running digest of every byte read from it.
// A `monitor` (may be null) hears of every stored byte read, compressed or not.
class HashingReader {
 public:
  // Opens as every evidence file is opened (files/evidence_file.h).
  [[nodiscard]] static std::expected<HashingReader, std::error_code> open(
      const std::filesystem::path& path, EvidenceScope* scope = nullptr,
      ParseMonitor* monitor = nullptr);

  // Reads up to `size` bytes; 0 at end of file. Retries interrupted reads.
  [[nodiscard]] std::expected<size_t, std::error_code> read(char* buffer, size_t size);
  // Closes the file and returns the hex digest of everything read. Never fails.
  std::string finalize() &&;
  // The bytes not read yet, as far as the file's size when opened tells.
  uint64_t bytes_left() const;

 private:
  HashingReader(EvidenceFile file, ParseMonitor* monitor)
      : file_(std::move(file)), monitor_(monitor) {}
  EvidenceFile file_;
  uint64_t bytes_read_ = 0;
  Sha256 sha_;             // digest of every byte `read` has returned
  ParseMonitor* monitor_;  // not owned; may be null
};

// Why a line could not be read: its text is not UTF-8, or the bytes of the
// file stopped coming before its end.
struct LineFailure {
  enum class Kind : uint8_t {
    Utf8,           // the line is not UTF-8; the lines after it are read
    Read,           // the system failed a read; the file ends here
    Decompression,  // the stored bytes are no valid zstd data, or expand past
                    // their limit; the file ends here
  };
  Kind kind;
  std::string text;      // the UTF-8 error, os_error_text of the read's, or the decoder's
  std::error_code code;  // the system's error of a failed read; none otherwise
};

// Decompresses the zstd frames of a file as they are read, one input buffer at
// a time, so memory doesn't grow with the decompressed size. Every stored byte
// goes through the HashingReader. A frame may declare a window of up to
// 128 MiB (zstd's own default limit); one asking for more is refused as damage.
//
// The decompressed bytes are bounded by `limit`, as the time spent on them
// would otherwise grow with them even when every line is blank; past it the
// reader fails as on damaged data.
class ZstdReader {
 public:
  ZstdReader(HashingReader file, uint64_t limit);
  ZstdReader(ZstdReader&&) noexcept;
  ZstdReader& operator=(ZstdReader&&) noexcept;
  ~ZstdReader();

  // Up to `size` decompressed bytes; 0 after the last complete frame. Data
  // that ends inside a frame is a decompression failure. What was decoded
  // before a failure is returned first, the failure on the next call.
  std::expected<size_t, LineFailure> read(char* buffer, size_t size);
  // The digest of the whole stored file: bytes left unread after a failure are
  // hashed too, so it matches the file however far decoding got.
  std::string finalize() &&;

 private:
  struct ContextDeleter {
    void operator()(ZSTD_DCtx_s* context) const;
  };
  HashingReader file_;
  std::unique_ptr<ZSTD_DCtx_s, ContextDeleter> context_;
  std::vector<char> input_;  // stored bytes read but not yet decoded: [in_pos_, in_fill_)
  size_t in_pos_ = 0;
  size_t in_fill_ = 0;
  // A frame has begun and not yet been fully flushed. A zstd file holds at least
  // one frame, so an empty one stops short of its first, like a cut-off frame.
  bool in_frame_ = true;
  size_t next_piece_ = 1;               // stored bytes handed to the decoder's next call, at most
  uint64_t limit_;                      // decompressed bytes allowed in all
  uint64_t produced_ = 0;               // decompressed bytes returned so far; never above limit_
  std::optional<LineFailure> pending_;  // the limit, met after bytes still to be returned
};

// The most a compressed file of `stored_size` bytes may decompress to:
// `max_ratio` times its size, or kDecompressedSizeFloor if that is more, so
// that a small file of repetitive lines is never cut. 0: no limit.
inline constexpr uint64_t kDecompressedSizeFloor = uint64_t{64} << 20;
[[nodiscard]] uint64_t decompressed_size_limit(uint64_t stored_size, uint64_t max_ratio);

enum class Compression : uint8_t { None, Zstd };

struct LineItem {
  uint64_t index = 0;  // 0-based, one per item produced
  // The line without its line feed; placeholder x's when too long. Its storage
  // has kLinePadding bytes to spare past the end; the caller may take it away.
  std::string text;
  std::optional<LineFailure> failure;  // none: `text` is the line; else it is empty
  uint64_t length = 0;                 // the line's real length in bytes (saturating)
  bool too_long = false;
};

class BoundedLineReader {
 public:
  // A `monitor` (may be null) is asked before every read; once it asks to stop,
  // the file ends there. It hears of the bytes read through `open` only.
  BoundedLineReader(HashingReader file, uint64_t max_line_size, ParseMonitor* monitor = nullptr);
  BoundedLineReader(ZstdReader file, uint64_t max_line_size, ParseMonitor* monitor = nullptr);
  // Opens `path` as every evidence file is opened (files/evidence_file.h) and
  // reads it as stored or decompressed (ZstdReader, with `max_decompression_ratio`).
  [[nodiscard]] static std::expected<BoundedLineReader, std::error_code> open(
      const std::filesystem::path& path, Compression compression, uint64_t max_line_size,
      uint64_t max_decompression_ratio, EvidenceScope* scope = nullptr,
      ParseMonitor* monitor = nullptr);

  // The next line, or none at end of file. The returned item is reused storage:
  // it stays valid until the next call.
  LineItem* next();
  // The hex digest of the stored file.
  std::string finalize() &&;

 private:
  std::expected<size_t, LineFailure> read_source();

  std::variant<HashingReader, ZstdReader> source_;
  uint64_t max_line_size_;  // 0: no limit
  ParseMonitor* monitor_;   // not owned; may be null
  // Makes room in `text` for the rest of a long line at once.
  void reserve_long_line(std::string& text, uint64_t keep_limit);

  std::unique_ptr<char[]> buffer_;
  size_t buffer_size_;
  size_t pos_ = 0;   // next unread byte in buffer_
  size_t fill_ = 0;  // bytes of buffer_ holding data
  uint64_t next_index_ = 0;
  bool failed_ = false;  // a read failed; no more items
  LineItem item_;
};

// What a reader makes of an evidence file it can't open: a refusal of the
// parse's scope is a warning naming the file; running out of descriptors or
// memory is the Io error for `path` (machine_fault); any other error is the
// error diagnostic "{prefix}{error}". Both diagnostics are `unreadable_artifact`
// with `source`.
[[nodiscard]] Result<Diagnostic> unopenable_file_diagnostic(const std::filesystem::path& path,
                                                            const std::error_code& error,
                                                            SourceInfo source,
                                                            std::string_view prefix);

// A JSON-lines file of the evidence opened through the parse's scope, or the
// diagnostic that takes its place (unopenable_file_diagnostic, with the prefix
// "Cannot open file: "), so one unreadable file never ends a best-effort parse.
// In strict mode a file that can't be opened, refusals aside, is the Io error
// for `path`.
struct OpenedLineFile {
  std::optional<BoundedLineReader> lines;
  std::optional<Diagnostic> problem;  // set exactly when `lines` is not
};
[[nodiscard]] Result<OpenedLineFile> open_line_file(const std::filesystem::path& path,
                                                    Compression compression,
                                                    const ParseContext& context, SourceInfo source);

}  // namespace tq
