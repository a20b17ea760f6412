#include "output/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "model/datetime.h"
#include "output/rows.h"
#include "output/scan.h"

namespace tq {
namespace {

// Floating-point text: the shortest digits that read back to the same double,
// in plain notation with a fractional part for decimal exponents -5..15 and in
// d.ddde±X notation beyond.
void write_double(OutputSink& out, double d) {
  if (!std::isfinite(d)) {
    out.write("null");
    return;
  }
  // Scientific form gives the shortest round-trip digits and their exponent,
  // e.g. "-1.2345e+05"; the layout is then chosen here.
  char sci[32];
  const auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));
  const bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t e_pos = text.find('e');
  const std::string_view mantissa = text.substr(0, e_pos);
  int exponent = 0;
  const std::string_view exp_text = text.substr(e_pos + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                  exp_text.data() + exp_text.size(), exponent);

  char digits[24] = {};
  std::size_t n = 0;
  for (char c : mantissa) {
    if (c != '.') digits[n++] = c;
  }

  char buf[48];
  std::size_t len = 0;
  auto add = [&](char c) { buf[len++] = c; };
  if (negative) add('-');
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      add('0');
      add('.');
      for (int i = -1; i > exponent; --i) add('0');
      for (std::size_t i = 0; i < n; ++i) add(digits[i]);
    } else {
      const auto int_digits = static_cast<std::size_t>(exponent) + 1;
      for (std::size_t i = 0; i < int_digits; ++i) add(i < n ? digits[i] : '0');
      add('.');
      if (n > int_digits) {
        for (std::size_t i = int_digits; i < n; ++i) add(digits[i]);
      } else {
        add('0');
      }
    }
  } else {
    add(digits[0]);
    if (n > 1) {
      add('.');
      for (std::size_t i = 1; i < n; ++i) add(digits[i]);
    }
    add('e');
    add(exponent < 0 ? '-' : '+');
    const auto r = std::to_chars(buf + len, buf + sizeof buf, std::abs(exponent));
    len = static_cast<std::size_t>(r.ptr - buf);
  }
  out.write(std::string_view(buf, len));
}

