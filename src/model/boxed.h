// File: model/boxed.h
//
// An optional record kept on the heap, for the members most events lack.
#pragma once

#include <memory>
#include <optional>
#include <utility>

namespace tq {

// An optional record kept on the heap, with the interface of std::optional.
// Events are moved many times on their way into a report; most have no artifact
// or file times, and boxing those records keeps every event small to move.
template <typename T>
class Boxed {
 public:
  Boxed() = default;
  Boxed(std::nullopt_t) {}  // NOLINT: converts like std::optional
  Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT
  Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  Boxed& operator=(std::nullopt_t) {
    p_.reset();
    return *this;
  }
  Boxed& operator=(T value) {
    if (p_) {
      *p_ = std::move(value);
    } else {
      p_ = std::make_unique<T>(std::move(value));
    }
    return *this;
  }

  bool has_value() const { return p_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  T& emplace() {
    p_ = std::make_unique<T>();
    return *p_;
  }
  // The record held, made empty first when there is none.
  T& held() {
    if (!p_) p_ = std::make_unique<T>();
    return *p_;
  }
  void reset() { p_.reset(); }

  friend bool operator==(const Boxed& a, std::nullopt_t) { return !a.has_value(); }

 private:
  std::unique_ptr<T> p_;  // null when absent
};

}  // namespace tq
