// File: ordering/ordering.h
//
// Determinism: event ids computed only from what identifies an event within the
// evidence, the total order in which events are reported, and finalization of a
// report (sort, number, strict mode).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "context/monitor.h"
#include "error/error.h"
#include "hash/hash.h"
#include "model/model.h"

namespace tq {

// 64 lowercase hex digits: SHA-256 of SHA-256 of
// provider \0 kind \0 path(backslashes as slashes) \0 key \0 [ordinal digits].
std::string generate_event_id(Provider provider, ArtifactKind kind, std::string_view relative_path,
                              std::string_view key, std::optional<uint64_t> ordinal = std::nullopt);

// The ids of one file's events, as generate_event_id gives them: what they
// all begin with (provider, kind, path) is checked and hashed once, so that
// each id costs only its key. A reader of many lines makes one per file.
class EventIds {
 public:
  EventIds(Provider provider, ArtifactKind kind, std::string_view relative_path);
  std::string id(std::string_view key, std::optional<uint64_t> ordinal = std::nullopt) const;

 private:
  Sha256 prefix_;
};

// The report order (ordering/report_order.h) of two events. Allocates nothing. Not guaranteed
// transitive in contrived inputs; callers sort with a stable merge sort, which stays safe whatever
// it answers.
std::weak_ordering compare_events(const TimelineEvent& a, const TimelineEvent& b);

// Sorts (stable), numbers `sequence` from 0 and applies strict mode: the first
// error-severity diagnostic becomes "Strict mode: {message}". The sort asks
// `monitor` (may be null) every few thousand events whether to stop, and
// then ends with the Stopped error, the events freed on a
// thread of their own (release_in_background).
[[nodiscard]] Result<ParseReport> finalize_report(EventList events,
                                                  std::vector<Diagnostic> diagnostics, bool strict,
                                                  ParseMonitor* monitor = nullptr);

}  // namespace tq
