// File: context/sink.h
//
// Where a parse's events go when its caller keeps them elsewhere than in the
// report: a store that renders each event as soon as its reader is done with
// it and frees it (store/event_store.h). Readers hand their events over in the
// order they would have gathered them, so the report order comes out the same.
#pragma once

#include <string_view>

#include "error/error.h"
#include "model/event_list.h"

namespace tq {

class EventSink {
 public:
  virtual ~EventSink() = default;
  // Takes every event of `events` (left empty). An error ends the parse: the
  // store could not keep them (its temporary file could not be written).
  [[nodiscard]] virtual Status take(EventList&& events) = 0;
  // As take, for events of a file still being read, which are final but for
  // `source_file_sha256`, the file's digest: `stamp` gives it once the file
  // is read, for every event taken unstamped since the last stamp. Such
  // events come with no digest set.
  [[nodiscard]] virtual Status take_unstamped(EventList&& events) = 0;
  [[nodiscard]] virtual Status stamp(std::string_view sha256) = 0;
};

}  // namespace tq
