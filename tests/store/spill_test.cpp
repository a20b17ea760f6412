#include "store/spill.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tq::store {
namespace {

namespace fs = std::filesystem;

// Distinct bytes for record `i`, so a read from the wrong place shows.
std::string record(size_t i, size_t size) {
  std::string out(size, '\0');
  for (size_t k = 0; k < size; ++k) out[k] = static_cast<char>('a' + (i * 7 + k) % 26);
  return out;
}

std::vector<std::string> records(size_t count, size_t size) {
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) out.push_back(record(i, size + i % 5));
  return out;
}

// Where the descriptor's file lives, as the kernel names it.
std::string link_of(int fd) {
  std::error_code ec;
  return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}

// Sets TMPDIR (or unsets it, for nullopt) for the guard's life.
class TmpdirGuard {
 public:
  explicit TmpdirGuard(std::optional<std::string> value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    if (value) {
      ::setenv("TMPDIR", value->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  ~TmpdirGuard() {
    if (old_) {
      ::setenv("TMPDIR", old_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST(SpillTest, BytesComeBackByPositionBelowAndAcrossTheBudget) {
  const std::string big = record(1, (size_t{3} << 20) / 2);
  const struct {
    const char* name;
    size_t budget;
    std::vector<std::string> records;
    bool spilled;
  } cases[] = {
      {"below the budget", 1 << 20, {"alpha", "", "beta\n"}, false},
      {"a record straddles the switch", 6, {"abcd", "efgh", "ij"}, true},
      {"budget 0", 0, {"", "x", "", "yz"}, true},
      {"records longer than a write batch", 100, {"head", big, "tail", big, "end"}, true},
      {"many records past several batches", 64 << 10, records(6000, 500), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempTree tmp;
    std::string all;
    std::vector<Range> ranges;
    {
      SpillArea area(c.budget, tmp.root());
      for (const std::string& r : c.records) {
        auto at = area.append(r);
        ASSERT_TRUE(at.has_value()) << at.error().text();
        EXPECT_EQ(*at, all.size());
        ranges.push_back({*at, r.size()});
        all += r;
      }
      EXPECT_EQ(area.spilled(), c.spilled);
      EXPECT_EQ(area.size(), all.size());
      EXPECT_TRUE(fs::is_empty(tmp.root()));

      std::string single;
      for (size_t i = 0; i < ranges.size(); ++i) {
        std::string got(ranges[i].size, '\0');
        ASSERT_TRUE(area.read(ranges[i].offset, ranges[i].size, got.data()).has_value());
        EXPECT_EQ(got, c.records[i]) << "record " << i;
      }
      // Asked for in any order, in the order appended (read straight into
      // place), and in that order but for a swapped pair.
      std::vector<Range> shuffled = ranges;
      shuffled.push_back(ranges.front());  // a range asked for twice
      std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
      std::vector<Range> swapped = ranges;
      std::swap(swapped[0], swapped[1]);
      std::string expected;
      std::string many;
      for (const std::vector<Range>* asked : {&shuffled, &ranges, &swapped}) {
        expected = many = "kept";
        for (const Range& r : *asked) expected += all.substr(r.offset, r.size);
        ASSERT_TRUE(area.read_many(*asked, many).has_value());
        EXPECT_EQ(many, expected);
      }

      char byte;
      auto past = area.read(all.size(), 1, &byte);
      ASSERT_FALSE(past.has_value());
      EXPECT_EQ(past.error().text(), "A read past the end of the spill area.");
      EXPECT_FALSE(area.read_many(std::vector<Range>{ranges.front(), {all.size(), 1}}, many));
      EXPECT_EQ(many, expected);
    }
    EXPECT_TRUE(fs::is_empty(tmp.root()));
  }
}

TEST(SpillTest, FileIsPrivateNamelessAndInTmpdir) {
  testing::TempTree tmp;
  TmpdirGuard guard(tmp.root().string());
  SpillArea area(0);
  ASSERT_TRUE(area.append("secret").has_value());
  ASSERT_TRUE(area.spilled());
  struct stat st {};
  ASSERT_EQ(::fstat(area.descriptor(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_nlink, 0u);
  const std::string link = link_of(area.descriptor());
  EXPECT_EQ(link.rfind(tmp.root().string() + "/", 0), 0u) << link;
  EXPECT_TRUE(link.ends_with(" (deleted)")) << link;
  EXPECT_TRUE(fs::is_empty(tmp.root()));
}

TEST(SpillTest, TemporaryDirectoryIsTmpdirOrTmp) {
  const struct {
    std::optional<std::string> tmpdir;
    const char* expected;
  } cases[] = {{std::nullopt, "/tmp"}, {"", "/tmp"}, {"/var/scratch", "/var/scratch"}};
  for (const auto& c : cases) {
    TmpdirGuard guard(c.tmpdir);
    EXPECT_EQ(system_temporary_directory(), fs::path(c.expected)) << c.tmpdir.value_or("unset");
  }
}

// A directory that can't take the file is an error naming it; the bytes
// appended before stay readable.
TEST(SpillTest, UnusableDirectoryIsAnErrorAndKeepsTheBytes) {
  testing::TempTree tmp;
  const struct {
    const char* name;
    fs::path directory;
    int error_number;
  } cases[] = {
      {"missing", tmp / "missing", ENOENT},
      {"a regular file", tmp.write("file", "x"), ENOTDIR},
      {"read-only", tmp.mkdir("read-only"), EACCES},
  };
  fs::permissions(tmp / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The superuser writes where the mode forbids it.
    if (c.error_number == EACCES && ::geteuid() == 0) continue;
    SpillArea area(4, c.directory);
    ASSERT_TRUE(area.append("kept").has_value());
    auto failed = area.append("more");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
    EXPECT_EQ(failed.error().text(),
              "I/O error at " + c.directory.string() + ": " + os_error_text(c.error_number));
    EXPECT_FALSE(area.spilled());
    std::string back;
    ASSERT_TRUE(area.read_many(std::vector<Range>{{0, 4}}, back).has_value());
    EXPECT_EQ(back, "kept");
  }
}

// A write the system refuses (here a file size limit, standing in for a full
// disk) is an error naming the directory, and what was written stays readable.
TEST(SpillTest, RefusedWriteIsAnErrorAndKeepsTheBytes) {
  testing::TempTree tmp;
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const sighandler_t old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64 << 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string head = record(0, 32 << 10);
  std::optional<Result<uint64_t>> first, second;
  std::string back(head.size(), '\0');
  {
    SpillArea area(0, tmp.root());
    first = area.append(head);
    second = area.append(record(1, size_t{2} << 20));
    EXPECT_TRUE(area.read(0, head.size(), back.data()).has_value());
    EXPECT_EQ(area.size(), head.size());
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(first->has_value());
  ASSERT_FALSE(second->has_value());
  EXPECT_EQ(second->error().text(),
            "I/O error at " + tmp.root().string() + ": " + os_error_text(EFBIG));
  EXPECT_EQ(back, head);
}

// A text written over bytes already appended lands wherever they are: in
// memory, in the file, or still waiting to be written to it.
TEST(SpillTest, OverwritesLandWhereverTheBytesAre) {
  testing::TempTree tmp;
  // A first record longer than a write batch goes to the file at once, once
  // the budget is passed; the second waits in the batch.
  for (size_t budget : {size_t{64} << 20, size_t{0}}) {
    SCOPED_TRACE(budget);
    SpillArea area(budget, tmp.root());
    const std::string first((size_t{1} << 20) + 3000, 'a'), second(3000, 'b');
    ASSERT_TRUE(area.append(first).has_value());
    ASSERT_TRUE(area.append(second).has_value());
    ASSERT_TRUE(area.overwrite(10, "XYZ").has_value());
    const size_t seam = first.size() - 2;
    ASSERT_TRUE(area.overwrite(seam, "1234").has_value());  // across two appends
    std::string back(area.size(), '\0');
    ASSERT_TRUE(area.read(0, back.size(), back.data()).has_value());
    std::string expected = first + second;
    expected.replace(10, 3, "XYZ");
    expected.replace(seam, 4, "1234");
    EXPECT_EQ(back, expected);
    EXPECT_FALSE(area.overwrite(area.size() - 1, "too long").has_value());

    // Many at once: a dense run, offsets far apart, one beyond the longest
    // stretch, one across the seam, one still waiting, one out of order.
    std::vector<uint64_t> offsets;
    for (uint64_t at = 100; at < 50'000; at += 397) offsets.push_back(at);
    for (uint64_t at : {600'000u, 1'000'000u, 1'040'000u}) offsets.push_back(at);
    offsets.push_back(seam);
    offsets.push_back(first.size() + 100);
    offsets.push_back(40);
    ASSERT_TRUE(area.overwrite_each(offsets, "#!").has_value());
    for (uint64_t at : offsets) expected.replace(at, 2, "#!");
    ASSERT_TRUE(area.read(0, back.size(), back.data()).has_value());
    EXPECT_EQ(back, expected);
    EXPECT_FALSE(area.overwrite_each(std::vector<uint64_t>{area.size() - 1}, "#!").has_value());
  }
}

}  // namespace
}  // namespace tq::store
