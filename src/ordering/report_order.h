// File: ordering/report_order.h
//
// The report order, written once for every representation of an event: the
// events themselves (ordering.h's compare_events) and the fixed-size keys a
// store keeps instead of them (`OrderKey`). Each representation is read
// through a view with the same questions, so both sort alike.
//
// The order: timestamp (absent last); within one snapshot chain, the snapshot
// version; relative path (bytes); line number (absent first); event-type
// rank; snapshot version; the adapter's sequence; the event id (bytes).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

#include "model/datetime.h"
#include "model/records.h"

namespace tq {

// Where an event of `t` sorts among the events of one line.
inline int type_rank(EventType t) {
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

// The byte order of two texts (UTF-8 sorts as its code points do):
// std::string_view compares through char_traits<char>, which compares as
// unsigned char.
inline std::weak_ordering byte_order(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? std::weak_ordering::less
               : (c > 0 ? std::weak_ordering::greater : std::weak_ordering::equivalent);
}

namespace report_order_internal {

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

}  // namespace report_order_internal

// `View` answers, for its event: timestamp() and snapshot_version() and
// line_number() as optionals; rank(); sequence(); chained_with(other), true
// when both are file snapshots of one chain; path_order(other) and
// id_order(other), byte orders of the relative paths and the ids.
template <typename View>
std::weak_ordering report_order(const View& a, const View& b) {
  using report_order_internal::compare_optional;
  if (auto c = compare_optional(a.timestamp(), b.timestamp(), false); c != 0) return c;
  if (a.chained_with(b)) {
    if (auto c = compare_optional(a.snapshot_version(), b.snapshot_version(), true); c != 0) {
      return c;
    }
  }
  if (auto c = a.path_order(b); c != 0) return c;
  if (auto c = compare_optional(a.line_number(), b.line_number(), false); c != 0) return c;
  if (auto c = a.rank() <=> b.rank(); c != 0) return c;
  if (auto c = a.snapshot_version().value_or(0) <=> b.snapshot_version().value_or(0); c != 0) {
    return c;
  }
  if (auto c = a.sequence() <=> b.sequence(); c != 0) return c;
  return a.id_order(b);
}

// What the report order reads of one event, in a fixed size. Texts are kept
// as numbers a store gives them: the relative path as its rank among the
// store's paths in byte order, a snapshot's chain as a number equal for equal
// (session, source id) pairs, and the id by its first eight bytes, the rest
// asked of the store only when those tie.
struct OrderKey {
  DateTime time;           // meaningful unless `timeless`
  uint64_t line = 0;       // meaningful when `has_line`
  uint64_t version = 0;    // meaningful when `has_version`
  uint64_t sequence = 0;   // the adapter's
  uint64_t id_prefix = 0;  // the id's first eight bytes, big-endian, zero-padded
  uint32_t path = 0;       // the relative path's rank
  uint32_t chain = 0;      // 0: not a file snapshot
  uint32_t position = 0;   // the event's among those keyed, set by who keeps the keys
  uint8_t rank = 0;        // type_rank
  bool timeless = false;
  bool has_line = false;
  bool has_version = false;

  // The leading part of the order, which settles nearly every comparison.
  friend std::weak_ordering leading_order(const OrderKey& a, const OrderKey& b) {
    if (a.timeless != b.timeless) {
      return a.timeless ? std::weak_ordering::greater : std::weak_ordering::less;
    }
    return a.time <=> b.time;
  }
};

// A store keeps one key per event: the padding of the fields above is all
// the room the position takes.
static_assert(sizeof(OrderKey) == 64);

// The first eight bytes of an id as a big-endian number, zero-padded, so
// that numbers order as the bytes do (and ties are settled by the whole id).
inline uint64_t id_prefix(std::string_view id) {
  uint64_t prefix = 0;
  for (size_t i = 0; i < 8; ++i) {
    prefix = (prefix << 8) | (i < id.size() ? static_cast<unsigned char>(id[i]) : 0U);
  }
  return prefix;
}

// A view of a key for report_order. `IdOrder` settles equal id prefixes:
// a callable (const OrderKey&, const OrderKey&) -> std::weak_ordering.
template <typename IdOrder>
class KeyOrderView {
 public:
  KeyOrderView(const OrderKey& key, const IdOrder& ids) : key_(key), ids_(ids) {}

  std::optional<DateTime> timestamp() const {
    return key_.timeless ? std::nullopt : std::optional<DateTime>(key_.time);
  }
  std::optional<uint64_t> snapshot_version() const {
    return key_.has_version ? std::optional<uint64_t>(key_.version) : std::nullopt;
  }
  std::optional<uint64_t> line_number() const {
    return key_.has_line ? std::optional<uint64_t>(key_.line) : std::nullopt;
  }
  int rank() const { return key_.rank; }
  uint64_t sequence() const { return key_.sequence; }
  bool chained_with(const KeyOrderView& o) const {
    return key_.chain != 0 && key_.chain == o.key_.chain;
  }
  std::weak_ordering path_order(const KeyOrderView& o) const { return key_.path <=> o.key_.path; }
  std::weak_ordering id_order(const KeyOrderView& o) const {
    if (auto c = key_.id_prefix <=> o.key_.id_prefix; c != 0) return c;
    return ids_(key_, o.key_);
  }

 private:
  const OrderKey& key_;
  const IdOrder& ids_;
};

}  // namespace tq
