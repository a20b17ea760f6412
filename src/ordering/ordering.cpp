#include "ordering/ordering.h"

#include <algorithm>
#include <charconv>
#include <span>
#include <tuple>

#include "hash/hash.h"
#include "model/background_release.h"
#include "model/text.h"
#include "model/utf8.h"
#include "ordering/report_order.h"
#include "ordering/stable_sort.h"

namespace tq {

namespace {

std::optional<uint64_t> snapshot_version(const TimelineEvent& e) {
  return e.artifact ? e.artifact->snapshot_version : std::nullopt;
}

bool same_snapshot_chain(const TimelineEvent& a, const TimelineEvent& b) {
  return a.event_type == EventType::FileSnapshot && b.event_type == EventType::FileSnapshot &&
         a.session_id == b.session_id && a.source.source_id == b.source.source_id;
}

// An event as report_order reads it.
struct EventOrderView {
  const TimelineEvent& e;

  const std::optional<DateTime>& timestamp() const { return e.timestamp; }
  std::optional<uint64_t> snapshot_version() const { return tq::snapshot_version(e); }
  const std::optional<uint64_t>& line_number() const { return e.source.line_number; }
  int rank() const { return type_rank(e.event_type); }
  uint64_t sequence() const { return e.sequence; }
  bool chained_with(const EventOrderView& o) const { return same_snapshot_chain(e, o.e); }
  std::weak_ordering path_order(const EventOrderView& o) const {
    return byte_order(e.source.relative_path, o.e.source.relative_path);
  }
  std::weak_ordering id_order(const EventOrderView& o) const {
    return byte_order(e.event_id, o.e.event_id);
  }
};

// The leading key of the order, kept beside each event so that most
// comparisons never touch the (large, scattered) events themselves.
struct SortKey {
  bool timeless;  // no timestamp: sorts after every timed event
  DateTime time;
  TimelineEvent* event;

  auto leading() const { return std::tie(timeless, time); }
};

// Events are large records and stay where the readers put them: the sort
// permutes small keys, and the report reads its events through them. None
// when `monitor` asks to stop first.
std::optional<std::vector<TimelineEvent*>> sorted_order(EventList& events, ParseMonitor* monitor) {
  std::vector<SortKey> keys;
  keys.reserve(events.size());
  for (TimelineEvent& e : events) {
    keys.push_back(SortKey{!e.timestamp.has_value(), e.timestamp.value_or(DateTime{}), &e});
  }
  // Equal leading keys fall back to the whole order, which compares the
  // timestamps again and finds them equal.
  const bool sorted = stable_sort_bounded(
      keys,
      [](const SortKey& a, const SortKey& b) {
        if (const auto c = a.leading() <=> b.leading(); c != 0) return c < 0;
        return compare_events(*a.event, *b.event) < 0;
      },
      [monitor] { return stop_requested(monitor); });
  if (!sorted) return std::nullopt;
  std::vector<TimelineEvent*> order(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].event;
  return order;
}

}  // namespace

std::string generate_event_id(Provider provider, ArtifactKind kind, std::string_view relative_path,
                              std::string_view key, std::optional<uint64_t> ordinal) {
  return EventIds(provider, kind, relative_path).id(key, ordinal);
}

// What separates the parts of an id's text.
constexpr std::string_view kIdSeparator("\0", 1);

EventIds::EventIds(Provider provider, ArtifactKind kind, std::string_view relative_path) {
  prefix_.update(identifier(provider));
  prefix_.update(kIdSeparator);
  prefix_.update(identifier(kind));
  prefix_.update(kIdSeparator);
  // Ids must not depend on the platform's separator: hash backslashes as slashes,
  // a run at a time, without copying the path. Bytes that are not UTF-8 are
  // written as \xNN after that step, so that an escape's backslash is never
  // taken for a separator and distinct names keep distinct ids.
  if (utf8_error(relative_path)) {
    std::string slashed(relative_path);
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    prefix_.update(escape_invalid_utf8(slashed));
  } else {
    size_t start = 0;
    for (size_t i = relative_path.find('\\'); i != std::string_view::npos;
         i = relative_path.find('\\', start)) {
      prefix_.update(relative_path.substr(start, i - start));
      prefix_.update(std::string_view("/"));
      start = i + 1;
    }
    prefix_.update(relative_path.substr(start));
  }
  prefix_.update(kIdSeparator);
}

std::string EventIds::id(std::string_view key, std::optional<uint64_t> ordinal) const {
  Sha256 inner = prefix_.fork();
  inner.update(key);
  inner.update(kIdSeparator);
  if (ordinal) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, *ordinal);
    (void)ec;
    inner.update(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  const auto first = inner.finish();
  Sha256 outer;
  outer.update(std::span<const uint8_t>(first));
  return outer.finish_hex();
}

std::weak_ordering compare_events(const TimelineEvent& a, const TimelineEvent& b) {
  return report_order(EventOrderView{a}, EventOrderView{b});
}

Result<ParseReport> finalize_report(EventList events, std::vector<Diagnostic> diagnostics,
                                    bool strict, ParseMonitor* monitor) {
  if (strict) {
    auto first_error =
        std::find_if(diagnostics.begin(), diagnostics.end(),
                     [](const Diagnostic& d) { return d.severity == Severity::Error; });
    if (first_error != diagnostics.end()) {
      return std::unexpected(Error::strict(concat("Strict mode: ", first_error->message)));
    }
  }
  std::optional<std::vector<TimelineEvent*>> order = sorted_order(events, monitor);
  if (!order) {
    release_in_background(std::move(events));
    return std::unexpected(Error::stopped());
  }
  for (size_t i = 0; i < order->size(); ++i) (*order)[i]->sequence = i;
  return ParseReport{EventTable(std::move(events), std::move(*order)), std::move(diagnostics)};
}

}  // namespace tq
