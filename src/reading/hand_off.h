// File: reading/hand_off.h
//
// Readers whose events are final before the parse ends hand them to the
// caller's sink (context/sink.h) as soon as they are, so that a parse whose
// events go to a store holds a file's events, not the profile's. Without a
// sink the events stay where they are. A reader hands over everything it
// gathered before each early hand-off, so the sink gets the events in the
// order they would have been gathered.
#pragma once

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"

namespace tq {

// Moves `out`'s events to the context's sink, when there is one; the
// diagnostics stay in `out`.
[[nodiscard]] inline Status hand_off(const ParseContext& context, ReaderOutput& out) {
  if (context.sink == nullptr || out.events.empty()) return {};
  return context.sink->take(std::move(out.events));
}

}  // namespace tq
