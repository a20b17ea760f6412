// File: model/json_value.h
//
// The generic JSON value: what every reader parses input into, what events keep
// as `raw` and `timestamp_raw`, and what the Python conversion walks.
//
//   JsonValue v = JsonValue::object();
//   v.set("b", JsonValue(uint64_t{1}));
//   v.set("a", JsonValue("x"));      // members stay ordered: a, b
//   const JsonValue* a = v.find("a");
//
// Invariants: a non-negative integer is always held as uint64_t and int64_t only
// holds negative values, so equal numbers have one representation. An object's
// members are sorted by key in ascending byte order and keys are unique (setting
// a key again replaces its value, as a JSON object with a repeated key keeps the
// last one). Values own everything they hold and are cheap to move.
//
// A value is never copied implicitly: `clone()` is the one deep copy. A
// record's value is large and many events hold it, so an accidental copy costs
// a record's size per event; and the library's copy of a variant that runs out
// of memory half-way leaves an object that can't be destroyed. `clone()` builds
// every part whole before moving it in, so running out of memory in it throws
// std::bad_alloc and leaves nothing half-built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tq {

struct JsonMember;
class JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<JsonMember>;

class JsonValue {
 public:
  using Storage = std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string,
                               JsonArray, JsonObject>;

  JsonValue() = default;  // null
  explicit JsonValue(bool b) : v_(b) {}
  explicit JsonValue(uint64_t u) : v_(u) {}
  // Keeps the invariant: non-negative values become unsigned.
  explicit JsonValue(int64_t i);
  explicit JsonValue(double d) : v_(d) {}
  explicit JsonValue(std::string s) : v_(std::move(s)) {}
  explicit JsonValue(std::string_view s) : v_(std::string(s)) {}
  explicit JsonValue(const char* s) : v_(std::string(s)) {}
  explicit JsonValue(JsonArray a) : v_(std::move(a)) {}
  // `members` may be in any order and hold repeated keys; the last one wins.
  explicit JsonValue(JsonObject members);

  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;
  ~JsonValue() = default;

  // A deep copy; throws std::bad_alloc when memory runs out.
  JsonValue clone() const;

  static JsonValue array() { return JsonValue(JsonArray{}); }
  static JsonValue object() { return JsonValue(JsonObject{}); }
  // An object of `members` already in ascending key order without repeats, as
  // a parser that orders them itself gives them: taken as they are.
  static JsonValue sorted_object(JsonObject members);

  bool is_null() const { return std::holds_alternative<std::monostate>(v_); }
  bool is_bool() const { return std::holds_alternative<bool>(v_); }
  bool is_uint() const { return std::holds_alternative<uint64_t>(v_); }
  bool is_int() const { return std::holds_alternative<int64_t>(v_); }
  bool is_double() const { return std::holds_alternative<double>(v_); }
  bool is_number() const { return is_uint() || is_int() || is_double(); }
  bool is_string() const { return std::holds_alternative<std::string>(v_); }
  bool is_array() const { return std::holds_alternative<JsonArray>(v_); }
  bool is_object() const { return std::holds_alternative<JsonObject>(v_); }

  // Unchecked accessors: call only after the matching is_*().
  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const JsonArray& as_array() const { return std::get<JsonArray>(v_); }
  JsonArray& as_array() { return std::get<JsonArray>(v_); }
  const JsonObject& as_object() const { return std::get<JsonObject>(v_); }
  JsonObject& as_object() { return std::get<JsonObject>(v_); }

  // Any number as a double (integers converted); 0.0 for non-numbers.
  double number_as_double() const;

  // The JSON type name used in messages: "null", "boolean", "number", "string",
  // "array" or "object".
  std::string_view type_name() const;

  // Member lookup on an object by exact key; nullptr when absent or not an object.
  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);
  // The member's text when it is present and a string, else nullptr.
  const std::string* find_string(std::string_view key) const;

  // Inserts or replaces a member of an object, keeping the key order. The value
  // must be an object.
  void set(std::string key, JsonValue value);

  const Storage& storage() const { return v_; }

  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  Storage v_;
};

struct JsonMember {
  std::string key;
  JsonValue value;
  friend bool operator==(const JsonMember& a, const JsonMember& b) = default;
};

}  // namespace tq
