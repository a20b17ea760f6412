// File: context/monitor.h
//
// How a caller watches a long parse and stops it. The parse tells its monitor
// how many files and bytes it has found, read and finished, and asks it
// between files, between walked directory entries and before every read of a
// file whether to stop. A monitor that says stop makes the walks and readers
// end early; `parse_path` then returns the `Stopped` error and the caller
// discards everything.
//
//   class Counter final : public ParseMonitor { ... };
//   Counter monitor;
//   Result<ParseReport> report = parse_path(path, {options, nullptr, &monitor});
//
// Every member may be called from any thread of the parse, at the same time,
// so implementations keep their counts in atomics. `stop_requested` is called
// very often and must be cheap when there is nothing to do.
#pragma once

#include <cstdint>

namespace tq {

class ParseMonitor {
 public:
  virtual ~ParseMonitor() = default;

  // A scanner has listed `files` more files holding `bytes` bytes.
  virtual void files_found(uint64_t files, uint64_t bytes) = 0;
  // The parse is through with `files` more files holding `bytes` bytes. Most
  // of those bytes were told already through `bytes_read`, as they came.
  virtual void files_done(uint64_t files, uint64_t bytes) = 0;
  // `bytes` more stored bytes of some file have been read; called once per
  // read, so one large file shows progress before it is done.
  virtual void bytes_read(uint64_t bytes) = 0;
  // True once the parse should end. Once true, stays true.
  virtual bool stop_requested() = 0;
};

// Whether the parse watched by `monitor` (may be null) should end now.
inline bool stop_requested(ParseMonitor* monitor) {
  return monitor != nullptr && monitor->stop_requested();
}

// Tells `monitor` (may be null) of `bytes` more bytes read.
inline void report_bytes_read(ParseMonitor* monitor, uint64_t bytes) {
  if (monitor != nullptr) monitor->bytes_read(bytes);
}

}  // namespace tq
