// File: jsonl/line_reader.h
//
// Reading the agents' JSON-lines files in one pass: a HashingReader feeds every
// byte read from the file into SHA-256, an 8 KiB buffer sits on top of it, and a
// BoundedLineReader splits the stream into lines while keeping at most
// max_line_size + 1 bytes of any one line. After iterating to the end,
// `finalize()` gives the digest of the whole file.
//
//   TQ_TRY(auto file, HashingReader::open(path));   // Result<HashingReader>
//   BoundedLineReader lines(std::move(file), options.max_line_size);
//   while (auto item = lines.next()) { ... item->index, item->text ... }
//   std::string digest = std::move(lines).finalize();
//
// Invalid UTF-8 produces an item with `error` set and reading goes on with the
// next line. A read error produces one item with `error` set and ends the file.
// A too-long line never fails.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "hash/evidence_file.h"
#include "hash/hash.h"
#include "model/utf8.h"
#include "parser/monitor.h"

namespace tq {

inline constexpr size_t kLineBufferSize = 8192;

// Owns an open file descriptor and a running digest of every byte read from it.
class HashingReader {
 public:
  // Opens for reading with O_NOATIME where permitted, so reading evidence leaves
  // its access time alone.
  static std::expected<HashingReader, std::error_code> open(const std::filesystem::path& path);

  // Reads up to `size` bytes; 0 at end of file. Retries interrupted reads.
  std::expected<size_t, std::error_code> read(char* buffer, size_t size);
  // Closes the file and returns the hex digest of everything read. Never fails.
  std::string finalize() &&;

 private:
  explicit HashingReader(EvidenceFile file) : file_(std::move(file)) {}
  EvidenceFile file_;
  Sha256 sha_;  // digest of every byte `read` has returned
};

struct LineItem {
  uint64_t index = 0;    // 0-based, one per item produced
  std::string text;      // the line without its line feed; placeholder x's when too long
  std::optional<std::string> error;  // read error or UTF-8 error text; text is empty then
  uint64_t length = 0;   // the line's real length in bytes (saturating)
  bool too_long = false;
};

class BoundedLineReader {
 public:
  // A `monitor` (may be null) is asked before every read; once it asks to stop,
  // the file ends there.
  BoundedLineReader(HashingReader file, uint64_t max_line_size, ParseMonitor* monitor = nullptr);

  // The next line, or none at end of file. The returned item is reused storage:
  // it stays valid until the next call.
  const LineItem* next();
  std::string finalize() && { return std::move(file_).finalize(); }

 private:
  HashingReader file_;
  uint64_t max_line_size_;    // 0: no limit
  ParseMonitor* monitor_;     // not owned; may be null
  std::vector<char> buffer_;  // kLineBufferSize bytes
  size_t pos_ = 0;            // next unread byte in buffer_
  size_t fill_ = 0;           // bytes of buffer_ holding data
  uint64_t next_index_ = 0;
  bool failed_ = false;  // a read failed; no more items
  LineItem item_;
};

}  // namespace tq
