#include "jsonl/line_reader.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "error/error.h"
#include "files/evidence.h"
#include "model/text.h"
#include "model/utf8.h"

namespace tq {

std::expected<HashingReader, std::error_code> HashingReader::open(const std::filesystem::path& path,
                                                                  EvidenceScope* scope,
                                                                  ParseMonitor* monitor) {
  auto file = EvidenceFile::open(path, scope);
  if (!file) return std::unexpected(file.error());
  return HashingReader(std::move(*file), monitor);
}

std::expected<size_t, std::error_code> HashingReader::read(char* buffer, size_t size) {
  auto n = file_.read(buffer, size);
  if (n && *n > 0) {
    bytes_read_ += *n;
    sha_.update(std::string_view(buffer, *n));
    report_bytes_read(monitor_, *n);
  }
  return n;
}

uint64_t HashingReader::bytes_left() const {
  const auto size = static_cast<uint64_t>(std::max<off_t>(file_.status().st_size, 0));
  return size > bytes_read_ ? size - bytes_read_ : 0;
}

std::string HashingReader::finalize() && {
  file_.close();
  return sha_.finish_hex();
}

void ZstdReader::ContextDeleter::operator()(ZSTD_DCtx_s* context) const { ZSTD_freeDCtx(context); }

uint64_t decompressed_size_limit(uint64_t stored_size, uint64_t max_ratio) {
  if (max_ratio == 0) return std::numeric_limits<uint64_t>::max();
  const uint64_t scaled = stored_size > std::numeric_limits<uint64_t>::max() / max_ratio
                              ? std::numeric_limits<uint64_t>::max()
                              : stored_size * max_ratio;
  return std::max(scaled, kDecompressedSizeFloor);
}

namespace {

LineFailure decompression_failure(std::string text) {
  return LineFailure{LineFailure::Kind::Decompression, std::move(text), {}};
}

LineFailure read_failure(const std::error_code& code) {
  return LineFailure{LineFailure::Kind::Read, os_error_text(code), code};
}

// The decoder's own text, with what a checksum failure means for the lines
// already read: they came out of the same frame.
LineFailure decoder_failure(size_t code) {
  std::string text = ZSTD_getErrorName(code);
  if (ZSTD_getErrorCode(code) == ZSTD_error_checksum_wrong) {
    text += "; the lines before it may be damaged";
  }
  return decompression_failure(std::move(text));
}

// The decoder reports none of the output of a call that fails, though it may
// have decoded blocks before the failure in the same call; and given a whole
// frame that fits the output, it decodes it in one pass that a bad checksum at
// its end fails whole. So it is fed one piece (frame header, block header,
// block, checksum) a call, and the output before any failure is kept. Its
// hint is the next piece's size, plus the header of the block after it when
// that piece is a block; the first byte of a frame goes alone.
constexpr size_t kBlockHeaderSize = 3;

size_t next_piece(size_t hint) {
  if (ZSTD_isError(hint) || hint == 0) return 1;
  return hint > kBlockHeaderSize ? hint - kBlockHeaderSize : hint;
}

}  // namespace

ZstdReader::ZstdReader(HashingReader file, uint64_t limit)
    : file_(std::move(file)),
      context_(ZSTD_createDCtx()),
      input_(ZSTD_DStreamInSize()),
      limit_(limit) {}
ZstdReader::ZstdReader(ZstdReader&&) noexcept = default;
ZstdReader& ZstdReader::operator=(ZstdReader&&) noexcept = default;
ZstdReader::~ZstdReader() = default;

std::expected<size_t, LineFailure> ZstdReader::read(char* buffer, size_t size) {
  if (pending_) {
    LineFailure failure = std::move(*pending_);
    pending_.reset();
    return std::unexpected(std::move(failure));
  }
  if (!context_) {
    return std::unexpected(
        decompression_failure(ZSTD_getErrorString(ZSTD_error_memory_allocation)));
  }
  // One byte past the limit is asked for, to tell data that ends at the limit
  // from data that goes on.
  const uint64_t allowed = limit_ - produced_;
  ZSTD_outBuffer out{buffer, allowed < size ? static_cast<size_t>(allowed) + 1 : size, 0};
  // A call may consume a frame header or a block without producing output yet.
  while (out.pos == 0) {
    if (in_pos_ == in_fill_) {
      auto n = file_.read(input_.data(), input_.size());
      if (!n) return std::unexpected(read_failure(n.error()));
      in_pos_ = 0;
      in_fill_ = *n;
      if (in_fill_ == 0) {
        if (!in_frame_) return 0;
        // The stream decoder just waits for more input; the one-shot decoder
        // calls a frame that stops short a wrong source size, and so do we.
        return std::unexpected(
            decompression_failure(ZSTD_getErrorString(ZSTD_error_srcSize_wrong)));
      }
    }
    ZSTD_inBuffer in{input_.data(), std::min(in_fill_, in_pos_ + next_piece_), in_pos_};
    const size_t hint = ZSTD_decompressStream(context_.get(), &out, &in);
    in_pos_ = in.pos;
    next_piece_ = next_piece(hint);
    // Nothing came out of this call, and what came before was returned.
    if (ZSTD_isError(hint)) return std::unexpected(decoder_failure(hint));
    in_frame_ = hint != 0;
  }
  if (out.pos > allowed) {
    LineFailure over = decompression_failure(
        concat("Decompressed data exceeds ", limit_,
               " bytes (max_decompression_ratio); the rest of the file is skipped"));
    if (allowed == 0) return std::unexpected(std::move(over));
    pending_ = std::move(over);
    out.pos = static_cast<size_t>(allowed);
  }
  produced_ += out.pos;
  return out.pos;
}

std::string ZstdReader::finalize() && {
  for (;;) {
    auto n = file_.read(input_.data(), input_.size());
    if (!n || *n == 0) break;
  }
  return std::move(file_).finalize();
}

namespace {

// A small file (most are) needs no more than its own size and one byte to see
// its end; below this size a smaller buffer saves nothing.
constexpr size_t kSmallestBuffer = 4096;

size_t buffer_size_for(uint64_t bytes_left) {
  return static_cast<size_t>(
      std::clamp<uint64_t>(bytes_left + 1, kSmallestBuffer, kLineBufferSize));
}

}  // namespace

BoundedLineReader::BoundedLineReader(HashingReader file, uint64_t max_line_size,
                                     ParseMonitor* monitor)
    : source_(std::move(file)),
      max_line_size_(max_line_size),
      monitor_(monitor),
      buffer_size_(buffer_size_for(std::get<HashingReader>(source_).bytes_left())) {
  // Left uninitialised: every byte used is read into it first.
  buffer_ = std::make_unique_for_overwrite<char[]>(buffer_size_);
}

BoundedLineReader::BoundedLineReader(ZstdReader file, uint64_t max_line_size, ParseMonitor* monitor)
    : source_(std::move(file)),
      max_line_size_(max_line_size),
      monitor_(monitor),
      buffer_(std::make_unique_for_overwrite<char[]>(kLineBufferSize)),
      buffer_size_(kLineBufferSize) {}

std::expected<BoundedLineReader, std::error_code> BoundedLineReader::open(
    const std::filesystem::path& path, Compression compression, uint64_t max_line_size,
    uint64_t max_decompression_ratio, EvidenceScope* scope, ParseMonitor* monitor) {
  auto file = HashingReader::open(path, scope, monitor);
  if (!file) return std::unexpected(file.error());
  if (compression == Compression::Zstd) {
    const uint64_t limit = decompressed_size_limit(file->bytes_left(), max_decompression_ratio);
    return BoundedLineReader(ZstdReader(std::move(*file), limit), max_line_size, monitor);
  }
  return BoundedLineReader(std::move(*file), max_line_size, monitor);
}

std::string BoundedLineReader::finalize() && {
  return std::visit([](auto&& source) { return std::move(source).finalize(); }, std::move(source_));
}

std::expected<size_t, LineFailure> BoundedLineReader::read_source() {
  if (auto* plain = std::get_if<HashingReader>(&source_)) {
    auto n = plain->read(buffer_.get(), buffer_size_);
    if (!n) return std::unexpected(read_failure(n.error()));
    return *n;
  }
  return std::get<ZstdReader>(source_).read(buffer_.get(), buffer_size_);
}

void BoundedLineReader::reserve_long_line(std::string& text, uint64_t keep_limit) {
  // Growing by doubling would copy a huge line about twice over and touch
  // twice its memory; a stored file says how much of the line can be left.
  constexpr size_t kLongLine = size_t{1} << 20;
  const auto* plain = std::get_if<HashingReader>(&source_);
  if (plain == nullptr || text.size() < kLongLine) return;
  const uint64_t most = text.size() + (fill_ - pos_) + plain->bytes_left();
  const uint64_t wanted = std::min(keep_limit, most) + kLinePadding;
  if (wanted > text.capacity() && wanted <= text.max_size())
    text.reserve(static_cast<size_t>(wanted));
}

LineItem* BoundedLineReader::next() {
  if (failed_) return nullptr;
  std::string& text = item_.text;
  text.clear();
  item_.failure.reset();
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
      auto n = read_source();
      if (!n) {
        // After a failed read the position in the file is unknown, and reading
        // again usually fails again (a directory, a bad sector); after damaged
        // compressed data nothing later can be trusted. The failure is
        // reported once and the file ends there.
        failed_ = true;
        item_.index = next_index_++;
        item_.length = length;
        text.clear();
        item_.failure = std::move(n.error());
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
    const char* start = buffer_.get() + pos_;
    const size_t available = fill_ - pos_;
    const void* lf = std::memchr(start, '\n', available);
    const size_t chunk = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : available;
    length = (std::numeric_limits<uint64_t>::max() - length < chunk)
                 ? std::numeric_limits<uint64_t>::max()
                 : length + chunk;
    if (text.size() < keep_limit) {
      const uint64_t room = keep_limit - text.size();
      if (text.size() + chunk > text.capacity()) reserve_long_line(text, keep_limit);
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
    item_.failure = LineFailure{LineFailure::Kind::Utf8, std::move(*bad), {}};
    text.clear();
  }
  if (text.capacity() - text.size() < kLinePadding) text.reserve(text.size() + kLinePadding);
  return &item_;
}

Result<Diagnostic> unopenable_file_diagnostic(const std::filesystem::path& path,
                                              const std::error_code& error, SourceInfo source,
                                              std::string_view prefix) {
  if (std::optional<Refusal> refusal = as_refusal(error)) {
    std::string message = refusal_text(*refusal, source.relative_path);
    return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                      std::move(message)};
  }
  if (auto fault = machine_fault(path, error)) return std::unexpected(std::move(*fault));
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Error, std::move(source),
                    concat(prefix, os_error_text(error))};
}

Result<OpenedLineFile> open_line_file(const std::filesystem::path& path, Compression compression,
                                      const ParseContext& context, SourceInfo source) {
  std::expected<BoundedLineReader, std::error_code> lines = BoundedLineReader::open(
      path, compression, context.options.max_line_size, context.options.max_decompression_ratio,
      context.scope, context.monitor);
  if (lines) return OpenedLineFile{std::move(*lines), std::nullopt};
  if (context.strict() && !as_refusal(lines.error())) {
    return std::unexpected(Error::io(path, lines.error()));
  }
  TQ_TRY(Diagnostic problem,
         unopenable_file_diagnostic(path, lines.error(), std::move(source), "Cannot open file: "));
  return OpenedLineFile{std::nullopt, std::move(problem)};
}

}  // namespace tq
