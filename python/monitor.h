// File: python/monitor.h
//
// The parse monitor of a Timeline: it counts files and bytes for the caller's
// progress callable and turns a pending signal (Ctrl-C) into a stop. The
// parsing threads only update atomics and read the stop flag; the calling
// thread, at most every 100 ms, takes the interpreter lock briefly, runs the
// pending signal handlers and calls `progress(files_done, files_total,
// bytes_done, bytes_total)`. An exception from either stops the parse and is
// kept for the caller to raise once the parse has returned.
//
//   InterpreterMonitor monitor(progress);          // lock held
//   const ParseContext context{options, &scope, &monitor};
//   { ReleasedGil unlocked; result = parse_path(path, context); }
//   if (PyRef stop = monitor.take_exception()) ... raise it ...
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "context/monitor.h"
#include "handles.h"

namespace tq::py {

class InterpreterMonitor final : public ParseMonitor {
 public:
  // Created with the lock held on the thread that runs the parse. `progress`
  // is borrowed for the monitor's life: a callable, or nullptr.
  explicit InterpreterMonitor(PyObject* progress);
  InterpreterMonitor(const InterpreterMonitor&) = delete;
  InterpreterMonitor& operator=(const InterpreterMonitor&) = delete;

  void files_found(uint64_t files, uint64_t bytes) override;
  void files_done(uint64_t files, uint64_t bytes) override;
  void bytes_read(uint64_t bytes) override;
  bool stop_requested() override;
  // As stop_requested, but asks the interpreter now, whenever it last asked:
  // for a caller that knows a signal has just arrived.
  bool stop_requested_now();

  // With the lock held, after the parse: the exception that stopped it, or an
  // empty handle.
  PyRef take_exception() { return std::move(exception_); }

 private:
  void poll();
  // The bytes_done the progress callable is shown.
  uint64_t bytes_progress() const;

  PyObject* const progress_;  // borrowed; nullptr: nobody listens
  const std::thread::id caller_;
  std::chrono::steady_clock::time_point next_poll_;  // read and written by caller_ only
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> files_done_{0};
  std::atomic<uint64_t> files_total_{0};
  std::atomic<uint64_t> bytes_done_{0};  // sizes of the files done
  std::atomic<uint64_t> bytes_read_{0};  // bytes read so far, in files done or not
  std::atomic<uint64_t> bytes_total_{0};
  PyRef exception_;  // touched by caller_ with the lock held only
};

}  // namespace tq::py
