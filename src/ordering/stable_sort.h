// File: ordering/stable_sort.h
//
// The one sort of the report order, for every representation of the events
// it is given (events in memory, the store's fixed-size keys): the same
// algorithm over the same comparison answers gives the same order, even
// where the comparison is not transitive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace tq {

// A stable sort that stays well-defined whatever the comparison answers: the
// event order is not transitive in contrived inputs (equal times and snapshot
// ids that make the chain key and the path key disagree), and library sorts may
// then misbehave. Every index is bounds-checked. Short lists are sorted by
// insertion, longer ones by a bottom-up merge over insertion-sorted runs.
namespace stable_sort_internal {

inline constexpr size_t kInsertionSortMax = 20;

template <typename T, typename Less>
void insertion_sort(std::span<T> v, const Less& less) {
  for (size_t i = 1; i < v.size(); ++i) {
    size_t j = i;
    while (j > 0 && less(v[i], v[j - 1])) --j;
    if (j == i) continue;
    T moving = std::move(v[i]);
    std::move_backward(v.begin() + static_cast<ptrdiff_t>(j), v.begin() + static_cast<ptrdiff_t>(i),
                       v.begin() + static_cast<ptrdiff_t>(i) + 1);
    v[j] = std::move(moving);
  }
}

}  // namespace stable_sort_internal

// How many items a sort moves between two questions to its monitor: few
// enough that a stop is seen within milliseconds, many enough that asking costs
// nothing measurable.
inline constexpr size_t kItemsBetweenStopChecks = size_t{1} << 16;

// False when `stopped` said so before the sort was done, and `items` is then
// left unspecified (some moved from): a stopped parse is thrown away whole.
// `stopped` is asked once every kItemsBetweenStopChecks items placed.
template <typename T, typename Less, typename Stopped>
bool stable_sort_bounded(std::vector<T>& items, const Less& less, const Stopped& stopped) {
  using stable_sort_internal::insertion_sort;
  using stable_sort_internal::kInsertionSortMax;
  static_assert((kItemsBetweenStopChecks & (kItemsBetweenStopChecks - 1)) == 0);
  const size_t n = items.size();
  for (size_t start = 0; start < n; start += kInsertionSortMax) {
    insertion_sort(std::span(items).subspan(start, std::min(kInsertionSortMax, n - start)), less);
    const size_t run = start / kInsertionSortMax;
    if (run % (kItemsBetweenStopChecks / kInsertionSortMax) == 0 && stopped()) return false;
  }
  if (n <= kInsertionSortMax) return true;
  std::vector<T> scratch(n);
  std::vector<T>* from = &items;
  std::vector<T>* to = &scratch;
  for (size_t width = kInsertionSortMax; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, k = lo;
      // Taking from the left run unless the right one is strictly smaller keeps
      // equal items in their original order.
      while (i < mid && j < hi) {
        (*to)[k++] = std::move(less((*from)[j], (*from)[i]) ? (*from)[j++] : (*from)[i++]);
        if (k % kItemsBetweenStopChecks == 0 && stopped()) return false;
      }
      while (i < mid) (*to)[k++] = std::move((*from)[i++]);
      while (j < hi) (*to)[k++] = std::move((*from)[j++]);
    }
    std::swap(from, to);
  }
  if (from != &items) items = std::move(*from);
  return true;
}

}  // namespace tq
