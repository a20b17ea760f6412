#include "output/rows.h"

#include <charconv>

namespace tq {

SequenceDigits::SequenceDigits(uint64_t number) {
  const auto r = std::to_chars(text_, text_ + sizeof text_, number);
  size_ = static_cast<size_t>(r.ptr - text_);
}

void write_numbered(OutputSink& sink, std::string_view body, size_t mark, uint64_t number) {
  sink.write(body.substr(0, mark));
  sink.write(SequenceDigits(number).view());
  sink.write(body.substr(mark));
}

}  // namespace tq
