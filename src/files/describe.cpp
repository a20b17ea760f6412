#include "files/describe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "error/error.h"
#include "files/evidence_file.h"
#include "files/media_type.h"
#include "hash/hash.h"
#include "model/text.h"
#include "model/utf8.h"

namespace tq {
namespace {

// statx and stat describe times with different structs; both come here.
template <typename Time>
std::optional<DateTime> file_time(const Time& t) {
  // Times before the epoch are treated as unknown rather than guessed at.
  if (t.tv_sec < 0) return std::nullopt;
  return datetime_from_unix(t.tv_sec, static_cast<uint32_t>(t.tv_nsec));
}

// Modification and access times, and the birth time where the file system
// reports it (never the inode change time), of the open file itself; times
// before 1970 or after 9999 are absent.
FsTimes times_of(const EvidenceFile& file) {
  FsTimes times;
  if (const std::optional<struct statx>& st = file.extended_status()) {
    if (st->stx_mask & STATX_MTIME) times.modified = file_time(st->stx_mtime);
    if (st->stx_mask & STATX_ATIME) times.accessed = file_time(st->stx_atime);
    if (st->stx_mask & STATX_BTIME) times.created = file_time(st->stx_btime);
    return times;
  }
  // Without statx the plain status still gives everything but the birth time,
  // which then stays unknown.
  times.modified = file_time(file.status().st_mtim);
  times.accessed = file_time(file.status().st_atim);
  return times;
}

DescribeError open_error(const std::error_code& ec) {
  if (std::optional<Refusal> refusal = as_refusal(ec)) {
    return DescribeError{DescribeStage::Refused, ec.message(), ec};
  }
  // A path that no longer names a file has no metadata; one that names a file
  // the caller may not open has metadata but no bytes to hash.
  const bool gone = ec.value() == ENOENT || ec.value() == ENOTDIR;
  return DescribeError{gone ? DescribeStage::Metadata : DescribeStage::Hash, os_error_text(ec), ec};
}

}  // namespace

std::string describe_error_text(const DescribeError& error, std::string_view relative_path) {
  switch (error.stage) {
    case DescribeStage::Metadata:
      return concat("Cannot read metadata: ", error.text);
    case DescribeStage::Hash:
      return concat("SHA-256 computation failed: ", error.text);
    case DescribeStage::Refused:
      return refusal_text(error.refusal().value_or(Refusal::PseudoFileSystem), relative_path);
  }
  return error.text;
}

ArtifactInfo FileDescription::artifact() const {
  ArtifactInfo info;
  info.size = size;
  info.sha256 = sha256;
  info.media_type = media_type;
  if (content) {
    info.content = content->text;
    info.content_encoding = content->encoding;
  }
  return info;
}

std::expected<FileDescription, DescribeError> describe_file(const std::filesystem::path& path,
                                                            bool include_content,
                                                            uint64_t max_content_size,
                                                            EvidenceScope* scope,
                                                            ParseMonitor* monitor) {
  std::expected<EvidenceFile, std::error_code> file = EvidenceFile::open(path, scope);
  if (!file) return std::unexpected(open_error(file.error()));

  FileDescription description;
  description.size = static_cast<uint64_t>(file->status().st_size);
  description.times = times_of(*file);
  if (std::optional<std::string_view> type = media_type_for_path(path)) {
    description.media_type = std::string(*type);
  }

  // The limit is checked against the bytes as they arrive, not against a size
  // read earlier: the file may grow while it is read.
  const auto within_limit = [&](uint64_t bytes) {
    return max_content_size == 0 || bytes <= max_content_size;
  };
  bool keep = include_content && within_limit(description.size);
  std::string kept;
  uint64_t total = 0;
  Sha256 sha;
  // Left uninitialised: most artifacts are far smaller than the buffer, and
  // clearing it would cost more than reading them.
  constexpr size_t kBufferSize = 65536;
  const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
  // One read takes well under the monitor's 100 ms even for a large snapshot,
  // so asking before each keeps Ctrl-C prompt inside one file.
  while (!stop_requested(monitor)) {
    std::expected<size_t, std::error_code> n = file->read(buffer.get(), kBufferSize);
    if (!n)
      return std::unexpected(
          DescribeError{DescribeStage::Hash, os_error_text(n.error()), n.error()});
    if (*n == 0) break;
    report_bytes_read(monitor, *n);
    const std::string_view chunk(buffer.get(), *n);
    sha.update(chunk);
    total += *n;
    keep = keep && within_limit(total);
    if (keep) {
      kept.append(chunk);
    } else if (!kept.empty()) {
      std::string().swap(kept);
    }
    // A short read that reaches the size the file had when it was opened is its
    // end; asking again would cost one more call per file for nothing. A file
    // system that gives short reads before the end (FUSE, say) is read on.
    if (*n < kBufferSize && total >= static_cast<uint64_t>(file->status().st_size)) break;
  }
  // A file written to while it is read is described as read: size, digest and
  // content all tell of the same bytes.
  description.size = total;
  description.sha256 = sha.finish_hex();
  if (keep) {
    description.content = utf8_error(kept)
                              ? FileContent{base64_encode(kept), ContentEncoding::Base64}
                              : FileContent{std::move(kept), ContentEncoding::Utf8};
  }
  return description;
}

}  // namespace tq
