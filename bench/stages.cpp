// What any conversion of the evidence must spend, stage by stage, on top of
// the floor (floor.c). Each stage does the work of the one before plus one
// more, in a pass of its own over the files named on standard input (one path
// a line, the page cache warm as for the floor), so the step from one stage
// to the next is what that work alone costs:
//
//   hash   read every file into one 1 MiB buffer and SHA-256 it: the floor;
//   parse  also cut the JSON-lines files into lines (a line may straddle two
//          reads) and parse each non-empty one with one reused simdjson DOM
//          parser, since every event comes out of a parsed line; the other
//          files (pastes, images, file backups) are only hashed;
//   render also write each parsed line back out as compact JSON, from its
//          parsed values, until --output-bytes bytes are made: the plainest
//          rendering there is (strings scanned 16 bytes at a time for what
//          must be escaped, runs copied whole; no field chosen, renamed or
//          reordered), as the rows of any conversion are rendered from
//          parsed values;
//   write  also write those --output-bytes bytes (the rendered ones, then
//          what was read if the lines run short) in 1 MiB writes to a file
//          in --out-dir (removed after);
//   spill  also send those bytes through a nameless file in --out-dir and
//          read them back in 1 MiB preads before they reach the output, as a
//          conversion does when its rendered events outgrow its memory budget.
//
// Prints one JSON object: each stage's process CPU and wall seconds, and the
// files, bytes, lines and parse errors of a pass. Built by goals.py:
//
//   c++ -O2 -std=c++20 -o stages bench/stages.cpp -lsimdjson -lcrypto
//   find ~/.codex ~/.claude -type f | ./stages --output-bytes 150000000 --out-dir /tmp
// The same SHA-256 calls as floor.c, so that the first stage is the floor.
#define OPENSSL_API_COMPAT 10101
#include <emmintrin.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <simdjson.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;
enum Stage { kHash, kParse, kRender, kWrite, kSpill, kStages };
constexpr const char* kNames[kStages] = {"hash", "parse", "render", "write", "spill"};

// A benchmark has no use for a figure measured around a failed call.
[[noreturn]] void fail(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write");
    data += n;
    len -= static_cast<size_t>(n);
  }
}

// Owns one descriptor. A failed close fails the run: a write may fail there.
struct Fd {
  Fd(int opened, const std::string& what) : fd(opened) {
    if (fd < 0) fail(what);
  }
  Fd(const Fd&) = delete;
  ~Fd() {
    if (close(fd) != 0) fail("close");
  }
  const int fd;
};

// Unnamed from the start where the file system allows, so nothing is left
// behind however the process ends.
int nameless_file(const std::string& dir) {
  const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = dir + "/stages-spill-XXXXXX";
  const int made = mkostemp(name.data(), O_CLOEXEC);
  if (made >= 0) unlink(name.c_str());
  return made;
}

// Takes the bytes read and writes the first `budget` of them to `out` in
// 1 MiB writes; if the evidence runs short, its last buffer is written again.
class Sink {
 public:
  Sink(int out, uint64_t budget) : out_(out), left_(budget), buffer_(kChunk) {}

  void add(const char* data, size_t len) {
    while (len > 0 && left_ > 0) {
      const size_t n = std::min({len, kChunk - used_, static_cast<size_t>(left_)});
      std::memcpy(buffer_.data() + used_, data, n);
      take(n);
      data += n;
      len -= n;
    }
  }
  void finish() {
    while (left_ > 0) take(std::min(kChunk - used_, static_cast<size_t>(left_)));
    write_all(out_, buffer_.data(), used_);
  }

 private:
  void take(size_t n) {
    used_ += n;
    left_ -= n;
    if (used_ == kChunk) write_all(out_, buffer_.data(), std::exchange(used_, 0));
  }

  const int out_;
  uint64_t left_;             // bytes still to be written
  size_t used_ = 0;           // filled bytes of buffer_, never a whole chunk
  std::vector<char> buffer_;  // holds kChunk bytes
};

