// File: store/chunked.h
//
// An append-only list kept in fixed blocks. A store's per-event lists grow to
// millions of entries; a std::vector would hold up to twice what it needs and,
// while it grows, its old and new arrays at once, which would be the peak of
// a whole conversion. Blocks never move and are never over-allocated by more
// than one block.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace tq::store {

template <typename T, size_t kBlock = size_t{1} << 16>
class Chunked {
 public:
  void push_back(const T& value) {
    if (size_ % kBlock == 0) blocks_.push_back(std::make_unique_for_overwrite<T[]>(kBlock));
    blocks_.back()[size_ % kBlock] = value;
    ++size_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return blocks_[i / kBlock][i % kBlock]; }
  const T& operator[](size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  T& back() { return (*this)[size_ - 1]; }
  const T& back() const { return (*this)[size_ - 1]; }
  // Frees every block.
  void clear() {
    blocks_.clear();
    blocks_.shrink_to_fit();
    size_ = 0;
  }

 private:
  std::vector<std::unique_ptr<T[]>> blocks_;
  size_t size_ = 0;
};

}  // namespace tq::store
