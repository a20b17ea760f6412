#include "parser/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "ordering/ordering.h"
#include "output/json.h"
#include "output/jsonl.h"
#include "query/query.h"
#include "support/temp_tree.h"

namespace tq {
namespace {

constexpr const char* kCodexHistory = R"({"session_id":"s1","ts":1700000000,"text":"codex"})"
                                      "\n";
constexpr const char* kClaudeHistory =
    R"({"display":"claude","timestamp":1700000001000,"sessionId":"c1","project":"/p"})"
    "\n";

ParserOptions options(bool follow = false, ParseMode mode = ParseMode::BestEffort) {
  ParserOptions o;
  o.follow_symlinks = follow;
  o.mode = mode;
  return o;
}

std::vector<std::string> paths_of(const ParseReport& r) {
  std::vector<std::string> out;
  for (const auto& e : r.events) out.push_back(e.source.relative_path);
  return out;
}

TEST(ParsePathTest, HomeWithBothProfilesIsOneTimelineWithPrefixedPaths) {
  testing::TempTree home;
  home.write(".codex/history.jsonl", kCodexHistory);
  home.write(".claude/history.jsonl", kClaudeHistory);
  auto report = parse_path(home.root(), options());
  ASSERT_TRUE(report.has_value()) << report.error().text();
  EXPECT_EQ(paths_of(*report),
            (std::vector<std::string>{".codex/history.jsonl", ".claude/history.jsonl"}));
  EXPECT_EQ(report->events[0].provider, Provider::Codex);
  EXPECT_EQ(report->events[1].provider, Provider::ClaudeCode);
  EXPECT_EQ(report->events[1].sequence, 1u);
}

TEST(ParsePathTest, HomeWithOneProfileMeasuresPathsFromThatProfile) {
  testing::TempTree home;
  home.write(".codex/history.jsonl", kCodexHistory);
  auto report = parse_path(home.root(), options());
  ASSERT_TRUE(report.has_value()) << report.error().text();
  EXPECT_EQ(paths_of(*report), std::vector<std::string>{"history.jsonl"});
  EXPECT_EQ(report->events[0].event_id, generate_event_id(Provider::Codex, ArtifactKind::History,
                                                          "history.jsonl", "codex_history:1"));

  auto direct = parse_path(home.path(".codex"), options());
  ASSERT_TRUE(direct.has_value());
  EXPECT_EQ(direct->events[0].event_id, report->events[0].event_id);
}

TEST(ParsePathTest, SameTreeInTwoPlacesGivesIdenticalReports) {
  testing::TempTree a, b;
  for (auto* dir : {&a, &b}) {
    dir->write(".codex/history.jsonl", kCodexHistory);
    dir->write(".claude/history.jsonl", kClaudeHistory);
  }
  auto ra = parse_path(a.root(), options());
  auto rb = parse_path(b.root(), options());
  ASSERT_TRUE(ra.has_value() && rb.has_value());
  ASSERT_EQ(ra->events.size(), rb->events.size());
  for (size_t i = 0; i < ra->events.size(); ++i) {
    EXPECT_EQ(ra->events[i].event_id, rb->events[i].event_id);
    EXPECT_EQ(ra->events[i].source.relative_path, rb->events[i].source.relative_path);
  }
}

// A profile kept elsewhere in the home counts without following links; one
// outside the home only when links are followed.
TEST(ParsePathTest, ProfileLinksInsideTheHomeAlwaysCount) {
  testing::TempTree home;
  home.write("real-claude/history.jsonl", kClaudeHistory);
  home.write(".codex/history.jsonl", kCodexHistory);
  home.symlink("real-claude", ".claude");
  auto plain = parse_path(home.root(), options(false));
  ASSERT_TRUE(plain.has_value()) << plain.error().text();
  EXPECT_EQ(paths_of(*plain),
            (std::vector<std::string>{".codex/history.jsonl", ".claude/history.jsonl"}));
  auto followed = parse_path(home.root(), options(true));
  ASSERT_TRUE(followed.has_value()) << followed.error().text();
  EXPECT_EQ(followed->events.size(), 2u);
}

TEST(ParsePathTest, DetectionFailuresHaveExactMessages) {
  testing::TempTree dir;
  dir.mkdir("empty");
  dir.write("elsewhere/attachments/paste-cache/x.txt", "x");
  dir.write("elsewhere/attachments/history.jsonl", kCodexHistory);

  auto none = parse_path(dir.path("empty"), options());
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().kind(), ErrorKind::Detection);
  EXPECT_EQ(none.error().text(),
            "Cannot auto-detect a supported artifact at '" + dir.path("empty").string() + "'.");

  const auto tied = dir.path("elsewhere/attachments/paste-cache/x.txt");
  auto ambiguous = parse_path(tied, options());
  ASSERT_FALSE(ambiguous.has_value());
  EXPECT_EQ(ambiguous.error().text(),
            "Artifact detection is ambiguous at '" + tied.string() + "': Codex, ClaudeCode.");

