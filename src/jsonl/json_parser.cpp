#include "jsonl/json_parser.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "jsonl/line_reader.h"
#include "model/text.h"

namespace tq {

namespace ondemand = simdjson::ondemand;

namespace {

using Outcome = std::expected<JsonValue, std::string>;

std::unexpected<std::string> failure(simdjson::error_code code) {
  // simdjson reports a failed allocation as an error code; it is the machine's
  // fault, not the line's, so it takes the path of every other failed
  // allocation instead of becoming an "Invalid JSON" diagnostic.
  if (code == simdjson::MEMALLOC) throw std::bad_alloc();
  return std::unexpected(std::string(simdjson::error_message(code)));
}

std::string_view trim_json_space(std::string_view t) {
  constexpr std::string_view kSpace = " \t\n\r";
  const size_t first = t.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return t.substr(first, t.find_last_not_of(kSpace) - first + 1);
}

std::string_view raw_token(ondemand::value& v) { return v.raw_json_token(); }
std::string_view raw_token(ondemand::document& d) {
  std::string_view token;
  return d.raw_json_token().get(token) ? std::string_view() : token;
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view t) {
  size_t i = 0;
  auto digits = [&] {
    const size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// For a JSON number out of the double range: whether it is so close to zero
// that it underflows, rather than too large. Decided by the power of ten of its
// first significant digit.
bool underflows(std::string_view t) {
  int64_t power = 0;
  size_t i = t.starts_with('-') ? 1 : 0;
  const size_t int_begin = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  if (t[int_begin] != '0') {
    power = static_cast<int64_t>(i - int_begin) - 1;
  } else {
    power = -1;
    if (i < t.size() && t[i] == '.') {
      for (++i; i < t.size() && t[i] == '0'; ++i) --power;
    }
  }
  const size_t e = t.find_first_of("eE");
  if (e == std::string_view::npos) return power < 0;
  const bool negative = t[e + 1] == '-';
  int64_t exponent = 0;
  for (size_t j = e + 1; j < t.size(); ++j) {
    if (t[j] < '0' || t[j] > '9') continue;
    exponent = std::min<int64_t>(exponent * 10 + (t[j] - '0'), int64_t{1} << 40);
  }
  return power + (negative ? -exponent : exponent) < 0;
}

// simdjson 3.0's on-demand number reader refuses integers beyond 64 bits and
// numbers that underflow, and turns decimals with more than 19 significant
// digits into 0. Such numbers are read from their text instead, correctly
// rounded, the way the DOM reader reads them: an over-long integer becomes the
// nearest double, an underflow zero; a number too large stays an error.
template <typename V>
Outcome convert_number(V& v) {
  // Taken before the value is read, which an on-demand value allows only once.
  const std::string_view token = trim_json_space(raw_token(v));
  ondemand::number n;
  const auto err = v.get_number().get(n);
  if (!err) {
    switch (n.get_number_type()) {
      case ondemand::number_type::unsigned_integer:
        return JsonValue(n.get_uint64());
      case ondemand::number_type::signed_integer:
        return JsonValue(n.get_int64());
      default:
        break;
    }
  }
  const auto refused = failure(err ? err : simdjson::NUMBER_ERROR);
  if (!is_json_number(token)) return refused;
  double d = 0;
  const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), d);
  if (ec == std::errc() && ptr == token.data() + token.size()) return JsonValue(d);
  if (ec == std::errc::result_out_of_range && underflows(token)) {
    return JsonValue(token.starts_with('-') ? -0.0 : 0.0);
  }
  return refused;
}

template <typename V>
Outcome convert(V& v, size_t depth);

std::unexpected<std::string> too_deep() {
  return std::unexpected(concat("nesting deeper than ", kMaxJsonDepth, " levels"));
}

// Most keys differ from a named one in their first byte: that settles it
// without a call to compare the rest.
bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || a[0] == b[0]) && a == b;
}

