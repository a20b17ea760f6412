#include "store/event_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "hash/hash.h"
#include "model/text.h"

namespace tq::store {

std::string_view TextTable::keep(std::string_view text) {
  if (text.empty()) return {};
  char* at = nullptr;
  if (text.size() > kBlockSize / 4) {
    // A long text has a block of its own, put before the block being filled.
    auto block = std::make_unique_for_overwrite<char[]>(text.size());
    at = block.get();
    blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(block));
    block_bytes_ += text.size();
  } else {
    if (block_used_ + text.size() > kBlockSize) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
      block_bytes_ += kBlockSize;
      block_used_ = 0;
    }
    at = blocks_.back().get() + block_used_;
    block_used_ += text.size();
  }
  std::memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

void TextTable::grow_index() {
  std::vector<uint32_t> slots(std::max<size_t>(slots_.size() * 2, 64), kNoText);
  const size_t mask = slots.size() - 1;
  for (uint32_t index = 0; index < texts_.size(); ++index) {
    size_t i = std::hash<std::string_view>{}(texts_[index]) & mask;
    while (slots[i] != kNoText) i = (i + 1) & mask;
    slots[i] = index;
  }
  slots_ = std::move(slots);
}

uint32_t TextTable::intern(std::string_view text) {
  // Half the slots at most are taken, so a probe always meets an empty one.
  if (texts_.size() * 2 >= slots_.size()) grow_index();
  const size_t mask = slots_.size() - 1;
  for (size_t i = std::hash<std::string_view>{}(text)&mask;; i = (i + 1) & mask) {
    uint32_t& slot = slots_[i];
    if (slot == kNoText) {
      slot = static_cast<uint32_t>(texts_.size());
      texts_.push_back(keep(text));
      return slot;
    }
    if (texts_[slot] == text) return slot;
  }
}

size_t TextTable::bytes() const {
  const size_t view_blocks = (texts_.size() + kViewBlock - 1) / kViewBlock;
  return block_bytes_ + blocks_.capacity() * sizeof(blocks_[0]) +
         view_blocks * kViewBlock * sizeof(std::string_view) + slots_.capacity() * sizeof(uint32_t);
}

