#include "output/page.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "output/json.h"
#include "output/page_assets.inc"

namespace tq {
namespace {

enum class Kind : uint8_t { Text, Json, List, Number, Bool, Time };

constexpr std::string_view kKindNames[] = {"text", "json", "list", "number", "bool", "time"};
static_assert(std::size(kKindNames) == static_cast<size_t>(Kind::Time) + 1);

// One field of every event. Only the members of its kind are used.
struct Column {
  Column() = default;
  // Its dictionary holds views into its own texts: never copied.
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  std::string name;
  Kind kind = Kind::Text;
  // text, json, list: the distinct values, first seen first, as views into
  // `owned`, which never moves its strings: an event read from a store
  // lives only while its fields are taken.
  std::vector<std::string_view> dict;
  std::unordered_map<std::string_view, uint32_t> code_of;  // value -> 1 + position in dict
  // json: the last value met and its code. The events of one record follow
  // each other and share its value, so its text is made once; the value is
  // held, so that no other can take its address meanwhile.
  Shared<JsonValue> last;
  uint32_t last_code = 0;
  std::deque<std::string> owned;
  std::vector<uint32_t> codes;    // 0: absent
  std::vector<uint32_t> lengths;  // list: items per event
  // number, bool, time
  std::vector<std::optional<int64_t>> numbers;
  std::vector<uint32_t> sub;  // time: nanoseconds below the millisecond

  uint32_t code(std::string_view value) {
    if (auto known = code_of.find(value); known != code_of.end()) return known->second;
    const std::string_view text = owned.emplace_back(value);
    dict.push_back(text);
    return code_of.emplace(text, static_cast<uint32_t>(dict.size())).first->second;
  }
};

template <typename R, typename V>
concept Described = requires(const R& record, V& visitor) {
  visit_fields(record, visitor, Surface::Whole);
};

// Walks the events' description, one column per field, in the description's
// order. The first event creates the columns; every event visits the same
// fields in the same order, so a position names a column.
class Columns {
 public:
  explicit Columns(Surface surface) : surface_(surface) {}
  void add(const TimelineEvent& event) {
    next_ = 0;
    visit_fields(event, *this, surface_);
  }
  const std::deque<Column>& columns() const { return columns_; }

  void field(std::string_view name, std::string_view value) { text(name, value); }
  void field(std::string_view name, std::optional<std::string_view> value) { text(name, value); }
  void field(std::string_view name, const std::optional<std::string>& value) {
    text(name, value ? std::optional<std::string_view>(*value) : std::nullopt);
  }
  void field(std::string_view name, const Shared<std::string>& value) {
    text(name, value ? std::optional<std::string_view>(*value) : std::nullopt);
  }
  template <std::integral I>
  void field(std::string_view name, I value) {
    number(name, std::optional<I>(value));
  }
  template <std::integral I>
  void field(std::string_view name, const std::optional<I>& value) {
    number(name, value);
  }
  void field(std::string_view name, const std::optional<DateTime>& value);
  void field(std::string_view name, const Shared<JsonValue>& value);
  void field(std::string_view name, std::span<const std::string> values);
  template <typename R>
  requires Described<R, Columns>
  void field(std::string_view name, const R& record) { nested(name, &record); }
  template <typename R>
  requires Described<R, Columns>
  void field(std::string_view name, const R* record) { nested(name, record); }

 private:
  Column& column(std::string_view name, Kind kind) {
    if (next_ == columns_.size()) {
      Column& added = columns_.emplace_back();
      added.name = prefix_ + std::string(name);
      added.kind = kind;
    }
    return columns_[next_++];
  }
  void text(std::string_view name, std::optional<std::string_view> value) {
    Column& c = column(name, Kind::Text);
    c.codes.push_back(value && !absent_ ? c.code(*value) : 0);
  }
  template <typename I>
  void number(std::string_view name, const std::optional<I>& value) {
    Column& c = column(name, std::same_as<I, bool> ? Kind::Bool : Kind::Number);
    c.numbers.push_back(value && !absent_ ? std::optional<int64_t>(static_cast<int64_t>(*value))
                                          : std::nullopt);
  }
  // An absent record still fills its columns, with nothing: its fields are
  // walked over an empty one.
  template <typename R>
  void nested(std::string_view name, const R* record) {
    static const R kEmpty{};
    const size_t prefix_size = prefix_.size();
    const bool was_absent = absent_;
    prefix_.append(name).push_back('.');
    absent_ = absent_ || record == nullptr;
    visit_fields(record != nullptr ? *record : kEmpty, *this, surface_);
    absent_ = was_absent;
    prefix_.resize(prefix_size);
  }

