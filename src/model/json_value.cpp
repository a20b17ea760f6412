#include "model/json_value.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace tq {

namespace {

bool key_less(const JsonMember& m, std::string_view key) {
  // Keys mostly differ in their first byte: that settles it without a call to
  // compare the rest. Bytes order as unsigned, as std::string orders them.
  if (!m.key.empty() && !key.empty() && m.key[0] != key[0]) {
    return static_cast<unsigned char>(m.key[0]) < static_cast<unsigned char>(key[0]);
  }
  return m.key < key;
}

}  // namespace

JsonValue::JsonValue(int64_t i) {
  if (i >= 0) {
    v_ = static_cast<uint64_t>(i);
  } else {
    v_ = i;
  }
}

JsonValue::JsonValue(JsonObject members) {
  const auto by_key = [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; };
  // Records hold a handful of members: insertion sort is stable and, unlike
  // std::stable_sort, needs no scratch buffer for each object.
  if (members.size() <= 16) {
    for (size_t i = 1; i < members.size(); ++i) {
      for (size_t j = i; j > 0 && by_key(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  } else if (!std::is_sorted(members.begin(), members.end(), by_key)) {
    std::stable_sort(members.begin(), members.end(), by_key);
  }
  // Repeated keys are adjacent and in input order now; the last one wins.
  size_t kept = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (kept > 0 && members[kept - 1].key == members[i].key) {
      members[kept - 1].value = std::move(members[i].value);
    } else {
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
  }
  members.resize(kept);
  v_ = std::move(members);
}

JsonValue JsonValue::sorted_object(JsonObject members) {
  JsonValue out;
  out.v_ = std::move(members);
  return out;
}

JsonValue JsonValue::clone() const {
  JsonValue out;
  std::visit(
      [&out](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, JsonArray>) {
          JsonArray items;
          items.reserve(held.size());
          for (const JsonValue& item : held) items.push_back(item.clone());
          out.v_ = std::move(items);
        } else if constexpr (std::is_same_v<T, JsonObject>) {
          // Already in key order and without repeats: no sort on the way in.
          JsonObject members;
          members.reserve(held.size());
          for (const JsonMember& m : held) members.push_back(JsonMember{m.key, m.value.clone()});
          out.v_ = std::move(members);
        } else if constexpr (std::is_same_v<T, std::string>) {
          out.v_ = std::string(held);
        } else {
          out.v_ = held;  // a scalar: its copy can't fail
        }
      },
      v_);
  return out;
}

double JsonValue::number_as_double() const {
  if (is_uint()) return static_cast<double>(as_uint());
  if (is_int()) return static_cast<double>(as_int());
  if (is_double()) return as_double();
  return 0.0;
}

std::string_view JsonValue::type_name() const {
  switch (v_.index()) {
    case 0:
      return "null";
    case 1:
      return "boolean";
    case 2:
    case 3:
    case 4:
      return "number";
    case 5:
      return "string";
    case 6:
      return "array";
    default:
      return "object";
  }
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  const auto& members = as_object();
  auto it = std::lower_bound(members.begin(), members.end(), key, key_less);
  if (it == members.end() || it->key != key) return nullptr;
  return &it->value;
}

JsonValue* JsonValue::find(std::string_view key) {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

const std::string* JsonValue::find_string(std::string_view key) const {
  const JsonValue* v = find(key);
  return (v != nullptr && v->is_string()) ? &v->as_string() : nullptr;
}

void JsonValue::set(std::string key, JsonValue value) {
  auto& members = as_object();
  auto it = std::lower_bound(members.begin(), members.end(), key, key_less);
  if (it != members.end() && it->key == key) {
    it->value = std::move(value);
  } else {
    members.insert(it, JsonMember{std::move(key), std::move(value)});
  }
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.v_ == b.v_; }

}  // namespace tq
