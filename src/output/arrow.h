// File: output/arrow.h
//
// The timeline as Arrow record batches, handed over through Arrow's C stream
// interface so that pyarrow, polars, DuckDB and anything else that speaks it
// read typed columns without a copy through text. The columns come from the
// events' description (model/model.h), field by field, so a field added there
// is a column here without a second list:
//
//   text                       utf8 (nullable when the field is optional)
//   count                      uint64;  signed count: int64;  flag: bool
//   instant                    timestamp[us, UTC], and beside it a utf8 column
//                              `{name}_text` with the exact RFC 3339 text, set
//                              only when a microsecond can't hold the instant
//                              (nanoseconds, a leap second)
//   raw JSON value             utf8 holding its compact JSON text
//   list of texts              list<utf8>
//   nested record              struct of its own fields (null when absent)
//
// Batches hold at most kArrowBatchRows events and end early once their
// buffers pass kArrowBatchBytes, so exporting costs the consumer's columns and
// one batch at most. A utf8 column of one batch that would pass the 2 GiB its
// 32-bit offsets reach ends the stream with EOVERFLOW and a message.
//
//   ArrowArrayStream stream;
//   export_event_stream(EventSelection(report.events), Surface::Whole, owner, &stream);
//   ...                              // the consumer calls get_schema, get_next
//   stream.release(&stream);         // or the consumer does, once
//
// Every callback runs on any thread and touches no shared state; the stream
// owns what it exports, and each array and schema it hands out is released
// by its own callback, children with their parent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "model/model.h"
#include "output/selection.h"

// The structures every producer and consumer of the interface declare alike;
// the guards let another header's identical declarations stand instead.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif
}

namespace tq {

inline constexpr std::size_t kArrowBatchRows = 64 * 1024;
inline constexpr std::size_t kArrowBatchBytes = 32 * 1024 * 1024;

// Fills `out` with a stream of `events` as record batches of one struct
// column per field that `surface` holds. `owner` keeps the events (and the
// positions a selection reads) alive until the stream is released; the
// stream holds no other reference. Allocation failure inside a callback
// becomes ENOMEM with a message, never an exception.
void export_event_stream(EventSelection events, Surface surface, std::shared_ptr<const void> owner,
                         ArrowArrayStream* out);

}  // namespace tq