const JsonShape* member_shape(const JsonShape& shape, std::string_view key, bool& wanted) {
  if (!shape.left_out.empty()) {
    wanted = std::none_of(shape.left_out.begin(), shape.left_out.end(),
                          [key](std::string_view out) { return same_key(out, key); });
    return nullptr;
  }
  for (const JsonShapeMember& m : shape.members) {
    if (same_key(m.key, key)) {
      wanted = true;
      return m.shape;
    }
  }
  wanted = false;
  return nullptr;
}

// An object member still in the parsed document: its key, where its value
// lies, and what is read of that value.
struct PendingMember {
  std::string_view key;
  simdjson::dom::element value;
  const JsonShape* shape;
};

// Stable: of repeated keys the last stays last, so it is the one kept.
void sort_by_key(std::span<PendingMember> members) {
  const auto by_key = [](const PendingMember& a, const PendingMember& b) { return a.key < b.key; };
  // Records hold a handful of members, often close to key order already:
  // insertion sort needs no scratch buffer and few moves for them.
  if (members.size() > 16) return std::stable_sort(members.begin(), members.end(), by_key);
  for (size_t i = 1; i < members.size(); ++i) {
    const PendingMember next = members[i];
    size_t j = i;
    for (; j > 0 && by_key(next, members[j - 1]); --j) members[j] = members[j - 1];
    members[j] = next;
  }
}

// Converts the DOM parser's document into a JsonValue. Object members are put
// in key order while they are only a key and a place in the document, so the
// converted members, strings and all, are moved once into place; `pending_` is
// the stack of members of the objects being converted, kept across documents.
class DomConverter {
 public:
  Outcome convert(simdjson::dom::element e, size_t depth, const JsonShape* shape);

 private:
  Outcome convert_object(simdjson::dom::object object, size_t depth, const JsonShape* shape);

  std::vector<PendingMember> pending_;
};

Outcome DomConverter::convert_object(simdjson::dom::object object, size_t depth,
                                     const JsonShape* shape) {
  const size_t base = pending_.size();
  for (simdjson::dom::key_value_pair field : object) {
    const JsonShape* child_shape = nullptr;
    if (shape != nullptr) {
      bool wanted = false;
      child_shape = member_shape(*shape, field.key, wanted);
      if (!wanted) continue;
    }
    pending_.push_back(PendingMember{field.key, field.value, child_shape});
  }
  const size_t count = pending_.size() - base;
  sort_by_key(std::span(pending_).subspan(base));
  JsonObject out;
  out.reserve(count);
  // Converting the members pushes their own members past ours, which may move
  // the stack: each is copied out before it is converted.
  for (size_t i = 0; i < count; ++i) {
    const PendingMember member = pending_[base + i];
    auto converted = convert(member.value, depth + 1, member.shape);
    if (!converted) {
      pending_.resize(base);
      return converted;
    }
    // Of repeated keys, now adjacent, the last one wins; the others are still
    // converted, so that a fault in any of them fails the text as before.
    if (!out.empty() && out.back().key == member.key) {
      out.back().value = std::move(*converted);
    } else {
      out.push_back(JsonMember{std::string(member.key), std::move(*converted)});
    }
  }
  pending_.resize(base);
  return JsonValue::sorted_object(std::move(out));
}

