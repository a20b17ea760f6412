#include "monitor.h"

#include <algorithm>

#include "convert.h"

namespace tq::py {
namespace {

// Often enough that Ctrl-C feels immediate, rarely enough that taking the lock
// costs nothing measurable; also the progress callable's rate limit.
constexpr std::chrono::milliseconds kPollInterval{100};

}  // namespace

InterpreterMonitor::InterpreterMonitor(PyObject* progress)
    : progress_(progress),
      caller_(std::this_thread::get_id()),
      next_poll_(std::chrono::steady_clock::now() + kPollInterval) {}

void InterpreterMonitor::files_found(uint64_t files, uint64_t bytes) {
  files_total_.fetch_add(files, std::memory_order_relaxed);
  bytes_total_.fetch_add(bytes, std::memory_order_relaxed);
}

void InterpreterMonitor::files_done(uint64_t files, uint64_t bytes) {
  files_done_.fetch_add(files, std::memory_order_relaxed);
  bytes_done_.fetch_add(bytes, std::memory_order_relaxed);
}

void InterpreterMonitor::bytes_read(uint64_t bytes) {
  bytes_read_.fetch_add(bytes, std::memory_order_relaxed);
}

uint64_t InterpreterMonitor::bytes_progress() const {
  // A file read to its end is counted both as read and as done, and a file
  // that can't be opened only as done: the larger count never counts a byte
  // twice and still reaches the total once every file is done.
  const uint64_t read = bytes_read_.load(std::memory_order_relaxed);
  const uint64_t done = bytes_done_.load(std::memory_order_relaxed);
  return std::min(std::max(read, done), bytes_total_.load(std::memory_order_relaxed));
}

bool InterpreterMonitor::stop_requested() {
  if (stopped_.load(std::memory_order_relaxed)) return true;
  // Only the thread that released the lock may take it back here; the
  // parse's other threads never touch Python.
  if (std::this_thread::get_id() != caller_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return false;
  poll();
  next_poll_ = std::chrono::steady_clock::now() + kPollInterval;
  return stopped_.load(std::memory_order_relaxed);
}

bool InterpreterMonitor::stop_requested_now() {
  if (stopped_.load(std::memory_order_relaxed)) return true;
  if (std::this_thread::get_id() != caller_) return false;
  poll();
  next_poll_ = std::chrono::steady_clock::now() + kPollInterval;
  return stopped_.load(std::memory_order_relaxed);
}

void InterpreterMonitor::poll() {
  // This thread released the lock around the parse; PyGILState_Ensure takes it
  // back with the same thread state and Release gives it up again.
  const PyGILState_STATE state = PyGILState_Ensure();
  int failed = PyErr_CheckSignals();
  if (failed == 0 && progress_ != nullptr) {
    PyRef result(PyObject_CallFunction(progress_, "KKKK",
                                       static_cast<unsigned long long>(files_done_.load()),
                                       static_cast<unsigned long long>(files_total_.load()),
                                       static_cast<unsigned long long>(bytes_progress()),
                                       static_cast<unsigned long long>(bytes_total_.load())));
    if (!result) failed = -1;
  }
  if (failed < 0) {
    exception_ = py::take_exception();
    stopped_.store(true, std::memory_order_relaxed);
  }
  PyGILState_Release(state);
}

}  // namespace tq::py
