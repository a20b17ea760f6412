#include "ordering/ordering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace tq {
namespace {

TimelineEvent make_event(std::string path, std::optional<uint64_t> line, EventType type,
                         std::optional<DateTime> ts = std::nullopt, uint64_t sequence = 0) {
  TimelineEvent e;
  e.source.relative_path = std::move(path);
  e.source.line_number = line;
  e.event_type = type;
  e.timestamp = ts;
  e.sequence = sequence;
  e.event_id = generate_event_id(Provider::Codex, ArtifactKind::Session, e.source.relative_path,
                                 "k", sequence);
  return e;
}

TimelineEvent snapshot(std::string path, std::string session, std::string id, uint64_t version,
                       DateTime ts) {
  TimelineEvent e = make_event(std::move(path), std::nullopt, EventType::FileSnapshot, ts);
  e.session_id = std::move(session);
  e.source.source_id = std::move(id);
  e.artifact = ArtifactInfo{};
  e.artifact->snapshot_version = version;
  return e;
}

TEST(EventIdTest, MatchesTheWorkedExample) {
  EXPECT_EQ(
      generate_event_id(Provider::Codex, ArtifactKind::History, "history.jsonl", "codex_history:1"),
      "5586078756733624ac106a9ab809e832304d179ee925820c4f643e05aae6b464");
}

TEST(EventIdTest, DependsOnlyOnIdentityAndNormalisesBackslashes) {
  const auto with_slashes =
      generate_event_id(Provider::ClaudeCode, ArtifactKind::FileHistory, "a/b/c", "k");
  EXPECT_EQ(with_slashes,
            generate_event_id(Provider::ClaudeCode, ArtifactKind::FileHistory, "a\\b\\c", "k"));
  EXPECT_NE(with_slashes,
            generate_event_id(Provider::ClaudeCode, ArtifactKind::FileHistory, "a/b/c", "k", 0));
  EXPECT_NE(generate_event_id(Provider::ClaudeCode, ArtifactKind::History, "p", "k", 0),
            generate_event_id(Provider::ClaudeCode, ArtifactKind::History, "p", "k", 1));
  EXPECT_NE(with_slashes,
            generate_event_id(Provider::Codex, ArtifactKind::FileHistory, "a/b/c", "k"));
  EXPECT_EQ(with_slashes.size(), 64u);
}

// A byte that is not UTF-8 is escaped after backslashes became slashes, so
// neither a directory named like the escape nor a literal backslash meets it.
TEST(EventIdTest, NamesWithInvalidUtf8KeepDistinctIds) {
  auto id = [](std::string_view path) {
    return generate_event_id(Provider::Codex, ArtifactKind::Session, path, "codex_session:1");
  };
  const std::string invalid = id("sessions/2025\xff/rollout-a.jsonl");
  EXPECT_NE(invalid, id("sessions/2025/xff/rollout-a.jsonl"));
  EXPECT_NE(invalid, id("sessions/2025\\xff/rollout-a.jsonl"));
  EXPECT_EQ(id("sessions\\2025\xff/rollout-a.jsonl"), invalid);
}

// One file's ids made one after another from its hashed beginning are the ids
// made one at a time: taking an id leaves the beginning as it was.
TEST(EventIdTest, AFilesIdsComeFromItsBeginningHashedOnce) {
  const std::string path(100, 'p');  // past one block of the hash
  const EventIds ids(Provider::Codex, ArtifactKind::Session, path);
  for (const auto& [key, ordinal] : {std::pair<std::string, std::optional<uint64_t>>{"a", {}},
                                     {"codex_session:12", {}},
                                     {"a", 3},
                                     {std::string(70, 'k'), 0}}) {
    EXPECT_EQ(ids.id(key, ordinal),
              generate_event_id(Provider::Codex, ArtifactKind::Session, path, key, ordinal))
        << key;
  }
  EXPECT_EQ(EventIds(Provider::Codex, ArtifactKind::History, "history.jsonl").id("codex_history:1"),
            "5586078756733624ac106a9ab809e832304d179ee925820c4f643e05aae6b464");
}

TEST(CompareEventsTest, OrdersByEachKeyInTurn) {
  const DateTime t1{100, 0}, t2{100, 1};
  struct Case {
    const char* name;
    TimelineEvent first;
    TimelineEvent second;
  };
  const Case cases[] = {
      {"earlier timestamp first", make_event("z", 9, EventType::Unknown, t1),
       make_event("a", 1, EventType::SessionStart, t2)},
      {"timestamp before none", make_event("z", 9, EventType::Unknown, t2),
       make_event("a", 1, EventType::SessionStart)},
      {"snapshot chain by version", snapshot("z/f@v3", "s", "f", 3, t1),
       snapshot("a/f@v10", "s", "f", 10, t1)},
      {"path bytes", make_event("B", 9, EventType::Unknown, t1),
       make_event("a", 1, EventType::SessionStart, t1)},
      {"shorter path prefix first", make_event("ab", 9, EventType::Unknown, t1),
       make_event("abc", 1, EventType::SessionStart, t1)},
      {"line before no line", make_event("a", 9, EventType::Unknown, t1),
       make_event("a", std::nullopt, EventType::SessionStart, t1)},
      {"lower line first", make_event("a", 2, EventType::Unknown, t1),
       make_event("a", 10, EventType::SessionStart, t1)},
      {"session start before tool call", make_event("a", 1, EventType::ToolCall, t1),
       make_event("a", 1, EventType::SessionStart, t1)},
      {"sequence", make_event("a", 1, EventType::ToolCall, t1, 1),
       make_event("a", 1, EventType::AgentMessage, t1, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // "session start before tool call" lists them the other way round on purpose.
    const bool reversed = std::string_view(c.name) == "session start before tool call";
    const auto& lo = reversed ? c.second : c.first;
    const auto& hi = reversed ? c.first : c.second;
    EXPECT_TRUE(compare_events(lo, hi) < 0);
    EXPECT_TRUE(compare_events(hi, lo) > 0);
    EXPECT_TRUE(compare_events(lo, lo) == 0);
  }
}

TEST(CompareEventsTest, SnapshotsOfOtherChainsFallBackToPath) {
  const DateTime t{5, 0};
  EXPECT_TRUE(compare_events(snapshot("a", "s", "f", 10, t), snapshot("b", "s", "g", 3, t)) < 0);
  EXPECT_TRUE(compare_events(snapshot("a", "s1", "f", 10, t), snapshot("b", "s2", "f", 3, t)) < 0);
}

TEST(FinalizeReportTest, SortsStablyAndNumbersFromZero) {
  std::vector<TimelineEvent> events;
  for (uint64_t i = 0; i < 50; ++i) {
    // Same keys everywhere except the id; reversed sequence makes the sort work.
    events.push_back(make_event(std::string(1, static_cast<char>('a' + i % 7)), i % 3,
                                EventType::Unknown, DateTime{static_cast<int64_t>(i % 5), 0},
                                50 - i));
  }
  events.push_back(make_event("a", 1, EventType::Unknown));
  auto report = finalize_report(events, {}, false);
  ASSERT_TRUE(report.has_value());
  ASSERT_EQ(report->events.size(), events.size());
  for (size_t i = 0; i < report->events.size(); ++i) {
    EXPECT_EQ(report->events[i].sequence, i);
    if (i > 0) {
      // sequence was rewritten, so compare with it neutralised.
      auto a = report->events[i - 1], b = report->events[i];
      a.sequence = b.sequence = 0;
      EXPECT_FALSE(compare_events(b, a) < 0 && compare_events(a, b) > 0) << i;
    }
  }
  EXPECT_FALSE(report->events.back().timestamp.has_value());

  // On a transitive order the result is exactly the library's stable sort.
  std::stable_sort(
      events.begin(), events.end(),
      [](const TimelineEvent& a, const TimelineEvent& b) { return compare_events(a, b) < 0; });
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(report->events[i].event_id, events[i].event_id) << i;
  }
}

TEST(FinalizeReportTest, MatchesInsertionOrderForEqualEvents) {
  std::vector<TimelineEvent> events;
  for (int i = 0; i < 45; ++i) {
    TimelineEvent e = make_event("same", 1, EventType::Unknown, DateTime{1, 0});
    e.message = std::to_string(i);
    events.push_back(std::move(e));
  }
  auto report = finalize_report(std::move(events), {}, false);
  ASSERT_TRUE(report.has_value());
  for (size_t i = 0; i < report->events.size(); ++i) {
    EXPECT_EQ(report->events[i].message, std::to_string(i));
  }
}

TEST(FinalizeReportTest, StrictModeFailsOnFirstErrorDiagnosticOnly) {
  const std::vector<Diagnostic> warnings = {
      {DiagnosticCode::UnknownRecord, Severity::Warning, std::nullopt, "w"},
      {DiagnosticCode::InvalidTimestamp, Severity::Info, std::nullopt, "i"}};
  auto ok = finalize_report({}, warnings, true);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->diagnostics.size(), 2u);

  auto with_errors = warnings;
  with_errors.push_back({DiagnosticCode::InvalidJson, Severity::Error, std::nullopt, "first"});
  with_errors.push_back({DiagnosticCode::InvalidJson, Severity::Error, std::nullopt, "second"});
  auto failed = finalize_report({}, with_errors, true);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::Strict);
  EXPECT_EQ(failed.error().text(), "Strict mode: first");