namespace {

// How a text member is kept.
enum class Text : uint8_t {
  Inline,    // its length and its bytes
  Interned,  // its index in the table
  Id,        // the bytes it spells when it is lowercase hex of even length, else inline
};

template <typename R, typename T>
concept Is = std::same_as<std::remove_const_t<R>, T>;

// The one list of each record's members, in the order encoded, with how each
// text is kept. The writer walks it over const records, the reader over
// records it fills, so a member listed is always both written and read. A
// member added to a record changes its size and stops the build at the
// static_assert beside its list, until it is listed.
//
// The event's file digest is not listed: it leads the encoding at a fixed
// place, for set_file_digest.
static_assert(sizeof(TimelineEvent) == 416,
              "TimelineEvent changed: update its list in event_codec");
template <typename Io, Is<TimelineEvent> R>
void fields(Io& io, R& e) {
  io(e.event_id, Text::Id);  // first after the presence mask, for event_id_of
  io(e.schema_version, Text::Interned);
  io(e.sequence);
  io(e.provider);
  io(e.timestamp);
  io(e.timestamp_source);
  io(e.timestamp_raw);
  io(e.event_type);
  io(e.session_id, Text::Interned);
  io(e.working_directory, Text::Interned);
  io(e.message);
  io(e.source);
  io(e.artifact);
  io(e.fs_times);
  io(e.warnings);
  io(e.raw);
  io(e.facts);
  io(e.tool_name, Text::Interned);
}

static_assert(sizeof(SourceInfo) == 112, "SourceInfo changed: update its list in event_codec");
template <typename Io, Is<SourceInfo> R>
void fields(Io& io, R& s) {
  io(s.artifact_kind);
  io(s.record_type, Text::Interned);
  io(s.relative_path, Text::Interned);
  io(s.line_number);
  io(s.source_id, Text::Interned);
}

static_assert(sizeof(ArtifactInfo) == 208, "ArtifactInfo changed: update its list in event_codec");
template <typename Io, Is<ArtifactInfo> R>
void fields(Io& io, R& a) {
  io(a.reference_status);
  io(a.resolved_path, Text::Interned);
  io(a.snapshot_version);
  io(a.size);
  io(a.sha256, Text::Id);
  io(a.media_type, Text::Interned);
  io(a.content);
  io(a.content_encoding);
}

static_assert(sizeof(FsTimes) == 72, "FsTimes changed: update its list in event_codec");
template <typename Io, Is<FsTimes> R>
void fields(Io& io, R& t) {
  io(t.modified);
  io(t.accessed);
  io(t.created);
}

static_assert(sizeof(EventFacts) == 272, "EventFacts changed: update its list in event_codec");
template <typename Io, Is<EventFacts> R>
void fields(Io& io, R& f) {
  io(f.actor);
  io(f.agent_id, Text::Interned);
  io(f.agent_type, Text::Interned);
  io(f.agent_description);
  io(f.parent_session_id, Text::Interned);
  io(f.prompt);
  io(f.tool);
  io(f.usage);
  io(f.record_key, Text::Id);
  io(f.duplicate_of, Text::Id);
}

static_assert(sizeof(PromptFacts) == 2, "PromptFacts changed: update its list in event_codec");
template <typename Io, Is<PromptFacts> R>
void fields(Io& io, R& p) {
  io(p.origin);
}

static_assert(sizeof(ToolFacts) == 544, "ToolFacts changed: update its list in event_codec");
template <typename Io, Is<ToolFacts> R>
void fields(Io& io, R& t) {
  io(t.name, Text::Interned);
  io(t.call_id);
  io(t.kind);
  io(t.command_line);
  io(t.working_directory, Text::Interned);
  io(t.exit_code);
  io(t.error);
  io(t.duration_ns);
  io(t.files_read);
  io(t.files_changed);
  io(t.patch);
  io(t.urls);
  io(t.queries);
  io(t.mcp_server, Text::Interned);
  io(t.mcp_tool, Text::Interned);
  io(t.outcome, Text::Interned);
  io(t.call_event_id, Text::Id);
  io(t.result_event_id, Text::Id);
}

static_assert(sizeof(UsageFacts) == 104, "UsageFacts changed: update its list in event_codec");
template <typename Io, Is<UsageFacts> R>
void fields(Io& io, R& u) {
  io(u.model, Text::Interned);
  io(u.input_tokens);
  io(u.output_tokens);
  io(u.cache_read_input_tokens);
  io(u.reasoning_output_tokens);
}

template <typename T>
inline constexpr bool kOptional = false;
template <typename T>
inline constexpr bool kOptional<std::optional<T>> = true;
template <typename T>
inline constexpr bool kOptional<Shared<T>> = true;
template <typename T>
inline constexpr bool kOptional<Boxed<T>> = true;

// The presence mask of a record: bit i set when its i-th optional member
// (std::optional, Shared or Boxed) holds a value. No record has more than 64.
struct Presence {
  uint64_t mask = 0;
  unsigned count = 0;

  template <typename T>
  void operator()(const T& member, Text = Text::Inline) {
    if constexpr (kOptional<T>) {
      if (member.has_value()) mask |= uint64_t{1} << count;
      ++count;
    }
  }
};

// A record of its own, with a presence mask: one with a list above.
template <typename R>
concept Listed = requires(Presence& p, const R& r) {
  fields(p, r);
};

// JSON values are a tag and what the tag says follows.
enum class JsonTag : uint8_t {
  Null,
  False,
  True,
  Unsigned,
  Negative,
  Double,
  String,
  Array,
  Object
};

// Readers stop at 128 levels; this is far beyond, and bounds the decoder's
// recursion whatever its bytes say.
constexpr unsigned kMaxJsonDepth = 1024;

uint64_t zigzag(int64_t n) {
  return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}
int64_t unzigzag(uint64_t n) { return static_cast<int64_t>(n >> 1) ^ -static_cast<int64_t>(n & 1); }

void store32(char* at, uint32_t n) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(static_cast<uint8_t>(n >> (8 * i)));
}
uint32_t load32(const char* at) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t{static_cast<uint8_t>(at[i])} << (8 * i);
  return n;
}

// An id of lowercase hex is kept as the bytes it spells, up to this many; a
// longer one (no agent writes one) is kept as text.
constexpr size_t kMostPackedId = 64;

class Writer {
 public:
  Writer(TextTable& texts, std::string& out) : texts_(texts), out_(out) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Puts what was written into `out`, where it gets no sooner. Not left to a
  // destructor: appending may run out of memory, which must reach the caller.
  void flush() {
    out_.append(stage_.data(), used_);
    used_ = 0;
  }

