#include "output/arrow.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/datetime.h"
#include "output/json.h"
#include "output/sink.h"

namespace tq {
namespace {

// ---- what a batch is made of, before it is handed out ----

// One field of the schema: an Arrow format string, a name, and its children.
struct SchemaNode {
  std::string format;
  std::string name;
  bool nullable = true;
  std::vector<SchemaNode> children;
};

// Which buffers an array hands out, in the interface's order.
enum class Layout { Struct, List, Text, Words, Bits };

// One array of a batch with the buffers it owns; children for structs and lists.
struct ArrayNode {
  Layout layout = Layout::Struct;
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<uint8_t> validity;  // one bit per row, set when the row holds a value
  std::vector<int32_t> offsets;   // Text and List: length + 1 entries from 0
  std::vector<int64_t> words;     // Words: one per row
  std::string bytes;              // Text: the UTF-8 bytes
  std::vector<uint8_t> bits;      // Bits: one bit per row
  std::vector<ArrayNode> children;
};

// A buffer the interface may read even when nothing was written to it:
// consumers check pointers, not lengths, of empty buffers.
const void* buffer_of(const void* data) {
  static constexpr int64_t kNothing[2] = {0, 0};
  return data != nullptr ? data : kNothing;
}

// ---- handing out schemas and arrays ----

// The children of an exported schema or array (`Struct` is ArrowSchema or
// ArrowArray): the structures their parent points at, owned with it.
template <typename Struct>
class Children {
 public:
  // Exports `node` with `export_one` into a structure of its own.
  template <typename Node>
  void add(Node node, void (*export_one)(Node, Struct*)) {
    owned_.push_back(std::make_unique<Struct>());
    export_one(std::move(node), owned_.back().get());
    pointers_.push_back(owned_.back().get());
  }
  int64_t count() const { return static_cast<int64_t>(pointers_.size()); }
  Struct** pointers() { return pointers_.empty() ? nullptr : pointers_.data(); }
  // Releases each child the consumer hasn't moved out (which leaves it released).
  void release() {
    for (Struct* child : pointers_) {
      if (child->release != nullptr) child->release(child);
    }
  }

 private:
  std::vector<std::unique_ptr<Struct>> owned_;
  std::vector<Struct*> pointers_;  // what the parent's `children` points at
};

// Takes back what `exported->private_data` owns, releases its children, and
// marks `exported` released.
template <typename Payload, typename Struct>
void release_exported(Struct* exported) {
  std::unique_ptr<Payload> payload(static_cast<Payload*>(exported->private_data));
  payload->children.release();
  exported->release = nullptr;
}

struct SchemaPayload {
  std::string format;
  std::string name;
  Children<ArrowSchema> children;
};

void export_schema(SchemaNode node, ArrowSchema* out) {
  auto payload = std::make_unique<SchemaPayload>();
  payload->format = std::move(node.format);
  payload->name = std::move(node.name);
  for (SchemaNode& child : node.children) payload->children.add(std::move(child), export_schema);
  *out = ArrowSchema{payload->format.c_str(),
                     payload->name.c_str(),
                     nullptr,
                     node.nullable ? ARROW_FLAG_NULLABLE : 0,
                     payload->children.count(),
                     payload->children.pointers(),
                     nullptr,
                     release_exported<SchemaPayload, ArrowSchema>,
                     payload.get()};
  (void)payload.release();  // owned by `out` until released
}

struct ArrayPayload {
  ArrayNode node;
  std::vector<const void*> buffers;
  Children<ArrowArray> children;
};

std::vector<const void*> buffers_of(const ArrayNode& node) {
  std::vector<const void*> buffers{node.null_count == 0 ? nullptr
                                                        : buffer_of(node.validity.data())};
  switch (node.layout) {
    case Layout::Struct:
      break;
    case Layout::List:
      buffers.push_back(buffer_of(node.offsets.data()));
      break;
    case Layout::Text:
      buffers.push_back(buffer_of(node.offsets.data()));
      buffers.push_back(buffer_of(node.bytes.data()));
      break;
    case Layout::Words:
      buffers.push_back(buffer_of(node.words.data()));
      break;
    case Layout::Bits:
      buffers.push_back(buffer_of(node.bits.data()));
      break;
  }
  return buffers;
}

void export_array(ArrayNode node, ArrowArray* out) {
  auto payload = std::make_unique<ArrayPayload>();
  for (ArrayNode& child : node.children) payload->children.add(std::move(child), export_array);
  node.children.clear();
  payload->node = std::move(node);
  payload->buffers = buffers_of(payload->node);
  *out = ArrowArray{payload->node.length,
                    payload->node.null_count,
                    0,
                    static_cast<int64_t>(payload->buffers.size()),
                    payload->children.count(),
                    payload->buffers.data(),
                    payload->children.pointers(),
                    nullptr,
                    release_exported<ArrayPayload, ArrowArray>,
                    payload.get()};
  (void)payload.release();  // owned by `out` until released
}

// ---- columns: one per kind of field value ----

// The validity bits of one column, and its row and null counts.
class Validity {
 public:
  void push(bool valid) {
    if (rows_ % 8 == 0) bits_.push_back(0);
    if (valid) {
      bits_.back() = static_cast<uint8_t>(bits_.back() | (1u << (rows_ % 8)));
    } else {
      ++nulls_;
    }
    ++rows_;
  }
  // A node of `layout` with these counts and bits; starts again empty.
  ArrayNode finish(Layout layout) {
    ArrayNode node;
    node.layout = layout;
    node.length = rows_;
    node.null_count = nulls_;
    node.validity = std::move(bits_);
    *this = Validity();
    return node;
  }
  size_t bytes() const { return bits_.size(); }

