// File: store/order_keys.h
//
// The report order of events that are kept elsewhere than in a report: each
// event handed over gives a fixed-size key (ordering/report_order.h) and is
// then free to go; once all are in, `sort` gives their positions in the
// report order, by the same sort and the same comparisons as a report's
// events (ordering.h), so the order is exactly the one the report would have.
//
//   OrderKeys keys;
//   for (const TimelineEvent& e : events) TQ_CHECK(keys.add(e));  // the order they'd be gathered
//   in TQ_TRY(std::vector<uint32_t> order, keys.sort(monitor, whole_ids));
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "context/monitor.h"
#include "error/error.h"
#include "model/records.h"
#include "ordering/report_order.h"
#include "store/chunked.h"

namespace tq::store {

class OrderKeys {
 public:
  // Gives the whole id of the i-th event added, in `scratch` or in storage
  // that outlives the call; asked only when two ids share their first eight
  // bytes.
  using WholeIds = std::function<Result<std::string_view>(size_t i, std::string& scratch)>;

  // Keeps `event`'s key, after those of the events added before.
  [[nodiscard]] Status add(const TimelineEvent& event);
  size_t size() const { return keys_.size(); }

  // The positions of the added events in report order. Ends with the Message
  // error kParseStopped when `monitor` (may be null) asks to stop first, or
  // with the error `ids` gave. The keys are spent: nothing may be added after.
  [[nodiscard]] Result<std::vector<uint32_t>> sort(ParseMonitor* monitor, const WholeIds& ids);

 private:
  uint32_t path_id(const std::string& path);

  Chunked<OrderKey> keys_;
  std::vector<std::string> paths_;  // by id, until sort() ranks them
  std::unordered_map<std::string, uint32_t> path_ids_;
  std::unordered_map<std::string, uint32_t> chain_ids_;  // by the (session, source id) text
};

}  // namespace tq::store
