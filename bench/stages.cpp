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
//          conversion does when its rendered events outgrow its memory budget;
//   convert  the plainest conversion there is (PlainConverter): every stage
//          above, done for rows made of what each record says.
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
enum Stage { kHash, kParse, kRender, kWrite, kSpill, kConvert, kStages };
constexpr const char* kNames[kStages] = {"hash", "parse", "render", "write", "spill", "convert"};

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
struct Renderer {
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
  // `s` quoted, with what JSON must escape escaped.
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

// `bytes` as lowercase hex, appended to `out`.
void append_hex(std::string& out, const unsigned char* bytes, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0xF]);
  }
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

// Seconds and nanoseconds of "YYYY-MM-DDTHH:MM:SS[.fraction]Z"; false if it
// is not that.
bool parse_time(std::string_view t, int64_t& seconds, uint32_t& nanos) {
  auto digits = [&](size_t at, size_t n, unsigned& v) {
    v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (i >= t.size() || t[i] < '0' || t[i] > '9') return false;
      v = v * 10 + static_cast<unsigned>(t[i] - '0');
    }
    return true;
  };
  unsigned y, mo, d, h, mi, se;
  if (!digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d) || !digits(11, 2, h) ||
      !digits(14, 2, mi) || !digits(17, 2, se) || mo < 1 || mo > 12 || d < 1 || d > 31) {
    return false;
  }
  seconds = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se;
  nanos = 0;
  size_t i = 19;
  if (i < t.size() && t[i] == '.') {
    uint32_t scale = 100000000;
    for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10) {
      nanos += static_cast<uint32_t>(t[i] - '0') * scale;
    }
  }
  return i + 1 == t.size() && t[i] == 'Z';
}

// The plainest conversion of the evidence: one row per JSON line (its time,
// type, session, directory and message picked out of the parsed record) and
// one per other file, each with an event id (SHA-256 of the file's path and
// the line number) and the file's SHA-256; the rows of each file go to a
// nameless spill file as soon as the file is read, with a fixed-size sort
// key each; then the keys are sorted and the rows copied to the output in
// their order, each with its sequence number and file digest put in front.
// It picks fewer fields than the module and finds no facts, links or
// diagnostics: what it costs, any conversion of these files costs at least.
class PlainConverter {
 public:
  explicit PlainConverter(int spill) : spill_(spill) {}

  void begin_file(const std::string& path) {
    path_ = path;
    session_.clear();
    cwd_.clear();
    rows_.out.clear();
    first_key_ = keys_.size();
    SHA256_Init(&prefix_);
    SHA256_Update(&prefix_, path.data(), path.size() + 1);  // with its NUL
  }

  void record(simdjson::dom::element e, uint64_t line) {
    simdjson::dom::object record;
    if (e.get(record) != simdjson::SUCCESS) return;
    simdjson::dom::object payload;
    const bool has_payload = record["payload"].get(payload) == simdjson::SUCCESS;
    std::string_view type = "prompt", kind = "history";
    if (record["type"].get(type) != simdjson::SUCCESS) type = "prompt";
    std::string_view event_type = type;
    if (has_payload) {
      kind = "session";
      if (type == "session_meta") {
        take(payload, "id", session_);
        take(payload, "cwd", cwd_);
      } else {
        if (payload["type"].get(event_type) != simdjson::SUCCESS) event_type = type;
      }
    } else {
      take(record, "sessionId", session_);
      take(record, "project", cwd_);
    }
    Key key{INT64_MAX, 0, files_, line, rows_.out.size(), 0};
    id(line);
    std::string& out = rows_.out;
    std::string_view stamp;
    uint64_t millis = 0;
    if (record["timestamp"].get(stamp) == simdjson::SUCCESS &&
        parse_time(stamp, key.seconds, key.nanos)) {
      out.append("\"timestamp\":");
      rows_.string(stamp);
      out.append(",\"timestamp_source\":\"embedded\",\"timestamp_raw\":");
      rows_.string(stamp);
    } else if (record["timestamp"].get(millis) == simdjson::SUCCESS) {
      key.seconds = static_cast<int64_t>(millis / 1000);
      key.nanos = static_cast<uint32_t>(millis % 1000) * 1000000;
      out.append("\"timestamp\":\"");
      time_text(key.seconds, key.nanos);
      out.append("\",\"timestamp_source\":\"embedded\",\"timestamp_raw\":");
      rows_.number(millis);
    } else {
      out.append("\"timestamp\":null,\"timestamp_source\":\"none\",\"timestamp_raw\":null");
    }
    out.append(",\"event_type\":");
    rows_.string(event_type);
    out.append(",\"session_id\":");
    text_or_null(session_);
    out.append(",\"working_directory\":");
    text_or_null(cwd_);
    out.append(",\"message\":");
    message(has_payload ? payload : record);
    out.append(",\"source\":{\"artifact_kind\":\"");
    out.append(kind);
    out.append("\",\"record_type\":");
    rows_.string(type);
    out.append(",\"relative_path\":");
    rows_.string(path_);
    out.append(",\"line_number\":");
    rows_.number(line);
    out.append(",\"source_id\":");
    text_or_null(session_);
    out.append("},\"artifact\":null,\"fs_times\":null,\"warnings\":[],\"raw\":null}");
    key.length = static_cast<uint32_t>(out.size() - key.offset);
    keys_.push_back(key);
  }

