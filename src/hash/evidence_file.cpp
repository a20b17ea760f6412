#include "hash/evidence_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tq {

std::expected<EvidenceFile, std::error_code> EvidenceFile::open(
    const std::filesystem::path& path) {
  const char* name = path.c_str();
  // Readers look at a file's type before they open it, but the file may be
  // replaced in between. O_NONBLOCK keeps a FIFO put in its place from holding
  // the open until some writer comes; it changes nothing for regular files.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(name, kFlags | O_NOATIME);
  // O_NOATIME is refused with EPERM for files the caller does not own.
  if (fd < 0 && errno == EPERM) fd = ::open(name, kFlags);
  if (fd < 0) return std::unexpected(std::error_code(errno, std::system_category()));
  EvidenceFile file(fd);
  // A FIFO or a device (/dev/zero) could be read for ever. A directory stays
  // openable: reading it fails, which the line readers report.
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(std::error_code(errno, std::system_category()));
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return std::unexpected(std::error_code(EINVAL, std::system_category()));
  }
  return file;
}

EvidenceFile& EvidenceFile::operator=(EvidenceFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::expected<size_t, std::error_code> EvidenceFile::read(char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return std::unexpected(std::error_code(errno, std::system_category()));
  }
}

std::expected<std::string, std::error_code> EvidenceFile::read_all() {
  std::string out;
  char chunk[65536];
  for (;;) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return out;
    out.append(chunk, *n);
  }
}

void EvidenceFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace tq