// The DOM parser picks the fastest kernel for this CPU at run time.
Outcome DomConverter::convert(simdjson::dom::element e, size_t depth, const JsonShape* shape) {
  switch (e.type()) {
    case simdjson::dom::element_type::ARRAY: {
      if (depth >= kMaxJsonDepth) return too_deep();
      const simdjson::dom::array array(e);
      JsonArray out;
      out.reserve(array.size());  // a count the tape keeps (it saturates, which is harmless here)
      for (simdjson::dom::element child : array) {
        auto converted = convert(child, depth + 1, shape);
        if (!converted) return converted;
        out.push_back(std::move(*converted));
      }
      return JsonValue(std::move(out));
    }
    case simdjson::dom::element_type::OBJECT:
      if (depth >= kMaxJsonDepth) return too_deep();
      return convert_object(simdjson::dom::object(e), depth, shape);
    case simdjson::dom::element_type::INT64:
      return JsonValue(int64_t(e));
    case simdjson::dom::element_type::UINT64:
      return JsonValue(uint64_t(e));
    case simdjson::dom::element_type::DOUBLE:
      return JsonValue(double(e));
    case simdjson::dom::element_type::STRING:
      return JsonValue(std::string_view(e));
    case simdjson::dom::element_type::BOOL:
      return JsonValue(bool(e));
    case simdjson::dom::element_type::NULL_VALUE:
      return JsonValue();
  }
  return failure(simdjson::INCORRECT_TYPE);
}

Outcome convert_array(ondemand::array array, size_t depth) {
  JsonArray out;
  for (auto element : array) {
    ondemand::value child;
    if (auto err = std::move(element).get(child)) return failure(err);
    auto converted = convert(child, depth + 1);
    if (!converted) return converted;
    out.push_back(std::move(*converted));
  }
  return JsonValue(std::move(out));
}

Outcome convert_object(ondemand::object object, size_t depth) {
  JsonObject out;
  for (auto field_result : object) {
    ondemand::field field;
    if (auto err = std::move(field_result).get(field)) return failure(err);
    std::string_view key;
    if (auto err = field.unescaped_key().get(key)) return failure(err);
    std::string owned_key(key);
    ondemand::value child = field.value();
    auto converted = convert(child, depth + 1);
    if (!converted) return converted;
    out.push_back(JsonMember{std::move(owned_key), std::move(*converted)});
  }
  // The JsonValue constructor orders the members and keeps the last of a repeated key.
  return JsonValue(std::move(out));
}

template <typename V>
Outcome convert(V& v, size_t depth) {
  ondemand::json_type type;
  if (auto err = v.type().get(type)) return failure(err);
  switch (type) {
    case ondemand::json_type::array:
    case ondemand::json_type::object: {
      if (depth >= kMaxJsonDepth) return too_deep();
      if (type == ondemand::json_type::array) {
        ondemand::array array;
        if (auto err = v.get_array().get(array)) return failure(err);
        return convert_array(array, depth);
      }
      ondemand::object object;
      if (auto err = v.get_object().get(object)) return failure(err);
      return convert_object(object, depth);
    }
    case ondemand::json_type::number:
      return convert_number(v);
    case ondemand::json_type::string: {
      std::string_view s;
      if (auto err = v.get_string().get(s)) return failure(err);
      return JsonValue(s);
    }
    case ondemand::json_type::boolean: {
      bool b = false;
      if (auto err = v.get_bool().get(b)) return failure(err);
      return JsonValue(b);
    }
    case ondemand::json_type::null: {
      bool is_null = false;
      if (auto err = v.is_null().get(is_null)) return failure(err);
      if (!is_null) return failure(simdjson::N_ATOM_ERROR);
      return JsonValue();
    }
  }
  return failure(simdjson::INCORRECT_TYPE);
}

}  // namespace

// Lines up to this size leave the parser's buffers allocated for the next one;
// larger ones release them as soon as they are done with.
constexpr size_t kReusedBufferLimit = size_t{16} << 20;

static_assert(simdjson::SIMDJSON_PADDING <= kLinePadding);

struct JsonParser::Impl {
  Impl() { limit_depth(); }

  // Documents nested deeper than a value may be are refused by the parser
  // itself, so that the members a shape leaves out need no walk of their own
  // to find out; such a document is then parsed again without the limit, to
  // fail exactly as it always has.
  void limit_depth() {
    if (dom.allocate(0, kMaxJsonDepth) != simdjson::SUCCESS) throw std::bad_alloc();
  }