template <typename Int>
void write_integer(OutputSink& out, Int value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.write(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

// The position of the first byte at or after `i` that JSON text must escape: a
// control character, a quotation mark or a reverse solidus.
std::size_t next_escape(std::string_view s, std::size_t i) {
  return find_special</*Controls=*/true, '"', '\\'>(s, i);
}

void write_string(OutputSink& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t i = next_escape(s, 0);
  if (i == s.size()) {
    // Most texts need no escape: quoted in one piece.
    out.put_made(s.size() + 2, [s](char* at) {
      *at++ = '"';
      std::memcpy(at, s.data(), s.size());
      at[s.size()] = '"';
    });
    return;
  }
  out.put('"');
  std::size_t run_start = 0;
  for (; i < s.size(); i = next_escape(s, run_start)) {
    out.write(s.substr(run_start, i - run_start));
    run_start = i + 1;
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"':
        out.write("\\\"");
        break;
      case '\\':
        out.write("\\\\");
        break;
      case '\b':
        out.write("\\b");
        break;
      case '\t':
        out.write("\\t");
        break;
      case '\n':
        out.write("\\n");
        break;
      case '\f':
        out.write("\\f");
        break;
      case '\r':
        out.write("\\r");
        break;
      default: {
        const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.write(std::string_view(esc, sizeof esc));
      }
    }
  }
  out.write(s.substr(run_start));
  out.put('"');
}

// Writes containers in either layout. Members and elements are introduced by
// `key`/`element`, which place the separators and indentation, so the record
// writers below read as plain lists of fields.
class Emitter {
 public:
  // `scratch` holds date-time text, reused by whoever writes many records.
  // `depth`: the containers the first one written is nested in, for its
  // indentation. `mark` takes a record's sequence.
  Emitter(OutputSink& out, JsonLayout layout, Surface surface, std::string& scratch, int depth = 0,
          SequenceMark* mark = nullptr)
      : out_(out),
        pretty_(layout == JsonLayout::Pretty),
        surface_(surface),
        depth_(depth),
        scratch_(scratch),
        mark_(mark) {}

  OutputSink& out() { return out_; }
  Surface surface() const { return surface_; }

  void open(char bracket) {
    out_.put(bracket);
    ++depth_;
    empty_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!empty_) newline();
    out_.put(bracket);
    // The enclosing container now holds at least the member just closed.
    empty_ = false;
  }
  void element() {
    if (!empty_) out_.put(',');
    newline();
    empty_ = false;
  }
  void key(std::string_view k) {
    element();
    write_string(out_, k);
    colon();
  }
  // A record field's name: a plain identifier of this program's own, which
  // never needs escaping. Written with its separator and indentation in one
  // piece (`,"name":` or `,\n    "name": `): records are mostly field names and
  // separators.
  void field_name(std::string_view name) {
    const bool comma = !empty_;
    if (!pretty_) {
      empty_ = false;
      out_.put_made((comma ? 1 : 0) + name.size() + 3, [name, comma](char* at) {
        if (comma) *at++ = ',';
        put_name(at, name);
      });
      return;
    }
    if (const std::optional<std::string_view> line = line_break()) {
      empty_ = false;
      out_.put_made((comma ? 1 : 0) + line->size() + name.size() + 4,
                    [name, comma, line](char* at) {
                      if (comma) *at++ = ',';
                      std::memcpy(at, line->data(), line->size());
                      put_name(at + line->size(), name)[0] = ' ';
                    });
      return;
    }
    element();
    out_.put('"');
    out_.write(name);
    out_.put('"');
    colon();
  }

  void null() { out_.write("null"); }
  void boolean(bool b) { out_.write(b ? "true" : "false"); }
  void uint(uint64_t u) { write_integer(out_, u); }
  void sequence(uint64_t u) {
    if (mark_ != nullptr) {
      mark_->place(out_, SequenceDigits(u).view());
    } else {
      uint(u);
    }
  }
  void string(std::string_view s) { write_string(out_, s); }
  void datetime(const DateTime& t) {
    scratch_.clear();
    append_rfc3339(scratch_, t);
    write_string(out_, scratch_);
  }

 private:
  void colon() {
    out_.put(':');
    if (pretty_) out_.put(' ');
  }
  // Writes `"name":` at `at`; where it ends.
  static char* put_name(char* at, std::string_view name) {
    *at++ = '"';
    std::memcpy(at, name.data(), name.size());
    at += name.size();
    *at++ = '"';
    *at++ = ':';
    return at;
  }
  // The line break and indentation at the current depth, when pretty, as one
  // piece: none when deeper than one piece holds (records nest a few levels;
  // generic values may nest 128).
  std::optional<std::string_view> line_break() const {
    static constexpr std::string_view kIndents =
        "\n                                                                ";
    const size_t width = 2 * static_cast<size_t>(depth_);
    if (width >= kIndents.size()) return std::nullopt;
    return kIndents.substr(0, 1 + width);
  }
  void newline() {
    if (!pretty_) return;
    if (const std::optional<std::string_view> line = line_break()) {
      out_.write(*line);
      return;
    }
    out_.put('\n');
    for (int i = 0; i < depth_; ++i) out_.write("  ");
  }

  OutputSink& out_;
  bool pretty_;
  Surface surface_;  // which fields of a record are written
  int depth_;
  bool empty_ = true;     // the innermost open container has no member yet
  std::string& scratch_;  // reused for date-time text
  SequenceMark* mark_;    // may be null: the sequence is written as a number
};

