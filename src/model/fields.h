// File: model/fields.h
//
// What a record's description is made of (the descriptions themselves are in
// model/model.h): a field is a name, a getter and a few traits, and a record's
// fields are one constexpr tuple, so their number, names, order and value
// kinds are known at compile time. Every output walks a record through
// `visit_fields`, which hands each field's value over in one of a few kinds:
//
//   std::string_view                      always present text (an enumeration
//                                         becomes its JSON text)
//   std::optional<std::string_view>       an optional enumeration's JSON text
//   const std::optional<std::string>&, const Shared<std::string>&
//   uint64_t, const std::optional<uint64_t>&, const std::optional<DateTime>&
//   const std::optional<int64_t>&, const std::optional<bool>&
//   const Shared<JsonValue>&
//   std::span<const std::string>          a list of texts
//   const R& or const R*                  a nested record (null when absent),
//                                         R being a described record itself
//
// A getter is a member pointer or a function of the record; `field_value`
// turns what it returns into one of the kinds above, so a field of a plain
// member kind is declared with its member pointer alone.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/records.h"

namespace tq {

// Which outputs hold a field. The five module functions and a Timeline read
// without transcripts hold only the `Functions` fields, so their bytes stay
// what they are whatever the event grows; a Timeline read with transcripts and
// the command hold every field, each in every record (null, or an empty CSV
// cell, when absent), so their keys and columns are fixed too.
enum class Surface : uint8_t { Functions, Whole };

struct FieldTraits {
  // The narrowest surface whose outputs hold the field.
  Surface surface = Surface::Functions;
  // CSV, a field of plain kind: the column's whole name, when it is not the
  // enclosing record's prefix followed by the field's name.
  std::string_view column = {};
  // CSV, a nested record: put before each of its fields' column names. CSV
  // spreads a nested record over one column per field.
  std::string_view prefix = {};
  // CSV: the column goes just before the column named here instead of in
  // description order.
  std::string_view column_before = {};
  // The record's place in its output (an event's sequence): known only once
  // every event is ordered, so an event rendered before that leaves the digits
  // out and notes where they go.
  bool numbered = false;
};

template <typename Get>
struct Field {
  std::string_view name;  // the JSON key and the dict key
  Get get;                // a member pointer or a function of the record
  FieldTraits traits;

