// File: store/event_store.h
//
// The events of a parse kept as their output bytes instead of as records, so
// that writing a timeline holds a fixed-size key per event, not the events.
// Readers hand each file's events over once they are final (context/sink.h);
// each is rendered in the output's format at once, leaving room for its
// sequence number (output/rows.h), its bytes go to a spill area (memory up to
// a budget, then a nameless temporary file; store/spill.h) and the event is
// freed. After the parse the keys are sorted in the report order
// (store/order_keys.h), and the document is written by copying each event's
// bytes in that order with its sequence number put back in.
//
//   EventStore store(Format::Jsonl, options);
//   ...parse with the store as the sink...
//   TQ_CHECK(store.sort(monitor));
//   TQ_CHECK(store.write(report.diagnostics, target));  // as often as wanted
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "context/monitor.h"
#include "context/sink.h"
#include "error/error.h"
#include "model/model.h"
#include "output/format.h"
#include "output/rows.h"
#include "output/sink.h"
#include "store/chunked.h"
#include "store/order_keys.h"
#include "store/spill.h"

namespace tq::store {

class EventStore final : public EventSink {
 public:
  // `format`: Json, Jsonl or Csv, with `options` as render() takes them.
  EventStore(Format format, const RenderOptions& options,
             size_t memory_budget = kDefaultSpillBudget);

  [[nodiscard]] Status take(EventList&& events) override;
  [[nodiscard]] Status take_unstamped(EventList&& events) override;
  [[nodiscard]] Status stamp(std::string_view sha256) override;

  size_t size() const { return starts_.size() - 1; }

  // Puts the events in the report order; nothing may be taken after. Ends
  // with the Stopped error when `monitor` (may be null) asks to stop first.
  [[nodiscard]] Status sort(ParseMonitor* monitor);
  // Writes the document of the sorted events and `diagnostics` to `target`,
  // the bytes render() would have written of the events themselves.
  [[nodiscard]] Status write(std::span<const Diagnostic> diagnostics, OutputTarget target) const;

 private:
  class Rows;

  [[nodiscard]] Status keep(EventList&& events, bool unstamped);
  [[nodiscard]] Status append_records();

  Format format_;
  RenderOptions options_;
  std::optional<EventRenderer> renderer_;  // made at the first take
  SpillArea spill_;
  OrderKeys keys_;
  // Where each event's record starts in the spill area, and one past the last.
  Chunked<uint64_t> starts_;
  std::vector<uint32_t> order_;  // positions in the order taken, sorted
  bool sorted_ = false;
  // Records not yet appended to the spill area; their places in it are
  // counted from its size.
  std::string records_;
  // Where the digests of the events taken unstamped since the last stamp lie
  // in the spill area.
  std::vector<uint64_t> unstamped_;
};

}  // namespace tq::store