 private:
  std::vector<uint8_t> bits_;
  int64_t rows_ = 0;
  int64_t nulls_ = 0;
};

// Texts: utf8. `Nullable` false for a field every record holds.
template <bool Nullable>
class TextColumn {
 public:
  void append(std::string_view text) {
    valid_.push(true);
    bytes_.append(text);
    close_value();
  }
  void append(std::optional<std::string_view> text) { text ? append(*text) : append_null(); }
  void append(const std::optional<std::string>& text) {
    text ? append(std::string_view(*text)) : append_null();
  }
  void append(const Shared<std::string>& text) {
    text ? append(std::string_view(*text)) : append_null();
  }
  // A row without a value: null, or empty text in a column never null (the
  // row of an absent record, which no consumer reads).
  void append_null() {
    valid_.push(!Nullable);
    close_value();
  }
  // The bytes of the current batch, to which a value may be written in place.
  std::string& bytes() { return bytes_; }
  // Ends a value whose bytes were written to bytes() directly.
  void end_value() {
    valid_.push(true);
    close_value();
  }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    out.push_back({"u", std::string(name), Nullable, {}});
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::Text);
    node.offsets = std::move(offsets_);
    node.bytes = std::move(bytes_);
    out.push_back(std::move(node));
    *this = TextColumn();
  }
  size_t size() const { return bytes_.size() + offsets_.size() * 4 + valid_.bytes(); }
  bool overflowed() const { return overflowed_; }

 private:
  Validity valid_;
  std::vector<int32_t> offsets_{0};
  std::string bytes_;
  bool overflowed_ = false;  // a value ended past what 32-bit offsets reach

  void close_value() {
    if (bytes_.size() > static_cast<size_t>(INT32_MAX)) overflowed_ = true;
    offsets_.push_back(static_cast<int32_t>(bytes_.size() & INT32_MAX));
  }
};

// Counts: uint64 or int64, one word per row.
template <typename Word, bool Nullable>
class WordColumn {
 public:
  void append(Word value) { push(true, value); }
  void append(const std::optional<Word>& value) { push(value.has_value(), value.value_or(0)); }
  void append_null() { push(!Nullable, 0); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    out.push_back({std::is_signed_v<Word> ? "l" : "L", std::string(name), Nullable, {}});
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::Words);
    node.words = std::move(words_);
    out.push_back(std::move(node));
    words_.clear();
  }
  size_t size() const { return words_.size() * 8 + valid_.bytes(); }
  bool overflowed() const { return false; }

 private:
  void push(bool valid, Word value) {
    valid_.push(valid);
    words_.push_back(static_cast<int64_t>(value));
  }
  Validity valid_;
  std::vector<int64_t> words_;
};

// Flags: bool, one bit per row.
class BoolColumn {
 public:
  void append(const std::optional<bool>& value) {
    valid_.push(value.has_value());
    values_.push(value.value_or(false));
  }
  void append_null() { append(std::nullopt); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    out.push_back({"b", std::string(name), true, {}});
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::Bits);
    node.bits = values_.finish(Layout::Bits).validity;
    out.push_back(std::move(node));
  }
  size_t size() const { return values_.bytes() + valid_.bytes(); }
  bool overflowed() const { return false; }

 private:
  Validity valid_;
  Validity values_;  // set for true, whatever the validity
};

