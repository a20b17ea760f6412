#include "output/csv.h"

#include <charconv>
#include <cstdint>
#include <string>

#include "model/datetime.h"
#include "output/json.h"
#include "output/scan.h"

namespace tq {

namespace {

// What a row leaves out: the message and the artifact's content may be asked away.
struct RowOptions {
  bool include_message;
  bool include_content;
};

// Each setter overwrites `cell` in place, so a row reused across events keeps
// its strings' capacity; absent values leave it empty.
void set_cell(std::string& cell, std::string_view text) { cell.assign(text); }
void set_cell(std::string& cell, const std::optional<std::string_view>& text) {
  cell.assign(text.value_or(std::string_view()));
}
template <typename Text>
requires std::is_same_v<Text, std::optional<std::string>> ||
    std::is_same_v<Text, Shared<std::string>>
void set_cell(std::string& cell, const Text& text) {
  if (text) {
    cell.assign(*text);
  } else {
    cell.clear();
  }
}

void set_cell(std::string& cell, uint64_t value) {
  cell.clear();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  cell.append(buf, r.ptr);
}
void set_cell(std::string& cell, const std::optional<uint64_t>& value) {
  if (value) {
    set_cell(cell, *value);
  } else {
    cell.clear();
  }
}

void set_cell(std::string& cell, const std::optional<int64_t>& value) {
  cell.clear();
  if (!value) return;
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), *value);
  cell.append(buf, r.ptr);
}
void set_cell(std::string& cell, const std::optional<bool>& value) {
  cell.assign(!value ? "" : *value ? "true" : "false");
}

void set_cell(std::string& cell, const std::optional<DateTime>& t) {
  cell.clear();
  if (t) append_rfc3339(cell, *t, /*plus_offset=*/true);
}

void set_cell(std::string& cell, const Shared<JsonValue>& value) {
  cell.clear();
  if (!value) return;
  OutputSink sink(OutputTarget::memory(cell));
  write_compact_value(*value, sink);
}

// A list is a JSON array, and no list at all an empty cell.
void set_cell(std::string& cell, std::span<const std::string> strings) {
  cell.clear();
  if (strings.empty()) return;
  OutputSink sink(OutputTarget::memory(cell));
  write_compact_value(strings, sink);
}

// Fills the cells of `record`'s fields, `Leaf` being the position of its first
// column in the description order of `Root`'s; a null record empties them.
template <Described Root, Surface S, Described Record, std::size_t Leaf>
struct RowFiller {
  using Layout = CsvLayout<Root, S>;
  using Cells = std::array<std::string, Layout::kCount>;
  using Own = CsvLayout<Record, S>;

  static void fill(const Record* record, Cells& cells, RowOptions options) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (fill_field<I>(record, cells, options), ...);
    }
    (std::make_index_sequence<kFieldCount<Record>>());
  }

  template <std::size_t I>
  static void fill_field(const Record* record, Cells& cells, RowOptions options) {
    constexpr const auto& f = kField<Record, I>;
    constexpr std::size_t leaf = Leaf + Own::template offset<I>();
    using Nested = NestedRecord<Record, I>;
    if constexpr (!f.on(S)) {
      return;
    } else if constexpr (!std::is_void_v<Nested>) {
      const Nested* nested =
          record != nullptr ? record_pointer(field_value(read_field(f.get, *record))) : nullptr;
      RowFiller<Root, S, Nested, leaf>::fill(nested, cells, options);
    } else {
      std::string& cell = cells[Layout::kBuilt.slot[leaf]];
      constexpr std::string_view column = Layout::kBuilt.names[Layout::kBuilt.slot[leaf]].view();
      bool wanted = record != nullptr;
      if constexpr (column == "message") wanted = wanted && options.include_message;
      if constexpr (column == "content") wanted = wanted && options.include_content;
      if (wanted) {
        set_cell(cell, field_value(read_field(f.get, *record)));
      } else {
        cell.clear();
      }
    }
  }
};

template <Surface S>
using EventCells = std::array<std::string, CsvLayout<TimelineEvent, S>::kCount>;