  template <Listed R>
  void record(const R& r) {
    Presence presence;
    fields(presence, r);
    varint(presence.mask);
    fields(*this, r);
  }

  template <typename T>
  void operator()(const std::optional<T>& v, Text how = Text::Inline) {
    if (v) (*this)(*v, how);
  }
  template <typename T>
  void operator()(const Shared<T>& v, Text how = Text::Inline) {
    if (v) (*this)(*v, how);
  }
  template <typename T>
  void operator()(const Boxed<T>& v, Text = Text::Inline) {
    if (v) record(*v);
  }
  template <Listed R>
  void operator()(const R& r, Text = Text::Inline) {
    record(r);
  }
  template <typename E>
  requires std::is_enum_v<E>
  void operator()(E e, Text = Text::Inline) {
    static_assert(sizeof(E) == 1);
    byte(static_cast<uint8_t>(e));
  }
  void operator()(uint64_t n, Text = Text::Inline) { varint(n); }
  void operator()(int64_t n, Text = Text::Inline) { varint(zigzag(n)); }
  void operator()(bool b, Text = Text::Inline) { byte(b ? 1 : 0); }
  void operator()(const DateTime& t, Text = Text::Inline) {
    varint(zigzag(t.seconds));
    varint(t.nanos);
  }
  void operator()(const std::vector<std::string>& list, Text how = Text::Inline) {
    varint(list.size());
    for (const std::string& s : list) (*this)(s, how);
  }
  void operator()(const std::string& s, Text how = Text::Inline) {
    if (how == Text::Interned) return varint(texts_.intern(s));
    if (how == Text::Id && !s.empty() && s.size() <= 2 * kMostPackedId) {
      std::array<uint8_t, kMostPackedId> packed;
      if (unhex_lower(s, packed.data())) {
        varint(s.size() << 1 | 1);
        return bytes({reinterpret_cast<const char*>(packed.data()), s.size() / 2});
      }
    }
    varint(how == Text::Id ? s.size() << 1 : s.size());
    bytes(s);
  }
  void operator()(const JsonValue& v, Text = Text::Inline) {
    if (v.is_null()) return tag(JsonTag::Null);
    if (v.is_bool()) return tag(v.as_bool() ? JsonTag::True : JsonTag::False);
    if (v.is_uint()) return tag(JsonTag::Unsigned), varint(v.as_uint());
    if (v.is_int()) return tag(JsonTag::Negative), varint(zigzag(v.as_int()));
    if (v.is_double()) {
      tag(JsonTag::Double);
      const auto bits = std::bit_cast<uint64_t>(v.as_double());
      for (int i = 0; i < 8; ++i) byte(static_cast<uint8_t>(bits >> (8 * i)));
      return;
    }
    if (v.is_string()) return tag(JsonTag::String), (*this)(v.as_string());
    if (v.is_array()) {
      tag(JsonTag::Array);
      varint(v.as_array().size());
      for (const JsonValue& item : v.as_array()) (*this)(item);
      return;
    }
    tag(JsonTag::Object);
    varint(v.as_object().size());
    for (const JsonMember& m : v.as_object()) {
      // The records' keys are few and repeated in every record.
      (*this)(m.key, Text::Interned);
      (*this)(m.value);
    }
  }

 private:
  void byte(uint8_t b) {
    if (used_ == stage_.size()) flush();
    stage_[used_++] = static_cast<char>(b);
  }
  void bytes(std::string_view b) {
    if (b.size() <= stage_.size() - used_) {
      std::memcpy(stage_.data() + used_, b.data(), b.size());
      used_ += b.size();
      return;
    }
    flush();
    out_.append(b);
  }
  void tag(JsonTag t) { byte(static_cast<uint8_t>(t)); }
  void varint(uint64_t n) {
    for (; n >= 0x80; n >>= 7) byte(static_cast<uint8_t>(n | 0x80));
    byte(static_cast<uint8_t>(n));
  }

  TextTable& texts_;
  std::string& out_;
  // A record is mostly one-byte numbers and tags: they are gathered here and
  // appended a run at a time, not with a call to the string each.
  std::array<char, 256> stage_;
  size_t used_ = 0;
};