void emit(Emitter& e, const JsonValue& value) {
  std::visit(
      [&e](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          e.null();
        } else if constexpr (std::is_same_v<T, bool>) {
          e.boolean(v);
        } else if constexpr (std::is_same_v<T, uint64_t> || std::is_same_v<T, int64_t>) {
          write_integer(e.out(), v);
        } else if constexpr (std::is_same_v<T, double>) {
          write_double(e.out(), v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          e.string(v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          e.open('[');
          for (const JsonValue& item : v) {
            e.element();
            emit(e, item);
          }
          e.close(']');
        } else {
          e.open('{');
          for (const JsonMember& m : v) {
            e.key(m.key);
            emit(e, m.value);
          }
          e.close('}');
        }
      },
      value.storage());
}

void emit(Emitter& e, std::span<const std::string> strings) {
  e.open('[');
  for (const std::string& s : strings) {
    e.element();
    e.string(s);
  }
  e.close(']');
}

template <Described Record>
void emit(Emitter& e, const Record& record);

// Writes each field of a record's description as a member; absent optionals
// and records become null.
class FieldWriter {
 public:
  explicit FieldWriter(Emitter& e) : e_(e) {}

  template <typename Value>
  void field(std::string_view key, const Value& value, const FieldTraits& traits) {
    e_.field_name(key);
    if constexpr (std::is_same_v<Value, uint64_t>) {
      if (traits.numbered) {
        e_.sequence(value);
        return;
      }
    }
    write(value);
  }

 private:
  void write(std::string_view s) { e_.string(s); }
  void write(uint64_t u) { e_.uint(u); }
  void write(int64_t i) { write_integer(e_.out(), i); }
  void write(bool b) { e_.boolean(b); }
  void write(std::span<const std::string> strings) { emit(e_, strings); }
  template <Described Record>
  void write(const Record& record) {
    emit(e_, record);
  }
  template <Described Record>
  void write(const Record* record) {
    if (record != nullptr)
      emit(e_, *record);
    else
      e_.null();
  }
  // A std::optional or a Shared value; null when absent.
  template <typename Maybe>
  requires requires(const Maybe& m) { m.has_value(); }
  void write(const Maybe& value) {
    using T = std::remove_cvref_t<decltype(*value)>;
    if (!value) {
      e_.null();
    } else if constexpr (std::is_same_v<T, DateTime>) {
      e_.datetime(*value);
    } else if constexpr (std::is_same_v<T, JsonValue>) {
      emit(e_, *value);
    } else {
      write(*value);
    }
  }

  Emitter& e_;
};

template <Described Record>
void emit(Emitter& e, const Record& record) {
  e.open('{');
  FieldWriter writer(e);
  visit_fields(record, writer, e.surface());
  e.close('}');
}

template <typename Value>
void emit_compact(const Value& value, OutputSink& sink, Surface surface = Surface::Functions) {
  std::string scratch;
  Emitter e(sink, JsonLayout::Compact, surface, scratch);
  emit(e, value);
}

// An event's object as it stands in the document's "events" array, or as a
// JSON Lines line (compact, where depth shows nowhere).
class JsonRowWriter final : public RowWriter {
 public:
  JsonRowWriter(JsonLayout layout, Surface surface) : layout_(layout), surface_(surface) {}

  void write(const TimelineEvent& event, OutputSink& sink, SequenceMark& mark) override {
    // The document object and its events array hold the event.
    Emitter e(sink, layout_, surface_, scratch_, /*depth=*/2, &mark);
    emit(e, event);
  }

 private:
  JsonLayout layout_;
  Surface surface_;
  std::string scratch_;
};

}  // namespace

Status write_report(const ParseReport& report, OutputTarget target, JsonLayout layout,
                    Surface surface) {
  return write_report(report.events, report.diagnostics, target, layout, surface);
}

Status write_report(EventSelection events, std::span<const Diagnostic> diagnostics,
                    OutputTarget target, JsonLayout layout, Surface surface) {
  SelectionRows rows(events, json_row_writer(layout, surface));
  return write_report(rows, diagnostics, target, layout, surface);
}

Status write_report(EventRows& events, std::span<const Diagnostic> diagnostics, OutputTarget target,
                    JsonLayout layout, Surface surface) {
  OutputSink sink(target);
  std::string scratch;
  Emitter e(sink, layout, surface, scratch);
  auto failed = [&sink] { return std::unexpected(sink.failure("JSON serialization error: ")); };
  e.open('{');
  e.key("events");
  e.open('[');
  for (size_t i = 0; i < events.size(); ++i) {
    e.element();
    TQ_CHECK(events.write_row(i, sink));
    if (!sink.ok()) return failed();
  }
  e.close(']');
  e.key("diagnostics");
  e.open('[');
  for (const Diagnostic& d : diagnostics) {
    e.element();
    emit(e, d);
    if (!sink.ok()) return failed();
  }
  e.close(']');
  e.close('}');
  if (!sink.flush()) return failed();
  return {};
}

std::unique_ptr<RowWriter> json_row_writer(JsonLayout layout, Surface surface) {
  return std::make_unique<JsonRowWriter>(layout, surface);
}

void write_compact_value(const TimelineEvent& event, OutputSink& sink, Surface surface) {
  emit_compact(event, sink, surface);
}
void write_compact_value(const Diagnostic& diagnostic, OutputSink& sink, Surface surface) {
  emit_compact(diagnostic, sink, surface);
}
void write_compact_value(const SourceInfo& source, OutputSink& sink) { emit_compact(source, sink); }
void write_compact_value(const ArtifactInfo& artifact, OutputSink& sink) {
  emit_compact(artifact, sink);
}
void write_compact_value(const FsTimes& times, OutputSink& sink) { emit_compact(times, sink); }
void write_compact_value(const JsonValue& value, OutputSink& sink) { emit_compact(value, sink); }
void write_compact_value(std::span<const std::string> strings, OutputSink& sink) {
  emit_compact(strings, sink);
}

void write_json_string(std::string_view text, OutputSink& sink) { write_string(sink, text); }

std::string compact_json(const JsonValue& value) {
  std::string text;
  OutputSink sink(OutputTarget::memory(text));
  write_compact_value(value, sink);
  return text;
}

}  // namespace tq
