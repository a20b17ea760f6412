// File: model/background_release.h
//
// Freeing what a large parse built (millions of events, each with strings of
// its own) takes seconds. A parse that was asked to stop answers at once and
// leaves the freeing to a thread of its own:
//
//   if (stopped) {
//     release_in_background(std::move(events));
//     return std::unexpected(...);
//   }
//
// When no thread can be had, the value stays with the caller, who frees it
// as usual. Nothing that outlives the call may point into the value.
#pragma once

#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

namespace tq {

template <typename T>
void release_in_background(T&& value) noexcept {
  static_assert(!std::is_lvalue_reference_v<T>, "give the value away with std::move");
  try {
    auto owned = std::make_unique<T>(std::move(value));
    std::thread([owned = std::move(owned)]() mutable { owned.reset(); }).detach();
  } catch (...) {
    // No memory or no thread: whatever was taken is freed here instead.
  }
}

}  // namespace tq
