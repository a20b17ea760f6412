#include "convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "model/datetime.h"
#include "model/utf8.h"
#include "output/sink.h"

namespace tq::py {
namespace {

// The internal-fault class. It lives as long as the process, like the module
// object that exposes it, and is only touched with the interpreter lock held.
PyObject* internal_error = nullptr;
// The failed-write class, kept the same way.
PyObject* write_error = nullptr;

PyRef text_object(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// First rendering: counts the characters, finds the widest and checks that the
// bytes are UTF-8.
struct MeasureConsumer final : ByteConsumer {
  int consume(std::string_view bytes) override {
    text.add(bytes);
    return 0;
  }
  Utf8Measure text;
};

// Second rendering: decodes the bytes, already checked, straight into a new
// str's characters.
class StrFiller final : public ByteConsumer {
 public:
  explicit StrFiller(PyObject* text)
      : kind_(PyUnicode_KIND(text)),
        data_(PyUnicode_DATA(text)),
        capacity_(static_cast<size_t>(PyUnicode_GET_LENGTH(text))) {}

  int consume(std::string_view bytes) override {
    pieces_.feed(bytes, [this](std::string_view piece) {
      switch (kind_) {
        case PyUnicode_1BYTE_KIND:
          decode(piece, static_cast<Py_UCS1*>(data_));
          break;
        case PyUnicode_2BYTE_KIND:
          decode(piece, static_cast<Py_UCS2*>(data_));
          break;
        default:
          decode(piece, static_cast<Py_UCS4*>(data_));
      }
    });
    return 0;
  }
  size_t written() const { return written_; }

 private:
  template <typename Unit>
  void decode(std::string_view piece, Unit* out) {
    const auto* s = reinterpret_cast<const unsigned char*>(piece.data());
    const size_t n = piece.size();
    for (size_t i = 0; i < n;) {
      // Most of the text is ASCII: widen whole runs of it, which vectorises.
      size_t run = i;
      while (run + 8 <= n && !(load64(s + run) & 0x8080808080808080ull)) run += 8;
      while (run < n && s[run] < 0x80) ++run;
      // The measure sized the str; a text that grew must not write past it.
      const size_t ascii = std::min(run - i, capacity_ - written_);
      for (size_t k = 0; k < ascii; ++k) out[written_ + k] = s[i + k];
      written_ += ascii;
      i = run;
      if (i >= n || written_ == capacity_) return;
      const unsigned char c = s[i];
      uint32_t cp = 0;
      if (c >= 0xF0) {
        cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 |
             (s[i + 3] & 0x3Fu);
        i += 4;
      } else if (c >= 0xE0) {
        cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
        i += 3;
      } else {
        cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
        i += 2;
      }
      out[written_++] = static_cast<Unit>(cp);
    }
  }

  static uint64_t load64(const unsigned char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }

  int kind_;
  void* data_;
  size_t capacity_;  // characters the str holds
  size_t written_ = 0;
  Utf8Pieces pieces_;
};

// Makes a finished container invisible to the cyclic collector. Everything
// converted here is a tree of fresh objects, so it holds no cycle, and a tree
// of millions of tracked containers would cost a full collector pass right
// after the call. A dict is tracked again as soon as a container is stored into
// it; a cycle that a caller later builds through one of these lists alone is
// the one thing the collector would miss.
PyRef untracked(PyRef container) {
  if (container) PyObject_GC_UnTrack(container.get());
  return container;
}

// Converts records and generic values for one call. Dict keys repeat in every
// record, and so do most texts of the records (paths, session ids, digests,
// enumeration texts): each distinct one becomes one str, shared by every record
// of the call, which also lets dicts reuse the str's cached hash.
class Converter {
  // Every kind of record a report holds, each with state of its own below.
  using Kinds = Records<TimelineEvent, Diagnostic>;
  // The fields of the widest; a record's positions in a layout are one byte.
  static constexpr size_t kMaxFields = kMostFields<Kinds>;
  static_assert(kMaxFields <= 256);

 public:
  // A converter for generic values, whose records hold `surface`'s fields.
  explicit Converter(Surface surface = Surface::Functions) : surface_(surface) {}

  PyRef convert(const JsonValue& value) {
    return std::visit(
        [this](const auto& held) -> PyRef {
          using T = std::decay_t<decltype(held)>;
          if constexpr (std::is_same_v<T, std::monostate>) {
            return PyRef::borrow(Py_None);
          } else if constexpr (std::is_same_v<T, bool>) {
            return PyRef::borrow(held ? Py_True : Py_False);
          } else if constexpr (std::is_same_v<T, uint64_t>) {
            return PyRef(PyLong_FromUnsignedLongLong(held));
          } else if constexpr (std::is_same_v<T, int64_t>) {
            return PyRef(PyLong_FromLongLong(held));
          } else if constexpr (std::is_same_v<T, double>) {
            return PyRef(PyFloat_FromDouble(held));
          } else if constexpr (std::is_same_v<T, std::string>) {
            return text_object(held);
          } else if constexpr (std::is_same_v<T, JsonArray>) {
            return list(held);
          } else {
            static_assert(std::is_same_v<T, JsonObject>);
            return dict(held);
          }
        },
        value.storage());
  }

  // A record as a dict whose keys are inserted in ascending byte order, the
  // order of generic objects, so that a record and its generic form look alike.
  template <Described Record>
  PyRef record(const Record& r) {
    // `members` holds the widest record's fields, so no record writes past it.
    static_assert(kFieldCount<Record> <= kMaxFields);
    Fields fields(*this, std::get<LayoutOf<Record>>(layouts_).last);
    visit_fields(r, fields, surface_);
    if (fields.failed) return {};
    const Layout* layout = layout_of<Record>(fields);
    if (layout == nullptr) return {};
    // A copy of the kind's dict of keys comes out at its final size with its
    // keys in place, so each field only replaces a value: a dict grown key by
    // key is rebuilt twice on the way to a record's size.
    PyRef out(PyDict_Copy(layout->keyed.get()));
    if (!out) return {};
    for (size_t i = 0; i < fields.count; ++i) {
      if (PyDict_SetItem(out.get(), layout->keys[i], fields.members[i].value.get()) < 0) {
        return {};
      }
    }
    return untracked(std::move(out));
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  struct Member {
    std::string_view key;
    PyRef value;
  };

  // The text a field of a kind of record had last, with its str. Records come
  // in time order, and neighbours mostly share their file's path, digest and
  // session: comparing with the last one spares most lookups in the table.
  struct LastText {
    std::string text;
    PyObject* object = nullptr;  // borrowed from texts_
    // The Shared text that `object` was last made for, held so that no other
    // text can take its place: the events that share it skip the comparison.
    Shared<std::string> shared;
  };
  using LastTexts = std::array<LastText, kMaxFields>;

  // Collects one record's fields as Python values; `failed` once a conversion
  // has raised.
  struct Fields {
    Fields(Converter& c, LastTexts& l) : converter(c), last(l) {}

    template <typename Value>
    void field(std::string_view key, const Value& value) {
      if (failed) return;
      PyRef converted = converter.value(key, value, last[count]);
      if (!converted) {
        failed = true;
        return;
      }
      members[count++] = Member{key, std::move(converted)};
    }

    Converter& converter;
    LastTexts& last;
    std::array<Member, kMaxFields> members;
    size_t count = 0;
    bool failed = false;
  };

  // A record's fields always come in the same order: their keys and the order
  // they are inserted in are worked out once per kind of record.
  struct Layout {
    std::array<PyObject*, kMaxFields> keys{};  // borrowed from texts_, in field order
    PyRef keyed;                               // the keys in ascending byte order, each with None
  };
  template <typename Record>
  struct LayoutOf {
    std::optional<Layout> layout;
    LastTexts last;
  };
  template <typename Kinds>
  struct LayoutsOf;
  template <typename... Rs>
  struct LayoutsOf<std::tuple<Rs...>> {
    using type = std::tuple<LayoutOf<Rs>...>;
  };

  template <typename Record>
  const Layout* layout_of(const Fields& fields) {
    std::optional<Layout>& layout = std::get<LayoutOf<Record>>(layouts_).layout;
    if (layout) return &*layout;
    Layout made;
    std::array<uint8_t, kMaxFields> order{};
    for (size_t i = 0; i < fields.count; ++i) {
      order[i] = static_cast<uint8_t>(i);
      made.keys[i] = shared_text(fields.members[i].key);
      if (made.keys[i] == nullptr) return nullptr;
    }
    std::sort(
        order.begin(), order.begin() + static_cast<std::ptrdiff_t>(fields.count),
        [&fields](uint8_t x, uint8_t y) { return fields.members[x].key < fields.members[y].key; });
    made.keyed = PyRef(PyDict_New());
    if (!made.keyed) return nullptr;
    for (size_t i = 0; i < fields.count; ++i) {
      if (PyDict_SetItem(made.keyed.get(), made.keys[order[i]], Py_None) < 0) return nullptr;
    }
    layout = std::move(made);
    return &*layout;
  }

  // Texts that are new in nearly every record: sharing them would only cost a
  // lookup and keep a table as large as the report.
  static bool unique_text(std::string_view key) {
    return key == "event_id" || key == "message" || key == "content";
  }

  // Each converts one field's value; `last` is what that field held in the
  // previous record of its kind.
  PyRef value(std::string_view key, std::string_view s, LastText& last) {
    if (unique_text(key)) return text_object(s);
    if (last.object == nullptr || last.text != s) {
      PyObject* object = shared_text(s);
      if (object == nullptr) return {};
      last.text.assign(s);
      last.object = object;
    }
    return PyRef::borrow(last.object);
  }
  PyRef value(std::string_view, uint64_t u, LastText&) {
    return PyRef(PyLong_FromUnsignedLongLong(u));
  }
  PyRef value(std::string_view, std::span<const std::string> strings, LastText&) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(strings.size())));
    if (!out) return {};
    for (size_t i = 0; i < strings.size(); ++i) {
      PyObject* item = shared_text(strings[i]);
      if (item == nullptr) return {};
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
    }
    return untracked(std::move(out));
  }
  template <Described Record>
  PyRef value(std::string_view, const Record& r, LastText&) {
    return record(r);
  }
  template <Described Record>
  PyRef value(std::string_view, const Record* r, LastText&) {
    return r != nullptr ? record(*r) : PyRef::borrow(Py_None);
  }
  PyRef value(std::string_view key, const Shared<std::string>& v, LastText& last) {
    if (!v) return PyRef::borrow(Py_None);
    if (last.object != nullptr && last.shared.shares(v)) return PyRef::borrow(last.object);
    PyRef text = value(key, std::string_view(*v), last);
    if (text) last.shared = v;
    return text;
  }
  PyRef value(std::string_view, const Shared<JsonValue>& v, LastText&) {
    return v ? convert(*v) : PyRef::borrow(Py_None);
  }
  template <typename T>
  PyRef value(std::string_view key, const std::optional<T>& v, LastText& last) {
    if (!v) return PyRef::borrow(Py_None);
    if constexpr (std::is_same_v<T, DateTime>) {
      scratch_.clear();
      append_rfc3339(scratch_, *v);
      return text_object(scratch_);
    } else if constexpr (std::is_same_v<T, uint64_t>) {
      return value(key, *v, last);
    } else if constexpr (std::is_same_v<T, int64_t>) {
      return PyRef(PyLong_FromLongLong(*v));
    } else if constexpr (std::is_same_v<T, bool>) {
      return PyRef::borrow(*v ? Py_True : Py_False);
    } else {
      return value(key, std::string_view(*v), last);
    }
  }