  // Codex recognises it more surely than Claude Code's generic history match.
  auto codex = parse_path(dir.path("elsewhere/attachments/history.jsonl"), options());
  ASSERT_TRUE(codex.has_value()) << codex.error().text();
  ASSERT_EQ(codex->events.size(), 1u);
  EXPECT_EQ(codex->events[0].provider, Provider::Codex);
}

TEST(ParsePathTest, PathsTheSystemCannotUseAreIoErrors) {
  testing::TempTree dir;
  auto missing = parse_path(dir.path("absent"), options());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(missing.error().text().ends_with("No such file or directory (os error 2)"))
      << missing.error().text();

  auto canonical = parse_path(dir.path("absent"), options(true));
  ASSERT_FALSE(canonical.has_value());
  EXPECT_EQ(canonical.error().text(), "I/O error at " + dir.path("absent").string() +
                                          ": No such file or directory (os error 2)");

  // A NUL byte would cut the path short and name another file.
  dir.write("history.jsonl", kCodexHistory);
  const std::string with_nul = dir.path("history.jsonl").string() + std::string(1, '\0') + "x";
  auto nul = parse_path(std::filesystem::path(with_nul), options());
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(nul.error().text().ends_with(": Invalid argument (os error 22)"));
}

TEST(ParsePathTest, ForcedInputKindSkipsDetection) {
  testing::TempTree dir;
  const auto file =
      dir.write("notes.txt", R"({"timestamp":"2025-01-02T10:00:00Z","type":"session_meta",)"
                             R"("payload":{"id":"s","cwd":"/w"}})"
                             "\n");
  ParserOptions o = options();
  o.input_kind = InputKind::CodexSession;
  auto report = parse_path(file, o);
  ASSERT_TRUE(report.has_value()) << report.error().text();
  ASSERT_EQ(report->events.size(), 1u);
  EXPECT_EQ(report->events[0].event_type, EventType::SessionStart);
}

// Every kind but Auto belongs to exactly one adapter, whatever the member order.
TEST(RegistryTest, EachInputKindIsSupportedByExactlyOneAdapter) {
  const std::pair<InputKind, std::optional<Provider>> cases[] = {
      {InputKind::Auto, std::nullopt},
      {InputKind::ClaudeRoot, Provider::ClaudeCode},
      {InputKind::History, Provider::ClaudeCode},
      {InputKind::PasteCache, Provider::ClaudeCode},
      {InputKind::ImageCache, Provider::ClaudeCode},
      {InputKind::FileHistory, Provider::ClaudeCode},
      {InputKind::ClaudeProjects, Provider::ClaudeCode},
      {InputKind::ClaudeTranscript, Provider::ClaudeCode},
      {InputKind::CodexRoot, Provider::Codex},
      {InputKind::CodexHistory, Provider::Codex},
      {InputKind::CodexSessions, Provider::Codex},
      {InputKind::CodexSession, Provider::Codex},
      {InputKind::CodexAttachments, Provider::Codex},
  };
  static_assert(std::size(cases) == kEnumSize<InputKind>);
  for (const auto& [kind, provider] : cases) {
    SCOPED_TRACE(identifier(kind));
    std::vector<Provider> supporting;
    for (const auto& entry : provider_registry()) {
      if (entry.supports(kind)) supporting.push_back(entry.provider);
    }
    EXPECT_EQ(supporting, provider ? std::vector<Provider>{*provider} : std::vector<Provider>{});
  }
}

TEST(ParsePathTest, StrictModeTurnsErrorDiagnosticsIntoAnError) {
  testing::TempTree home;
  home.write(".claude/history.jsonl", std::string(kClaudeHistory) + "{not json\n");
  home.write(".codex/history.jsonl", kCodexHistory);
  auto lenient = parse_path(home.root(), options());
  ASSERT_TRUE(lenient.has_value());
  EXPECT_EQ(lenient->events.size(), 2u);
  ASSERT_EQ(lenient->diagnostics.size(), 1u);
  EXPECT_EQ(lenient->diagnostics[0].severity, Severity::Error);

  auto strict = parse_path(home.root(), options(false, ParseMode::Strict));
  ASSERT_FALSE(strict.has_value());
  EXPECT_EQ(strict.error().kind(), ErrorKind::JsonParse);
}

// Without `raw`, records are parsed only as far as their events read them: a
// reader that reads a member its shape doesn't name sees it missing. The
// events, with every field of the surface read, their tool names and the
// diagnostics must be those of the whole records, in every sample profile.
TEST(ParsePathTest, EventsOfPartlyParsedRecordsAreThoseOfWholeOnes) {
  const std::filesystem::path tests = std::filesystem::path(__FILE__).parent_path().parent_path();
  std::vector<std::filesystem::path> homes = {tests.parent_path() / "examples" / "sample-home",
                                              tests / "data" / "claude-hillviewcap"};
  for (const auto& entry : std::filesystem::directory_iterator(tests / "data/samples/real")) {
    homes.push_back(entry.path());
  }
  std::sort(homes.begin() + 2, homes.end());
  auto text_of = [](const ParseReport& report, Surface surface) {
    std::string text;
    EXPECT_TRUE(
        write_report(report, OutputTarget::memory(text), JsonLayout::Compact, surface).has_value());
    for (const TimelineEvent& e : report.events) text += "\n" + std::string(tool_name(e));
    return text;
  };
  for (const auto& home : homes) {
    for (const bool transcripts : {false, true}) {
      for (const bool content : {false, true}) {
        SCOPED_TRACE(home.filename().string() + (transcripts ? ", whole surface" : "") +
                     (content ? ", with content" : ""));
        ParserOptions options{.include_content = content, .transcripts = transcripts};
        auto shaped = parse_path(home, options);
        options.include_raw = true;
        auto whole = parse_path(home, options);
        ASSERT_TRUE(shaped && whole);
        for (TimelineEvent& e : whole->events) e.raw.reset();
        const std::string got = text_of(*shaped, output_surface(options));
        EXPECT_FALSE(shaped->events.empty());
        EXPECT_EQ(got, text_of(*whole, output_surface(options)));
      }
    }
  }
}

}  // namespace
}  // namespace tq
