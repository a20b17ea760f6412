#include "store/order_keys.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "ordering/stable_sort.h"

namespace tq::store {

namespace {

// A snapshot's chain as one text: each side's presence, size and bytes, so
// that equal texts mean equal pairs.
std::string chain_text(const TimelineEvent& e) {
  std::string text;
  for (const Shared<std::string>* side : {&e.session_id, &e.source.source_id}) {
    text.push_back(side->has_value() ? '1' : '0');
    if (*side) {
      const auto size = static_cast<uint64_t>((*side)->size());
      text.append(reinterpret_cast<const char*>(&size), sizeof size);
      text.append(**side);
    }
  }
  return text;
}

}  // namespace

uint32_t OrderKeys::path_id(const std::string& path) {
  // A file's events come together: the last path is nearly always the one.
  if (!paths_.empty() && paths_.back() == path) return static_cast<uint32_t>(paths_.size() - 1);
  auto [at, added] = path_ids_.try_emplace(path, static_cast<uint32_t>(paths_.size()));
  if (added) paths_.push_back(path);
  return at->second;
}

Status OrderKeys::add(const TimelineEvent& e) {
  // Positions are 32-bit, which keeps the sort's own memory small.
  if (keys_.size() == std::numeric_limits<uint32_t>::max()) {
    return std::unexpected(Error::argument("A timeline holds at most 4294967295 events."));
  }
  OrderKey key;
  key.timeless = !e.timestamp.has_value();
  if (e.timestamp) key.time = *e.timestamp;
  key.has_line = e.source.line_number.has_value();
  key.line = e.source.line_number.value_or(0);
  const std::optional<uint64_t> version = e.artifact ? e.artifact->snapshot_version : std::nullopt;
  key.has_version = version.has_value();
  key.version = version.value_or(0);
  key.sequence = e.sequence;
  key.id_prefix = id_prefix(e.event_id);
  key.path = path_id(e.source.relative_path);
  key.rank = static_cast<uint8_t>(type_rank(e.event_type));
  if (e.event_type == EventType::FileSnapshot) {
    auto [at, added] =
        chain_ids_.try_emplace(chain_text(e), static_cast<uint32_t>(chain_ids_.size() + 1));
    key.chain = at->second;
  }
  key.position = static_cast<uint32_t>(keys_.size());
  keys_.push_back(key);
  return {};
}

Result<std::vector<uint32_t>> OrderKeys::sort(ParseMonitor* monitor, const WholeIds& ids) {
  // Paths are ranked once all are known, so that a key's number orders as
  // its path's bytes do.
  std::vector<uint32_t> by_bytes(paths_.size());
  std::iota(by_bytes.begin(), by_bytes.end(), 0U);
  std::sort(by_bytes.begin(), by_bytes.end(),
            [this](uint32_t a, uint32_t b) { return paths_[a] < paths_[b]; });
  std::vector<uint32_t> rank(paths_.size());
  for (size_t r = 0; r < by_bytes.size(); ++r) rank[by_bytes[r]] = static_cast<uint32_t>(r);
  for (size_t i = 0; i < keys_.size(); ++i) keys_[i].path = rank[keys_[i].path];
  paths_ = {};
  path_ids_ = {};
  chain_ids_ = {};

  std::optional<Error> failure;
  std::string first_scratch, second_scratch;
  auto whole_id_order = [&](const OrderKey& a, const OrderKey& b) {
    Result<std::string_view> first = ids(a.position, first_scratch);
    Result<std::string_view> second = first ? ids(b.position, second_scratch) : first;
    if (!first || !second) {
      if (!failure) failure = std::move(!first ? first.error() : second.error());
      return std::weak_ordering::equivalent;
    }
    return byte_order(*first, *second);
  };
  std::vector<uint32_t> order(keys_.size());
  std::iota(order.begin(), order.end(), 0U);
  const bool finished = stable_sort_bounded(
      order,
      [&](uint32_t a, uint32_t b) {
        const OrderKey& x = keys_[a];
        const OrderKey& y = keys_[b];
        if (const auto c = leading_order(x, y); c != 0) return c < 0;
        return report_order(KeyOrderView(x, whole_id_order), KeyOrderView(y, whole_id_order)) < 0;
      },
      [monitor] { return stop_requested(monitor); });
  keys_.clear();
  if (!finished) return std::unexpected(Error::stopped());
  if (failure) return std::unexpected(std::move(*failure));
  return order;
}

}  // namespace tq::store
