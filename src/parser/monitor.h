// File: parser/monitor.h
//
// How a caller watches a long parse and stops it. The parse tells its monitor
// how many files and bytes it has found and finished, and asks it between
// files and between 8 KiB reads of a line file whether to stop. A monitor that
// says stop makes the readers end early; `parse_path` then returns the
// `Message` error kParseStopped and the caller discards everything.
//
//   class Counter final : public ParseMonitor { ... };
//   Counter monitor;
//   options.monitor = &monitor;
//   Result<ParseReport> report = parse_path(path, options);
//
// Every member may be called from any thread of the parse, at the same time,
// so implementations keep their counts in atomics. `stop_requested` is called
// very often and must be cheap when there is nothing to do.
#pragma once

#include <cstdint>
#include <string_view>

namespace tq {

inline constexpr std::string_view kParseStopped = "The parse was stopped.";

class ParseMonitor {
 public:
  virtual ~ParseMonitor() = default;

  // A scanner has listed `files` more files holding `bytes` bytes.
  virtual void files_found(uint64_t files, uint64_t bytes) = 0;
  // The parse is through with `files` more files holding `bytes` bytes.
  virtual void files_done(uint64_t files, uint64_t bytes) = 0;
  // True once the parse should end. Once true, stays true.
  virtual bool stop_requested() = 0;
};

// Whether the parse watched by `monitor` (may be null) should end now.
inline bool stop_requested(ParseMonitor* monitor) {
  return monitor != nullptr && monitor->stop_requested();
}

}  // namespace tq