  void end_file(const unsigned char* digest, uint64_t size, bool parsed) {
    std::string hex;
    append_hex(hex, digest, SHA256_DIGEST_LENGTH);
    if (!parsed) {
      Key key{INT64_MAX, 0, files_, 0, rows_.out.size(), 0};
      id(0);
      rows_.out.append(
          "\"timestamp\":null,\"timestamp_source\":\"none\",\"timestamp_raw\":null,"
          "\"event_type\":\"file\",\"session_id\":null,\"working_directory\":null,"
          "\"message\":null,\"source\":{\"artifact_kind\":\"file\",\"record_type\":null,"
          "\"relative_path\":");
      rows_.string(path_);
      rows_.out.append(",\"line_number\":null,\"source_id\":null},\"artifact\":{\"size\":");
      rows_.number(size);
      rows_.out.append(",\"sha256\":\"" + hex +
                       "\"},\"fs_times\":null,\"warnings\":[],\"raw\":null}");
      key.length = static_cast<uint32_t>(rows_.out.size() - key.offset);
      keys_.push_back(key);
    }
    heads_.push_back(
        std::string(path_.find("/.codex/") != std::string::npos ? "codex" : "claude_code") +
        "\",\"source_file_sha256\":\"" + hex + "\",");
    for (size_t k = first_key_; k < keys_.size(); ++k) keys_[k].offset += spilled_;
    write_all(spill_, rows_.out.data(), rows_.out.size());
    spilled_ += rows_.out.size();
    ++files_;
  }