// Compact JSON of parsed values, appended to one reused buffer.
class Renderer {
 public:
  std::string out;

  void value(simdjson::dom::element e) {
    using simdjson::dom::element_type;
    switch (e.type()) {
      case element_type::OBJECT:
        return list('{', e.get_object().value_unsafe(), '}', [this](const auto& field) {
          string(field.key);
          out.push_back(':');
          value(field.value);
        });
      case element_type::ARRAY:
        return list('[', e.get_array().value_unsafe(), ']',
                    [this](const auto& item) { value(item); });
      case element_type::STRING:
        return string(e.get_string().value_unsafe());
      case element_type::INT64:
        return number(e.get_int64().value_unsafe());
      case element_type::UINT64:
        return number(e.get_uint64().value_unsafe());
      case element_type::DOUBLE:
        return number(e.get_double().value_unsafe());
      case element_type::BOOL:
        out.append(e.get_bool().value_unsafe() ? "true" : "false");
        return;
      case element_type::NULL_VALUE:
        out.append("null");
        return;
    }
  }

 private:
  // `open`, each item as `write` writes it with commas between, `close`.
  template <typename Items, typename Write>
  void list(char open, const Items& items, char close, Write write) {
    out.push_back(open);
    bool first = true;
    for (const auto item : items) {
      if (!first) out.push_back(',');
      first = false;
      write(item);
    }
    out.push_back(close);
  }
  template <typename N>
  void number(N n) {
    char digits[32];
    const auto made = std::to_chars(digits, digits + sizeof digits, n);
    out.append(digits, made.ptr);
  }
  // The first byte at or after `i` that JSON must escape, or the size.
  static size_t special(std::string_view s, size_t i) {
    const __m128i last_control = _mm_set1_epi8(0x1F);
    for (; i + 16 <= s.size(); i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
      const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, last_control), last_control),
                                        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))));
      if (const int mask = _mm_movemask_epi8(hits); mask != 0) {
        return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
      }
    }
    for (; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c < 0x20 || c == '"' || c == '\\') return i;
    }
    return s.size();
  }
  void string(std::string_view s) {
    out.push_back('"');
    size_t run = 0;
    for (size_t i = special(s, 0); i < s.size(); i = special(s, run)) {
      out.append(s.data() + run, i - run);
      run = i + 1;
      const auto c = static_cast<unsigned char>(s[i]);
      switch (c) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\t':
          out.append("\\t");
          break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          out.append(escaped, sizeof escaped);
        }
      }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
  }
};

struct Counts {
  uint64_t files = 0, bytes = 0, lines = 0, errors = 0, rendered = 0;
};

// What one pass reuses from file to file: buffers, the parser, what it saw.
class Reader {
 public:
  // `render`: render lines until `budget` bytes are made, and hand them to
  // `sink` when there is one.
  Reader(bool render, uint64_t budget, Sink* sink)
      : buffer_(kChunk), render_(render), budget_(budget), sink_(sink) {}

  void file(const std::string& path, bool parse) {
    // As floor.c opens: a read that updates no access time is one write less.
    int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (opened < 0) opened = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Fd fd(opened, path);
    parse = parse && path.ends_with(".jsonl");
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    ssize_t n;
    while ((n = read(fd.fd, buffer_.data(), kChunk)) > 0) {
      SHA256_Update(&ctx, buffer_.data(), static_cast<size_t>(n));
      counts.bytes += static_cast<uint64_t>(n);
      if (parse) lines(buffer_.data(), static_cast<size_t>(n));
    }
    if (n < 0) fail("read " + path);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &ctx);
    if (!carry_.empty()) line(carry_.data(), carry_.size());  // no final newline
    carry_.clear();
    ++counts.files;
  }

  Counts counts;

 private:
  void lines(const char* data, size_t len) {
    const char* end = data + len;
    while (data < end) {
      const char* newline =
          static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
      if (!newline) return static_cast<void>(carry_.append(data, end));
      if (carry_.empty()) {
        line(data, static_cast<size_t>(newline - data));
      } else {
        carry_.append(data, newline);
        line(carry_.data(), carry_.size());
        carry_.clear();
      }
      data = newline + 1;
    }
  }
  void line(const char* data, size_t len) {
    ++counts.lines;
    if (len == 0) return;
    // Copies the line into the parser's padded buffer, grown to the longest.
    const auto parsed = parser_.parse(data, len, true);
    if (parsed.error() != simdjson::SUCCESS) return static_cast<void>(++counts.errors);
    if (!render_ || counts.rendered >= budget_) return;
    renderer_.out.clear();
    renderer_.value(parsed.value_unsafe());
    counts.rendered += renderer_.out.size();
    if (sink_) sink_->add(renderer_.out.data(), renderer_.out.size());
  }

  std::vector<char> buffer_;  // holds kChunk bytes
  const bool render_;
  const uint64_t budget_;
  Sink* const sink_;
  Renderer renderer_;
  std::string carry_;  // the start of a line whose end is not read yet
  simdjson::dom::parser parser_;
};

