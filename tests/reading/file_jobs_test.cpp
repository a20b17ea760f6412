// The ordered parallel map the scanners read their files with: results arrive
// in list order whatever the number of threads, memory stays bounded, and a
// stop (from the consumer, the monitor or a fault) ends the run early.
#include "reading/file_jobs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tq {
namespace {

std::vector<std::filesystem::path> names(size_t count) {
  std::vector<std::filesystem::path> files;
  for (size_t i = 0; i < count; ++i) files.emplace_back("no-such-file-" + std::to_string(i));
  return files;
}

// Later files finish first, so any reordering would show.
void uneven_work(size_t i) {
  std::this_thread::sleep_for(std::chrono::microseconds((i % 5) * 200));
}

class StopAfter final : public ParseMonitor {
 public:
  explicit StopAfter(uint64_t files) : limit_(files) {}
  void files_found(uint64_t files, uint64_t) override { found += files; }
  void files_done(uint64_t files, uint64_t) override { done += files; }
  void bytes_read(uint64_t) override {}
  bool stop_requested() override { return done.load() >= limit_; }
  std::atomic<uint64_t> found{0};
  std::atomic<uint64_t> done{0};

 private:
  uint64_t limit_;
};

TEST(FileJobsTest, ResultsArriveInListOrderWithBoundedMemory) {
  for (unsigned workers : {1u, 3u, 8u}) {
    SCOPED_TRACE(workers);
    ParserOptions options;
    options.workers = workers;
    const auto files = names(60);
    std::atomic<int> waiting{0};  // computed, not yet consumed
    int most_waiting = 0;
    std::vector<size_t> consumed;
    const bool finished = for_each_file<size_t>(
        files, {options},
        [&](size_t i) {
          uneven_work(i);
          ++waiting;
          return i;
        },
        [&](size_t i) {
          most_waiting = std::max(most_waiting, waiting.load());
          --waiting;
          consumed.push_back(i);
          return true;
        });
    EXPECT_TRUE(finished);
    ASSERT_EQ(consumed.size(), files.size());
    for (size_t i = 0; i < consumed.size(); ++i) EXPECT_EQ(consumed[i], i);
    EXPECT_LE(most_waiting, static_cast<int>(2 * workers));
  }
}

TEST(FileJobsTest, StopsEarly) {
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    ParserOptions options;
    options.workers = workers;
    const auto files = names(40);

    std::vector<size_t> consumed;
    EXPECT_FALSE(for_each_file<size_t>(
        files, {options}, [](size_t i) { return i; },
        [&](size_t i) {
          consumed.push_back(i);
          return i < 9;
        }));
    EXPECT_EQ(consumed.size(), 10u);

    StopAfter monitor(5);
    consumed.clear();
    EXPECT_FALSE(for_each_file<size_t>(
        files, {options, nullptr, &monitor},
        [](size_t i) {
          uneven_work(i);
          return i;
        },
        [&](size_t i) {
          consumed.push_back(i);
          return true;
        }));
    EXPECT_EQ(monitor.found.load(), 40u);
    EXPECT_LT(consumed.size(), 40u);
    EXPECT_LE(monitor.done.load(), 5u + workers);

    EXPECT_THROW(for_each_file<size_t>(
                     files, {options},
                     [](size_t i) -> size_t {
                       if (i == 7) throw std::runtime_error("job fault");
                       return i;
                     },
                     [](size_t) { return true; }),
                 std::runtime_error);
  }
}

// A system that refuses threads (a process limit) costs parallelism only: the
// files are all read, in order, by the workers that started or by the caller.
TEST(FileJobsTest, WorkersTheSystemRefusesAreDoneWithout) {
  for (size_t allowed : {0u, 1u, 3u}) {
    SCOPED_TRACE(allowed);
    size_t started = 0;
    const ThreadStarter limited = [&](std::function<void()> body) {
      if (started == allowed) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      ++started;
      return start_thread(std::move(body));
    };
    ParserOptions options;
    options.workers = 8;
    const auto files = names(40);
    std::vector<size_t> results(files.size(), 0);
    std::vector<size_t> consumed;
    EXPECT_TRUE(run_file_jobs(
        files, {options}, [&](size_t i) { results[i] = i + 1; },
        [&](size_t i) {
          consumed.push_back(results[i]);
          return true;
        },
        limited));
    ASSERT_EQ(consumed.size(), files.size());
    for (size_t i = 0; i < consumed.size(); ++i) EXPECT_EQ(consumed[i], i + 1);

    // A consumer that throws leaves workers waiting for room; they are
    // released, not waited on for ever.
    started = 0;
    EXPECT_THROW(static_cast<void>(run_file_jobs(
                     files, {options}, [](size_t) {},
                     [](size_t i) -> bool {
                       if (i == 2) throw std::runtime_error("consumer fault");
                       return true;
                     },
                     limited)),
                 std::runtime_error);
  }
}

}  // namespace
}  // namespace tq