// Reads what Writer wrote. The first fault found is kept, with where it was
// met, and ends the reading: every later read gives a zero value and reads
// nothing, so a walk over damaged bytes finishes without touching memory
// beyond them and the caller checks once.
class Reader {
 public:
  Reader(std::string_view bytes, const TextTable& texts)
      : bytes_(bytes), rest_(bytes), texts_(texts) {}

  bool ok() const { return fault_ == nullptr; }
  Error error() const {
    return Error::internal(concat("A stored event's bytes are damaged: ", fault_, " at byte ",
                                  fault_at_, " of ", bytes_.size(), "."));
  }

  void finish() {
    if (!rest_.empty()) fail("bytes after the event");
  }

  uint32_t fixed32() {
    const std::string_view b = take(4);
    return b.size() == 4 ? load32(b.data()) : kNoText;
  }
  // The text at `index`, which must be one of the table's.
  std::optional<std::string_view> interned(uint64_t index) {
    if (index < texts_.size()) return texts_.at(static_cast<uint32_t>(index));
    fail("a text index past the table");
    return std::nullopt;
  }

  template <Listed R>
  void record(R& r) {
    const Frame outer = frame_;
    frame_ = {varint(), 0};
    fields(*this, r);
    if (frame_.count < 64 && frame_.mask >> frame_.count != 0) fail("a presence bit for no member");
    frame_ = outer;
  }

  template <typename T>
  void operator()(std::optional<T>& v, Text how = Text::Inline) {
    if (present()) (*this)(v.emplace(), how);
  }
  template <typename T>
  void operator()(Shared<T>& v, Text how = Text::Inline) {
    if (!present()) return;
    T value{};
    (*this)(value, how);
    v = std::move(value);
  }
  template <typename T>
  void operator()(Boxed<T>& v, Text = Text::Inline) {
    if (present()) record(v.emplace());
  }
  template <Listed R>
  void operator()(R& r, Text = Text::Inline) {
    record(r);
  }
  template <typename E>
  requires std::is_enum_v<E>
  void operator()(E& e, Text = Text::Inline) {
    const uint8_t b = byte();
    if (b > static_cast<uint8_t>(E::Last)) return fail("an enumeration's value past its last");
    e = static_cast<E>(b);
  }
  void operator()(uint64_t& n, Text = Text::Inline) { n = varint(); }
  void operator()(int64_t& n, Text = Text::Inline) { n = unzigzag(varint()); }
  void operator()(bool& b, Text = Text::Inline) {
    const uint8_t v = byte();
    if (v > 1) return fail("a truth value neither 0 nor 1");
    b = v == 1;
  }
  void operator()(DateTime& t, Text = Text::Inline) {
    t.seconds = unzigzag(varint());
    const uint64_t nanos = varint();
    if (nanos > UINT32_MAX) return fail("nanoseconds past 32 bits");
    t.nanos = static_cast<uint32_t>(nanos);
  }
  void operator()(std::vector<std::string>& list, Text how = Text::Inline) {
    const uint64_t n = count();
    list.reserve(n);
    for (uint64_t i = 0; i < n && ok(); ++i) (*this)(list.emplace_back(), how);
  }
  void operator()(std::string& s, Text how = Text::Inline) {
    if (how == Text::Interned) {
      if (auto text = interned(varint())) s.assign(*text);
      return;
    }
    uint64_t size = varint();
    if (how == Text::Id) {
      const bool hex = size & 1;
      size >>= 1;
      if (hex) {
        if (size == 0 || size % 2 != 0) return fail("a hex text of odd or no length");
        const std::string_view b = take(size / 2);
        s = hex_lower({reinterpret_cast<const uint8_t*>(b.data()), b.size()});
        return;
      }
    }
    s.assign(take(size));
  }
  void operator()(JsonValue& v, Text = Text::Inline) { json(v, 0); }

