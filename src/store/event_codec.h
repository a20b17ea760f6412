// File: store/event_codec.h
//
// One event as a compact string of bytes and back, for a store that keeps a
// timeline's events as bytes and decodes each when it is read. The encoding
// is lossless: decoding gives back every member the event held, absent and
// empty kept apart, JSON values with their members in the order held and
// their numbers in the kind held; only the sharing of Shared values is not
// kept (a decoded event holds its own copies).
//
// It is compact because a timeline's events repeat a few texts many times
// (a file's path and digest, a session, a directory, a record type, a tool,
// a model, the keys of the records' JSON): those live once in a `TextTable`
// and an event refers to them by index. Integers and lengths are variable
// length, lowercase hex ids and digests are kept as the bytes they spell,
// and an absent member costs one bit of its record's presence mask.
//
//   TextTable texts;
//   std::string bytes;
//   encode_event(event, texts, bytes);
//   TQ_TRY(TimelineEvent back, decode_event(bytes, texts));
//
// Encoding allocates nothing beyond `out` growing and the table taking new
// texts. Decoding checks every length, index and tag against the bytes it is
// given: bytes that are not exactly one encoding made with the same table
// give an `Internal` error, never a read past their end. Neither throws on
// bad input. A table is not thread-safe while it takes texts; once it takes
// no more, any number of threads may decode with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "model/records.h"
#include "store/chunked.h"

namespace tq::store {

// The index of no text: an absent file digest.
inline constexpr uint32_t kNoText = 0xFFFFFFFF;

// Texts many events repeat, each kept once and referred to by a 32-bit index.
// A text's bytes never move once taken, so the views `at` returns stay valid
// for the table's life.
class TextTable {
 public:
  TextTable() = default;
  TextTable(const TextTable&) = delete;
  TextTable& operator=(const TextTable&) = delete;
  TextTable(TextTable&&) noexcept = default;
  TextTable& operator=(TextTable&&) noexcept = default;

  // The same text always gives the same index; a new text the next one.
  uint32_t intern(std::string_view text);
  // `index` < size().
  std::string_view at(uint32_t index) const { return texts_[index]; }
  size_t size() const { return texts_.size(); }
  // The bytes the table holds: its texts, their views and its index.
  size_t bytes() const;

 private:
  std::string_view keep(std::string_view text);
  void grow_index();

  static constexpr size_t kBlockSize = size_t{1} << 16;
  static constexpr size_t kViewBlock = 4096;
  std::vector<std::unique_ptr<char[]>> blocks_;  // texts' bytes; a long text has its own
  size_t block_used_ = kBlockSize;               // bytes taken of blocks_'s last block
  size_t block_bytes_ = 0;                       // every block's size, summed
  Chunked<std::string_view, kViewBlock> texts_;  // by index, into blocks_
  std::vector<uint32_t> slots_;  // open addressing by the text's hash: an index, or kNoText
};

// Appends the encoding of `e` to `out`, interning its repeated texts in `texts`.
void encode_event(const TimelineEvent& e, TextTable& texts, std::string& out);

// The event that `bytes` (exactly one encoding, made with `texts`) holds.
[[nodiscard]] Result<TimelineEvent> decode_event(std::string_view bytes, const TextTable& texts);

// Cheap reads of an encoding without a whole decode, for a store's sorting
// and stamping. Each encoding starts with its file digest as a fixed-width
// text index, kNoText when absent, so that a store may give a file's events
// their digest once the file is read, after encoding them.
//
// The event's id as the event holds it; empty when `bytes` are not an encoding.
std::string event_id_of(std::string_view bytes);
// The file digest's index; kNoText when absent or `bytes` are not an encoding.
uint32_t file_digest_of(std::string_view bytes);
// Sets the file digest's index of the encoding that starts at `encoding`
// (at least its first four bytes).
void set_file_digest(std::span<char> encoding, uint32_t index);

}  // namespace tq::store
