// File: output/csv.h
//
// The timeline as one CSV table: a fixed header and one row per event, in
// report order, with a column per field of the events' description (model/model.h).
// Nested records are spread over their own columns;
// lists and generic values become compact JSON text in one cell. Absent values
// are empty cells, never "null". Date-times end in "+00:00".
//
// Syntax: comma separators, a single line feed after every record (header and
// last record included), no carriage returns, no byte-order mark. A cell is
// quoted exactly when it holds a comma, a double quote, CR or LF; inner quotes
// are doubled.
//
//   std::string text;
//   Status s = write_csv(OutputTarget::memory(text), report.events,
//                        /*include_message=*/true, /*include_content=*/false);
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/rows.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

// One CSV column's name, built at compile time from the description.
struct CsvColumnName {
  std::array<char, 48> text{};
  std::size_t size = 0;

  constexpr std::string_view view() const { return {text.data(), size}; }
};

// A column as the description gives it, before `column_before` moves it.
struct CsvColumn {
  CsvColumnName name;
  std::string_view before;  // the column this one goes before, if any
  bool numbered = false;    // the record's sequence
};

// The columns of a record on one surface, derived from its description at
// compile time: a field of plain kind is one column, a nested record one
// column per field, and a field's `column_before` moves its column. Two
// columns of one name fail to compile.
template <Described Record, Surface S>
struct CsvLayout {
  // The columns of the fields before the I-th, and of the I-th.
  template <std::size_t I>
  static constexpr std::size_t field_width() {
    if constexpr (!kField<Record, I>.on(S)) {
      return 0;
    } else if constexpr (std::is_void_v<NestedRecord<Record, I>>) {
      return 1;
    } else {
      return CsvLayout<NestedRecord<Record, I>, S>::kCount;
    }
  }
  template <std::size_t I>
  static constexpr std::size_t offset() {
    return []<std::size_t... J>(std::index_sequence<J...>) {
      return (field_width<J>() + ... + std::size_t{0});
    }
    (std::make_index_sequence<I>());
  }
  static constexpr std::size_t kCount = offset<kFieldCount<Record>>();

  // The columns in description order, each named under `prefix`.
  static constexpr void leaves(std::string_view prefix, CsvColumn* out) {
    [&]<std::size_t... I>(std::index_sequence<I...>) { (leaf<I>(prefix, out + offset<I>()), ...); }
    (std::make_index_sequence<kFieldCount<Record>>());
  }
  template <std::size_t I>
  static constexpr void leaf(std::string_view prefix, CsvColumn* out) {
    constexpr const auto& f = kField<Record, I>;
    if constexpr (field_width<I>() == 0) {
      return;
    } else if constexpr (std::is_void_v<NestedRecord<Record, I>>) {
      if (f.traits.column.empty()) {
        append(out->name, prefix);
        append(out->name, f.name);
      } else {
        append(out->name, f.traits.column);
      }
      out->before = f.traits.column_before;
      out->numbered = f.traits.numbered;
    } else {
      CsvColumnName joined;
      append(joined, prefix);
      append(joined, f.traits.prefix);
      CsvLayout<NestedRecord<Record, I>, S>::leaves(joined.view(), out);
    }
  }
  static constexpr void append(CsvColumnName& name, std::string_view part) {
    if (name.size + part.size() > name.text.size()) throw "CSV column name too long";
    for (char c : part) name.text[name.size++] = c;
  }

  struct Built {
    std::array<CsvColumnName, kCount> names{};  // column order
    std::array<std::size_t, kCount> slot{};     // column of each field, in description order
    std::size_t numbered = kCount;              // the sequence's column; kCount: none
  };
  static constexpr Built build() {
    std::array<CsvColumn, kCount> columns{};
    leaves({}, columns.data());
    std::array<std::size_t, kCount> order{};
    for (std::size_t i = 0; i < kCount; ++i) order[i] = i;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (columns[i].before.empty()) continue;
      auto at = [&](std::string_view name) {
        for (std::size_t k = 0; k < kCount; ++k) {
          if (columns[order[k]].name.view() == name) return k;
        }
        throw "column_before names no column";
      };
      // Out of its place, then in again just before the named column.
      const std::size_t from = at(columns[i].name.view());
      for (std::size_t k = from; k + 1 < kCount; ++k) order[k] = order[k + 1];
      const std::size_t to = at(columns[i].before);
      for (std::size_t k = kCount - 1; k > to; --k) order[k] = order[k - 1];
      order[to] = i;
    }
    Built built;
    for (std::size_t k = 0; k < kCount; ++k) {
      built.names[k] = columns[order[k]].name;
      built.slot[order[k]] = k;
      if (columns[order[k]].numbered) built.numbered = k;
      for (std::size_t j = 0; j < k; ++j) {
        if (built.names[j].view() == built.names[k].view()) throw "two CSV columns of one name";
      }
    }
    return built;
  }
  static constexpr Built kBuilt = build();

  // The header row, in column order.
  static constexpr std::array<std::string_view, kCount> kNames =
      []<std::size_t... K>(std::index_sequence<K...>) {
    return std::array<std::string_view, kCount>{kBuilt.names[K].view()...};
  }
  (std::make_index_sequence<kCount>());
};

// The module functions' table: 30 columns, fixed.
inline constexpr std::size_t kCsvColumnCount = CsvLayout<TimelineEvent, Surface::Functions>::kCount;
static_assert(kCsvColumnCount == 30, "the module functions' CSV columns are fixed");

using CsvRecord = std::array<std::string, kCsvColumnCount>;

// The module functions' header row, in column order.
inline constexpr const auto& kCsvColumns = CsvLayout<TimelineEvent, Surface::Functions>::kNames;

// The cells of one row in column order, on the module functions' surface.
// `include_message` false empties the message cell, `include_content` false the
// content cell.
CsvRecord event_to_record(const TimelineEvent& event, bool include_message, bool include_content);

// The JSON cell text: empty when absent, otherwise compact JSON (a string keeps
// its quotes, a present null is "null").
std::string json_value(const Shared<JsonValue>& value);

// Writes the header and one row per event through the sink's buffer, with the
// columns `surface` holds. Failures are `Message` errors: "CSV header write
// error: {error}", "CSV record write error: {error}" or "CSV flush error:
// {error}", {error} being the operating-system error text. The writer stops at
// the first failure.
[[nodiscard]] Status write_csv(OutputTarget target, EventSelection events, bool include_message,
                               bool include_content, Surface surface = Surface::Functions);
// The same table with each event's row from `events`, which must have been
// rendered with the columns `surface` holds (csv_row_writer).
[[nodiscard]] Status write_csv(OutputTarget target, EventRows& events,
                               Surface surface = Surface::Functions);

// Writes an event's row without its line feed.
std::unique_ptr<RowWriter> csv_row_writer(bool include_message, bool include_content,
                                          Surface surface);

}  // namespace tq