  auto best_effort = finalize_report({}, with_errors, false);
  ASSERT_TRUE(best_effort.has_value());
  EXPECT_EQ(best_effort->diagnostics.size(), 4u);
}

class StopOnCall final : public ParseMonitor {
 public:
  explicit StopOnCall(uint64_t call) : call_(call) {}
  void files_found(uint64_t, uint64_t) override {}
  void files_done(uint64_t, uint64_t) override {}
  void bytes_read(uint64_t) override {}
  bool stop_requested() override { return ++calls >= call_; }
  uint64_t calls = 0;

 private:
  uint64_t call_;
};

// A stop asked for in the sort (its first runs, or a merge) ends it there.
TEST(FinalizeReportTest, AStopDuringTheSortEndsIt) {
  std::vector<TimelineEvent> events;
  for (uint64_t i = 0; i < 70000; ++i) {
    events.push_back(make_event("f", (i * 7919) % 70000, EventType::Unknown, DateTime{1, 0}));
  }
  for (uint64_t call : {1u, 3u}) {
    SCOPED_TRACE(call);
    StopOnCall monitor(call);
    auto report = finalize_report(events, {}, false, &monitor);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().text(), kParseStopped);
    EXPECT_EQ(monitor.calls, call);
  }
  StopOnCall never(std::numeric_limits<uint64_t>::max());
  auto report = finalize_report(std::move(events), {}, false, &never);
  ASSERT_TRUE(report.has_value());
  EXPECT_GT(never.calls, 2u);
  for (size_t i = 0; i < report->events.size(); ++i) {
    EXPECT_EQ(report->events[i].source.line_number, i) << i;
  }
}

TEST(FinalizeReportTest, NonTransitiveOrderStaysSafeAndDeterministic) {
  // Snapshot ids holding "@v" make the chain key and the path key disagree.
  const DateTime t{7, 0};
  std::vector<TimelineEvent> events;
  for (uint64_t i = 0; i < 64; ++i) {
    events.push_back(
        snapshot("p" + std::to_string((i * 37) % 64), "s", i % 2 ? "x@v1" : "x", (i * 13) % 9, t));
    events.push_back(
        make_event("p" + std::to_string(i % 11), std::nullopt, EventType::FileSnapshot, t, i));
  }
  auto a = finalize_report(events, {}, false);
  auto b = finalize_report(events, {}, false);
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_EQ(a->events.size(), events.size());
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_EQ(a->events[i].event_id, b->events[i].event_id);
}

}  // namespace
}  // namespace tq
