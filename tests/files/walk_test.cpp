#include "files/walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "files/paths.h"
#include "parser/driver.h"
#include "support/codex_fixtures.h"
#include "support/stop_monitor.h"

namespace tq {
namespace {

namespace fs = std::filesystem;
using testing::TempTree;

// One line per item: "path type" or "path ERROR text", paths relative to the
// scratch root, so a failure shows the whole walk.
std::vector<std::string> walk_lines(const TempTree& dir, const fs::path& start,
                                    WalkOptions options) {
  std::vector<std::string> lines;
  for (const WalkItem& item : walk_all(start, options)) {
    std::string rel = relative_path(item.path, dir.root());
    if (item.error) {
      lines.push_back(rel + " ERROR " + *item.error);
      continue;
    }
    const char* type = item.type == fs::file_type::regular     ? "file"
                       : item.type == fs::file_type::directory ? "dir"
                       : item.type == fs::file_type::symlink   ? "link"
                                                               : "other";
    lines.push_back(rel + " " + type + " " + std::to_string(item.depth));
  }
  return lines;
}

TEST(WalkTest, VisitsNamesInByteOrderDepthFirst) {
  TempTree dir;
  dir.write("t/b", "");
  dir.write("t/a", "");
  dir.write("t/B", "");
  dir.write("t/2025/01/9/x", "");
  dir.write("t/2025/01/10/y", "");
  const std::vector<std::string> expected = {
      "t dir 0",
      "t/2025 dir 1",
      "t/2025/01 dir 2",
      "t/2025/01/10 dir 3",
      "t/2025/01/10/y file 4",
      "t/2025/01/9 dir 3",
      "t/2025/01/9/x file 4",
      "t/B file 1",
      "t/a file 1",
      "t/b file 1",
  };
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {}), expected);
}

TEST(WalkTest, MaxDepthLimitsTheEntriesYielded) {
  TempTree dir;
  dir.write("t/a/b/c", "");
  const std::vector<std::string> expected = {"t dir 0", "t/a dir 1", "t/a/b dir 2"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = false, .max_depth = 2}), expected);
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = false, .max_depth = 0}),
            std::vector<std::string>{"t dir 0"});
}

TEST(WalkTest, StartThatIsAFileOrMissing) {
  TempTree dir;
  dir.write("f.txt", "x");
  EXPECT_EQ(walk_lines(dir, dir.path("f.txt"), {}), std::vector<std::string>{"f.txt file 0"});
  const std::string missing = dir.path("missing").string();
  EXPECT_EQ(walk_lines(dir, dir.path("missing"), {}),
            std::vector<std::string>{"missing ERROR IO error for operation on " + missing +
                                     ": No such file or directory (os error 2)"});
}

TEST(WalkTest, LinksAreFollowedOnlyWhenAsked) {
  TempTree dir;
  dir.write("target/inner.txt", "");
  dir.write("t/file.txt", "");
  dir.symlink("../target", "t/dirlink");
  dir.symlink("file.txt", "t/filelink");

  const std::vector<std::string> plain = {"t dir 0", "t/dirlink link 1", "t/file.txt file 1",
                                          "t/filelink link 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = false}), plain);

  const std::vector<std::string> followed = {"t dir 0", "t/dirlink dir 1",
                                             "t/dirlink/inner.txt file 2", "t/file.txt file 1",
                                             "t/filelink file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = true}), followed);
}

TEST(WalkTest, DirectoryReplacedByALinkAfterListingIsNotFollowed) {
  TempTree dir;
  dir.write("target/inner.txt", "");
  dir.mkdir("t/sub");
  DirectoryWalk walk(dir.path("t"), {.follow_symlinks = false});
  ASSERT_TRUE(walk.next().has_value());  // "t" itself, listed now
  fs::remove(dir.path("t/sub"));
  dir.symlink("../target", "t/sub");
  std::vector<std::string> rest;
  while (std::optional<WalkItem> item = walk.next()) {
    rest.push_back(relative_path(item->path, dir.root()) + " " + item->error.value_or("-"));
  }
  const std::vector<std::string> expected = {"t/sub -", "t/sub IO error for operation on " +
                                                            dir.path("t/sub").string() +
                                                            ": Not a directory (os error 20)"};
  EXPECT_EQ(rest, expected);
}

TEST(WalkTest, StartLinkIsAlwaysFollowed) {
  TempTree dir;
  dir.write("target/inner.txt", "");
  dir.symlink("target", "start");
  const std::vector<std::string> expected = {"start dir 0", "start/inner.txt file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("start"), {.follow_symlinks = false}), expected);
}

// Error items: the walk reports them and goes on with the next entry.

TEST(WalkTest, LinkCycleIsOneErrorAndTheWalkGoesOn) {
  TempTree dir;
  dir.write("t/a/file.txt", "");
  dir.symlink("..", "t/a/loop");
  dir.write("t/b.txt", "");
  const std::string t = dir.path("t").string();
  const std::vector<std::string> expected = {
      "t dir 0", "t/a dir 1", "t/a/file.txt file 2",
      "t/a/loop ERROR File system loop found: " + t + "/a/loop points to an ancestor " + t,
      "t/b.txt file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = true}), expected);

  const std::vector<std::string> unfollowed = {"t dir 0", "t/a dir 1", "t/a/file.txt file 2",
                                               "t/a/loop link 2", "t/b.txt file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = false}), unfollowed);
}

TEST(WalkTest, DanglingLinkIsAnErrorOnlyWhenFollowed) {
  TempTree dir;
  dir.symlink("nowhere", "t/broken");
  dir.write("t/z.txt", "");
  const std::string broken = dir.path("t/broken").string();
  const std::vector<std::string> followed = {"t dir 0",
                                             "t/broken ERROR IO error for operation on " + broken +
                                                 ": No such file or directory (os error 2)",
                                             "t/z.txt file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = true}), followed);
  const std::vector<std::string> plain = {"t dir 0", "t/broken link 1", "t/z.txt file 1"};
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.follow_symlinks = false}), plain);
}

TEST(WalkTest, AStopEndsTheWalkBeforeTheNextEntry) {
  TempTree dir;
  for (const char* name : {"t/a", "t/b", "t/c", "t/d"}) dir.write(name, "");
  testing::StopMonitor monitor(3);
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {.monitor = &monitor}),
            (std::vector<std::string>{"t dir 0", "t/a file 1", "t/b file 1"}));
}

TEST(WalkTest, ATreeDeeperThanTheDescriptorsHeldIsWalkedWhole) {
  TempTree dir;
  // Each level holds "a" (the next level) and then "b", which the walk can only
  // open once it is back from the depths below "a".
  std::string level = "t";
  std::vector<std::string> down = {"t dir 0"};
  std::vector<std::string> up;
  for (size_t depth = 1; depth <= 100; ++depth) {
    dir.mkdir(level + "/b");
    up.push_back(level + "/b dir " + std::to_string(depth));
    level += "/a";
    down.push_back(level + " dir " + std::to_string(depth));
  }
  dir.mkdir(level);
  down.insert(down.end(), up.rbegin(), up.rend());
  EXPECT_EQ(walk_lines(dir, dir.path("t"), {}), down);
}

// Races: a directory swapped for a link to one outside while the parse is
// inside the evidence.

void exchange(const fs::path& a, const fs::path& b) {
  ASSERT_EQ(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE), 0) << a;
}