// Instants: microseconds since the epoch, which hold years 0000 to 9999, and
// the exact text where a microsecond loses something.
class TimeColumn {
 public:
  void append(const std::optional<DateTime>& t) {
    valid_.push(t.has_value());
    if (!t) {
      micros_.push_back(0);
      exact_.append_null();
      return;
    }
    micros_.push_back(t->seconds * 1'000'000 + static_cast<int64_t>(t->nanos / 1000));
    if (t->nanos % 1000 == 0 && t->nanos < 1'000'000'000) {
      exact_.append_null();
    } else {
      append_rfc3339(exact_.bytes(), *t);
      exact_.end_value();
    }
  }
  void append_null() { append(std::nullopt); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    out.push_back({"tsu:UTC", std::string(name), true, {}});
    exact_.schema(std::string(name) + "_text", out);
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::Words);
    node.words = std::move(micros_);
    out.push_back(std::move(node));
    micros_.clear();
    exact_.finish(out);
  }
  size_t size() const { return micros_.size() * 8 + valid_.bytes() + exact_.size(); }
  bool overflowed() const { return exact_.overflowed(); }

 private:
  Validity valid_;
  std::vector<int64_t> micros_;
  TextColumn<true> exact_;
};

// Generic JSON values (raw records, raw timestamps): their compact JSON text.
// The events of one record share its raw value, so a value shared with the
// row before is copied, not written again.
class JsonColumn {
 public:
  void append(const Shared<JsonValue>& value) {
    if (!value) {
      text_.append_null();
      return;
    }
    std::string& bytes = text_.bytes();
    const size_t start = bytes.size();
    if (value.shares(last_)) {
      bytes.reserve(start + last_size_);  // so the copied bytes stay where they are
      bytes.append(bytes.data() + last_start_, last_size_);
    } else {
      OutputSink sink(OutputTarget::memory(bytes), 0);
      write_compact_value(*value, sink);
    }
    last_ = value;
    last_start_ = start;
    last_size_ = bytes.size() - start;
    text_.end_value();
  }
  void append_null() { text_.append_null(); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    text_.schema(name, out);
  }
  void finish(std::vector<ArrayNode>& out) {
    text_.finish(out);
    last_.reset();
  }
  size_t size() const { return text_.size(); }
  bool overflowed() const { return text_.overflowed(); }

 private:
  TextColumn<true> text_;
  Shared<JsonValue> last_;  // the value of the row before, when it had one
  size_t last_start_ = 0;   // where its text begins in the batch's bytes
  size_t last_size_ = 0;
};

// Lists of texts: list<utf8>, never null (an absent list is empty).
class TextListColumn {
 public:
  void append(std::span<const std::string> texts) {
    valid_.push(true);
    for (const std::string& text : texts) items_.append(std::string_view(text));
    count_ += texts.size();
    offsets_.push_back(static_cast<int32_t>(count_));
  }
  void append_null() { append({}); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    SchemaNode node{"+l", std::string(name), false, {}};
    items_.schema("item", node.children);
    out.push_back(std::move(node));
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::List);
    node.offsets = std::move(offsets_);
    items_.finish(node.children);
    out.push_back(std::move(node));
    offsets_ = {0};
    count_ = 0;
  }
  size_t size() const { return offsets_.size() * 4 + valid_.bytes() + items_.size(); }
  bool overflowed() const { return items_.overflowed(); }

 private:
  Validity valid_;
  std::vector<int32_t> offsets_{0};
  size_t count_ = 0;
  TextColumn<false> items_;
};

template <typename Value>
struct ColumnOf;

// Records: a struct of one column per field the surface holds.
template <Described R, bool Nullable>
class RecordColumn {
 public:
  explicit RecordColumn(Surface surface) : surface_(surface) {}

  void append(const R& record) { append(&record); }
  void append(const R* record) {
    valid_.push(record != nullptr || !Nullable);
    each([&]<size_t I>(auto& column) {
      if (record == nullptr) {
        column.append_null();
      } else {
        column.append(field_value(read_field(kField<R, I>.get, *record)));
      }
    });
  }
  void append_null() { append(static_cast<const R*>(nullptr)); }

  void schema(std::string_view name, std::vector<SchemaNode>& out) const {
    SchemaNode node{"+s", std::string(name), Nullable, {}};
    each([&]<size_t I>(const auto& column) { column.schema(kField<R, I>.name, node.children); });
    out.push_back(std::move(node));
  }
  void finish(std::vector<ArrayNode>& out) {
    ArrayNode node = valid_.finish(Layout::Struct);
    each([&]<size_t>(auto& column) { column.finish(node.children); });
    out.push_back(std::move(node));
  }
  size_t size() const {
    size_t total = valid_.bytes();
    each([&]<size_t>(const auto& column) { total += column.size(); });
    return total;
  }
  bool overflowed() const {
    bool any = false;
    each([&]<size_t>(const auto& column) { any = any || column.overflowed(); });
    return any;
  }

 private:
  template <size_t... I>
  static auto columns_for(std::index_sequence<I...>)
      -> std::tuple<typename ColumnOf<FieldValue<R, I>>::type...>;
  using Columns = decltype(columns_for(std::make_index_sequence<kFieldCount<R>>()));

  template <size_t... I>
  static Columns make_columns(Surface surface, std::index_sequence<I...>) {
    return Columns{ColumnOf<FieldValue<R, I>>::make(surface)...};
  }

