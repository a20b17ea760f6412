// A watched parse tells its monitor every file before it reads the first, so
// a progress bar's totals never grow.
#include "reading/listing.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "parser/driver.h"
#include "support/temp_tree.h"

namespace tq {
namespace {

// Keeps the totals as they stood at every report of progress.
class TotalsSeen final : public ParseMonitor {
 public:
  void files_found(uint64_t files, uint64_t bytes) override {
    std::lock_guard lock(mutex_);
    files_total += files;
    bytes_total += bytes;
  }
  void files_done(uint64_t files, uint64_t) override {
    std::lock_guard lock(mutex_);
    done += files;
    seen.emplace_back(files_total, bytes_total);
  }
  void bytes_read(uint64_t) override {
    std::lock_guard lock(mutex_);
    seen.emplace_back(files_total, bytes_total);
  }
  bool stop_requested() override { return false; }

  uint64_t files_total = 0;
  uint64_t bytes_total = 0;
  uint64_t done = 0;
  std::vector<std::pair<uint64_t, uint64_t>> seen;

 private:
  std::mutex mutex_;
};

// Transcripts are read last, after the history, caches and snapshots.
void write_profiles(const testing::TempTree& home) {
  home.write(".claude/history.jsonl",
             R"({"display":"hi","timestamp":1700000001000,"sessionId":"s1","project":"/p"})"
             "\n");
  home.write(".claude/paste-cache/abc.txt", "pasted");
  home.write(".claude/file-history/s1/f@v1", "old");
  for (int i = 0; i < 12; ++i) {
    home.write(".claude/projects/-p/s" + std::to_string(i) + ".jsonl",
               R"({"type":"user","sessionId":"s1","timestamp":"2026-01-01T00:00:00Z",)"
               R"("message":{"role":"user","content":"x"}})"
               "\n");
  }
  home.write(".codex/history.jsonl", R"({"session_id":"c1","ts":1700000000,"text":"codex"})"
                                     "\n");
  home.write(
      ".codex/sessions/2026/01/01/rollout-2026-01-01T00-00-00-"
      "00000000-0000-0000-0000-000000000001.jsonl",
      R"({"timestamp":"2026-01-01T00:00:00Z","type":"session_meta","payload":{}})"
      "\n");
  home.write(".codex/session_index.jsonl",
             R"({"id":"c1","thread_name":"n","updated_at":"2026-01-01T00:00:00Z"})"
             "\n");
}

TEST(ListingTest, TotalsAreFinalFromTheFirstReport) {
  testing::TempTree home;
  write_profiles(home);
  for (unsigned workers : {1u, 3u}) {
    for (const std::string input : {"", ".claude", ".claude/projects"}) {
      SCOPED_TRACE(std::to_string(workers) + " workers, input '" + input + "'");
      TotalsSeen monitor;
      ParserOptions options;
      options.transcripts = true;
      options.workers = workers;
      auto report =
          parse_path(input.empty() ? home.root() : home.path(input), {options, nullptr, &monitor});
      ASSERT_TRUE(report.has_value()) << report.error().text();
      ASSERT_FALSE(monitor.seen.empty());
      EXPECT_EQ(monitor.done, monitor.files_total);
      for (const auto& totals : monitor.seen) {
        EXPECT_EQ(totals, std::make_pair(monitor.files_total, monitor.bytes_total));
      }
    }
  }
}

}  // namespace
}  // namespace tq
