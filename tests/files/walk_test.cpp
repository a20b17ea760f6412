#include "files/walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/paths.h"
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

}  // namespace
}  // namespace tq
