#include "files/describe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>

#include "hash/hash.h"
#include "support/codex_fixtures.h"
#include "support/stop_monitor.h"

namespace tq {
namespace {

using testing::TempTree;

void set_times(const std::filesystem::path& path, int64_t seconds, long nanos) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), nanos},
                              {static_cast<time_t>(seconds), nanos}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(DescribeTest, DescribesSizeHashTypeAndTimes) {
  TempTree dir;
  auto file = dir.write("notes.txt", "abc");
  set_times(file, 1735689600, 500000000);  // 2025-01-01T00:00:00.5Z
  auto d = describe_file(file, false, 0);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->size, 3u);
  // FIPS 180-2 example "abc".
  EXPECT_EQ(d->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(d->media_type, "text/plain");
  ASSERT_TRUE(d->times.modified.has_value());
  EXPECT_EQ(format_rfc3339(*d->times.modified), "2025-01-01T00:00:00.500Z");
  ASSERT_TRUE(d->times.accessed.has_value());
  EXPECT_EQ(format_rfc3339(*d->times.accessed), "2025-01-01T00:00:00.500Z");
  EXPECT_FALSE(d->content.has_value());

  ArtifactInfo artifact = d->artifact();
  EXPECT_EQ(artifact.size, 3u);
  EXPECT_EQ(artifact.sha256, d->sha256);
  EXPECT_EQ(artifact.media_type, "text/plain");
  EXPECT_FALSE(artifact.content.has_value());
  EXPECT_FALSE(artifact.content_encoding.has_value());
  EXPECT_FALSE(artifact.snapshot_version.has_value());
}

TEST(DescribeTest, TimesBeforeTheEpochAreAbsent) {
  TempTree dir;
  auto file = dir.write("old", "");
  set_times(file, -1, 500000000);
  auto metadata = describe_file(file, false, 0);
  ASSERT_TRUE(metadata.has_value());
  EXPECT_FALSE(metadata->times.modified.has_value());
  EXPECT_FALSE(metadata->times.accessed.has_value());
}

TEST(DescribeTest, ContentIsTextOrBase64WithinTheLimit) {
  TempTree dir;
  auto text = dir.write("t.txt", "h\xC3\xA9llo");
  auto binary = dir.write("b.bin", std::string("\x89PNG\x00\xff", 6));
  auto eleven = dir.write("e.txt", "01234567890");
  struct Case {
    const char* name;
    std::filesystem::path path;
    bool include;
    uint64_t max;
    std::optional<std::string> content;
    std::optional<ContentEncoding> encoding;
  };
  const Case cases[] = {
      {"utf-8 text as is", text, true, 0, "h\xC3\xA9llo", ContentEncoding::Utf8},
      {"binary as base64", binary, true, 0, "iVBORwD/", ContentEncoding::Base64},
      {"not asked for", text, false, 0, std::nullopt, std::nullopt},
      {"over the limit", eleven, true, 10, std::nullopt, std::nullopt},
      {"at the limit", eleven, true, 11, "01234567890", ContentEncoding::Utf8},
      {"zero is no limit", eleven, true, 0, "01234567890", ContentEncoding::Utf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = describe_file(c.path, c.include, c.max);
    ASSERT_TRUE(d.has_value());
    ArtifactInfo a = d->artifact();
    EXPECT_EQ(a.content, c.content);
    EXPECT_EQ(a.content_encoding, c.encoding);
    EXPECT_TRUE(a.size.has_value());
    EXPECT_TRUE(a.sha256.has_value());
  }
}

TEST(DescribeTest, FailuresNameTheirStageAndSystemError) {
  TempTree dir;
  auto missing = describe_file(dir.path("missing.txt"), true, 0);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().stage, DescribeStage::Metadata);
  EXPECT_EQ(missing.error().text, "No such file or directory (os error 2)");

  // A directory has metadata but no bytes to hash.
  auto directory = describe_file(dir.mkdir("sub"), true, 0);
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().stage, DescribeStage::Hash);
  EXPECT_EQ(directory.error().text, "Is a directory (os error 21)");
}

// What another process does to a file between our opening it and reading it.
void replace_by_rename(const std::filesystem::path& path) {
  const std::filesystem::path fresh = path.string() + ".new";
  std::ofstream(fresh, std::ios::binary) << "second version, longer than the first";
  std::filesystem::rename(fresh, path);
}
void append_to(const std::filesystem::path& path) {
  std::ofstream(path, std::ios::binary | std::ios::app) << "+grown";
}

TEST(DescribeTest, OneOpenFileGivesSizeDigestAndContent) {
  struct Case {
    const char* name;
    void (*meanwhile)(const std::filesystem::path&);
    uint64_t max_content_size;
    std::optional<std::string> content;
    std::string digest_of;
  };
  const Case cases[] = {
      {"replaced after opening", replace_by_rename, 0, "first", "first"},
      // The file was within the limit when opened and outgrew it while read.
      {"grown past the limit", append_to, 8, std::nullopt, "first+grown"},
      {"grown within the limit", append_to, 0, "first+grown", "first+grown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree dir;
    auto file = dir.write("f.txt", "first");
    EvidenceScope scope;
    scope.begin(dir.root(), false);
    scope.after_open = c.meanwhile;
    auto d = describe_file(file, true, c.max_content_size, &scope);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->size, c.digest_of.size());
    EXPECT_EQ(d->sha256, sha256_bytes(c.digest_of));
    EXPECT_EQ(d->content ? std::optional(d->content->text) : std::nullopt, c.content);
  }
}

TEST(DescribeTest, ReadingDoesNotChangeTheAccessTime) {
  TempTree dir;
  auto file = dir.write("a.txt", "content");
  set_times(file, 1000000000, 0);
  ASSERT_TRUE(describe_file(file, true, 0).has_value());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
}

// Snapshots can be gigabytes; a stop must not wait for the whole digest.
TEST(DescribeTest, EveryReadIsReportedAndAStopEndsTheFileThere) {
  TempTree dir;
  const std::string bytes(200000, 'x');
  auto file = dir.write("snapshot.bin", bytes);

  testing::StopMonitor watching(0);
  auto whole = describe_file(file, true, 0, nullptr, &watching);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->size, bytes.size());
  EXPECT_EQ(watching.read.load(), bytes.size());

  testing::StopMonitor stopping(3);  // two 64 KiB reads, then stop
  auto part = describe_file(file, true, 0, nullptr, &stopping);
  ASSERT_TRUE(part.has_value());
  EXPECT_EQ(part->size, 2 * 65536u);
  EXPECT_EQ(stopping.read.load(), 2 * 65536u);
  EXPECT_EQ(stopping.asked.load(), 3u);
}

}  // namespace
}  // namespace tq