  // Sorts the rows and writes them to `out`; returns the bytes written.
  uint64_t finish(int out) {
    std::sort(keys_.begin(), keys_.end(), [](const Key& a, const Key& b) {
      return std::tie(a.seconds, a.nanos, a.file, a.line) <
             std::tie(b.seconds, b.nanos, b.file, b.line);
    });
    uint64_t written = 0;
    std::string buffer;
    buffer.reserve(kChunk + (1 << 16));
    std::vector<char> batch;
    std::vector<size_t> at, by_place;
    // A batch of rows at a time, in output order: read in order of their
    // place in the spill, each run of neighbours with one pread straight to
    // where its first row goes when they are neighbours in the output too,
    // else through a scratch buffer.
    for (size_t begin = 0; begin < keys_.size();) {
      size_t end = begin, bytes = 0;
      while (end < keys_.size() && (end == begin || bytes + keys_[end].length <= kChunk * 8)) {
        bytes += keys_[end++].length;
      }
      batch.resize(bytes);
      at.clear();
      for (size_t i = begin, pos = 0; i < end; pos += keys_[i++].length) at.push_back(pos);
      by_place.resize(end - begin);
      for (size_t i = 0; i < by_place.size(); ++i) by_place[i] = i;
      std::sort(by_place.begin(), by_place.end(), [&](size_t x, size_t y) {
        return keys_[begin + x].offset < keys_[begin + y].offset;
      });
      for (size_t r = 0; r < by_place.size();) {
        // The run: rows that follow each other in the spill.
        size_t last = r;
        bool in_place = true;
        while (last + 1 < by_place.size() &&
               keys_[begin + by_place[last + 1]].offset ==
                   keys_[begin + by_place[last]].offset + keys_[begin + by_place[last]].length) {
          in_place = in_place && by_place[last + 1] == by_place[last] + 1;
          ++last;
        }
        const Key& first = keys_[begin + by_place[r]];
        const Key& final = keys_[begin + by_place[last]];
        const size_t length = final.offset + final.length - first.offset;
        if (in_place) {
          read_at(batch.data() + at[by_place[r]], length, first.offset);
        } else {
          scratch_.resize(length);
          read_at(scratch_.data(), length, first.offset);
          for (size_t i = r; i <= last; ++i) {
            const Key& k = keys_[begin + by_place[i]];
            std::memcpy(batch.data() + at[by_place[i]], scratch_.data() + (k.offset - first.offset),
                        k.length);
          }
        }
        r = last + 1;
      }
      for (size_t seq = begin; seq < end; ++seq) {
        const Key& k = keys_[seq];
        const char* row = batch.data() + at[seq - begin];
        buffer.append("{\"schema_version\":\"1\",\"event_id\":\"");
        buffer.append(row, 2 * SHA256_DIGEST_LENGTH);
        buffer.append("\",\"sequence\":");
        char digits[24];
        buffer.append(digits, std::to_chars(digits, digits + sizeof digits, seq).ptr);
        buffer.append(",\"provider\":\"");
        buffer.append(heads_[k.file]);
        buffer.append(row + 2 * SHA256_DIGEST_LENGTH, k.length - 2 * SHA256_DIGEST_LENGTH);
        buffer.push_back('\n');
        if (buffer.size() >= kChunk) {
          write_all(out, buffer.data(), buffer.size());
          written += buffer.size();
          buffer.clear();
        }
      }
      begin = end;
    }
    write_all(out, buffer.data(), buffer.size());
    return written + buffer.size();
  }

  size_t events() const { return keys_.size(); }

 private:
  struct Key {
    int64_t seconds;  // INT64_MAX when the record has no time
    uint32_t nanos;
    uint32_t file;
    uint64_t line;
    uint64_t offset;  // in the spill
    uint32_t length;
  };

  void read_at(char* into, size_t length, uint64_t offset) {
    while (length > 0) {
      const ssize_t n = pread(spill_, into, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("read back the spilled rows");
      into += n;
      length -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
  }

  // The event id of `line`, as the row's first 64 bytes.
  void id(uint64_t line) {
    SHA256_CTX ctx = prefix_;
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, line).ptr;
    SHA256_Update(&ctx, digits, static_cast<size_t>(end - digits));
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &ctx);
    append_hex(rows_.out, digest, sizeof digest);
  }
  // The parsed line goes with the next one, so its texts are copied.
  static void take(const simdjson::dom::object& from, const char* key, std::string& into) {
    std::string_view text;
    if (from[key].get(text) == simdjson::SUCCESS) {
      into.assign(text);
    } else {
      into.clear();
    }
  }
  void text_or_null(std::string_view text) {
    if (text.empty()) return rows_.out.append("null"), void();
    rows_.string(text);
  }
  // A record's message: its own text, or its content's text parts joined.
  void message(const simdjson::dom::object& from) {
    std::string_view text;
    if (from["message"].get(text) == simdjson::SUCCESS ||
        from["text"].get(text) == simdjson::SUCCESS ||
        from["display"].get(text) == simdjson::SUCCESS) {
      return rows_.string(text);
    }
    simdjson::dom::array parts;
    if (from["content"].get(parts) != simdjson::SUCCESS) return rows_.out.append("null"), void();
    joined_.clear();
    for (const simdjson::dom::element part : parts) {
      if (part["text"].get(text) != simdjson::SUCCESS) continue;
      if (!joined_.empty()) joined_.push_back('\n');
      joined_.append(text);
    }
    if (joined_.empty()) return rows_.out.append("null"), void();
    rows_.string(joined_);
  }
  void time_text(int64_t seconds, uint32_t nanos) {
    int64_t y;
    unsigned m, d;
    civil_from_days(seconds / 86400, y, m, d);
    const auto of_day = static_cast<unsigned>(seconds % 86400);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                  static_cast<long long>(y), m, d, of_day / 3600, of_day / 60 % 60, of_day % 60,
                  nanos / 1000000);
    rows_.out.append(text);
  }

  const int spill_;
  std::string path_;
  std::string session_, cwd_;  // of the file's session, or of the record
  Renderer rows_;
  std::string joined_;
  std::vector<char> scratch_;  // a run of spilled rows read back out of order
  SHA256_CTX prefix_;
  std::vector<Key> keys_;
  std::vector<std::string> heads_;  // by file: its provider and digest, as rows start
  size_t first_key_ = 0;
  uint32_t files_ = 0;
  uint64_t spilled_ = 0;
};