  PyRef list(const JsonArray& array) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(array.size())));
    if (!out) return {};
    for (size_t i = 0; i < array.size(); ++i) {
      PyRef item = convert(array[i]);
      if (!item) return {};
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return untracked(std::move(out));
  }

  PyRef dict(const JsonObject& object) {
    PyRef out(PyDict_New());
    if (!out) return {};
    for (const JsonMember& member : object) {
      PyObject* key = shared_text(member.key);
      if (key == nullptr) return {};
      PyRef value = convert(member.value);
      if (!value || PyDict_SetItem(out.get(), key, value.get()) < 0) return {};
    }
    return untracked(std::move(out));
  }

  // Borrowed from the table; nullptr with an exception set on failure.
  PyObject* shared_text(std::string_view text) {
    if (auto it = texts_.find(text); it != texts_.end()) return it->second.get();
    PyRef made = text_object(text);
    if (!made) return nullptr;
    PyObject* borrowed = made.get();
    texts_.emplace(std::string(text), std::move(made));
    return borrowed;
  }

  std::unordered_map<std::string, PyRef, Hash, std::equal_to<>> texts_;
  Surface surface_;  // which fields the records hold
  typename LayoutsOf<Kinds>::type layouts_;
  std::string scratch_;  // reused for date-time text
};

