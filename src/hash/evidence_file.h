// File: hash/evidence_file.h
//
// The one way evidence files are opened: read-only, close-on-exec, and with
// O_NOATIME where the system permits it, so that reading the agents' files never
// changes them, not even their access times (which would also make `fs_times`
// differ from one parse to the next). Move-only owner of the descriptor.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

namespace tq {

class EvidenceFile {
 public:
  [[nodiscard]] static std::expected<EvidenceFile, std::error_code> open(
      const std::filesystem::path& path);

  EvidenceFile(EvidenceFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  EvidenceFile& operator=(EvidenceFile&& other) noexcept;
  EvidenceFile(const EvidenceFile&) = delete;
  EvidenceFile& operator=(const EvidenceFile&) = delete;
  ~EvidenceFile() { close(); }

  // Up to `size` bytes; 0 at end of file. Interrupted reads are retried.
  [[nodiscard]] std::expected<size_t, std::error_code> read(char* buffer, size_t size);
  // The rest of the file.
  [[nodiscard]] std::expected<std::string, std::error_code> read_all();
  void close();

 private:
  explicit EvidenceFile(int fd) : fd_(fd) {}
  int fd_ = -1;  // -1 once closed or moved from
};

}  // namespace tq