template <Surface S>
void fill_record(const TimelineEvent& event, RowOptions options, EventCells<S>& cells) {
  RowFiller<TimelineEvent, S, TimelineEvent, 0>::fill(&event, cells, options);
}

void write_cell(OutputSink& out, std::string_view cell) {
  if (cell.empty()) return;  // absent values: most cells of a row
  if (find_special</*Controls=*/false, ',', '"', '\r', '\n'>(cell, 0) == cell.size()) {
    out.write(cell);
    return;
  }
  out.put('"');
  std::size_t start = 0;
  for (std::size_t q = cell.find('"'); q != std::string_view::npos; q = cell.find('"', q + 1)) {
    // Write through the quote, then the quote once more.
    out.write(cell.substr(start, q + 1 - start));
    out.put('"');
    start = q + 1;
  }
  out.write(cell.substr(start));
  out.put('"');
}

// The cells of one row, without its line feed; the cell in column `numbered`
// (its digits, in an event's row) goes through `mark`.
template <typename Cells>
void write_cells(OutputSink& out, const Cells& cells, size_t numbered = SIZE_MAX,
                 SequenceMark* mark = nullptr) {
  for (size_t k = 0; k < cells.size(); ++k) {
    if (k != 0) out.put(',');
    if (k == numbered) {
      mark->place(out, cells[k]);
    } else {
      write_cell(out, cells[k]);
    }
  }
}

// The most room a reused cell keeps between rows.
constexpr size_t kKeptCellCapacity = size_t{1} << 20;

template <Surface S>
class CsvRowWriter final : public RowWriter {
 public:
  explicit CsvRowWriter(RowOptions options) : options_(options) {}

  void write(const TimelineEvent& event, OutputSink& sink, SequenceMark& mark) override {
    fill_record<S>(event, options_, cells_);
    write_cells(sink, cells_, CsvLayout<TimelineEvent, S>::kBuilt.numbered, &mark);
    // A cell that held a huge text (a pasted file) gives its room back, so
    // that a writer kept for a whole timeline holds no more than a usual row.
    for (std::string& cell : cells_) {
      if (cell.capacity() > kKeptCellCapacity) std::string().swap(cell);
    }
  }

 private:
  RowOptions options_;
  EventCells<S> cells_;  // reused, so each event's cells keep their capacity
};

template <Surface S>
Status write_rows(OutputSink& sink, EventRows& events) {
  auto failed = [&sink](std::string_view what) { return std::unexpected(sink.failure(what)); };
  write_cells(sink, CsvLayout<TimelineEvent, S>::kNames);
  sink.put('\n');
  if (!sink.ok()) return failed("CSV header write error: ");
  for (size_t i = 0; i < events.size(); ++i) {
    TQ_CHECK(events.write_row(i, sink));
    sink.put('\n');
    if (!sink.ok()) return failed("CSV record write error: ");
  }
  if (!sink.flush()) return failed("CSV flush error: ");
  return {};
}

}  // namespace

CsvRecord event_to_record(const TimelineEvent& event, bool include_message, bool include_content) {
  CsvRecord record;
  fill_record<Surface::Functions>(event, {include_message, include_content}, record);
  return record;
}

std::string json_value(const Shared<JsonValue>& value) {
  std::string cell;
  set_cell(cell, value);
  return cell;
}

Status write_csv(OutputTarget target, EventSelection events, bool include_message,
                 bool include_content, Surface surface) {
  SelectionRows rows(events, csv_row_writer(include_message, include_content, surface));
  return write_csv(target, rows, surface);
}

Status write_csv(OutputTarget target, EventRows& events, Surface surface) {
  OutputSink sink(target, kWriteBufferSize);
  return surface == Surface::Whole ? write_rows<Surface::Whole>(sink, events)
                                   : write_rows<Surface::Functions>(sink, events);
}

std::unique_ptr<RowWriter> csv_row_writer(bool include_message, bool include_content,
                                          Surface surface) {
  const RowOptions options{include_message, include_content};
  if (surface == Surface::Whole) return std::make_unique<CsvRowWriter<Surface::Whole>>(options);
  return std::make_unique<CsvRowWriter<Surface::Functions>>(options);
}

}  // namespace tq
