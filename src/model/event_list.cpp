#include "model/event_list.h"

#include <algorithm>

namespace tq {

namespace {

// Blocks double the list, so that a long list keeps few blocks while a short
// one (a history line gives one or two events, most files a few) allocates no
// room it doesn't use; the cap keeps one block's memory modest.
constexpr size_t kMinBlock = 1;
constexpr size_t kMaxBlock = 4096;

}  // namespace

void EventList::push_back(TimelineEvent event) {
  if (blocks_.empty() || blocks_.back().size() == blocks_.back().capacity()) {
    reserve(std::clamp(size_, kMinBlock, kMaxBlock));
  }
  blocks_.back().push_back(std::move(event));
  ++size_;
}

void EventList::reserve(size_t count) {
  if (!blocks_.empty()) {
    const auto& last = blocks_.back();
    if (last.capacity() - last.size() >= count) return;
    // An empty last block is only ever one made by an earlier reserve.
    if (last.empty()) {
      blocks_.pop_back();
      starts_.pop_back();
    }
  }
  if (count == 0) return;
  blocks_.emplace_back().reserve(count);
  starts_.push_back(size_);
}

void EventList::shrink_to_fit() {
  if (blocks_.empty()) return;
  if (blocks_.back().empty()) {
    blocks_.pop_back();
    starts_.pop_back();
    return;
  }
  blocks_.back().shrink_to_fit();
}

void EventList::append(std::vector<TimelineEvent>&& events) {
  if (events.empty()) return;
  if (!blocks_.empty() && blocks_.back().empty()) {
    blocks_.pop_back();
    starts_.pop_back();
  }
  const size_t count = events.size();
  blocks_.push_back(std::move(events));
  starts_.push_back(size_);
  size_ += count;
  events.clear();
}

void EventList::append(EventList&& events) {
  for (auto& block : events.blocks_) append(std::move(block));
  events.blocks_.clear();
  events.starts_.clear();
  events.size_ = 0;
}

TimelineEvent& EventList::operator[](size_t i) {
  // Readers look back at what they just added far more often than further.
  size_t block = starts_.size() - 1;
  if (i < starts_.back()) {
    block =
        static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) - starts_.begin()) -
        1;
  }
  return blocks_[block][i - starts_[block]];
}

EventTable::EventTable(std::vector<TimelineEvent> events)
    : EventTable(EventList(std::move(events))) {}

EventTable::EventTable(EventList events) : events_(std::move(events)) {
  order_.reserve(events_.size());
  for (TimelineEvent& e : events_) order_.push_back(&e);
}

EventTable::EventTable(const EventTable& other) {
  std::vector<TimelineEvent> copy;
  copy.reserve(other.size());
  for (const TimelineEvent& e : other) copy.push_back(e);
  *this = EventTable(std::move(copy));
}

EventTable& EventTable::operator=(const EventTable& other) {
  if (this != &other) *this = EventTable(other);
  return *this;
}

void EventTable::push_back(TimelineEvent event) {
  events_.push_back(std::move(event));
  order_.push_back(&events_.back());
}

}  // namespace tq
