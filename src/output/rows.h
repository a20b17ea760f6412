// File: output/rows.h
//
// A document's events as rows: the document writers (write_report,
// write_jsonl, write_csv) write their header, separators, line feeds and
// diagnostics themselves and ask an `EventRows` for each event's bytes, so the
// events may be rendered as the document is written (`SelectionRows`) or long
// before, kept as bytes, and copied in (`write_numbered`).
//
// An event's sequence is its place in the ordered report, known only once
// every event is read and ordered. A row rendered ahead of time therefore
// leaves the sequence's digits out and notes where they go (`SequenceMark`);
// copying the row back writes the bytes before that place, the digits, and
// the bytes after.
//
//   std::string body;
//   OutputSink sink(OutputTarget::memory(body));
//   SequenceMark mark(body);
//   writer.write(event, sink, mark);                        // digits left out
//   ...
//   write_numbered(document_sink, body, mark.offset(), 41);  // and put back
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error/error.h"
#include "model/model.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq {

// The events of one document, in order.
class EventRows {
 public:
  virtual ~EventRows() = default;
  virtual size_t size() const = 0;
  // Writes the i-th event's bytes as they stand in the document, without what
  // separates them from their neighbours. A write failure stays recorded in
  // the sink, which the document writer checks; an error is a failure to get
  // the bytes (rows kept in a file that can't be read back), and ends the
  // document.
  [[nodiscard]] virtual Status write_row(size_t i, OutputSink& sink) = 0;
};

// The decimal digits of a sequence, as every format writes them.
class SequenceDigits {
 public:
  explicit SequenceDigits(uint64_t number);
  std::string_view view() const { return {text_, size_}; }

 private:
  char text_[20];  // the most digits a uint64_t has
  size_t size_;
};

// Where a row's sequence goes. A default mark writes the digits where they
// go; a mark made on a memory target's string writes nothing and notes their
// offset from where the string ended when the mark was made.
class SequenceMark {
 public:
  SequenceMark() = default;
  // `body` is the string the sink appends to; it must outlive the mark.
  explicit SequenceMark(const std::string& body) : body_(&body), start_(body.size()) {}

  // The one place every format's writer hands its sequence to.
  void place(OutputSink& sink, std::string_view digits) {
    if (body_ == nullptr) {
      sink.write(digits);
    } else {
      offset_ = body_->size() - start_;
    }
  }
  // Where the digits go; meaningful once placed on a mark made on a body.
  size_t offset() const { return offset_; }

 private:
  const std::string* body_ = nullptr;  // null: the digits are written
  size_t start_ = 0;                   // the body's size when the mark was made
  size_t offset_ = 0;
};

// Writes `body`, a row rendered ahead of time, with `number`'s digits at
// `mark` (its SequenceMark's offset).
void write_numbered(OutputSink& sink, std::string_view body, size_t mark, uint64_t number);

// Renders one event's row in one format; keeps what it reuses from event to
// event.
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual void write(const TimelineEvent& event, OutputSink& sink, SequenceMark& mark) = 0;
};

// The rows of chosen events, each rendered straight into the document's sink.
class SelectionRows final : public EventRows {
 public:
  SelectionRows(EventSelection events, std::unique_ptr<RowWriter> writer)
      : events_(events), writer_(std::move(writer)) {}

  size_t size() const override { return events_.size(); }
  Status write_row(size_t i, OutputSink& sink) override {
    SequenceMark written;
    writer_->write(*events_[i], sink, written);
    return {};
  }

 private:
  EventSelection events_;
  std::unique_ptr<RowWriter> writer_;  // never null
};

}  // namespace tq
