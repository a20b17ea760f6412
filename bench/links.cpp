// Measures linking against the parse that precedes it: the memory a
// LinkPlanner holds once it has seen every event (its peak: it only grows)
// and the LinkPlan it leaves, against the events themselves, and the CPU
// seconds of planning and applying the plan to every event.
//
//   build/check/links_bench HOME [rounds]
//
// HOME is parsed once with transcripts (which links it); each round then
// links a copy of its events again. Prints one line per round and the
// parse's CPU seconds, so linking's share of a parse can be read off.
#include "ordering/links.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "cpu_seconds.h"
#include "parser/driver.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: links_bench HOME [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  tq::ParserOptions options;
  options.transcripts = true;
  const double parse_start = cpu_seconds();
  auto report = tq::parse_path(argv[1], options);
  const double parse_seconds = cpu_seconds() - parse_start;
  if (!report) {
    std::fprintf(stderr, "links_bench: the parse failed\n");
    return 1;
  }
  std::printf("%zu events, parse with linking %.3f CPU s\n", report->events.size(), parse_seconds);
  for (int round = 0; round < rounds; ++round) {
    tq::EventTable events(report->events);
    const double start = cpu_seconds();
    tq::LinkPlanner planner(events.size());
    for (const tq::TimelineEvent& e : events) planner.add(e);
    for (size_t i = 0; i < events.size(); ++i) planner.visit(i);
    const double visited = cpu_seconds();
    const size_t planner_bytes = planner.bytes();
    const double measured = cpu_seconds();
    const tq::LinkPlan plan = std::move(planner).finish();
    for (size_t i = 0; i < events.size(); ++i) plan.apply(i, events[i]);
    const double seconds = (visited - start) + (cpu_seconds() - measured);
    std::printf("link %.3f CPU s; planner %.1f MiB, plan %.1f MiB\n", seconds,
                static_cast<double>(planner_bytes) / (1 << 20),
                static_cast<double>(plan.bytes()) / (1 << 20));
  }
  return 0;
}