  // Calls `f.template operator()<I>(column)` for each field the surface holds.
  template <typename F>
  void each(F&& f) {
    each_of(*this, f, std::make_index_sequence<kFieldCount<R>>());
  }
  template <typename F>
  void each(F&& f) const {
    each_of(*this, f, std::make_index_sequence<kFieldCount<R>>());
  }
  template <typename Self, typename F, size_t... I>
  static void each_of(Self& self, F& f, std::index_sequence<I...>) {
    ((kField<R, I>.on(self.surface_) ? f.template operator()<I>(std::get<I>(self.columns_))
                                     : void()),
     ...);
  }

  Surface surface_;
  Validity valid_;
  Columns columns_ = make_columns(surface_, std::make_index_sequence<kFieldCount<R>>());
};

// The column each kind of field value (model/fields.h) goes into.
template <typename Column>
struct Plain {
  using type = Column;
  static Column make(Surface) { return Column(); }
};
template <>
struct ColumnOf<std::string_view> : Plain<TextColumn<false>> {};
template <>
struct ColumnOf<std::optional<std::string_view>> : Plain<TextColumn<true>> {};
template <>
struct ColumnOf<const std::optional<std::string>&> : Plain<TextColumn<true>> {};
template <>
struct ColumnOf<const Shared<std::string>&> : Plain<TextColumn<true>> {};
template <>
struct ColumnOf<uint64_t> : Plain<WordColumn<uint64_t, false>> {};
template <>
struct ColumnOf<const uint64_t&> : Plain<WordColumn<uint64_t, false>> {};
template <>
struct ColumnOf<const std::optional<uint64_t>&> : Plain<WordColumn<uint64_t, true>> {};
template <>
struct ColumnOf<const std::optional<int64_t>&> : Plain<WordColumn<int64_t, true>> {};
template <>
struct ColumnOf<const std::optional<bool>&> : Plain<BoolColumn> {};
template <>
struct ColumnOf<const std::optional<DateTime>&> : Plain<TimeColumn> {};
template <>
struct ColumnOf<const Shared<JsonValue>&> : Plain<JsonColumn> {};
template <>
struct ColumnOf<std::span<const std::string>> : Plain<TextListColumn> {};
template <Described R>
struct ColumnOf<const R&> {
  using type = RecordColumn<R, false>;
  static type make(Surface surface) { return type(surface); }
};
template <Described R>
struct ColumnOf<const R*> {
  using type = RecordColumn<R, true>;
  static type make(Surface surface) { return type(surface); }
};

// ---- the stream ----

struct StreamState {
  StreamState(EventSelection e, Surface s, std::shared_ptr<const void> o)
      : events(e), surface(s), owner(std::move(o)), columns(s) {}

  EventSelection events;
  Surface surface;
  std::shared_ptr<const void> owner;  // keeps `events` alive
  size_t next = 0;                    // the first event not yet in a batch
  std::string last_error;             // for get_last_error; empty after success
  RecordColumn<TimelineEvent, false> columns;
};

StreamState* state_of(ArrowArrayStream* stream) {
  return static_cast<StreamState*>(stream->private_data);
}

int fail(StreamState* state, int code, std::string message) {
  state->last_error = std::move(message);
  return code;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState* state = state_of(stream);
  try {
    std::vector<SchemaNode> fields;
    state->columns.schema("", fields);
    fields.front().nullable = false;
    export_schema(std::move(fields.front()), out);
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(state, ENOMEM, "out of memory while describing the timeline's columns");
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState* state = state_of(stream);
  try {
    if (state->next >= state->events.size()) {
      out->release = nullptr;  // the end of the stream
      return 0;
    }
    const size_t first = state->next;
    const size_t end = std::min(state->events.size(), first + kArrowBatchRows);
    while (state->next < end) {
      state->columns.append(*state->events[state->next++]);
      if (state->columns.size() >= kArrowBatchBytes) break;
    }
    if (state->columns.overflowed()) {
      return fail(state, EOVERFLOW,
                  "the texts of events " + std::to_string(first) + " to " +
                      std::to_string(state->next - 1) +
                      " pass the 2 GiB one column of a batch holds");
    }
    std::vector<ArrayNode> batch;
    state->columns.finish(batch);
    export_array(std::move(batch.front()), out);
    state->last_error.clear();
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(state, ENOMEM, "out of memory while building a batch of the timeline");
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const StreamState* state = state_of(stream);
  return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  std::unique_ptr<StreamState> state(state_of(stream));
  stream->release = nullptr;
}

}  // namespace

void export_event_stream(EventSelection events, Surface surface, std::shared_ptr<const void> owner,
                         ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>(events, surface, std::move(owner));
  *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, stream_release,
                          state.release()};
}

}  // namespace tq
