// File: reading/hand_off.h
//
// Readers whose events are final before the parse ends hand them to the
// caller's sink (context/sink.h) as soon as they are, so that a parse whose
// events go to a store holds a file's events, not the profile's. Without a
// sink the events stay in the reader's output. A reader hands over everything it
// gathered before each early hand-off, so the sink gets the events in the
// order they would have been gathered.
#pragma once

#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"

namespace tq {

// Moves `out`'s events to the context's sink, when there is one; the
// diagnostics stay in `out`. Without one the events stay, kept for the whole
// parse: the room a list grows ahead of its events is given back, since
// across a profile's files it adds up to a quarter of the events' own size.
[[nodiscard]] inline Status hand_off(const ParseContext& context, ReaderOutput& out) {
  if (context.sink == nullptr) {
    out.events.shrink_to_fit();
    return {};
  }
  if (out.events.empty()) return {};
  return context.sink->take(std::move(out.events));
}

// The events of a file still being read, whose digest is known only at its
// end: they go to the context's sink as they come when it has one, else they
// are kept here; `stamp` gives them the file's digest either way.
class UnstampedEvents {
 public:
  explicit UnstampedEvents(const ParseContext& context) : sink_(context.sink) {}

  [[nodiscard]] Status take(std::vector<TimelineEvent>&& events) {
    if (sink_ == nullptr) {
      std::move(events.begin(), events.end(), std::back_inserter(kept_));
      return {};
    }
    if (events.empty()) return {};
    waiting_ = true;
    return sink_->take_unstamped(EventList(std::move(events)));
  }

  // Every event taken since the last stamp gets `sha256`.
  [[nodiscard]] Status stamp(std::string_view sha256) {
    const Shared<std::string> digest(std::string{sha256});
    for (size_t i = stamped_; i < kept_.size(); ++i) kept_[i].source_file_sha256 = digest;
    stamped_ = kept_.size();
    if (!waiting_) return {};
    waiting_ = false;
    return sink_->stamp(sha256);
  }

  // The events kept, none when a sink took them.
  std::vector<TimelineEvent> take_kept() {
    stamped_ = 0;
    return std::exchange(kept_, {});
  }

 private:
  EventSink* sink_;
  std::vector<TimelineEvent> kept_;
  size_t stamped_ = 0;    // the kept events that have their digest
  bool waiting_ = false;  // the sink took events it has no digest for yet
};

}  // namespace tq
