// File: output/selection.h
//
// The events a writer writes: a whole list, or the events at chosen positions
// of one, in the order of the positions. A selection refers to events it does
// not own; they must outlive it.
//
//   Status s = write_jsonl(target, report.events);             // all of them
//   Status t = write_jsonl(target, EventSelection(report.events, kept));
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model/model.h"

namespace tq {

class EventSelection {
 public:
  EventSelection(std::span<const TimelineEvent> events)  // NOLINT: all of a list
      : list_(events), count_(events.size()) {}
  EventSelection(const std::vector<TimelineEvent>& events)  // NOLINT
      : EventSelection(std::span<const TimelineEvent>(events)) {}
  EventSelection(const EventTable& events)  // NOLINT: all of a report's events
      : table_(&events), count_(events.size()) {}
  EventSelection(const EventTable& events, std::span<const size_t> positions)
      : table_(&events), positions_(positions), chosen_(true), count_(positions.size()) {}

  size_t size() const { return count_; }
  const TimelineEvent& operator[](size_t i) const {
    const size_t at = position(i);
    return table_ != nullptr ? (*table_)[at] : list_[at];
  }
  // Where the i-th selected event lies in the underlying list.
  size_t position(size_t i) const { return chosen_ ? positions_[i] : i; }

 private:
  std::span<const TimelineEvent> list_;  // the events, unless table_ is set
  const EventTable* table_ = nullptr;
  std::span<const size_t> positions_;  // each below the events' count; used when chosen_
  bool chosen_ = false;                // false: every event, in order
  size_t count_ = 0;
};

}  // namespace tq
