#include "files/evidence_file.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "files/evidence.h"
#include "hash/hash.h"

namespace tq {
namespace {

std::error_code last_error() { return {errno, std::system_category()}; }

// The open file's metadata in one call: statx gives the birth time as well, and
// what a plain stat would; the plain stat serves where statx is refused.
std::expected<std::optional<struct statx>, std::error_code> status_of(int fd, struct stat& st) {
  constexpr unsigned kNeeded = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE;
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) == 0 &&
      (sx.stx_mask & kNeeded) == kNeeded) {
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_size = static_cast<off_t>(sx.stx_size);
    st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
    st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
    st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
    return sx;
  }
  if (::fstat(fd, &st) != 0) return std::unexpected(last_error());
  return std::nullopt;
}

}  // namespace

std::expected<EvidenceFile, std::error_code> EvidenceFile::open(const std::filesystem::path& path,
                                                                EvidenceScope* scope) {
  // Readers look at a file's type before they open it, but the file may be
  // replaced in between. O_NONBLOCK keeps a FIFO put in its place from holding
  // the open until some writer comes; it changes nothing for regular files.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  Descriptor opened;
  if (scope != nullptr) {
    auto fd = scope->open(path, kFlags);
    if (!fd) return std::unexpected(fd.error());
    opened = std::move(*fd);
  } else {
    opened = Descriptor(open_keeping_atime(AT_FDCWD, path.c_str(), kFlags));
    if (!opened.valid()) return std::unexpected(last_error());
  }
  struct stat st {};
  std::expected<std::optional<struct statx>, std::error_code> extended =
      status_of(opened.get(), st);
  if (!extended) return std::unexpected(extended.error());
  const int fd = opened.get();
  EvidenceFile file(opened.release(), st, *extended);
  // A FIFO or a device (/dev/zero) could be read for ever. A directory stays
  // openable: reading it fails, which the line readers report.
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return std::unexpected(std::error_code(EINVAL, std::system_category()));
  }
  // Only files that passed this check are noted as read, so a device the scope
  // has seen holds an ordinary file system.
  const auto device = static_cast<uint64_t>(st.st_dev);
  const bool known_ordinary = scope != nullptr && scope->device_was_read(device);
  if (!known_ordinary && on_pseudo_file_system(fd)) {
    return std::unexpected(refusal_error(Refusal::PseudoFileSystem));
  }
  if (scope != nullptr) {
    scope->note_read({device, static_cast<uint64_t>(st.st_ino)});
    if (scope->after_open) scope->after_open(path);
  }
  return file;
}

EvidenceFile& EvidenceFile::operator=(EvidenceFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    status_ = other.status_;
    extended_ = other.extended_;
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

void EvidenceFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::expected<std::string, std::error_code> sha256_file(const std::filesystem::path& path) {
  auto file = EvidenceFile::open(path);
  if (!file) return std::unexpected(file.error());
  Sha256 sha;
  // Left uninitialised: every byte hashed is read into it first, and zeroing
  // 64 KiB for each small file would cost more than reading it.
  constexpr size_t kChunk = 65536;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
  for (;;) {
    auto n = file->read(buffer.get(), kChunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    sha.update(std::string_view(buffer.get(), *n));
  }
  return sha.finish_hex();
}

}  // namespace tq
