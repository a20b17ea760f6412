// The process's CPU seconds (user and system) so far, for the benchmark
// programs' figures.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>

inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
