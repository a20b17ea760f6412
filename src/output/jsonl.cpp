#include "output/jsonl.h"

#include <string>

#include "output/json.h"

namespace tq {

Status write_jsonl(OutputTarget target, EventSelection events, Surface surface) {
  OutputSink sink(target, kWriteBufferSize);
  auto failed = [&sink](std::string_view what) { return std::unexpected(sink.failure(what)); };
  for (size_t i = 0; i < events.size(); ++i) {
    write_compact_value(events[i], sink, surface);
    if (!sink.ok()) return failed("JSON serialization error: ");
    sink.put('\n');
    if (!sink.ok()) return failed("I/O write error: ");
  }
  if (!sink.flush()) return failed("I/O flush error: ");
  return {};
}

}  // namespace tq
