#include "store/compact_events.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <utility>

#include "store/words.h"

namespace tq::store {

namespace {

// A record: a mask of the values kept once because events shared them, their
// slots, and the event's own encoding, which begins with its file's digest.
constexpr size_t kHeadSize = 1;

// The shared values a record may refer to, by their bit in the mask.
enum SharedBit : uint8_t { kRaw, kTimestampRaw, kSession, kDirectory, kSourceId, kToolName };

// How many bytes of records a take gathers before it appends them.
constexpr size_t kRecordsPerAppend = size_t{1} << 20;

// A reader's windows onto the area: each read fills one with the bytes from
// the record on. The events of a file lie together, and the report order
// reads each file's in turn, but interleaves the files of sessions that ran
// at once: one window per such file serves them all.
constexpr size_t kWindowBytes = size_t{16} << 10;
constexpr size_t kWindows = 16;

struct Window {
  uint64_t offset = 0;
  uint64_t used = 0;  // when last read from: the least recent is filled next
  std::string bytes;
};

// Each thread's windows onto the last store it read; a store's id is never
// reused, so windows can't outlive their store's bytes unnoticed.
struct Windows {
  uint64_t store = 0;  // 0: none
  uint64_t clock = 0;
  std::array<Window, kWindows> each;
};
thread_local Windows windows;
std::atomic<uint64_t> next_store_id{1};

Error broken_record() { return Error::internal("A stored event's bytes do not hold one event."); }

// Where the event's own encoding starts in a record, if the record is whole.
std::optional<size_t> encoding_at(std::string_view bytes) {
  if (bytes.size() < kHeadSize) return std::nullopt;
  const size_t at = kHeadSize + kWordSize * std::popcount(static_cast<uint8_t>(bytes[0]));
  if (at > bytes.size()) return std::nullopt;
  return at;
}

}  // namespace

CompactEvents::CompactEvents(size_t memory_budget, bool link)
    : spill_(memory_budget), id_(next_store_id.fetch_add(1)) {
  if (link) planner_.emplace();
}

Status CompactEvents::take(EventList&& events) { return keep(std::move(events), false); }

Status CompactEvents::take_unstamped(EventList&& events) { return keep(std::move(events), true); }

Status CompactEvents::stamp(std::string_view sha256) {
  if (unstamped_.empty()) return {};
  char digest[kWordSize];
  set_file_digest(digest, texts_.intern(sha256));
  TQ_CHECK(spill_.overwrite_each(unstamped_, std::string_view(digest, kWordSize)));
  unstamped_.clear();
  return {};
}

Status CompactEvents::keep(EventList&& events, bool unstamped) {
  // The events are freed on leaving, as their reader is done with them.
  EventList taken = std::move(events);
  for (TimelineEvent& e : taken) {
    if (where_.size() >= UINT32_MAX) {
      return std::unexpected(Error::argument("A timeline holds at most 4,294,967,295 events."));
    }
    TQ_CHECK(keys_.add(e));
    // Before the encoding moves the event's shared values out.
    if (planner_) planner_->add(e);
    TQ_TRY(const Where where, encode(e, unstamped));
    where_.push_back(where);
    // A large file's records go on as they are made, so that they are never
    // held whole here besides.
    if (pending_.size() >= kRecordsPerAppend) TQ_CHECK(append_pending());
  }
  return append_pending();
}

Status CompactEvents::append_pending() {
  TQ_TRY(const uint64_t appended_at, spill_.append(pending_));
  (void)appended_at;  // the records' offsets were counted from the area's size
  pending_.clear();
  return {};
}

uint32_t CompactEvents::slot_of(const Shared<JsonValue>& value) {
  auto [at, added] = slots_.try_emplace(&*value, static_cast<uint32_t>(shared_json_.size()));
  if (added) shared_json_.push_back(value);
  return at->second;
}

uint32_t CompactEvents::slot_of(const Shared<std::string>& value) {
  auto [at, added] = slots_.try_emplace(&*value, static_cast<uint32_t>(shared_texts_.size()));
  if (added) shared_texts_.push_back(value);
  return at->second;
}

Result<CompactEvents::Where> CompactEvents::encode(TimelineEvent& e, bool unstamped) {
  const size_t start = pending_.size();
  pending_.push_back(0);
  uint8_t mask = 0;
  // A value only this event holds is encoded with it.
  auto share = [&](auto& value, SharedBit bit) {
    if (!value.shared()) return;
    put_word(pending_, slot_of(value));
    value.reset();
    mask |= static_cast<uint8_t>(1u << bit);
  };
  share(e.raw, kRaw);
  share(e.timestamp_raw, kTimestampRaw);
  share(e.session_id, kSession);
  share(e.working_directory, kDirectory);
  share(e.source.source_id, kSourceId);
  share(e.tool_name, kToolName);
  pending_[start] = static_cast<char>(mask);
  // The encoding leads with the file's digest, which the file's end gives
  // an event taken before it.
  if (unstamped) unstamped_.push_back(spill_.size() + pending_.size());
  encode_event(e, texts_, pending_);
  const size_t size = pending_.size() - start;
  if (size > UINT32_MAX) {
    if (unstamped) unstamped_.pop_back();
    pending_.resize(start);
    return std::unexpected(Error::argument("An event's bytes are over 4 GiB."));
  }
  return Where{spill_.size() + start, static_cast<uint32_t>(size)};
}

Result<std::string_view> CompactEvents::record(Where where) const {
  if (windows.store != id_) {
    for (Window& w : windows.each) w.bytes.clear();
    windows.store = id_;
  }
  ++windows.clock;
  Window* oldest = &windows.each[0];
  for (Window& w : windows.each) {
    if (where.offset >= w.offset && where.offset + where.size <= w.offset + w.bytes.size()) {
      w.used = windows.clock;
      return std::string_view(w.bytes).substr(static_cast<size_t>(where.offset - w.offset),
                                              where.size);
    }
    if (w.used < oldest->used) oldest = &w;
  }
  // A record larger than a window is read whole; a window that grew for one
  // gives the room back when it is filled again.
  Window& w = *oldest;
  const uint64_t end =
      std::min(spill_.size(), where.offset + std::max<uint64_t>(where.size, kWindowBytes));
  if (w.bytes.capacity() > kWindowBytes && where.size <= kWindowBytes) std::string().swap(w.bytes);
  w.bytes.resize(static_cast<size_t>(end - where.offset));
  if (Status read = spill_.read(where.offset, w.bytes.size(), w.bytes.data()); !read) {
    w.bytes.clear();
    return std::unexpected(std::move(read.error()));
  }
  w.offset = where.offset;
  w.used = windows.clock;
  return std::string_view(w.bytes).substr(0, where.size);
}

Result<TimelineEvent> CompactEvents::decode(size_t stored) const {
  TQ_TRY(const std::string_view bytes, record(where_[stored]));
  const std::optional<size_t> own = encoding_at(bytes);
  if (!own) return std::unexpected(broken_record());
  TQ_TRY(TimelineEvent e, decode_event(bytes.substr(*own), texts_));
  const auto mask = static_cast<uint8_t>(bytes[0]);
  size_t at = kHeadSize;
  bool whole = true;
  auto restore = [&](auto& value, const auto& kept, SharedBit bit) {
    if ((mask & (1u << bit)) == 0) return;
    const uint32_t slot = word_at(bytes, at);
    at += kWordSize;
    if (slot >= kept.size()) {
      whole = false;
      return;
    }
    value = kept[slot];
  };
  restore(e.raw, shared_json_, kRaw);
  restore(e.timestamp_raw, shared_json_, kTimestampRaw);
  restore(e.session_id, shared_texts_, kSession);
  restore(e.working_directory, shared_texts_, kDirectory);
  restore(e.source.source_id, shared_texts_, kSourceId);
  restore(e.tool_name, shared_texts_, kToolName);
  if (!whole) return std::unexpected(broken_record());
  return e;
}

Status CompactEvents::finish(ParseMonitor* monitor) {
  auto whole_ids = [this](size_t i, std::string& scratch) -> Result<std::string_view> {
    TQ_TRY(const std::string_view bytes, record(where_[i]));
    const std::optional<size_t> own = encoding_at(bytes);
    if (!own) return std::unexpected(broken_record());
    scratch = event_id_of(bytes.substr(*own));
    return std::string_view(scratch);
  };
  TQ_TRY(order_, keys_.sort(monitor, whole_ids));
  if (!planner_) return {};
  // The planner was given what linking reads of each event as it was taken;
  // it now visits them once each, in report order.
  constexpr size_t kStopCheck = 4096;
  for (size_t i = 0; i < order_.size(); ++i) {
    if (i % kStopCheck == 0 && stop_requested(monitor)) return std::unexpected(Error::stopped());
    planner_->visit(order_[i]);
  }
  plan_.emplace(std::move(*planner_).finish());
  planner_.reset();
  return {};
}

TimelineEvent CompactEvents::at(size_t i) const {
  Result<TimelineEvent> made = decode(order_[i]);
  if (!made) {
    // Our own bytes, written by this store: a fault here is ours, and it is
    // shown on the event rather than ending the reader.
    TimelineEvent broken;
    broken.warnings.push_back(made.error().text());
    made = std::move(broken);
  }
  made->sequence = i;
  if (plan_ && !(i < replaced_.size() && replaced_[i])) plan_->apply(i, *made);
  return std::move(*made);
}

Status CompactEvents::replace(size_t i, const TimelineEvent& event) {
  TimelineEvent kept = event;
  TQ_TRY(const Where where, encode(kept, false));
  TQ_CHECK(append_pending());
  where_[order_[i]] = where;
  if (replaced_.size() <= i) replaced_.resize(order_.size());
  replaced_[i] = true;
  return {};
}

size_t CompactEvents::bytes() const {
  size_t held = texts_.bytes() + where_.size() * sizeof(Where) +
                order_.capacity() * sizeof(uint32_t) + pending_.capacity();
  if (!spill_.spilled()) held += static_cast<size_t>(spill_.size());
  if (planner_) held += planner_->bytes();
  if (plan_) held += plan_->bytes();
  return held;
}

}  // namespace tq::store