struct Counts {
  uint64_t files = 0, bytes = 0, lines = 0, errors = 0, rendered = 0, events = 0, converted = 0;
};

// What one pass reuses from file to file: buffers, the parser, what it saw.
class Reader {
 public:
  // `render`: render lines until `budget` bytes are made, and hand them to
  // `sink` when there is one. With a `converter`, it takes every parsed line
  // and file instead.
  Reader(bool render, uint64_t budget, Sink* sink, PlainConverter* converter = nullptr)
      : buffer_(kChunk), render_(render), budget_(budget), sink_(sink), converter_(converter) {}

  void file(const std::string& path, bool parse) {
    // As floor.c opens: a read that updates no access time is one write less.
    int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (opened < 0) opened = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Fd fd(opened, path);
    parse = parse && path.ends_with(".jsonl");
    line_ = 0;
    if (converter_) converter_->begin_file(path);
    uint64_t size = 0;
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    ssize_t n;
    while ((n = read(fd.fd, buffer_.data(), kChunk)) > 0) {
      SHA256_Update(&ctx, buffer_.data(), static_cast<size_t>(n));
      size += static_cast<uint64_t>(n);
      if (parse) lines(buffer_.data(), static_cast<size_t>(n));
    }
    if (n < 0) fail("read " + path);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &ctx);
    if (!carry_.empty()) line(carry_.data(), carry_.size());  // no final newline
    carry_.clear();
    if (converter_) converter_->end_file(digest, size, parse);
    counts.bytes += size;
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
    ++line_;
    if (len == 0) return;
    // Copies the line into the parser's padded buffer, grown to the longest.
    const auto parsed = parser_.parse(data, len, true);
    if (parsed.error() != simdjson::SUCCESS) return static_cast<void>(++counts.errors);
    if (converter_) return converter_->record(parsed.value_unsafe(), line_);
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
  PlainConverter* const converter_;
  uint64_t line_ = 0;  // of the file being read, from 1
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
    if (stage == kConvert) {
      Fd spill(nameless_file(dir), "nameless file in " + dir);
      PlainConverter converter(spill.fd);
      Reader reader(false, 0, nullptr, &converter);
      for (const std::string& path : paths) reader.file(path, true);
      counts = reader.counts;
      counts.converted = converter.finish(out.fd);
      counts.events = converter.events();
    } else {
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
  Counts counts;          // of the last pass
  uint64_t rendered = 0;  // by the spill stage, which renders for its output
  for (int stage = kHash; stage < kStages; ++stage) {
    cpu[stage] = seconds(CLOCK_PROCESS_CPUTIME_ID);
    wall[stage] = seconds(CLOCK_MONOTONIC);
    counts = pass(static_cast<Stage>(stage), paths, output_bytes, dir);
    if (stage == kSpill) rendered = counts.rendered;
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
              ", \"output_bytes\": %" PRIu64 ", \"events\": %" PRIu64
              ", \"converted_bytes\": %" PRIu64 ", \"peak\": %ld}\n",
              counts.files, counts.bytes, counts.lines, counts.errors, rendered, output_bytes,
              counts.events, counts.converted, usage.ru_maxrss * 1024L);
  return 0;
}
