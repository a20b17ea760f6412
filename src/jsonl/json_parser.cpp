#include "jsonl/json_parser.h"
#include "model/text.h"

#include <charconv>
#include <cstring>

#include <simdjson.h>

namespace tq {

namespace ondemand = simdjson::ondemand;

namespace {

using Outcome = std::expected<JsonValue, std::string>;

std::unexpected<std::string> failure(simdjson::error_code code) {
  return std::unexpected(std::string(simdjson::error_message(code)));
}

bool is_json_integer(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && t[i] == '-') ++i;
  if (i == t.size()) return false;
  if (t[i] == '0') return i + 1 == t.size();
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  return true;
}

std::string_view raw_token(ondemand::value& v) { return v.raw_json_token(); }
std::string_view raw_token(ondemand::document& d) {
  std::string_view token;
  return d.raw_json_token().get(token) ? std::string_view() : token;
}

// simdjson 3.0 refuses integers beyond 64 bits; such a number is read as the
// nearest double instead, as common JSON readers do.
template <typename V>
Outcome convert_number(V& v) {
  ondemand::number n;
  const auto err = v.get_number().get(n);
  if (!err) {
    switch (n.get_number_type()) {
      case ondemand::number_type::unsigned_integer:
        return JsonValue(n.get_uint64());
      case ondemand::number_type::signed_integer:
        return JsonValue(n.get_int64());
      default:
        return JsonValue(n.get_double());
    }
  }
  std::string_view token = raw_token(v);
  if (token.empty()) return failure(err);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' ||
                            token.back() == '\r')) {
    token.remove_suffix(1);
  }
  if (!is_json_integer(token)) return failure(err);
  double d = 0;
  auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), d);
  if (ec != std::errc() || ptr != token.data() + token.size()) return failure(err);
  return JsonValue(d);
}

template <typename V>
Outcome convert(V& v, size_t depth);

std::unexpected<std::string> too_deep() {
  return std::unexpected(concat("nesting deeper than ", kMaxJsonDepth, " levels"));
}

// The DOM parser picks the fastest kernel for this CPU at run time.
Outcome convert_dom(simdjson::dom::element e, size_t depth) {
  switch (e.type()) {
    case simdjson::dom::element_type::ARRAY: {
      if (depth >= kMaxJsonDepth) return too_deep();
      JsonArray out;
      for (simdjson::dom::element child : simdjson::dom::array(e)) {
        auto converted = convert_dom(child, depth + 1);
        if (!converted) return converted;
        out.push_back(std::move(*converted));
      }
      return JsonValue(std::move(out));
    }
    case simdjson::dom::element_type::OBJECT: {
      if (depth >= kMaxJsonDepth) return too_deep();
      JsonObject out;
      for (simdjson::dom::key_value_pair field : simdjson::dom::object(e)) {
        auto converted = convert_dom(field.value, depth + 1);
        if (!converted) return converted;
        out.push_back(JsonMember{std::string(field.key), std::move(*converted)});
      }
      // The JsonValue constructor orders the members and keeps the last of a repeated key.
      return JsonValue(std::move(out));
    }
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

struct JsonParser::Impl {
  simdjson::dom::parser dom;
  ondemand::parser parser;  // only for documents the DOM parser refuses over a number
  std::string buffer;  // the text plus simdjson's padding, reused across calls
};

JsonParser::JsonParser() : impl_(std::make_unique<Impl>()) {}
JsonParser::~JsonParser() = default;

std::expected<JsonValue, std::string> JsonParser::parse(std::string_view text) {
  auto& buffer = impl_->buffer;
  buffer.resize(text.size() + simdjson::SIMDJSON_PADDING);
  std::memcpy(buffer.data(), text.data(), text.size());
  std::memset(buffer.data() + text.size(), 0, simdjson::SIMDJSON_PADDING);
  simdjson::dom::element root;
  const auto err = impl_->dom.parse(buffer.data(), text.size(), false).get(root);
  if (!err) return convert_dom(root, 0);
  // The DOM parser refuses integers beyond 64 bits; the on-demand reader lets us
  // see the number's text and read it as the nearest double instead.
  if (err != simdjson::NUMBER_ERROR) return failure(err);
  ondemand::document doc;
  if (auto e = impl_->parser.iterate(buffer.data(), text.size(), buffer.size()).get(doc)) {
    return failure(e);
  }
  return convert(doc, 0);
}

std::expected<JsonValue, std::string> parse_json(std::string_view text) {
  JsonParser parser;
  return parser.parse(text);
}

}  // namespace tq