  uint64_t varint() {
    uint64_t n = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (rest_.empty()) return fail("the end inside a number"), 0;
      const auto b = static_cast<uint8_t>(rest_.front());
      rest_.remove_prefix(1);
      if (shift == 63 && b > 1) break;
      n |= uint64_t{b & 0x7Fu} << shift;
      if (b < 0x80) return n;
    }
    fail("a number past 64 bits");
    return 0;
  }

 private:
  struct Frame {
    uint64_t mask = 0;
    unsigned count = 0;
  };

  void fail(const char* what) {
    if (fault_ == nullptr) {
      fault_ = what;
      fault_at_ = bytes_.size() - rest_.size();
    }
    rest_ = {};
  }
  std::string_view take(uint64_t n) {
    if (n > rest_.size()) return fail("the end inside a value"), std::string_view();
    const std::string_view b = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return b;
  }
  uint8_t byte() {
    const std::string_view b = take(1);
    return b.empty() ? 0 : static_cast<uint8_t>(b[0]);
  }
  // A count of items that each take a byte at least, so no more than are left.
  uint64_t count() {
    const uint64_t n = varint();
    if (n > rest_.size()) return fail("a count past the end"), 0;
    return n;
  }
  bool present() {
    if (frame_.count >= 64) return fail("more than 64 optional members"), false;
    return ((frame_.mask >> frame_.count++) & 1) != 0;
  }

  void json(JsonValue& v, unsigned depth) {
    if (depth > kMaxJsonDepth) return fail("JSON nested too deep");
    switch (static_cast<JsonTag>(byte())) {
      case JsonTag::Null:
        return;
      case JsonTag::False:
        v = JsonValue(false);
        return;
      case JsonTag::True:
        v = JsonValue(true);
        return;
      case JsonTag::Unsigned:
        v = JsonValue(varint());
        return;
      case JsonTag::Negative: {
        const int64_t n = unzigzag(varint());
        if (n >= 0) return fail("a signed JSON number that is not negative");
        v = JsonValue(n);
        return;
      }
      case JsonTag::Double: {
        const std::string_view b = take(8);
        uint64_t bits = 0;
        for (size_t i = 0; i < b.size(); ++i)
          bits |= uint64_t{static_cast<uint8_t>(b[i])} << (8 * i);
        v = JsonValue(std::bit_cast<double>(bits));
        return;
      }
      case JsonTag::String:
        v = JsonValue(std::string());
        return (*this)(v.as_string());
      case JsonTag::Array:
        return array(v, depth);
      case JsonTag::Object:
        return object(v, depth);
    }
    fail("an unknown JSON tag");
  }
  void array(JsonValue& v, unsigned depth) {
    JsonArray items;
    const uint64_t n = count();
    items.reserve(n);
    for (uint64_t i = 0; i < n && ok(); ++i) json(items.emplace_back(), depth + 1);
    v = JsonValue(std::move(items));
  }
  void object(JsonValue& v, unsigned depth) {
    // Members go in as they were held, not through the constructor that orders them.
    v = JsonValue::object();
    JsonObject& members = v.as_object();
    const uint64_t n = count();
    members.reserve(n);
    for (uint64_t i = 0; i < n && ok(); ++i) {
      JsonMember& m = members.emplace_back();
      (*this)(m.key, Text::Interned);
      json(m.value, depth + 1);
    }
  }

  std::string_view bytes_;
  std::string_view rest_;
  const TextTable& texts_;
  Frame frame_;
  const char* fault_ = nullptr;  // the first fault met, none while the bytes read well
  size_t fault_at_ = 0;
};

}  // namespace

void encode_event(const TimelineEvent& e, TextTable& texts, std::string& out) {
  const size_t at = out.size();
  out.resize(at + 4);
  store32(out.data() + at, e.source_file_sha256 ? texts.intern(*e.source_file_sha256) : kNoText);
  Writer writer(texts, out);
  writer.record(e);
  writer.flush();
}

Result<TimelineEvent> decode_event(std::string_view bytes, const TextTable& texts) {
  Reader reader(bytes, texts);
  TimelineEvent e;
  const uint32_t digest = reader.fixed32();
  if (digest != kNoText) {
    if (auto text = reader.interned(digest)) e.source_file_sha256 = std::string(*text);
  }
  reader.record(e);
  reader.finish();
  if (!reader.ok()) return std::unexpected(reader.error());
  return e;
}

std::string event_id_of(std::string_view bytes) {
  const TextTable none;  // an id is never interned
  Reader reader(bytes, none);
  (void)reader.fixed32();
  (void)reader.varint();  // the event's presence mask
  std::string id;
  reader(id, Text::Id);
  return reader.ok() ? id : std::string();
}

uint32_t file_digest_of(std::string_view bytes) {
  return bytes.size() >= 4 ? load32(bytes.data()) : kNoText;
}

void set_file_digest(std::span<char> encoding, uint32_t index) { store32(encoding.data(), index); }

}  // namespace tq::store
