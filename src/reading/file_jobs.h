// File: reading/file_jobs.h
//
// Scanners read many files that don't depend on each other (rollouts, cached
// pastes, snapshots, attachments). `for_each_file` runs one job per file on
// `context.options.workers` threads and hands the results to the scanner in list
// order, so whatever the scanner builds from them is the same for any number
// of threads. With one worker it starts no thread and runs every job on the
// calling thread.
//
//   bool finished = for_each_file<LineFileOutput>(files, context,
//       [&](size_t i) { return parse_session_file(files[i], context, root); },
//       [&](LineFileOutput file) { ...append...; return true; });
//
// `compute` runs on any thread and may only touch its own file; `consume`
// runs on the calling thread, one result at a time, in list order. Memory
// stays bounded: at most two results per worker wait to be consumed. The
// context's monitor hears of every file found and done and is asked between
// files whether to stop; the calling thread asks it at least every 100 ms
// while it waits.
//
// The result is false when the run ended early: `consume` returned false (the
// files after it are not consumed) or the monitor asked to stop. Scanners may
// ignore it: after a stop the driver throws the whole parse away. A C++
// exception thrown by a job is thrown again on the calling thread after every
// thread has ended.
//
// A worker the system can't start (a process limit, no memory for its stack)
// is done without: the workers that did start share the files, and when none
// did the calling thread reads them all. The report is the same either way.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"

namespace tq {

// Starts one worker running `body`; throws std::system_error when the system
// refuses a thread, as the std::jthread constructor does. A seam for tests.
using ThreadStarter = std::function<std::jthread(std::function<void()> body)>;
std::jthread start_thread(std::function<void()> body);

// The run itself, with the results kept by the caller: `compute(i)` stores
// result i, `consume(i)` takes it.
[[nodiscard]] bool run_file_jobs(std::span<const std::filesystem::path> files,
                                 const ParseContext& context,
                                 const std::function<void(size_t)>& compute,
                                 const std::function<bool(size_t)>& consume,
                                 const ThreadStarter& start = start_thread);

template <typename R, typename Compute, typename Consume>
bool for_each_file(std::span<const std::filesystem::path> files, const ParseContext& context,
                   Compute&& compute, Consume&& consume) {
  std::vector<std::optional<R>> results(files.size());
  return run_file_jobs(
      files, context, [&](size_t i) { results[i].emplace(compute(i)); },
      [&](size_t i) {
        R result = std::move(*results[i]);
        results[i].reset();
        return consume(std::move(result));
      });
}

// What one file gives a scanner: its event, or the one diagnostic that stands
// for it.
using FileEvent = std::expected<TimelineEvent, Diagnostic>;

// The common shape of a file scanner: each file gives a FileEvent, or an Error
// that ends the scan (a fault of the machine). Events are numbered (`sequence`)
// in list order, after those already in `out`. The first Error in list order is
// returned, and nothing after that file is consumed, as a loop over the files
// would do.
template <typename Job>
[[nodiscard]] Status collect_file_events(std::span<const std::filesystem::path> files,
                                         const ParseContext& context, Job&& job,
                                         ReaderOutput& out) {
  std::optional<Error> failure;
  // Nearly every file gives an event.
  out.events.reserve(files.size());
  for_each_file<Result<FileEvent>>(files, context, std::forward<Job>(job),
                                   [&](Result<FileEvent> item) {
                                     if (!item) {
                                       failure = std::move(item.error());
                                       return false;
                                     }
                                     if (*item) {
                                       (*item)->sequence = out.events.size();
                                       out.events.push_back(std::move(**item));
                                     } else {
                                       out.diagnostics.push_back(std::move(item->error()));
                                     }
                                     return true;
                                   });
  if (failure) return std::unexpected(std::move(*failure));
  return {};
}

}  // namespace tq