  simdjson::dom::parser dom;
  DomConverter converter;
  ondemand::parser parser;  // only for documents the DOM parser refuses over a number
  std::string buffer;       // the text plus simdjson's padding, reused across calls

  // `text` with zeroed padding in `buffer`.
  std::string_view copy_padded(std::string_view text) {
    buffer.resize(text.size() + simdjson::SIMDJSON_PADDING);
    std::memcpy(buffer.data(), text.data(), text.size());
    std::memset(buffer.data() + text.size(), 0, simdjson::SIMDJSON_PADDING);
    return {buffer.data(), text.size()};
  }

  // `text` lies in `storage` with at least simdjson's padding allocated past its
  // end; a huge text's storage is released once the document no longer needs it.
  Outcome parse_padded(std::string_view text, std::string& storage, const JsonShape* shape);
};

Outcome JsonParser::Impl::parse_padded(std::string_view text, std::string& storage,
                                       const JsonShape* shape) {
  simdjson::dom::element root;
  auto err = dom.parse(text.data(), text.size(), false).get(root);
  if (err == simdjson::DEPTH_ERROR) {
    simdjson::dom::parser unlimited;
    err = unlimited.parse(text.data(), text.size(), false).get(root);
    if (!err) return converter.convert(root, 0, nullptr);
  }
  if (!err) {
    if (text.size() <= kReusedBufferLimit) return converter.convert(root, 0, shape);
    // A huge line would otherwise stay held three times over while the
    // reader goes on: in its text (which the parsed document no longer
    // needs), in the parser's string buffer and in the value.
    std::string().swap(storage);
    auto converted = converter.convert(root, 0, shape);
    dom = simdjson::dom::parser();
    limit_depth();
    return converted;
  }
  // The DOM parser refuses integers beyond 64 bits; the on-demand reader lets us
  // see the number's text and read it as the nearest double instead. It reads
  // from a zero-padded copy, as it may look at the padding.
  if (err != simdjson::NUMBER_ERROR) return failure(err);
  if (text.data() != buffer.data()) text = copy_padded(text);
  ondemand::document doc;
  if (auto e = parser.iterate(buffer.data(), text.size(), buffer.size()).get(doc)) {
    return failure(e);
  }
  // The on-demand reader stops after the first value, so a second value on the
  // line must be looked for here; the DOM parser calls it a tape error.
  ondemand::json_type type;
  if (auto e = doc.type().get(type)) return failure(e);
  if (type != ondemand::json_type::array && type != ondemand::json_type::object) {
    // A lone scalar is read from its token without moving the reader: the
    // token has to be the whole text.
    if (trim_json_space(raw_token(doc)) != trim_json_space(text)) {
      return failure(simdjson::TAPE_ERROR);
    }
    return convert(doc, 0);
  }
  auto converted = convert(doc, 0);
  if (!converted) return converted;
  const char* rest = nullptr;
  if (doc.current_location().get(rest) != simdjson::OUT_OF_BOUNDS) {
    return failure(simdjson::TAPE_ERROR);
  }
  return converted;
}

JsonParser::JsonParser() : impl_(std::make_unique<Impl>()) {}
JsonParser::~JsonParser() = default;

std::expected<JsonValue, std::string> JsonParser::parse(std::string_view text) {
  return impl_->parse_padded(impl_->copy_padded(text), impl_->buffer, nullptr);
}

std::expected<JsonValue, std::string> JsonParser::parse_line(std::string_view text,
                                                             std::string& line,
                                                             const JsonShape* shape) {
  const size_t spare =
      static_cast<size_t>(line.data() + line.capacity() - (text.data() + text.size()));
  if (spare < simdjson::SIMDJSON_PADDING) {
    return impl_->parse_padded(impl_->copy_padded(text), impl_->buffer, shape);
  }
  return impl_->parse_padded(text, line, shape);
}

std::expected<JsonValue, std::string> parse_json(std::string_view text) {
  JsonParser parser;
  return parser.parse(text);
}

}  // namespace tq
