// File: output/selection.h
//
// The events a writer writes: a whole list, or the events at chosen positions
// of one, in the order of the positions. A selection refers to events it does
// not own; they must outlive it. The list may be a report's, or a source that
// keeps its events elsewhere (a timeline's compact store) and makes each one
// as it is read: a reader gets an `EventRef`, which holds such an event for as
// long as the reader keeps it, so nothing a reader takes from an event may
// outlive the ref it came from.
//
//   Status s = write_jsonl(target, report.events);             // all of them
//   Status t = write_jsonl(target, EventSelection(report.events, kept));
//   const EventRef e = selection[i];                           // e->event_id
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "model/model.h"

namespace tq {

// Events kept elsewhere than in a list, each made when it is read.
class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual size_t size() const = 0;
  // The i-th event; safe to call from several threads at once.
  virtual TimelineEvent at(size_t i) const = 0;
};

// One event of a selection: the list's own, or one a source made for the
// reader and owned here.
class EventRef {
 public:
  explicit EventRef(const TimelineEvent& event) : event_(&event) {}
  explicit EventRef(TimelineEvent&& made)
      : made_(std::make_unique<TimelineEvent>(std::move(made))), event_(made_.get()) {}

  const TimelineEvent& operator*() const { return *event_; }
  const TimelineEvent* operator->() const { return event_; }

 private:
  std::unique_ptr<TimelineEvent> made_;  // on the heap, so that a moved ref still points at it
  const TimelineEvent* event_;
};

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
  EventSelection(const EventSource& events)  // NOLINT: all of a source's events
      : source_(&events), count_(events.size()) {}
  EventSelection(const EventSource& events, std::span<const size_t> positions)
      : source_(&events), positions_(positions), chosen_(true), count_(positions.size()) {}

  size_t size() const { return count_; }
  EventRef operator[](size_t i) const {
    const size_t at = position(i);
    if (source_ != nullptr) return EventRef(source_->at(at));
    return EventRef(table_ != nullptr ? (*table_)[at] : list_[at]);
  }
  // Where the i-th selected event lies in the underlying list.
  size_t position(size_t i) const { return chosen_ ? positions_[i] : i; }

 private:
  std::span<const TimelineEvent> list_;  // the events, unless table_ or source_ is set
  const EventTable* table_ = nullptr;
  const EventSource* source_ = nullptr;
  std::span<const size_t> positions_;  // each below the events' count; used when chosen_
  bool chosen_ = false;                // false: every event, in order
  size_t count_ = 0;
};

}  // namespace tq
