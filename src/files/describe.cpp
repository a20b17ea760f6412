#include "files/describe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "error/error.h"
#include "files/media_type.h"
#include "hash/evidence_file.h"
#include "hash/hash.h"
#include "jsonl/line_reader.h"

namespace tq {
namespace {

// statx and stat describe times with different structs; both come here.
template <typename Time>
std::optional<DateTime> file_time(const Time& t) {
  // Times before the epoch are treated as unknown rather than guessed at.
  if (t.tv_sec < 0) return std::nullopt;
  return datetime_from_unix(t.tv_sec, static_cast<uint32_t>(t.tv_nsec));
}

std::expected<FileMetadata, std::error_code> read_stat_metadata(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(std::error_code(errno, std::generic_category()));
  }
  FileMetadata metadata;
  metadata.size = static_cast<uint64_t>(st.st_size);
  metadata.times.modified = file_time(st.st_mtim);
  metadata.times.accessed = file_time(st.st_atim);
  return metadata;
}

}  // namespace

std::expected<FileMetadata, std::error_code> read_file_metadata(const std::filesystem::path& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &st) != 0) {
    // Some sandboxes refuse statx itself; plain stat still gives everything but
    // the birth time, which then stays unknown.
    if (errno != ENOSYS && errno != EPERM) {
      return std::unexpected(std::error_code(errno, std::generic_category()));
    }
    return read_stat_metadata(path);
  }
  FileMetadata metadata;
  metadata.size = st.stx_size;
  if (st.stx_mask & STATX_MTIME) metadata.times.modified = file_time(st.stx_mtime);
  if (st.stx_mask & STATX_ATIME) metadata.times.accessed = file_time(st.stx_atime);
  if (st.stx_mask & STATX_BTIME) metadata.times.created = file_time(st.stx_btime);
  return metadata;
}

std::optional<FileContent> read_file_content(const std::filesystem::path& path, uint64_t size,
                                             bool include_content, uint64_t max_content_size) {
  if (!include_content) return std::nullopt;
  if (max_content_size != 0 && size > max_content_size) return std::nullopt;
  std::expected<EvidenceFile, std::error_code> file = EvidenceFile::open(path);
  if (!file) return std::nullopt;
  std::expected<std::string, std::error_code> bytes = file->read_all();
  if (!bytes) return std::nullopt;
  if (!utf8_error(*bytes)) return FileContent{std::move(*bytes), ContentEncoding::Utf8};
  return FileContent{base64_encode(*bytes), ContentEncoding::Base64};
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
                                                            uint64_t max_content_size) {
  std::expected<FileMetadata, std::error_code> metadata = read_file_metadata(path);
  if (!metadata) {
    return std::unexpected(DescribeError{DescribeStage::Metadata, os_error_text(metadata.error()),
                                         metadata.error().value()});
  }
  return describe_file(path, *metadata, include_content, max_content_size);
}

std::expected<FileDescription, DescribeError> describe_file(const std::filesystem::path& path,
                                                            const FileMetadata& metadata,
                                                            bool include_content,
                                                            uint64_t max_content_size) {
  std::expected<std::string, std::error_code> digest = sha256_file(path);
  if (!digest) {
    return std::unexpected(
        DescribeError{DescribeStage::Hash, os_error_text(digest.error()), digest.error().value()});
  }
  FileDescription description;
  description.size = metadata.size;
  description.sha256 = std::move(*digest);
  if (std::optional<std::string_view> type = media_type_for_path(path)) {
    description.media_type = std::string(*type);
  }
  description.times = metadata.times;
  description.content = read_file_content(path, metadata.size, include_content, max_content_size);
  return description;
}

}  // namespace tq
