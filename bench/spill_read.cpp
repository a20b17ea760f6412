// Measures reading a spilled area back in an order other than the one it was
// written in, as the output does when it copies rendered events in sorted
// order: `read_many` over batches of ranges against one `read` (one pread)
// per record.
//
//   build/check/spill_read_bench [records] [record bytes]
//
// Two orders: "interleaved", the records of 64 files (each file's records
// adjacent, as they are rendered) merged at random, which is what a timeline
// of concurrent sessions looks like; and "shuffled", every record anywhere.
// For each: wall and CPU seconds (strace -c -e pread64 counts the calls).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cpu_seconds.h"
#include "store/spill.h"

namespace {

using tq::store::Range;
using tq::store::SpillArea;

// Records of 64 files, each file's records adjacent in the area, taken file
// by file at random: every file keeps its own order.
std::vector<Range> interleaved(const std::vector<Range>& written, std::mt19937& random) {
  constexpr size_t kFiles = 64;
  std::vector<std::vector<Range>> files(kFiles);
  const size_t per_file = (written.size() + kFiles - 1) / kFiles;
  for (size_t i = 0; i < written.size(); ++i) files[i / per_file].push_back(written[i]);
  std::vector<size_t> next(kFiles, 0);
  std::vector<Range> out;
  while (out.size() < written.size()) {
    const size_t f = random() % kFiles;
    if (next[f] < files[f].size()) out.push_back(files[f][next[f]++]);
  }
  return out;
}

template <typename Read>
void measure(const char* order, const char* how, Read&& read) {
  const auto wall = std::chrono::steady_clock::now();
  const double cpu = cpu_seconds();
  const size_t bytes = read();
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  std::printf("%-12s %-24s wall %6.2fs  cpu %6.2fs  %zu bytes\n", order, how, wall_s,
              cpu_seconds() - cpu, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 500000;
  const size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
  std::mt19937 random(1);
  SpillArea area;
  std::vector<Range> written;
  std::string record;
  for (size_t i = 0; i < count; ++i) {
    record.assign(size / 2 + random() % size, static_cast<char>('a' + i % 26));
    auto at = area.append(record);
    if (!at) {
      std::fprintf(stderr, "%s\n", at.error().text().c_str());
      return 1;
    }
    written.push_back({*at, record.size()});
  }
  std::printf("%zu records, %.0f MiB, spilled: %s\n", count,
              static_cast<double>(area.size()) / (1 << 20), area.spilled() ? "yes" : "no");
  std::vector<Range> shuffled = written;
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  const std::pair<const char*, std::vector<Range>> orders[] = {
      {"interleaved", interleaved(written, random)}, {"shuffled", shuffled}};
  for (const auto& [name, ranges] : orders) {
    measure(name, "one read each", [&] {
      std::string into;
      size_t total = 0;
      for (const Range& r : ranges) {
        into.resize(r.size);
        if (!area.read(r.offset, r.size, into.data())) std::abort();
        total += r.size;
      }
      return total;
    });
    for (size_t batch : {size_t{1024}, size_t{16384}, ranges.size()}) {
      const std::string how = "read_many, batch " + std::to_string(batch);
      measure(name, how.c_str(), [&] {
        std::string into;
        size_t total = 0;
        for (size_t at = 0; at < ranges.size(); at += batch) {
          into.clear();
          const size_t n = std::min(batch, ranges.size() - at);
          if (!area.read_many(std::span(ranges).subspan(at, n), into)) std::abort();
          total += into.size();
        }
        return total;
      });
    }
  }
  return 0;
}
