// File: model/utf8.h
//
// One UTF-8 decoder step shared by the validators and the lossy converter, so
// that "invalid" means the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The bytes with each byte of a sequence that is not valid UTF-8 written as
// \xNN (two lowercase hex digits) and everything else as it is.
std::string escape_invalid_utf8(std::string_view bytes);

// Cuts a stream of bytes into pieces that never end inside a UTF-8 sequence:
// the incomplete tail of one piece is held back and goes in front of the next.
class Utf8Pieces {
 public:
  // Calls f(piece) for each complete piece of `bytes` (none, one or two).
  template <typename F>
  void feed(std::string_view bytes, F&& f) {
    if (!held_.empty()) {
      while (!bytes.empty() && held_.size() < sequence_length(held_[0])) {
        held_.push_back(bytes.front());
        bytes.remove_prefix(1);
      }
      if (held_.size() < sequence_length(held_[0])) return;
      f(std::string_view(held_));
      held_.clear();
    }
    const size_t cut = complete_prefix(bytes);
    if (cut > 0) f(bytes.substr(0, cut));
    held_.assign(bytes.substr(cut));
  }
  // What is left at the end: a sequence the bytes stop inside of.
  std::string_view rest() const { return held_; }

 private:
  // The length a lead byte announces; 1 for bytes that start no sequence.
  static size_t sequence_length(char lead);
  // The length of `bytes` less a final sequence that runs past the end.
  static size_t complete_prefix(std::string_view bytes);

  std::string held_;  // an incomplete sequence, at most three bytes
};

// Measures a text given in pieces: its characters, the widest of them and the
// first bad sequence, in the words of `utf8_error`, with its index in the
// whole text.
class Utf8Measure {
 public:
  void add(std::string_view bytes);
  // Call once, after the last `add`.
  void finish();

  size_t characters() const { return characters_; }
  // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: the bound of the narrowest of the four
  // widths (ASCII, Latin-1, the Basic Multilingual Plane, all of Unicode) that
  // holds every character.
  uint32_t widest() const;
  const std::optional<std::string>& error() const { return error_; }

 private:
  void measure(std::string_view piece, bool last);

  Utf8Pieces pieces_;
  size_t characters_ = 0;
  unsigned char widest_byte_ = 0;
  size_t offset_ = 0;                 // bytes measured so far
  std::optional<std::string> error_;  // the first bad sequence
};

}  // namespace tq
