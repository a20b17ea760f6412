// File: files/evidence_file.h
//
// The one way evidence files are opened: read-only, close-on-exec, without
// following a symbolic link that the parse's scope doesn't let it follow (below
// the given path, at no component: EvidenceScope::open), never
// on a pseudo file system, and with O_NOATIME where the system permits it.
// O_NOATIME keeps the access times of the agents' files (and with them `fs_times`
// from one parse to the next) as they were, but the system grants it only to the
// file's owner or a caller with CAP_FOWNER; for anyone else the file is opened
// without it and reading updates its access time on mounts that record access
// times (not on noatime mounts; relatime updates it at most once a day, or when it
// is older than the modification time). Move-only owner of the descriptor.
//
//   std::expected<EvidenceFile, std::error_code> file = EvidenceFile::open(path, context.scope);
//   file->status().st_size ...  file->read(buffer, n) ...
//
// A refusal is an error code for which `as_refusal` (files/evidence.h) is set.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace tq {

class EvidenceScope;

class EvidenceFile {
 public:
  // Without a scope links are followed and nothing is recorded. With one, a
  // link is followed only when the scope allows it, the file's identity is noted
  // in the scope, and the scope's `after_open` runs before the first read.
  [[nodiscard]] static std::expected<EvidenceFile, std::error_code> open(
      const std::filesystem::path& path, EvidenceScope* scope = nullptr);

  EvidenceFile(EvidenceFile&& other) noexcept
      : fd_(other.fd_), status_(other.status_), extended_(other.extended_) {
    other.fd_ = -1;
  }
  EvidenceFile& operator=(EvidenceFile&& other) noexcept;
  EvidenceFile(const EvidenceFile&) = delete;
  EvidenceFile& operator=(const EvidenceFile&) = delete;
  ~EvidenceFile() { close(); }

  // Up to `size` bytes; 0 at end of file. Interrupted reads are retried.
  [[nodiscard]] std::expected<size_t, std::error_code> read(char* buffer, size_t size);
  void close();

  // The open file's own metadata, taken from the descriptor when it was opened.
  const struct stat& status() const { return status_; }
  // The same metadata with the birth time where the file system reports it;
  // none where the system refuses statx (some sandboxes do).
  const std::optional<struct statx>& extended_status() const { return extended_; }
  int descriptor() const { return fd_; }

 private:
  EvidenceFile(int fd, const struct stat& status, const std::optional<struct statx>& extended)
      : fd_(fd), status_(status), extended_(extended) {}
  int fd_ = -1;  // -1 once closed or moved from
  struct stat status_ {};
  std::optional<struct statx> extended_;
};

// Digest of a file's whole content read in 64 KiB chunks; the file is opened as
// every evidence file is.
[[nodiscard]] std::expected<std::string, std::error_code> sha256_file(
    const std::filesystem::path& path);

}  // namespace tq
