// File: support/stop_monitor.h
//
// A parse monitor that says stop from its `asks`-th question on, and adds up
// the bytes it is told were read.
//
//   StopMonitor monitor(3);  // the first two questions get "go on"
//   describe_file(path, false, 0, nullptr, &monitor);
#pragma once

#include <atomic>
#include <cstdint>

#include "context/monitor.h"

namespace tq::testing {

class StopMonitor final : public ParseMonitor {
 public:
  // 0: never stops.
  explicit StopMonitor(uint64_t asks) : asks_(asks) {}
  void files_found(uint64_t, uint64_t) override {}
  void files_done(uint64_t, uint64_t) override {}
  void bytes_read(uint64_t bytes) override { read += bytes; }
  bool stop_requested() override {
    const uint64_t n = ++asked;
    return asks_ != 0 && n >= asks_;
  }

  std::atomic<uint64_t> read{0};
  std::atomic<uint64_t> asked{0};

 private:
  const uint64_t asks_;
};

}  // namespace tq::testing
