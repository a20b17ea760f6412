#include "jsonl/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>
#include <string>
#include <vector>

#include "support/temp_tree.h"
#include "support/zstd_data.h"

namespace tq {
namespace {

struct Line {
  uint64_t index;
  std::string text;
  std::string error;
  uint64_t length;
  bool too_long;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Line& l) {
  return os << "{" << l.index << ", '" << l.text << "', '" << l.error << "', " << l.length << ", "
            << l.too_long << "}";
}

Line line_of(const LineItem& item) {
  return {item.index, item.text, item.failure ? item.failure->text : "", item.length,
          item.too_long};
}

struct ReadBack {
  std::vector<Line> lines;
  std::string digest;
};

ReadBack read_lines(const std::filesystem::path& path, uint64_t limit) {
  auto file = HashingReader::open(path);
  EXPECT_TRUE(file.has_value());
  BoundedLineReader reader(std::move(*file), limit);
  ReadBack out;
  while (const LineItem* item = reader.next()) {
    out.lines.push_back(line_of(*item));
  }
  out.digest = std::move(reader).finalize();
  return out;
}

TEST(BoundedLineReaderTest, SplitsLinesAndKeepsCarriageReturns) {
  testing::TempTree dir;
  const std::string long_line(20000, 'q');
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t limit;
    std::vector<Line> expected;
  };
  const Case cases[] = {
      {"empty file", "", 10, {}},
      {"trailing newline adds no line",
       "a\nb\n",
       10,
       {{0, "a", "", 1, false}, {1, "b", "", 1, false}}},
      {"last line without newline", "a\nb", 10, {{0, "a", "", 1, false}, {1, "b", "", 1, false}}},
      {"only newlines",
       "\n\n\n",
       10,
       {{0, "", "", 0, false}, {1, "", "", 0, false}, {2, "", "", 0, false}}},
      {"crlf", "ab\r\n", 10, {{0, "ab\r", "", 3, false}}},
      {"exactly at the limit", "0123456789\n", 10, {{0, "0123456789", "", 10, false}}},
      {"one over the limit", "0123456789a\n", 10, {{0, "xxxxxxxxxxx", "", 11, true}}},
      {"far over the limit",
       std::string(100, 'z') + "\nok",
       10,
       {{0, "xxxxxxxxxxx", "", 100, true}, {1, "ok", "", 2, false}}},
      {"no limit", std::string(100, 'z'), 0, {{0, std::string(100, 'z'), "", 100, false}}},
      {"largest limit", "ab\n", UINT64_MAX, {{0, "ab", "", 2, false}}},
      {"longer than the buffer", long_line + "\n", 0, {{0, long_line, "", 20000, false}}},
      {"invalid utf-8 line",
       "a\n\xFF\nz\n",
       10,
       {{0, "a", "", 1, false},
        {1, "", "invalid utf-8 sequence of 1 bytes from index 0", 1, false},
        {2, "z", "", 1, false}}},
      {"truncated sequence",
       "ab\xE2\x82",
       10,
       {{0, "", "incomplete utf-8 byte sequence from index 2", 4, false}}},
      {"bad continuation",
       "\xE2\x28\xA1",
       10,
       {{0, "", "invalid utf-8 sequence of 1 bytes from index 0", 3, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir.write("f.jsonl", c.bytes);
    const ReadBack got = read_lines(path, c.limit);
    EXPECT_EQ(got.lines, c.expected);
    EXPECT_EQ(got.digest, sha256_bytes(c.bytes));
    auto whole = sha256_file(path);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, got.digest);
  }
}

TEST(BoundedLineReaderTest, AReadFailureIsReportedOnceAndEndsTheFile) {
  testing::TempTree dir;
  // Opening a directory for reading succeeds; every read then fails.
  auto file = HashingReader::open(dir.mkdir("d"));
  ASSERT_TRUE(file.has_value());
  BoundedLineReader reader(std::move(*file), 0);
  const LineItem* item = reader.next();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->index, 0u);
  ASSERT_TRUE(item->failure.has_value());
  EXPECT_EQ(item->failure->kind, LineFailure::Kind::Read);
  EXPECT_EQ(item->failure->text, "Is a directory (os error 21)");
  EXPECT_EQ(item->failure->code, std::error_code(EISDIR, std::system_category()));
  EXPECT_EQ(reader.next(), nullptr);
}

// Compressed files: the same line rules over the decompressed text, the digest
// of the bytes as stored, and damage reported once as the end of the file.
TEST(BoundedLineReaderTest, ZstdFilesAreReadAsTheirDecompressedLines) {
  using testing::zstd_frame;
  testing::TempTree dir;
  const std::string whole = zstd_frame("one\ntwo\n");
  const std::string cut = zstd_frame(std::string(5000, 'q'));
  // A few kilobytes that expand to one line of 48 MiB.
  const std::string bomb = zstd_frame(std::string(16 << 20, 'b'));
  std::string flipped = zstd_frame("one\ntwo\nthr", true);
  flipped.back() = static_cast<char>(flipped.back() ^ 1);
  struct Case {
    const char* name;
    std::string stored;
    uint64_t limit;
    std::vector<Line> expected;
    bool damaged;
  };
  const Case cases[] = {
      // A zstd file holds at least one frame; an empty one is cut before it.
      {"empty file", "", 10, {{0, "", "Src size is incorrect", 0, false}}, true},
      {"one frame", whole, 10, {{0, "one", "", 3, false}, {1, "two", "", 3, false}}, false},
      {"a line runs across frames",
       zstd_frame("a\nb") + zstd_frame("") + zstd_frame("c\n"),
       10,
       {{0, "a", "", 1, false}, {1, "bc", "", 2, false}},
       false},
      {"frame cut in half",
       whole + cut.substr(0, cut.size() / 2),
       10,
       {{0, "one", "", 3, false},
        {1, "two", "", 3, false},
        {2, "", "Src size is incorrect", 0, false}},
       true},
      {"not zstd data", "{}\n", 10, {{0, "", "Unknown frame descriptor", 0, false}}, true},
      {"data after the last frame",
       whole + "x",
       10,
       {{0, "one", "", 3, false},
        {1, "two", "", 3, false},
        {2, "", "Unknown frame descriptor", 0, false}},
       true},
      {"bomb", bomb + bomb + bomb, 10, {{0, "xxxxxxxxxxx", "", 48u << 20, true}}, false},
      {"checksum failure after the last block",
       flipped,
       10,
       {{0, "one", "", 3, false},
        {1, "two", "", 3, false},
        {2, "", "Restored data doesn't match checksum; the lines before it may be damaged", 3,
         false}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir.write("f.jsonl.zst", c.stored);
    auto reader =
        BoundedLineReader::open(path, Compression::Zstd, c.limit, kDefaultMaxDecompressionRatio);
    ASSERT_TRUE(reader.has_value());
    std::vector<Line> lines;
    bool damaged = false;
    while (const LineItem* item = reader->next()) {
      lines.push_back(line_of(*item));
      damaged =
          damaged || (item->failure && item->failure->kind == LineFailure::Kind::Decompression);
    }
    EXPECT_EQ(lines, c.expected);
    EXPECT_EQ(damaged, c.damaged);
    EXPECT_EQ(std::move(*reader).finalize(), sha256_bytes(c.stored));
  }
  EXPECT_LT(bomb.size(), 4096u);
}

// Decompression stops at the file's limit; the complete lines before it stand.
TEST(BoundedLineReaderTest, ZstdDataPastTheLimitEndsTheFile) {
  testing::TempTree dir;
  const auto path = dir.write("f.jsonl.zst", testing::zstd_frame("one\ntwo\nthree\n"));
  const std::string over =
      "Decompressed data exceeds 10 bytes (max_decompression_ratio); the rest "
      "of the file is skipped";
  struct Case {
    uint64_t limit;
    std::vector<Line> expected;
  };
  const Case cases[] = {
      {14, {{0, "one", "", 3, false}, {1, "two", "", 3, false}, {2, "three", "", 5, false}}},
      {10, {{0, "one", "", 3, false}, {1, "two", "", 3, false}, {2, "", over, 2, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    auto file = HashingReader::open(path);
    ASSERT_TRUE(file.has_value());
    BoundedLineReader reader(ZstdReader(std::move(*file), c.limit), 0);
    std::vector<Line> lines;
    while (const LineItem* item = reader.next()) {
      lines.push_back(line_of(*item));
    }
    EXPECT_EQ(lines, c.expected);
  }

  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(decompressed_size_limit(1000, 100), kDecompressedSizeFloor);
  EXPECT_EQ(decompressed_size_limit(uint64_t{1} << 30, 100), uint64_t{100} << 30);
  EXPECT_EQ(decompressed_size_limit(kMax / 2, 100), kMax);
  EXPECT_EQ(decompressed_size_limit(1000, 0), kMax);
}

TEST(HashingTest, KnownDigests) {
  EXPECT_EQ(sha256_bytes(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_bytes("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  testing::TempTree dir;
  EXPECT_EQ(sha256_file(dir.write("empty", "")).value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(HashingTest, MissingFileReportsTheSystemError) {
  testing::TempTree dir;
  auto digest = sha256_file(dir.path("absent"));
  ASSERT_FALSE(digest.has_value());
  EXPECT_EQ(digest.error().value(), ENOENT);
  EXPECT_FALSE(HashingReader::open(dir.path("absent")).has_value());
}

TEST(HashingTest, AFifoOrADeviceIsRefusedInsteadOfWaitedOn) {
  // A file can be replaced by one of these between a scan and the read.
  testing::TempTree dir;
  const auto fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::filesystem::path& path : {fifo, std::filesystem::path("/dev/zero")}) {
    SCOPED_TRACE(path.string());
    auto digest = sha256_file(path);
    ASSERT_FALSE(digest.has_value());
    EXPECT_EQ(digest.error().value(), EINVAL);
    EXPECT_FALSE(HashingReader::open(path).has_value());
  }
}

TEST(Base64Test, EncodesWithPadding) {
  // RFC 4648 section 10 test vectors.
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {std::string("\xFF\xFE\x00", 3), "//4A"}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(base64_encode(in), out) << in;
    EXPECT_EQ(base64_decode(out), in) << out;
  }
  for (const char* bad : {"Zg=", "Zg=a", "Z===", "=Zg=", "Zm9v!A==", "Zg==Zg=="}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
}

TEST(HexTest, LowercaseHexRoundTripsAndAnythingElseIsRefused) {
  const std::vector<uint8_t> bytes{0x00, 0x9f, 0xa0, 0xff};
  EXPECT_EQ(hex_lower(bytes), "009fa0ff");
  uint8_t out[4];
  ASSERT_TRUE(unhex_lower("009fa0ff", out));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), bytes);
  // Upper case, an odd length, a byte past 'f' or with the high bit set.
  for (std::string_view bad : {"009FA0FF", "009", "0g", "0/", "\xc3\xa9"}) {
    EXPECT_FALSE(unhex_lower(bad, out)) << bad;
  }
}

TEST(EvidenceFileTest, ReadingLeavesTheAccessTimeAlone) {
  testing::TempTree dir;
  const auto path = dir.write("f", "line\n");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(sha256_file(path).has_value());
  (void)read_lines(path, 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
}

}  // namespace
}  // namespace tq