// Pauses the cyclic garbage collector: the result holds millions of fresh
// dicts and lists that can't form cycles, and collecting while building them
// costs more than building them.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// One record at a time: each is converted and released before the next, so the
// peak holds the report and its Python form together only once.
template <typename Records>
PyRef records_to_python(Records& records, Converter& converter) {
  using Record = std::remove_cvref_t<decltype(records[0])>;
  PyRef out(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!out) return {};
  PyObject_GC_UnTrack(out.get());
  for (size_t i = 0; i < records.size(); ++i) {
    PyRef item = converter.record(records[i]);
    if (!item) return {};
    records[i] = Record{};
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  records = Records{};
  return out;
}

}  // namespace

PyObject* raise_text(PyObject* type, std::string_view text) {
  PyRef message = text_object(text);
  if (!message) return nullptr;
  PyRef exception(PyObject_CallOneArg(type, message.get()));
  if (!exception) return nullptr;
  restore_exception(std::move(exception));
  return nullptr;
}

PyObject* raise_os_error(int error_number, std::string_view text) {
  if (error_number == 0) return raise_text(PyExc_OSError, text);
  // OSError(errno, strerror) picks the subclass for the number; the exception
  // itself is made from the text alone, so that str() shows exactly the text.
  PyRef probe(PyObject_CallFunction(PyExc_OSError, "is", error_number, ""));
  if (!probe) return nullptr;
  PyRef message = text_object(text);
  if (!message) return nullptr;
  PyRef exception(
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())), message.get()));
  PyRef number(PyLong_FromLong(error_number));
  if (!exception || !number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) {
    return nullptr;
  }
  restore_exception(std::move(exception));
  return nullptr;
}

PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.get();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
#endif
}

PyRef create_internal_error_class() {
  if (internal_error == nullptr) {
    internal_error = PyErr_NewExceptionWithDoc(
        "tracequill.InternalError",
        "A fault inside tracequill itself, not a problem with the input: a broken internal\n"
        "invariant or an unexpected failure of the runtime. Please report it.",
        PyExc_BaseException, nullptr);
    if (internal_error == nullptr) return {};
  }
  return PyRef::borrow(internal_error);
}

PyRef create_write_error_class() {
  if (write_error == nullptr) {
    PyRef bases(PyTuple_Pack(2, PyExc_OSError, PyExc_ValueError));
    if (!bases) return {};
    write_error = PyErr_NewExceptionWithDoc(
        "tracequill.WriteError",
        "The system refused to write output (a full disk, say); `errno` holds its\n"
        "error number. An OSError, and a ValueError as output failures always were.",
        bases.get(), nullptr);
    if (write_error == nullptr) return {};
  }
  return PyRef::borrow(write_error);
}

PyObject* raise_internal_fault(std::string_view what) noexcept {
  PyRef type = create_internal_error_class();
  if (!type) return nullptr;
  try {
    return raise_text(type.get(), "internal fault in tracequill: " + std::string(what));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyRef json_to_python(const JsonValue& value) {
  Converter converter;
  return converter.convert(value);
}

PyRef event_to_python(const TimelineEvent& event, Surface surface) {
  Converter converter(surface);
  return converter.record(event);
}

PyRef diagnostics_to_python(std::span<const Diagnostic> diagnostics, Surface surface) {
  GcPause pause;
  Converter converter(surface);
  PyRef out(PyList_New(static_cast<Py_ssize_t>(diagnostics.size())));
  if (!out) return {};
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    PyRef item = converter.record(diagnostics[i]);
    if (!item) return {};
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return out;
}

PyRef report_to_python(ParseReport report, Surface surface) {
  // Every event is converted before the dict exists, so "events" is always the
  // first key.
  GcPause pause;
  Converter converter(surface);
  PyRef events = records_to_python(report.events, converter);
  if (!events) return {};
  PyRef diagnostics = records_to_python(report.diagnostics, converter);
  if (!diagnostics) return {};
  PyRef result(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "events", events.get()) < 0 ||
      PyDict_SetItemString(result.get(), "diagnostics", diagnostics.get()) < 0) {
    return {};
  }
  return result;
}

struct EventsToPython::State {
  explicit State(Surface surface) : converter(surface) {}
  Converter converter;
  std::vector<PyRef> dicts;  // in the order appended
};

EventsToPython::EventsToPython(Surface surface) : state_(std::make_unique<State>(surface)) {}
EventsToPython::~EventsToPython() = default;

bool EventsToPython::append(const EventList& events) {
  GcPause pause;
  for (const TimelineEvent& event : events) {
    PyRef item = state_->converter.record(event);
    if (!item) return false;
    state_->dicts.push_back(std::move(item));
  }
  return true;
}

bool EventsToPython::set_digest(std::span<const size_t> positions, std::string_view sha256) {
  PyRef key(PyUnicode_InternFromString("source_file_sha256"));
  PyRef digest = text_object(sha256);
  if (!key || !digest) return false;
  for (size_t i : positions) {
    if (PyDict_SetItem(state_->dicts[i].get(), key.get(), digest.get()) < 0) return false;
  }
  return true;
}

std::string_view EventsToPython::event_id(size_t i) const {
  PyObject* id = PyDict_GetItemString(state_->dicts[i].get(), "event_id");
  Py_ssize_t size = 0;
  const char* text = id != nullptr ? PyUnicode_AsUTF8AndSize(id, &size) : nullptr;
  return text != nullptr ? std::string_view(text, static_cast<size_t>(size)) : std::string_view();
}

PyRef EventsToPython::finish(std::span<const uint32_t> order, std::vector<Diagnostic> diagnostics) {
  GcPause pause;
  PyRef events(PyList_New(static_cast<Py_ssize_t>(order.size())));
  if (!events) return {};
  PyObject_GC_UnTrack(events.get());
  PyRef key(PyUnicode_InternFromString("sequence"));
  if (!key) return {};
  for (size_t k = 0; k < order.size(); ++k) {
    PyRef item = std::move(state_->dicts[order[k]]);
    PyRef sequence(PyLong_FromSize_t(k));
    if (!sequence || PyDict_SetItem(item.get(), key.get(), sequence.get()) < 0) return {};
    PyList_SET_ITEM(events.get(), static_cast<Py_ssize_t>(k), item.release());
  }
  std::vector<PyRef>().swap(state_->dicts);
  PyRef listed = records_to_python(diagnostics, state_->converter);
  if (!listed) return {};
  PyRef result(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "events", events.get()) < 0 ||
      PyDict_SetItemString(result.get(), "diagnostics", listed.get()) < 0) {
    return {};
  }
  return result;
}

