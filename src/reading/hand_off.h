// File: reading/hand_off.h
//
// Readers whose events are final before the parse ends hand them to the
// caller's sink (context/sink.h) as soon as they are, so that a parse whose
// events go to a store holds a file's events, not the profile's. Without a
// sink the events stay where they are. A reader hands over everything it
// gathered before each early hand-off, so the sink gets the events in the
// order they would have been gathered.
#pragma once

#include "context/options.h"
#include "error/error.h"
#include "model/model.h"

namespace tq {

// Moves `out`'s events to the options' sink, when there is one; the
// diagnostics stay in `out`.
[[nodiscard]] inline Status hand_off(const ParserOptions& options, ReaderOutput& out) {
  if (options.sink == nullptr || out.events.empty()) return {};
  return options.sink->take(std::move(out.events));
}

}  // namespace tq