  constexpr bool on(Surface surface) const {
    return traits.surface == Surface::Functions || surface == Surface::Whole;
  }
};

template <typename Get>
constexpr Field<Get> field(std::string_view name, Get get, FieldTraits traits = {}) {
  return {name, get, traits};
}

// Specialised once per record in model/model.h with its fields in output order:
//   template <> struct Description<R> { static constexpr std::tuple fields{...}; };
template <typename Record>
struct Description;

template <typename T>
concept Described = requires {
  Description<T>::fields;
};

// The number of fields of a record, whatever the surface.
template <Described Record>
inline constexpr std::size_t kFieldCount =
    std::tuple_size_v<std::remove_cvref_t<decltype(Description<Record>::fields)>>;

template <Described Record, std::size_t I>
inline constexpr const auto& kField = std::get<I>(Description<Record>::fields);

namespace fields_internal {
template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;
template <typename T>
inline constexpr bool kIsBoxed = false;
template <typename T>
inline constexpr bool kIsBoxed<Boxed<T>> = true;
}  // namespace fields_internal

// What a field's getter reads from a record, before field_value.
template <typename Get, typename Record>
decltype(auto) read_field(const Get& get, const Record& record) {
  if constexpr (std::is_member_object_pointer_v<Get>) {
    return (record.*get);
  } else {
    return get(record);
  }
}

// What visitors receive for a getter's result (see the list above).
template <typename T>
decltype(auto) field_value(const T& value) {
  using fields_internal::kIsBoxed;
  using fields_internal::kIsOptional;
  if constexpr (std::is_same_v<T, std::string>) {
    return std::string_view(value);
  } else if constexpr (std::is_enum_v<T>) {
    return json_text(value);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return std::span<const std::string>(value);
  } else if constexpr (kIsBoxed<T>) {
    using Record = std::remove_cvref_t<decltype(*value)>;
    return value ? &*value : static_cast<const Record*>(nullptr);
  } else if constexpr (std::is_pointer_v<T>) {
    return static_cast<T>(value);  // a getter's nested record, null when absent
  } else if constexpr (kIsOptional<T>) {
    using Inner = typename T::value_type;
    if constexpr (std::is_enum_v<Inner>) {
      return value ? std::optional<std::string_view>(json_text(*value)) : std::nullopt;
    } else if constexpr (Described<Inner>) {
      return value ? &*value : static_cast<const Inner*>(nullptr);
    } else {
      return (value);
    }
  } else {
    return (value);
  }
}

// The kind a field's getter yields for a record, after field_value.
template <Described Record, std::size_t I>
using FieldValue =
    decltype(field_value(read_field(kField<Record, I>.get, std::declval<const Record&>())));

// The record type a field nests, or void for a field of plain kind.
template <typename Value>
struct NestedOf {
  using type = void;
};
template <Described R>
struct NestedOf<const R*> {
  using type = R;
};
template <Described R>
struct NestedOf<const R&> {
  using type = R;
};
template <Described Record, std::size_t I>
using NestedRecord = typename NestedOf<FieldValue<Record, I>>::type;

// A nested record's value as a pointer, null when absent.
template <typename R>
const R* record_pointer(const R* r) {
  return r;
}
template <typename R>
const R* record_pointer(const R& r) {
  return &r;
}

namespace fields_internal {
// Hands one field to a visitor, with its traits when the visitor takes them.
template <typename Visitor, typename F, typename Value>
void hand_over(Visitor& v, const F& f, Value&& value) {
  if constexpr (requires { v.field(f.name, std::forward<Value>(value), f.traits); }) {
    v.field(f.name, std::forward<Value>(value), f.traits);
  } else {
    v.field(f.name, std::forward<Value>(value));
  }
}
}  // namespace fields_internal

// Calls `v.field(name, value)`, or `v.field(name, value, traits)` when the
// visitor takes the traits, for each field of `record` that `surface` holds,
// in description order.
template <Described Record, typename Visitor>
void visit_fields(const Record& record, Visitor& v, Surface surface) {
  std::apply(
      [&](const auto&... f) {
        ((f.on(surface) ? fields_internal::hand_over(v, f, field_value(read_field(f.get, record)))
                        : void()),
         ...);
      },
      Description<Record>::fields);
}

// Every record type reachable from `Roots` through nested fields, each once
// (a type list: `Records<TimelineEvent>` is std::tuple<TimelineEvent,
// SourceInfo, ...>); what converts records keeps its per-kind state in it.
namespace fields_internal {
template <typename T, typename List>
struct Contains;
template <typename T, typename... Ts>
struct Contains<T, std::tuple<Ts...>> : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};

template <typename Seen, typename Record, bool Known = Contains<Record, Seen>::value>
struct Reach;
template <typename Seen, typename Record, std::size_t I, bool Done = (I == kFieldCount<Record>)>
struct ReachFields;

template <typename Seen, typename Record>
struct Reach<Seen, Record, true> {
  using type = Seen;
};
template <typename... Seen, typename Record>
struct Reach<std::tuple<Seen...>, Record, false> {
  using type = typename ReachFields<std::tuple<Seen..., Record>, Record, 0>::type;
};
template <typename Seen, typename Record, std::size_t I>
struct ReachFields<Seen, Record, I, true> {
  using type = Seen;
};
template <typename Seen, typename Nested>
struct ReachNested {
  using type = typename Reach<Seen, Nested>::type;
};
template <typename Seen>
struct ReachNested<Seen, void> {
  using type = Seen;
};
template <typename Seen, typename Record, std::size_t I>
struct ReachFields<Seen, Record, I, false> {
  using type = typename ReachFields<typename ReachNested<Seen, NestedRecord<Record, I>>::type,
                                    Record, I + 1>::type;
};

template <typename Seen, typename... Roots>
struct ReachAll {
  using type = Seen;
};
template <typename Seen, typename Root, typename... Roots>
struct ReachAll<Seen, Root, Roots...> {
  using type = typename ReachAll<typename Reach<Seen, Root>::type, Roots...>::type;
};
}  // namespace fields_internal

template <Described... Roots>
using Records = typename fields_internal::ReachAll<std::tuple<>, Roots...>::type;

// The most fields any of `Records` has.
template <typename Records>
inline constexpr std::size_t kMostFields = 0;
template <typename... Rs>
inline constexpr std::size_t kMostFields<std::tuple<Rs...>> = std::max({kFieldCount<Rs>...});

}  // namespace tq
