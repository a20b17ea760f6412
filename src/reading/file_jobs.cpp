#include "reading/file_jobs.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

#include "reading/listing.h"

namespace tq {
namespace {

using namespace std::chrono_literals;

// How long the calling thread waits for a result before it asks the monitor
// again: a caller that turns a signal into a stop wants an answer this often.
constexpr auto kMonitorInterval = 100ms;

// Results that may wait to be consumed, per worker: enough to keep every
// worker busy while the calling thread consumes, few enough that memory stays
// what one worker needs.
constexpr size_t kResultsPerWorker = 2;

// Sizes for the monitor's byte counts, as the listing counted them.
std::vector<uint64_t> file_sizes(std::span<const std::filesystem::path> files) {
  std::vector<uint64_t> sizes(files.size(), 0);
  for (size_t i = 0; i < files.size(); ++i) sizes[i] = listed_size(files[i]);
  return sizes;
}

// The shared state of one threaded run. Workers take the next index while it
// lies inside the window in front of the next result to consume; the calling
// thread consumes in order and moves the window on.
class OrderedRun {
 public:
  OrderedRun(size_t count, size_t window, ParseMonitor* monitor,
             const std::function<void(size_t)>& compute, const std::function<void(size_t)>& done)
      : count_(count),
        window_(window),
        monitor_(monitor),
        compute_(compute),
        done_(done),
        finished_(count, false) {}

  void work() {
    prepare_thread_for_exceptions();
    for (;;) {
      size_t index = 0;
      {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
          return stop_ || next_job_ >= count_ || next_job_ < next_consumed_ + window_;
        });
        if (stop_ || next_job_ >= count_) return;
        index = next_job_++;
      }
      if (stop_requested(monitor_)) return halt(nullptr);
      try {
        compute_(index);
        done_(index);
      } catch (...) {
        return halt(std::current_exception());
      }
      {
        std::lock_guard lock(mutex_);
        finished_[index] = true;
      }
      ready_.notify_one();
    }
  }

  // Waits until result `index` is there; false when the run stopped first.
  bool wait_for(size_t index) {
    std::unique_lock lock(mutex_);
    while (!finished_[index] && !stop_) {
      if (ready_.wait_for(lock, kMonitorInterval) == std::cv_status::timeout) {
        lock.unlock();
        const bool stop = stop_requested(monitor_);
        lock.lock();
        if (stop) stop_ = true;
      }
    }
    return finished_[index];
  }

  void consumed(size_t index) {
    {
      std::lock_guard lock(mutex_);
      next_consumed_ = index + 1;
    }
    room_.notify_all();
  }

  void halt(std::exception_ptr fault) {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      if (fault && !fault_) fault_ = std::move(fault);
    }
    room_.notify_all();
    ready_.notify_all();
  }

  std::exception_ptr fault() {
    std::lock_guard lock(mutex_);
    return fault_;
  }

 private:
  const size_t count_;
  const size_t window_;
  ParseMonitor* const monitor_;
  const std::function<void(size_t)>& compute_;
  const std::function<void(size_t)>& done_;

  std::mutex mutex_;
  std::condition_variable room_;   // the window moved, or the run stopped
  std::condition_variable ready_;  // a result is finished, or the run stopped
  std::vector<bool> finished_;     // guarded; result i may be consumed
  size_t next_job_ = 0;            // guarded; the next index a worker takes
  size_t next_consumed_ = 0;       // guarded; results before it are consumed
  bool stop_ = false;              // guarded; no new job starts
  std::exception_ptr fault_;       // guarded; the first exception of a job
};

bool run_in_order(size_t count, ParseMonitor* monitor, const std::function<void(size_t)>& compute,
                  const std::function<void(size_t)>& done,
                  const std::function<bool(size_t)>& consume) {
  for (size_t i = 0; i < count; ++i) {
    if (stop_requested(monitor)) return false;
    compute(i);
    done(i);
    if (!consume(i)) return false;
  }
  return true;
}

// Halts the run when it goes out of scope, before the workers declared ahead
// of it are joined: a worker waiting for room in the window would otherwise
// wait for ever on a caller that left early (a refused thread, a throwing
// `consume`).
class HaltOnExit {
 public:
  explicit HaltOnExit(OrderedRun& run) : run_(run) {}
  HaltOnExit(const HaltOnExit&) = delete;
  HaltOnExit& operator=(const HaltOnExit&) = delete;
  ~HaltOnExit() { run_.halt(nullptr); }

 private:
  OrderedRun& run_;
};

bool run_on_threads(size_t count, size_t threads, ParseMonitor* monitor,
                    const std::function<void(size_t)>& compute,
                    const std::function<void(size_t)>& done,
                    const std::function<bool(size_t)>& consume, const ThreadStarter& start) {
  OrderedRun run(count, threads * kResultsPerWorker, monitor, compute, done);
  bool completed = true;
  {
    std::vector<std::jthread> workers;
    HaltOnExit halt_first(run);
    workers.reserve(threads);
    for (size_t t = 0; t < threads; ++t) {
      try {
        workers.push_back(start([&run] { run.work(); }));
      } catch (...) {
        // The system refused this thread (std::system_error) or the memory to
        // describe it; the ones running do its share.
        break;
      }
    }
    if (workers.empty()) return run_in_order(count, monitor, compute, done, consume);
    for (size_t i = 0; i < count; ++i) {
      // Asked on every file: when results come quickly the waits never time
      // out, and the monitor still wants to hear from this thread.
      if (stop_requested(monitor) || !run.wait_for(i) || !consume(i)) {
        completed = false;
        break;
      }
      run.consumed(i);
    }
  }  // every worker has ended here
  if (std::exception_ptr fault = run.fault()) std::rethrow_exception(fault);
  return completed;
}

}  // namespace

bool run_file_jobs(std::span<const std::filesystem::path> files, const ParseContext& context,
                   const std::function<void(size_t)>& compute,
                   const std::function<bool(size_t)>& consume, const ThreadStarter& start) {
  ParseMonitor* monitor = context.monitor;
  std::vector<uint64_t> sizes;
  if (monitor != nullptr) {
    sizes = file_sizes(files);
    monitor->files_found(files.size(), std::accumulate(sizes.begin(), sizes.end(), uint64_t{0}));
  }
  const std::function<void(size_t)> done = [&](size_t i) {
    if (monitor != nullptr) monitor->files_done(1, sizes[i]);
  };

  const size_t threads = std::min<size_t>(context.options.workers, files.size());
  if (threads > 1) {
    return run_on_threads(files.size(), threads, monitor, compute, done, consume, start);
  }
  return run_in_order(files.size(), monitor, compute, done, consume);
}

std::jthread start_thread(std::function<void()> body) { return std::jthread(std::move(body)); }

}  // namespace tq
