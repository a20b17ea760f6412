#include "output/jsonl.h"

#include <memory>
#include <string>

#include "output/json.h"

namespace tq {

Status write_jsonl(OutputTarget target, EventSelection events, Surface surface) {
  const std::unique_ptr<RowWriter> writer = json_row_writer(JsonLayout::Compact, surface);
  OutputSink sink(target, kWriteBufferSize);
  auto failed = [&sink](std::string_view what) { return std::unexpected(sink.failure(what)); };
  for (size_t i = 0; i < events.size(); ++i) {
    SequenceMark written;
    writer->write(events[i], sink, written);
    if (!sink.ok()) return failed("JSON serialization error: ");
    sink.put('\n');
    if (!sink.ok()) return failed("I/O write error: ");
  }
  if (!sink.flush()) return failed("I/O flush error: ");
  return {};
}

}  // namespace tq
