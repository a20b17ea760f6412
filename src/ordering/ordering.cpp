#include "ordering/ordering.h"

#include <algorithm>
#include <charconv>
#include <span>
#include <tuple>

#include "hash/hash.h"
#include "model/background_release.h"
#include "model/text.h"
#include "model/utf8.h"

namespace tq {

namespace {

int type_rank(EventType t) {
  switch (t) {
    case EventType::SessionStart:
      return 0;
    case EventType::PromptInput:
      return 1;
    case EventType::PasteAttachment:
    case EventType::ImageAttachment:
    case EventType::Attachment:
      return 2;
    case EventType::OrphanCache:
    case EventType::FileSnapshot:
      return 3;
    default:
      return 4;
  }
}

std::optional<uint64_t> snapshot_version(const TimelineEvent& e) {
  return e.artifact ? e.artifact->snapshot_version : std::nullopt;
}

// Optional keys: `absent_is_less` says where a missing value goes; present
// values compare by their own order.
template <typename T>
std::weak_ordering compare_optional(const std::optional<T>& a, const std::optional<T>& b,
                                    bool absent_is_less) {
  if (a.has_value() != b.has_value()) {
    return a.has_value() == absent_is_less ? std::weak_ordering::greater : std::weak_ordering::less;
  }
  if (!a) return std::weak_ordering::equivalent;
  return *a <=> *b;
}

std::weak_ordering bytes(std::string_view a, std::string_view b) {
  // std::string_view compares through char_traits<char>, which compares as
  // unsigned char: byte order for UTF-8.
  const int c = a.compare(b);
  return c < 0 ? std::weak_ordering::less
               : (c > 0 ? std::weak_ordering::greater : std::weak_ordering::equivalent);
}

bool same_snapshot_chain(const TimelineEvent& a, const TimelineEvent& b) {
  return a.event_type == EventType::FileSnapshot && b.event_type == EventType::FileSnapshot &&
         a.session_id == b.session_id && a.source.source_id == b.source.source_id;
}

// A stable sort that stays well-defined whatever the comparison answers: the
// event order is not transitive in contrived inputs (equal times and snapshot
// ids that make the chain key and the path key disagree), and library sorts may
// then misbehave. Every index is bounds-checked. Short lists are sorted by
// insertion, longer ones by a bottom-up merge over insertion-sorted runs.
constexpr size_t kInsertionSortMax = 20;

template <typename T, typename Less>
void insertion_sort(std::span<T> v, const Less& less) {
  for (size_t i = 1; i < v.size(); ++i) {
    size_t j = i;
    while (j > 0 && less(v[i], v[j - 1])) --j;
    if (j == i) continue;
    T moving = std::move(v[i]);
    std::move_backward(v.begin() + static_cast<ptrdiff_t>(j), v.begin() + static_cast<ptrdiff_t>(i),
                       v.begin() + static_cast<ptrdiff_t>(i) + 1);
    v[j] = std::move(moving);
  }
}

// How many items a sort moves between two questions to its monitor: few
// enough that a stop is seen within milliseconds, many enough that asking costs
// nothing measurable.
constexpr size_t kItemsBetweenStopChecks = size_t{1} << 16;

// False when `stopped` said so before the sort was done, and `items` is then
// left unspecified (some moved from): a stopped parse is thrown away whole.
// `stopped` is asked once every kItemsBetweenStopChecks items placed.
template <typename T, typename Less, typename Stopped>
bool stable_sort_bounded(std::vector<T>& items, const Less& less, const Stopped& stopped) {
  static_assert((kItemsBetweenStopChecks & (kItemsBetweenStopChecks - 1)) == 0);
  const size_t n = items.size();
  for (size_t start = 0; start < n; start += kInsertionSortMax) {
    insertion_sort(std::span(items).subspan(start, std::min(kInsertionSortMax, n - start)), less);
    const size_t run = start / kInsertionSortMax;
    if (run % (kItemsBetweenStopChecks / kInsertionSortMax) == 0 && stopped()) return false;
  }
  if (n <= kInsertionSortMax) return true;
  std::vector<T> scratch(n);
  std::vector<T>* from = &items;
  std::vector<T>* to = &scratch;
  for (size_t width = kInsertionSortMax; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, k = lo;
      // Taking from the left run unless the right one is strictly smaller keeps
      // equal items in their original order.
      while (i < mid && j < hi) {
        (*to)[k++] = std::move(less((*from)[j], (*from)[i]) ? (*from)[j++] : (*from)[i++]);
        if (k % kItemsBetweenStopChecks == 0 && stopped()) return false;
      }
      while (i < mid) (*to)[k++] = std::move((*from)[i++]);
      while (j < hi) (*to)[k++] = std::move((*from)[j++]);
    }
    std::swap(from, to);
  }
  if (from != &items) items = std::move(*from);
  return true;
}

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
  static constexpr std::string_view kZero("\0", 1);
  Sha256 inner;
  inner.update(identifier(provider));
  inner.update(kZero);
  inner.update(identifier(kind));
  inner.update(kZero);
  // Ids must not depend on the platform's separator: hash backslashes as slashes,
  // a run at a time, without copying the path. Bytes that are not UTF-8 are
  // written as \xNN after that step, so that an escape's backslash is never
  // taken for a separator and distinct names keep distinct ids.
  if (utf8_error(relative_path)) {
    std::string slashed(relative_path);
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    inner.update(escape_invalid_utf8(slashed));
  } else {
    size_t start = 0;
    for (size_t i = relative_path.find('\\'); i != std::string_view::npos;
         i = relative_path.find('\\', start)) {
      inner.update(relative_path.substr(start, i - start));
      inner.update(std::string_view("/"));
      start = i + 1;
    }
    inner.update(relative_path.substr(start));
  }
  inner.update(kZero);
  inner.update(key);
  inner.update(kZero);
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
  if (auto c = compare_optional(a.timestamp, b.timestamp, false); c != 0) return c;
  if (same_snapshot_chain(a, b)) {
    if (auto c = compare_optional(snapshot_version(a), snapshot_version(b), true); c != 0) {
      return c;
    }
  }
  if (auto c = bytes(a.source.relative_path, b.source.relative_path); c != 0) return c;
  if (auto c = compare_optional(a.source.line_number, b.source.line_number, false); c != 0) {
    return c;
  }
  if (auto c = type_rank(a.event_type) <=> type_rank(b.event_type); c != 0) return c;
  if (auto c = snapshot_version(a).value_or(0) <=> snapshot_version(b).value_or(0); c != 0) {
    return c;
  }
  if (auto c = a.sequence <=> b.sequence; c != 0) return c;
  return bytes(a.event_id, b.event_id);
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
