// File: store/spill.h
//
// A `SpillArea` keeps byte strings appended one after another and gives them
// back by position. It holds them in memory up to a budget; the append that
// would pass the budget moves everything kept so far into one temporary file
// and every later append goes there too, so a caller that renders more than
// fits in memory pays with disk, not with the machine's memory.
//
//   SpillArea area;
//   TQ_TRY(uint64_t at, area.append(rendered));
//   std::string out;
//   TQ_CHECK(area.read_many(ranges_in_output_order, out));
//
// The temporary file is made in the system's temporary directory with mode
// 0600 and has no name from the moment it exists: nothing can open it from
// outside, and however the process ends (an error, an interrupted call, a
// crash) it leaves nothing behind; the descriptor closes with the area.
//
// Every failure of the system (the directory can't take a file, the disk is
// full) is an `Io` error naming the temporary directory with the system's
// text. A failed append leaves the area as it was: the bytes appended before it
// stay readable. Appends are not thread-safe; once appending is over, reads may
// run from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"

namespace tq::store {

// 8 MiB keeps a small home's rendered events off the disk, while a large
// one's (hundreds of MiB) cost a conversion no more memory than its keys:
// the rest lives in the page cache, which the system may drop, and copying
// through it costs little beside rendering.
inline constexpr size_t kDefaultSpillBudget = size_t{8} << 20;

// Appends to the file are gathered into writes of this size: one system call
// per event would cost more than rendering it. An append this long is written
// without a copy.
inline constexpr size_t kSpillWriteBatch = size_t{1} << 20;

// `TMPDIR` when set and not empty, else /tmp: never the current directory,
// which is often the evidence's own.
std::filesystem::path system_temporary_directory();

// A stretch of an area's bytes.
struct Range {
  uint64_t offset = 0;
  size_t size = 0;
};

class SpillArea {
 public:
  explicit SpillArea(size_t budget = kDefaultSpillBudget,
                     std::filesystem::path directory = system_temporary_directory());
  ~SpillArea();
  SpillArea(SpillArea&& other) noexcept;
  SpillArea& operator=(SpillArea&&) = delete;
  SpillArea(const SpillArea&) = delete;
  SpillArea& operator=(const SpillArea&) = delete;

  // Copies `bytes` in and returns their offset (the area's size before).
  [[nodiscard]] Result<uint64_t> append(std::string_view bytes);

  // Writes `bytes` over the area's bytes at `offset`, which must all have been
  // appended before: a text whose value was not known when it was appended
  // (a file's digest) is put in its place.
  [[nodiscard]] Status overwrite(uint64_t offset, std::string_view bytes);
  // The same at each of `offsets`, for the many events of one file that all
  // take its digest: offsets that lie close together in the file are written
  // with one read and one write of the stretch that holds them, not a system
  // call each.
  [[nodiscard]] Status overwrite_each(std::span<const uint64_t> offsets, std::string_view bytes);

  // Reads `size` bytes at `offset` into `into`.
  [[nodiscard]] Status read(uint64_t offset, size_t size, char* into) const;
  // Appends the bytes of every range to `into`, in the order given. Ranges that
  // lie close together in the file are read with one system call. On an error
  // `into` is left as it was.
  [[nodiscard]] Status read_many(std::span<const Range> ranges, std::string& into) const;

  uint64_t size() const { return size_; }
  // Whether the bytes live in the temporary file.
  bool spilled() const { return fd_ >= 0; }
  // The temporary file's descriptor, -1 while the bytes are in memory.
  int descriptor() const { return fd_; }

 private:
  [[nodiscard]] Status spill();
  [[nodiscard]] Status flush();
  [[nodiscard]] Status write_at(uint64_t offset, std::string_view bytes);
  [[nodiscard]] Status fill(std::span<const Range> ranges, std::string& into) const;
  [[nodiscard]] Status read_file(uint64_t offset, size_t size, char* into) const;
  [[nodiscard]] Error failure(int error_number) const;
  // How many of the `size` bytes at `offset` are in the file; the rest wait
  // in pending_.
  size_t written_part(uint64_t offset, size_t size) const;

  size_t budget_;
  std::filesystem::path directory_;
  int fd_ = -1;           // the nameless temporary file, once spilled
  uint64_t size_ = 0;     // bytes appended
  uint64_t written_ = 0;  // bytes in the file; the rest of size_ is in pending_
  std::string memory_;    // every byte while not spilled; empty after
  std::string pending_;   // bytes [written_, size_) not yet written to the file
};

}  // namespace tq::store
