// File: model/event_list.h
//
// The two containers events live in on their way to a report.
//
// `EventList` is what readers fill and hand up: an append-only list whose
// events never move once added. It is kept as blocks, so growing it and
// appending one list to another (a file's events to its directory's, a
// directory's to its profile's) hands blocks over instead of moving events.
//
// `EventTable` is the report's list: the gathered events, still where the
// readers put them, in the order given by a list of positions. Ordering a
// report permutes those positions only.
//
//   EventList files;
//   files.push_back(event);
//   files.append(std::move(other_files));     // no event moves
//   EventTable table(std::move(files), order);
//   for (const TimelineEvent& e : table) ...  // in `order`
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <type_traits>
#include <vector>

#include "model/records.h"

namespace tq {

// What the standard library asks of an iterator over events; `Const` iterators
// read only.
template <typename Category, bool Const>
struct EventIteratorTypes {
  using iterator_category = Category;
  using value_type = TimelineEvent;
  using difference_type = std::ptrdiff_t;
  using pointer = std::conditional_t<Const, const TimelineEvent*, TimelineEvent*>;
  using reference = std::conditional_t<Const, const TimelineEvent&, TimelineEvent&>;
};

class EventList {
 public:
  template <bool Const>
  class Iterator : public EventIteratorTypes<std::forward_iterator_tag, Const> {
   public:
    using typename EventIteratorTypes<std::forward_iterator_tag, Const>::pointer;
    using typename EventIteratorTypes<std::forward_iterator_tag, Const>::reference;
    using Blocks = std::conditional_t<Const, const std::vector<std::vector<TimelineEvent>>,
                                      std::vector<std::vector<TimelineEvent>>>;

    Iterator() = default;
    Iterator(Blocks* blocks, size_t block, size_t at) : blocks_(blocks), block_(block), at_(at) {
      settle();
    }
    reference operator*() const { return (*blocks_)[block_][at_]; }
    pointer operator->() const { return &**this; }
    Iterator& operator++() {
      ++at_;
      settle();
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.block_ == b.block_ && a.at_ == b.at_;
    }

   private:
    // Steps over the end of a block (and over an empty one), so that the end
    // of the list has one position.
    void settle() {
      while (block_ < blocks_->size() && at_ >= (*blocks_)[block_].size()) {
        ++block_;
        at_ = 0;
      }
    }

    Blocks* blocks_ = nullptr;
    size_t block_ = 0;
    size_t at_ = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  EventList() = default;
  EventList(std::vector<TimelineEvent> events) { append(std::move(events)); }  // NOLINT

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  void push_back(TimelineEvent event);
  // Makes room for `count` more events in one block, so that a reader that
  // knows how many it will add allocates once.
  void reserve(size_t count);
  // Gives back the room the last block holds beyond its events. It moves
  // that block's events, so only a list nothing points into may be shrunk:
  // a file's list once its reader is done with it.
  void shrink_to_fit();
  // Takes every event of `events` (which is left empty), after those held.
  void append(EventList&& events);
  void append(std::vector<TimelineEvent>&& events);

  TimelineEvent& operator[](size_t i);
  const TimelineEvent& operator[](size_t i) const {
    return const_cast<EventList&>(*this)[i];  // NOLINT: same lookup, read-only result
  }
  TimelineEvent& front() { return (*this)[0]; }
  const TimelineEvent& front() const { return (*this)[0]; }
  TimelineEvent& back() { return (*this)[size_ - 1]; }
  const TimelineEvent& back() const { return (*this)[size_ - 1]; }

  iterator begin() { return iterator(&blocks_, 0, 0); }
  iterator end() { return iterator(&blocks_, blocks_.size(), 0); }
  const_iterator begin() const { return const_iterator(&blocks_, 0, 0); }
  const_iterator end() const { return const_iterator(&blocks_, blocks_.size(), 0); }

 private:
  std::vector<std::vector<TimelineEvent>> blocks_;
  std::vector<size_t> starts_;  // the position of each block's first event
  size_t size_ = 0;
};

class EventTable {
 public:
  template <bool Const>
  class Iterator : public EventIteratorTypes<std::random_access_iterator_tag, Const> {
   public:
    using typename EventIteratorTypes<std::random_access_iterator_tag, Const>::pointer;
    using typename EventIteratorTypes<std::random_access_iterator_tag, Const>::reference;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    explicit Iterator(TimelineEvent* const* at) : at_(at) {}
    reference operator*() const { return **at_; }
    pointer operator->() const { return *at_; }
    reference operator[](difference_type n) const { return *at_[n]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    Iterator operator++(int) { return Iterator(at_++); }
    Iterator& operator--() {
      --at_;
      return *this;
    }
    Iterator operator--(int) { return Iterator(at_--); }
    Iterator& operator+=(difference_type n) {
      at_ += n;
      return *this;
    }
    Iterator& operator-=(difference_type n) {
      at_ -= n;
      return *this;
    }
    friend Iterator operator+(Iterator i, difference_type n) { return i += n; }
    friend Iterator operator+(difference_type n, Iterator i) { return i += n; }
    friend Iterator operator-(Iterator i, difference_type n) { return i -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) { return a.at_ - b.at_; }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }
    friend auto operator<=>(const Iterator& a, const Iterator& b) { return a.at_ <=> b.at_; }

   private:
    TimelineEvent* const* at_ = nullptr;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  EventTable() = default;
  // The events of `events` in the order they are held.
  EventTable(std::vector<TimelineEvent> events);  // NOLINT: a list is a table in its own order
  EventTable(EventList events);                   // NOLINT
  EventTable(std::initializer_list<TimelineEvent> events)
      : EventTable(std::vector<TimelineEvent>(events)) {}
  // `order` holds each event of `events` once, by address.
  EventTable(EventList events, std::vector<TimelineEvent*> order)
      : events_(std::move(events)), order_(std::move(order)) {}
  EventTable(EventTable&&) noexcept = default;
  EventTable& operator=(EventTable&&) noexcept = default;
  // A copy holds its own events, in the same order.
  EventTable(const EventTable& other);
  EventTable& operator=(const EventTable& other);

  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  TimelineEvent& operator[](size_t i) { return *order_[i]; }
  const TimelineEvent& operator[](size_t i) const { return *order_[i]; }
  TimelineEvent& front() { return *order_.front(); }
  const TimelineEvent& front() const { return *order_.front(); }
  TimelineEvent& back() { return *order_.back(); }
  const TimelineEvent& back() const { return *order_.back(); }

  iterator begin() { return iterator(order_.data()); }
  iterator end() { return iterator(order_.data() + order_.size()); }
  const_iterator begin() const { return const_iterator(order_.data()); }
  const_iterator end() const { return const_iterator(order_.data() + order_.size()); }

  void push_back(TimelineEvent event);

 private:
  EventList events_;
  std::vector<TimelineEvent*> order_;
};

}  // namespace tq
