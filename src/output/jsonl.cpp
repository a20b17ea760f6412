#include "output/jsonl.h"

#include <string>

#include "output/json.h"

namespace tq {

Status write_jsonl(OutputTarget target, EventSelection events, Surface surface) {
  SelectionRows rows(events, json_row_writer(JsonLayout::Compact, surface));
  return write_jsonl(target, rows);
}

Status write_jsonl(OutputTarget target, EventRows& events) {
  OutputSink sink(target, kWriteBufferSize);
  auto failed = [&sink](std::string_view what) { return std::unexpected(sink.failure(what)); };
  for (size_t i = 0; i < events.size(); ++i) {
    TQ_CHECK(events.write_row(i, sink));
    if (!sink.ok()) return failed("JSON serialization error: ");
    sink.put('\n');
    if (!sink.ok()) return failed("I/O write error: ");
  }
  if (!sink.flush()) return failed("I/O flush error: ");
  return {};
}

}  // namespace tq
