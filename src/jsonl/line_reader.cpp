#include "jsonl/line_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "error/error.h"
#include "model/utf8.h"

namespace tq {

std::expected<HashingReader, std::error_code> HashingReader::open(
    const std::filesystem::path& path) {
  auto file = EvidenceFile::open(path);
  if (!file) return std::unexpected(file.error());
  return HashingReader(std::move(*file));
}

std::expected<size_t, std::error_code> HashingReader::read(char* buffer, size_t size) {
  auto n = file_.read(buffer, size);
  if (n && *n > 0) sha_.update(std::string_view(buffer, *n));
  return n;
}

std::string HashingReader::finalize() && {
  file_.close();
  return sha_.finish_hex();
}

BoundedLineReader::BoundedLineReader(HashingReader file, uint64_t max_line_size,
                                     ParseMonitor* monitor)
    : file_(std::move(file)),
      max_line_size_(max_line_size),
      monitor_(monitor),
      buffer_(kLineBufferSize) {}

const LineItem* BoundedLineReader::next() {
  if (failed_) return nullptr;
  std::string& text = item_.text;
  text.clear();
  item_.error.reset();
  item_.too_long = false;
  uint64_t length = 0;
  bool any = false;
  // The kept bytes never exceed L + 1: enough to know the line is too long.
  // The largest L is no limit in effect, and L + 1 would wrap round to 0.
  constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
  const uint64_t keep_limit =
      (max_line_size_ == 0 || max_line_size_ == kNoLimit) ? kNoLimit : max_line_size_ + 1;
  for (;;) {
    if (pos_ == fill_) {
      // A stopped parse is thrown away whole, so the file may simply end here.
      if (stop_requested(monitor_)) {
        failed_ = true;
        return nullptr;
      }
      auto n = file_.read(buffer_.data(), buffer_.size());
      if (!n) {
        // After a failed read the position in the file is unknown, and reading
        // again usually fails again (a directory, a bad sector): the failure is
        // reported once and the file ends there.
        failed_ = true;
        item_.index = next_index_++;
        item_.length = length;
        text.clear();
        item_.error = os_error_text(n.error());
        return &item_;
      }
      pos_ = 0;
      fill_ = *n;
    }
    if (fill_ == 0) {
      if (!any) return nullptr;
      break;
    }
    any = true;
    const char* start = buffer_.data() + pos_;
    const size_t available = fill_ - pos_;
    const void* lf = std::memchr(start, '\n', available);
    const size_t chunk = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : available;
    length = (std::numeric_limits<uint64_t>::max() - length < chunk)
                 ? std::numeric_limits<uint64_t>::max()
                 : length + chunk;
    if (text.size() < keep_limit) {
      const uint64_t room = keep_limit - text.size();
      text.append(start, static_cast<size_t>(std::min<uint64_t>(room, chunk)));
    }
    pos_ += chunk;
    if (lf) {
      ++pos_;
      break;
    }
  }
  item_.index = next_index_++;
  item_.length = length;
  if (max_line_size_ != 0 && length > max_line_size_) {
    item_.too_long = true;
    std::fill(text.begin(), text.end(), 'x');
  }
  if (auto bad = utf8_error(text)) {
    item_.error = std::move(*bad);
    text.clear();
  }
  return &item_;
}

}  // namespace tq
