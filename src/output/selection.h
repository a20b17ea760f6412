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
  EventSelection(std::span<const TimelineEvent> events)
      : events_(events) {}  // NOLINT: all of a list
  EventSelection(const std::vector<TimelineEvent>& events) : events_(events) {}  // NOLINT
  EventSelection(std::span<const TimelineEvent> events, std::span<const size_t> positions)
      : events_(events), positions_(positions), chosen_(true) {}

  size_t size() const { return chosen_ ? positions_.size() : events_.size(); }
  const TimelineEvent& operator[](size_t i) const { return events_[position(i)]; }
  // Where the i-th selected event lies in the underlying list.
  size_t position(size_t i) const { return chosen_ ? positions_[i] : i; }

 private:
  std::span<const TimelineEvent> events_;
  std::span<const size_t> positions_;  // each below events_.size(); used when chosen_
  bool chosen_ = false;                // false: every event of events_, in order
};

}  // namespace tq
