#include "files/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tq {
namespace {

TEST(PathsTest, RelativePathStripsTheRootComponentWise) {
  struct Case {
    const char* name;
    std::string path;
    std::string root;
    std::string expected;
  };
  const Case cases[] = {
      {"below root", "/home/u/.codex/sessions/a.jsonl", "/home/u/.codex", "sessions/a.jsonl"},
      {"equal gives empty", "/home/u/.codex", "/home/u/.codex", ""},
      {"root with trailing slash", "/a/b/c.txt", "/a/b/", "c.txt"},
      {"doubled slashes and dots", "/a//b/./c.txt", "/a/b", "c.txt"},
      {"prefix only by bytes", "/a/bc/x.txt", "/a/b", "/a/bc/x.txt"},
      {"unrelated keeps whole path", "/x/y.txt", "/a", "/x/y.txt"},
      {"relative paths", "x/sessions/r.jsonl", "x", "sessions/r.jsonl"},
      {"leading dot", "./a/b.txt", ".", "a/b.txt"},
      {"empty root", "history.jsonl", "", "history.jsonl"},
      {"empty root, absolute path", "/a/b", "", "/a/b"},
      {"root of everything", "/a/b", "/", "a/b"},
      {"backslashes become slashes", "/r/a\\b.txt", "/r", "a/b.txt"},
      {"backslashes in unrelated path", "c:\\x\\y", "/r", "c:/x/y"},
      {"invalid utf-8 replaced", "/r/a\xff.txt", "/r", "a\xEF\xBF\xBD.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(relative_path(c.path, c.root), c.expected);
  }
}

// Event ids keep apart what the shown path merges: bytes that are not valid
// UTF-8 stay as they are; everything else reads as relative_path.
TEST(PathsTest, RelativePathIdKeepsInvalidBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"/r/a\xff.txt", "a\xff.txt"}, {"/r/d\xc3\xa9j\xc3/v", "d\xc3\xa9j\xc3/v"},
      {"/r/a\\b.txt", "a/b.txt"},    {"/x/\x80", "/x/\x80"},
      {"/r/plain.txt", "plain.txt"},
  };
  for (const auto& [path, id] : cases) {
    SCOPED_TRACE(id);
    EXPECT_EQ(relative_path_id(path, "/r"), id);
  }
}

TEST(PathsTest, PathOrderComparesComponentsAsBytes) {
  std::vector<std::filesystem::path> paths = {
      "s/2025/01/9/b.jsonl", "s/2025/01/10/a.jsonl", "s/a-b/x", "s/a/b", "s/a", "s/\xff", "s/z",
  };
  std::stable_sort(paths.begin(), paths.end(), path_less);
  const std::vector<std::filesystem::path> expected = {
      "s/2025/01/10/a.jsonl", "s/2025/01/9/b.jsonl", "s/a", "s/a/b", "s/a-b/x", "s/z", "s/\xff",
  };
  EXPECT_EQ(paths, expected);

  EXPECT_TRUE(path_less("/z", "a"));  // the root comes before any name

  // Paths that share leading bytes but not leading parts.
  const struct {
    const char* a;
    const char* b;
    std::strong_ordering order;
  } cases[] = {
      {"a//b/", "a/b", std::strong_ordering::equal},
      {"a/b//c", "a/b/c", std::strong_ordering::equal},
      {"/./a", "/a", std::strong_ordering::equal},
      {".//a", "./b", std::strong_ordering::less},
      {"x/ab", "x/a/b", std::strong_ordering::greater},
      {"a/..", "a/b", std::strong_ordering::less},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(compare_paths(c.a, c.b), c.order);
    EXPECT_EQ(compare_paths(c.b, c.a), 0 <=> c.order);
  }
}

TEST(PathsTest, FileNameStemAndExtensionFollowTheLastDot) {
  struct Case {
    const char* path;
    std::optional<std::string> name;
    std::optional<std::string> stem;
    std::optional<std::string> extension;
  };
  const Case cases[] = {
      {"dir/a.tar.gz", "a.tar.gz", "a.tar", "gz"},
      {"dir/.bashrc", ".bashrc", ".bashrc", std::nullopt},
      {"dir/.x.txt", ".x.txt", ".x", "txt"},
      {"README", "README", "README", std::nullopt},
      {"a.", "a.", "a", ""},
      {"abc@v2", "abc@v2", "abc@v2", std::nullopt},
      {"a/b/", "b", "b", std::nullopt},
      {"a/..", std::nullopt, std::nullopt, std::nullopt},
      {"/", std::nullopt, std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(file_name_bytes(c.path), c.name);
    EXPECT_EQ(file_stem_bytes(c.path), c.stem);
    EXPECT_EQ(file_extension_bytes(c.path), c.extension);
  }
}

TEST(PathsTest, ParentDropsTheLastComponent) {
  EXPECT_EQ(path_parent("a/b/c"), std::filesystem::path("a/b"));
  EXPECT_EQ(path_parent("a/b/"), std::filesystem::path("a"));
  EXPECT_EQ(path_parent("/a"), std::filesystem::path("/"));
  EXPECT_EQ(path_parent("/a/b"), std::filesystem::path("/a"));
  EXPECT_EQ(path_parent("a"), std::filesystem::path(""));
  EXPECT_EQ(path_parent("/"), std::nullopt);
  EXPECT_EQ(path_parent(""), std::nullopt);

  EXPECT_EQ(parent_name("attachments/S1/x.txt"), "S1");
  EXPECT_EQ(parent_name("/attachments/x.txt"), "attachments");
  EXPECT_EQ(parent_name("x.txt"), std::nullopt);
  EXPECT_EQ(parent_name("./x.txt"), std::nullopt);
  EXPECT_EQ(parent_name("a/\xff/x.txt"), std::nullopt);
}

}  // namespace
}  // namespace tq