  // A deque: columns never move once made, so the views their dictionaries
  // hold into their own texts stay valid.
  std::deque<Column> columns_;
  Surface surface_;      // the fields the events hold
  size_t next_ = 0;      // the column the next field fills
  std::string prefix_;   // the dotted names of the records being walked
  bool absent_ = false;  // inside a record the event doesn't hold
};

void Columns::field(std::string_view name, const std::optional<DateTime>& value) {
  Column& c = column(name, Kind::Time);
  if (!value || absent_) {
    c.numbers.emplace_back();
    c.sub.push_back(0);
    return;
  }
  const bool leap = value->nanos >= 1'000'000'000u;
  const uint32_t nanos = leap ? value->nanos - 1'000'000'000u : value->nanos;
  c.numbers.emplace_back(value->seconds * 1000 + nanos / 1'000'000);
  c.sub.push_back(nanos % 1'000'000 + (leap ? 1'000'000u : 0u));
}

void Columns::field(std::string_view name, const Shared<JsonValue>& value) {
  Column& c = column(name, Kind::Json);
  if (!value || absent_) {
    c.codes.push_back(0);
    return;
  }
  if (!value.shares(c.last)) {
    c.last_code = c.code(compact_json(*value));
    c.last = value;
  }
  c.codes.push_back(c.last_code);
}

void Columns::field(std::string_view name, std::span<const std::string> values) {
  Column& c = column(name, Kind::List);
  c.lengths.push_back(absent_ ? 0 : static_cast<uint32_t>(values.size()));
  if (absent_) return;
  for (const std::string& value : values) c.codes.push_back(c.code(value));
}

// Takes the payload's bytes, gzip-compresses them and writes them to `out`
// as base64. Owns the compressor's state.
class GzipBase64 final : public ByteConsumer {
 public:
  explicit GzipBase64(OutputSink& out) : out_(out) {
    // 15 + 16: the largest window, with gzip's header and checksum. Level 6:
    // for 114,000 events, level 9 took two thirds longer for half a percent.
    ready_ = deflateInit2(&stream_, 6, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  GzipBase64(const GzipBase64&) = delete;
  GzipBase64& operator=(const GzipBase64&) = delete;
  ~GzipBase64() override {
    if (ready_) deflateEnd(&stream_);
  }

  int consume(std::string_view bytes) override { return run(bytes, Z_NO_FLUSH); }
  // Ends the compressed stream and its base64 text.
  int finish() {
    if (const int error = run({}, Z_FINISH); error != 0) return error;
    encode(true);
    return out_.ok() ? 0 : out_.error_number();
  }

 private:
  int run(std::string_view bytes, int flush) {
    if (!ready_) return ENOMEM;
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream_.avail_in = static_cast<uInt>(bytes.size());
    int status = Z_OK;
    do {
      const size_t held = compressed_.size();
      compressed_.resize(held + kChunk);
      stream_.next_out = reinterpret_cast<Bytef*>(compressed_.data() + held);
      stream_.avail_out = static_cast<uInt>(kChunk);
      status = deflate(&stream_, flush);
      compressed_.resize(held + kChunk - stream_.avail_out);
      if (status == Z_STREAM_ERROR) return EIO;
      encode(false);
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    return out_.ok() ? 0 : out_.error_number();
  }
  // Writes the compressed bytes as base64: whole groups of three, or at the
  // end everything, padded.
  void encode(bool last) {
    const size_t whole = last ? compressed_.size() : compressed_.size() / 3 * 3;
    if (whole == 0) return;
    std::string text(4 * ((whole + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<const unsigned char*>(compressed_.data()),
                                        static_cast<int>(whole));
    out_.write(std::string_view(text.data(), static_cast<size_t>(written)));
    compressed_.erase(0, whole);
  }

  static constexpr size_t kChunk = 64 * 1024;
  OutputSink& out_;
  z_stream stream_{};
  bool ready_ = false;      // stream_ was set up and must be ended
  std::string compressed_;  // compressed bytes not yet encoded: fewer than three between calls
};

template <typename Int>
void write_number(OutputSink& out, Int value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.write(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void write_element(OutputSink& out, uint32_t value) { write_number(out, value); }
void write_element(OutputSink& out, const std::optional<int64_t>& value) {
  if (value) {
    write_number(out, *value);
  } else {
    out.write("null");
  }
}

// A list of values as is or, when it repeats itself enough to be shorter so,
// as {"runs": [value, count, value, count, ...]}: columns mostly absent, the
// events of one file, a sequence counting by one.
template <typename T>
void write_values(OutputSink& out, std::string_view key, const std::vector<T>& values) {
  size_t runs = 0;
  for (size_t i = 0; i < values.size(); ++i) runs += i == 0 || values[i] != values[i - 1];
  const bool packed = 2 * runs < values.size();
  out.write(key);
  out.write(packed ? "{\"runs\":[" : "[");
  for (size_t i = 0; i < values.size();) {
    size_t end = i + 1;
    while (packed && end < values.size() && values[end] == values[i]) ++end;
    if (i != 0) out.put(',');
    write_element(out, values[i]);
    if (packed) {
      out.put(',');
      write_number(out, end - i);
    }
    i = end;
  }
  out.write(packed ? "]}" : "]");
}

// Present values as differences from the previous present one; null when absent.
void write_deltas(OutputSink& out, const std::vector<std::optional<int64_t>>& values) {
  std::vector<std::optional<int64_t>> deltas;
  deltas.reserve(values.size());
  int64_t previous = 0;
  for (const std::optional<int64_t>& value : values) {
    if (!value) {
      deltas.emplace_back();
      continue;
    }
    deltas.emplace_back(*value - previous);
    previous = *value;
  }
  write_values(out, ",\"deltas\":", deltas);
}

// The length every value of `dict` has when each is lower-case hexadecimal
// of one even length, as digests and event ids are; 0 otherwise.
size_t hex_width(const std::vector<std::string_view>& dict) {
  if (dict.empty() || dict[0].size() % 2 != 0 || dict[0].empty()) return 0;
  const size_t width = dict[0].size();
  for (std::string_view value : dict) {
    if (value.size() != width) return 0;
    for (char ch : value) {
      if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return 0;
    }
  }
  return width;
}

int nibble(char ch) { return ch <= '9' ? ch - '0' : ch - 'a' + 10; }

// Hexadecimal values as the base64 of their bytes: the compressor gets four
// bits a digit out of hex text only approximately, and base64 of the bytes
// costs the page a fifth less than the digits did.
void write_hex(OutputSink& out, const std::vector<std::string_view>& dict, size_t width) {
  std::string bytes;
  bytes.reserve(dict.size() * width / 2);
  for (std::string_view value : dict) {
    for (size_t i = 0; i < width; i += 2) {
      bytes.push_back(static_cast<char>(nibble(value[i]) << 4 | nibble(value[i + 1])));
    }
  }
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.write(",\"width\":");
  write_number(out, width);
  out.write(",\"hex\":\"");
  out.write(std::string_view(text.data(), static_cast<size_t>(written)));
  out.put('"');
}

void write_column(OutputSink& out, const Column& c) {
  out.write("{\"name\":");
  write_json_string(c.name, out);
  out.write(",\"kind\":");
  write_json_string(kKindNames[static_cast<size_t>(c.kind)], out);
  switch (c.kind) {
    case Kind::Text:
    case Kind::Json:
    case Kind::List:
      if (const size_t width = c.kind == Kind::Text ? hex_width(c.dict) : 0; width != 0) {
        write_hex(out, c.dict, width);
        write_values(out, ",\"codes\":", c.codes);
        break;
      }
      out.write(",\"dict\":[");
      for (size_t i = 0; i < c.dict.size(); ++i) {
        if (i != 0) out.put(',');
        write_json_string(c.dict[i], out);
      }
      out.put(']');
      write_values(out, ",\"codes\":", c.codes);
      if (c.kind == Kind::List) write_values(out, ",\"lengths\":", c.lengths);
      break;
    case Kind::Number:
    case Kind::Bool:
      write_deltas(out, c.numbers);
      break;
    case Kind::Time:
      write_deltas(out, c.numbers);
      write_values(out, ",\"sub\":", c.sub);
      break;
  }
  out.put('}');
}

void write_payload(OutputSink& out, const Columns& columns, size_t count,
                   std::span<const Diagnostic> diagnostics, PageReports reports) {
  out.write("{\"format\":1,\"count\":");
  write_number(out, count);
  out.write(",\"columns\":[");
  for (size_t i = 0; i < columns.columns().size(); ++i) {
    if (i != 0) out.put(',');
    write_column(out, columns.columns()[i]);
  }
  out.write("],\"diagnostics\":[");
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    if (i != 0) out.put(',');
    write_compact_value(diagnostics[i], out);
  }
  auto report = [&out](std::string_view key, const JsonValue* value) {
    out.write(key);
    if (value != nullptr) {
      write_compact_value(*value, out);
    } else {
      out.write("null");
    }
  };
  report("],\"summary\":", reports.summary);
  report(",\"coverage\":", reports.coverage);
  out.put('}');
}

}  // namespace

Status write_page(EventSelection events, std::span<const Diagnostic> diagnostics,
                  PageReports reports, OutputTarget target, Surface surface) {
  Columns columns(surface);
  for (size_t i = 0; i < events.size(); ++i) columns.add(*events[i]);

  OutputSink sink(target);
  auto failed = [&sink] { return std::unexpected(sink.failure("I/O write error: ")); };
  sink.write(page_assets::kBeforeData);
  if (!sink.ok()) return failed();
  GzipBase64 packer(sink);
  // The payload's own sink fails only when the packer does: the file's write
  // failed, or the compressor had no memory.
  bool packed = false;
  {
    OutputSink payload(OutputTarget::consumer(packer));
    write_payload(payload, columns, events.size(), diagnostics, reports);
    packed = payload.flush() && packer.finish() == 0;
  }
  if (!sink.ok()) return failed();
  if (!packed)
    return std::unexpected(Error::json_serialization("the page's data could not be compressed"));
  sink.write(page_assets::kAfterData);
  if (!sink.flush()) return failed();
  return {};
}

}  // namespace tq