// One pass doing the work of every stage up to `stage`; returns what it saw.
Counts pass(Stage stage, const std::vector<std::string>& paths, uint64_t output_bytes,
            const std::string& dir) {
  if (stage < kWrite) {
    Reader reader(stage >= kRender, output_bytes, nullptr);
    for (const std::string& path : paths) reader.file(path, stage >= kParse);
    return reader.counts;
  }
  const std::string name = dir + "/stages-output-" + std::to_string(getpid());
  Counts counts;
  {
    Fd out(open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644), name);
    std::optional<Fd> spill;
    if (stage == kSpill) spill.emplace(nameless_file(dir), "nameless file in " + dir);
    Sink sink(spill ? spill->fd : out.fd, output_bytes);
    Reader reader(true, output_bytes, &sink);
    for (const std::string& path : paths) reader.file(path, true);
    sink.finish();
    counts = reader.counts;
    std::vector<char> back(spill ? kChunk : 0);
    for (uint64_t at = 0; spill && at < output_bytes;) {
      const ssize_t n = pread(spill->fd, back.data(), kChunk, static_cast<off_t>(at));
      if (n <= 0) fail("read back the nameless file");
      write_all(out.fd, back.data(), static_cast<size_t>(n));
      at += static_cast<uint64_t>(n);
    }
  }
  if (unlink(name.c_str()) != 0) fail("unlink " + name);
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t output_bytes = 0;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--output-bytes") output_bytes = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--out-dir") dir = argv[i + 1];
  }
  if (dir.empty() || argc != 5) {
    std::fprintf(stderr, "usage: %s --output-bytes N --out-dir DIR < paths\n", argv[0]);
    return 2;
  }
  // Read the whole list first so that only the passes are timed.
  std::vector<std::string> paths;
  for (std::string path; std::getline(std::cin, path);) paths.push_back(path);

  double cpu[kStages], wall[kStages];
  Counts counts;
  for (int stage = kHash; stage < kStages; ++stage) {
    cpu[stage] = seconds(CLOCK_PROCESS_CPUTIME_ID);
    wall[stage] = seconds(CLOCK_MONOTONIC);
    counts = pass(static_cast<Stage>(stage), paths, output_bytes, dir);
    cpu[stage] = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu[stage];
    wall[stage] = seconds(CLOCK_MONOTONIC) - wall[stage];
  }
  std::printf("{");
  for (int stage = kHash; stage < kStages; ++stage) {
    std::printf("\"%s\": {\"cpu\": %.6f, \"wall\": %.6f}, ", kNames[stage], cpu[stage],
                wall[stage]);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\"files\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"lines\": %" PRIu64
              ", \"parse_errors\": %" PRIu64 ", \"rendered_bytes\": %" PRIu64
              ", \"output_bytes\": %" PRIu64 ", \"peak\": %ld}\n",
              counts.files, counts.bytes, counts.lines, counts.errors, counts.rendered,
              output_bytes, usage.ru_maxrss * 1024L);
  return 0;
}