// Only the message becomes an argument, so str() stays the display text;
// errno is set as an attribute, which OSError leaves out of str() without a
// strerror.
PyObject* raise_write_error(const Error& error) {
  PyRef type = create_write_error_class();
  if (!type) return nullptr;
  PyRef message = text_object(error.text());
  if (!message) return nullptr;
  PyRef exception(PyObject_CallOneArg(type.get(), message.get()));
  if (!exception) return nullptr;
  PyRef number(PyLong_FromLong(error.code().value()));
  if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) {
    return nullptr;
  }
  restore_exception(std::move(exception));
  return nullptr;
}

PyObject* convert_error(const Error& error) {
  if (error.write_failure()) return raise_write_error(error);
  switch (error.kind()) {
    case ErrorKind::Io:
    case ErrorKind::Refused:
      return raise_os_error(errno_of(error.code()), error.text());
    case ErrorKind::Write:
      return raise_write_error(error);
    case ErrorKind::JsonParse:
    case ErrorKind::JsonSerialization:
    case ErrorKind::Stopped:
    case ErrorKind::Detection:
    case ErrorKind::Strict:
    case ErrorKind::Argument:
    case ErrorKind::Secrets:
      return raise_text(PyExc_ValueError, error.text());
    case ErrorKind::Internal:
      return raise_internal_fault(error.text());
  }
  return raise_internal_fault("error of unknown kind: " + error.text());
}

PyRef render_to_string(const Rendering& rendering) {
  MeasureConsumer measure;
  Status status;
  {
    ReleasedGil unlocked;
    status = rendering.render(OutputTarget::consumer(measure));
    if (status) measure.text.finish();
  }
  if (!status) {
    convert_error(status.error());
    return {};
  }
  if (const auto& bad = measure.text.error()) {
    raise_text(PyExc_ValueError, "Output is not valid UTF-8: " + *bad);
    return {};
  }
  PyRef text(PyUnicode_New(static_cast<Py_ssize_t>(measure.text.characters()),
                           static_cast<Py_UCS4>(measure.text.widest())));
  if (!text) return {};
  StrFiller filler(text.get());
  {
    // Nothing else can see the new str yet, so it is filled without the lock.
    ReleasedGil unlocked;
    status = rendering.render(OutputTarget::consumer(filler));
  }
  if (!status) {
    convert_error(status.error());
    return {};
  }
  if (filler.written() != measure.text.characters()) {
    raise_internal_fault("the output changed between its two renderings");
    return {};
  }
  return text;
}

}  // namespace tq::py
