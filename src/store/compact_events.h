// File: store/compact_events.h
//
// A timeline's events kept as bytes instead of as records, so that what a
// timeline holds does not grow with its evidence. Readers hand each file's
// events over once they are final (context/sink.h); each is encoded at once
// (store/event_codec.h), with the texts many events repeat kept once, its
// bytes go to a spill area (memory up to a budget, then a nameless temporary
// file; store/spill.h) and the event is freed. For a parse that reads
// transcripts, what linking reads of the event is kept before it is encoded
// (ordering/links.h), so that no event is read back to plan its links. After
// the parse the keys are sorted in the report order (store/order_keys.h) and
// the links between copies, calls and results are planned one event at a
// time. Each read makes the event as the report would hold it.
//
// A value events share when they are taken (a record's raw value, a
// session's id) is kept once, as it is, and every event read back shares it
// again: what reads such a value once for all its events (the secrets scan)
// finds the same as in a report. A file's digest is no text to scan: the
// text table keeps it once.
//
//   CompactEvents events(budget, /*link=*/true);
//   ...parse with `events` as the sink...
//   TQ_CHECK(events.finish(monitor));
//   TimelineEvent first = events.at(0);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "context/monitor.h"
#include "context/sink.h"
#include "error/error.h"
#include "model/model.h"
#include "ordering/links.h"
#include "output/selection.h"
#include "store/chunked.h"
#include "store/event_codec.h"
#include "store/order_keys.h"
#include "store/spill.h"

namespace tq::store {

class CompactEvents final : public EventSink, public EventSource {
 public:
  // `link`: the events' links are planned (a parse that reads transcripts).
  explicit CompactEvents(size_t memory_budget = kDefaultSpillBudget, bool link = false);

  [[nodiscard]] Status take(EventList&& events) override;
  [[nodiscard]] Status take_unstamped(EventList&& events) override;
  [[nodiscard]] Status stamp(std::string_view sha256) override;

  // Puts the events in the report order and, when made to link, plans their
  // links; nothing may be taken after. Ends with the Stopped error when
  // `monitor` (may be null) asks to stop first.
  [[nodiscard]] Status finish(ParseMonitor* monitor);

  size_t size() const override { return where_.size(); }
  // The i-th event in report order, numbered and linked as in a report.
  TimelineEvent at(size_t i) const override;
  // Puts `event` (the i-th, changed: redacted) in place of the i-th event.
  // Not while anything else reads the store.
  [[nodiscard]] Status replace(size_t i, const TimelineEvent& event);

  // Whether `value` is one the store keeps once for the events that share
  // it: it stays where it is for as long as the store.
  bool keeps(const void* value) const { return slots_.contains(value); }

  // The bytes held in memory: the encoded events up to the budget, their
  // texts, shared values, keys and links.
  size_t bytes() const;

 private:
  struct Where {
    uint64_t offset = 0;  // in the spill area
    uint32_t size = 0;
  };

  [[nodiscard]] Status keep(EventList&& events, bool unstamped);
  // Encodes `event` (its shared values moved out) after the pending records;
  // where it will lie.
  [[nodiscard]] Result<Where> encode(TimelineEvent& event, bool unstamped);
  [[nodiscard]] Status append_pending();
  // The record's bytes, read through this thread's window onto the area.
  [[nodiscard]] Result<std::string_view> record(Where where) const;
  [[nodiscard]] Result<TimelineEvent> decode(size_t stored) const;
  uint32_t slot_of(const Shared<JsonValue>& value);
  uint32_t slot_of(const Shared<std::string>& value);

  TextTable texts_;
  // Values shared when taken, each kept once; found again by address, which
  // no other value can take while the value is kept.
  std::vector<Shared<JsonValue>> shared_json_;
  std::vector<Shared<std::string>> shared_texts_;
  std::unordered_map<const void*, uint32_t> slots_;

  SpillArea spill_;
  std::string pending_;   // records encoded and not yet appended to the area
  Chunked<Where> where_;  // by position taken
  OrderKeys keys_;
  std::vector<uint32_t> order_;  // positions taken, in report order, once finished
  // When linking: what it reads of each event, given as the event is taken,
  // so that no event is read back to plan; then the plan.
  std::optional<LinkPlanner> planner_;
  std::optional<LinkPlan> plan_;
  std::vector<bool> replaced_;  // by report position: already linked when replaced
  // Where the digests of the events taken since the last stamp without one lie.
  std::vector<uint64_t> unstamped_;
  uint64_t id_;  // this store among all, for the readers' windows
};

}  // namespace tq::store