TEST(WalkRaceTest, ADirectorySwappedAfterItWasListedIsWalkedWhereItWasListed) {
  TempTree dir;
  dir.write("t/s/sub/benign.txt", "");
  dir.write("o/sub/secret.txt", "");
  dir.symlink("../o", "t/s.alt");
  DirectoryWalk walk(dir.path("t"), {});
  std::vector<std::string> seen;
  while (std::optional<WalkItem> item = walk.next()) {
    seen.push_back(relative_path(item->path, dir.root()));
    if (seen.back() == "t/s") exchange(dir.path("t/s"), dir.path("t/s.alt"));
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"t", "t/s", "t/s/sub", "t/s/sub/benign.txt", "t/s.alt"}));
}

// The directories the scope's seam swaps once the first file is open.
fs::path g_swapped[2];
void swap_after_first(const fs::path& opened) {
  if (opened.filename() == "first.txt") exchange(g_swapped[0], g_swapped[1]);
}

TEST(WalkRaceTest, AFileWhoseDirectoryBecameALinkOutsideAfterTheWalkIsRefused) {
  // The profile given itself, and one linked from the home given, whose link
  // is resolved once for all its files.
  struct Case {
    const char* name;
    const char* profile;  // where the profile's files lie
    const char* given;
  };
  const Case cases[] = {{"profile given", "h/.codex", "h/.codex"},
                        {"profile linked from the home", "h/dotfiles/codex", "h"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree dir;
    const std::string attachments = std::string(c.profile) + "/attachments/";
    dir.write(attachments + "a/first.txt", "first");
    dir.write(attachments + "s/n.txt", "benign");
    dir.write("o/n.txt", "SECRET");
    dir.symlink(dir.path("o").string(), attachments + "s.alt");
    if (std::string_view(c.given) == "h") dir.symlink("dotfiles/codex", "h/.codex");
    g_swapped[0] = dir.path(attachments + "s");
    g_swapped[1] = dir.path(attachments + "s.alt");
    EvidenceScope scope;
    scope.after_open = swap_after_first;
    ParserOptions options;
    options.include_content = true;
    Result<ParseReport> report = parse_path(dir.path(c.given), {options, &scope});
    ASSERT_TRUE(report.has_value()) << report.error().text();
    std::vector<std::string> events;
    for (const auto& e : report->events) events.push_back(e.source.relative_path);
    EXPECT_EQ(events, std::vector<std::string>{"attachments/a/first.txt"});
    std::vector<std::string> warnings;
    for (const auto& d : report->diagnostics) {
      if (d.severity == Severity::Warning) warnings.push_back(d.message);
    }
    const std::vector<std::string> expected = {
        "Not following symbolic link: attachments/s.alt (pass follow_symlinks=True to follow it)",
        "Not following symbolic link outside the evidence: attachments/s/n.txt (pass "
        "follow_symlinks=True to follow it)"};
    EXPECT_EQ(warnings, expected);
    EXPECT_EQ(report->diagnostics.size(), expected.size());
  }
}

}  // namespace
}  // namespace tq
