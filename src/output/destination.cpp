#include "output/destination.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "model/text.h"

namespace tq {
namespace {

// Links followed at the name before giving up, as the system's own lookups do.
constexpr int kMostLinks = 40;
// Directories climbed looking for the evidence; deeper trees don't fit PATH_MAX.
constexpr int kMostAncestors = 4096;
constexpr size_t kRandomLength = 6;
constexpr int kTemporaryAttempts = 100;

// Owns one descriptor for the length of a check.
class OwnedFd {
 public:
  explicit OwnedFd(int fd = -1) noexcept : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;  // owned, or -1
};

std::string cannot_create_text(const std::string& path, std::string_view reason) {
  return concat("Cannot create '", path, "': ", reason);
}
// The system's failure.
Error cannot_create(const std::string& path, int error_number) {
  const std::error_code code(error_number, std::system_category());
  return Error::io_text(cannot_create_text(path, os_error_text(code)), code);
}
// Ours, for what the destination is.
Error cannot_create(const std::string& path, std::string_view reason) {
  return Error::refused(cannot_create_text(path, reason));
}
Error cannot_replace(const std::string& path, int error_number) {
  const std::error_code code(error_number, std::system_category());
  return Error::io_text(concat("Cannot replace '", path, "': ", os_error_text(code)), code);
}

FileIdentity identity_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string_view kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "something";
}

// Why what has the name (described by `st`) may not be replaced; none when it
// may. The one rule, asked before the output is written and again of what the
// final rename replaced.
std::optional<Error> refusal(const std::string& path, const struct stat& st,
                             const EvidenceScope* scope) {
  if (S_ISDIR(st.st_mode)) return cannot_create(path, EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return cannot_create(path, concat("it is ", kind_of(st.st_mode), ", not a regular file"));
  }
  if (scope != nullptr && scope->was_read(identity_of(st))) {
    return cannot_create(path, "it is an input of this parse");
  }
  return std::nullopt;
}

// Whether the open directory is one of the evidence's directories or lies below
// one, found by climbing its parents by descriptor: what counts is where the
// directory is now, whatever path led to it.
Result<bool> inside_evidence(int directory, const std::string& path, const EvidenceScope& scope) {
  if (!scope.has_evidence_directories()) return false;
  struct stat st {};
  if (::fstat(directory, &st) != 0) return std::unexpected(cannot_create(path, errno));
  OwnedFd held;
  int at = directory;
  for (int climbed = 0; climbed < kMostAncestors; ++climbed) {
    if (scope.is_evidence_directory(identity_of(st))) return true;
    OwnedFd up(::openat(at, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat up_st {};
    if (up.get() < 0 || ::fstat(up.get(), &up_st) != 0) {
      return std::unexpected(cannot_create(path, errno));
    }
    if (up_st.st_dev == st.st_dev && up_st.st_ino == st.st_ino) return false;  // the root
    held = std::move(up);
    at = held.get();
    st = up_st;
  }
  return false;
}

// Letters and digits from the system's random source, or from the clock where
// it has none; a name that is taken is tried again.
std::string random_letters() {
  static constexpr std::string_view kAlphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::array<unsigned char, kRandomLength> bytes{};
  if (::getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) !=
      static_cast<ssize_t>(bytes.size())) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto mix = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32);
    for (unsigned char& b : bytes) {
      b = static_cast<unsigned char>(mix);
      mix = mix * 6364136223846793005ull + 1442695040888963407ull;
    }
  }
  std::string letters;
  for (unsigned char b : bytes) letters.push_back(kAlphabet[b % kAlphabet.size()]);
  return letters;
}

// ".{name}.{random}", the name shortened (at a character boundary) so the
// whole fits NAME_MAX: a legal name of 255 bytes still gets a temporary one.
std::string temporary_name(std::string_view name) {
  constexpr size_t kRoom = NAME_MAX - 2 - kRandomLength;
  size_t keep = std::min(name.size(), kRoom);
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return concat(".", name.substr(0, keep), ".", random_letters());
}

// The directory part and the last component of a path, as the system splits it.
std::pair<std::string, std::string> split(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

Destination::Destination(std::string path, int directory, int file, std::string name,
                         std::string temporary, bool existed, const EvidenceScope* scope)
    : path_(std::move(path)),
      directory_(directory),
      file_(file),
      name_(std::move(name)),
      temporary_(std::move(temporary)),
      existed_(existed),
      scope_(scope) {}

Destination::Destination(Destination&& other) noexcept
    : before_replace(std::move(other.before_replace)),
      path_(std::move(other.path_)),
      directory_(std::exchange(other.directory_, -1)),
      file_(std::exchange(other.file_, -1)),
      name_(std::move(other.name_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      existed_(other.existed_),
      scope_(other.scope_) {}

Destination::~Destination() {
  if (file_ >= 0) ::close(file_);
  // A failed output leaves nothing behind; the name keeps what it held.
  if (!temporary_.empty()) ::unlinkat(directory_, temporary_.c_str(), 0);
  if (directory_ >= 0) ::close(directory_);
}

Result<Destination> Destination::create(const std::string& path, const EvidenceScope* scope) {
  // The system would cut the name at a NUL and create some other file.
  if (path.find('\0') != std::string::npos) return std::unexpected(cannot_create(path, EINVAL));
  std::string target = path;
  OwnedFd directory;
  std::string name;
  struct stat existing {};
  bool existed = false;
  for (int links = 0;; ++links) {
    auto [directory_part, last] = split(target);
    if (last.empty() || last == "." || last == "..") {
      return std::unexpected(cannot_create(path, EISDIR));
    }
    // O_PATH opens nothing: no device is touched and no FIFO waits for a peer.
    directory = OwnedFd(::open(directory_part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) return std::unexpected(cannot_create(path, errno));
    OwnedFd file(::openat(directory.get(), last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno != ENOENT) return std::unexpected(cannot_create(path, errno));
      name = std::move(last);
      break;
    }
    if (::fstat(file.get(), &existing) != 0) return std::unexpected(cannot_create(path, errno));
    if (!S_ISLNK(existing.st_mode)) {
      existed = true;
      name = std::move(last);
      break;
    }
    // A link at the name: the file it names is the one replaced.
    if (links == kMostLinks) return std::unexpected(cannot_create(path, ELOOP));
    std::array<char, PATH_MAX> text{};
    const ssize_t n = ::readlinkat(directory.get(), last.c_str(), text.data(), text.size());
    if (n < 0 || static_cast<size_t>(n) == text.size()) {
      return std::unexpected(cannot_create(path, n < 0 ? errno : ENAMETOOLONG));
    }
    const std::string_view link(text.data(), static_cast<size_t>(n));
    target = link.starts_with('/') ? std::string(link) : concat(directory_part, "/", link);
  }
  if (existed) {
    if (std::optional<Error> refused = refusal(path, existing, scope)) {
      return std::unexpected(std::move(*refused));
    }
  }
  if (scope != nullptr) {
    TQ_TRY(const bool inside, inside_evidence(directory.get(), path, *scope));
    if (inside)
      return std::unexpected(cannot_create(path, "it is inside the evidence of this parse"));
  }

  // Mode 0666 less the umask for a new file, as any program creates one.
  std::string temporary;
  OwnedFd file;
  for (int attempt = 0; file.get() < 0; ++attempt) {
    temporary = temporary_name(name);
    file = OwnedFd(::openat(directory.get(), temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0 && (errno != EEXIST || attempt == kTemporaryAttempts)) {
      return std::unexpected(cannot_create(path, errno));
    }
  }
  Destination made(path, directory.release(), file.release(), std::move(name), std::move(temporary),
                   existed, scope);
  // A file that is replaced keeps its permissions.
  if (existed && ::fchmod(made.file_, existing.st_mode & 07777) != 0) {
    return std::unexpected(cannot_create(path, errno));
  }
  return made;
}

Status Destination::commit() {
  // Some file systems report a failed write only when the file is closed;
  // renaming it then would put an incomplete file in place.
  const int closed = ::close(std::exchange(file_, -1));
  if (closed != 0) {
    const int error_number = errno;
    return std::unexpected(Error::io(path_, std::error_code(error_number, std::system_category()))
                               .caused_by_write(error_number));
  }
  if (before_replace) before_replace();
  return replace();
}

Status Destination::replace() {
  if (!existed_) {
    if (::renameat2(directory_, temporary_.c_str(), directory_, name_.c_str(), RENAME_NOREPLACE) ==
        0) {
      temporary_.clear();
      return {};
    }
    // Something took the name meanwhile (EEXIST), or the file system can't
    // refuse to replace (EINVAL): what has the name is examined as an existing
    // file is.
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) {
      return std::unexpected(cannot_replace(path_, errno));
    }
  }
  return exchange();
}

Status Destination::exchange() {
  if (::renameat2(directory_, temporary_.c_str(), directory_, name_.c_str(), RENAME_EXCHANGE) !=
      0) {
    if (errno == ENOENT && existed_) {
      // The file went away meanwhile: the name is a new one again.
      existed_ = false;
      return replace();
    }
    if (errno != EINVAL && errno != ENOSYS) return std::unexpected(cannot_replace(path_, errno));
    // A file system without the exchange: examined by name, then replaced.
    struct stat st {};
    if (::fstatat(directory_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (std::optional<Error> refused = refusal(path_, st, scope_)) {
        return std::unexpected(std::move(*refused));
      }
    } else if (errno != ENOENT) {
      return std::unexpected(cannot_replace(path_, errno));
    }
    if (::renameat(directory_, temporary_.c_str(), directory_, name_.c_str()) != 0) {
      return std::unexpected(cannot_replace(path_, errno));
    }
    temporary_.clear();
    return {};
  }
  // The temporary name now holds what had the name: exactly what was replaced.
  struct stat st {};
  if (::fstatat(directory_, temporary_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return exchange_back(cannot_replace(path_, errno));
  }
  if (std::optional<Error> refused = refusal(path_, st, scope_)) {
    return exchange_back(std::move(*refused));
  }
  if (::unlinkat(directory_, temporary_.c_str(), 0) != 0) {
    const int error_number = errno;
    temporary_.clear();  // it holds the replaced file now, never to be removed here
    return std::unexpected(cannot_replace(path_, error_number));
  }
  temporary_.clear();
  return {};
}

Status Destination::exchange_back(Error refusal_error) {
  if (::renameat2(directory_, temporary_.c_str(), directory_, name_.c_str(), RENAME_EXCHANGE) !=
      0) {
    // The replaced file keeps the temporary name; removing it would lose it.
    temporary_.clear();
    return std::unexpected(cannot_replace(path_, errno));
  }
  return std::unexpected(std::move(refusal_error));
}

Result<Stream> Stream::open(int fd, const EvidenceScope* scope) {
  Stream stream(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const std::error_code code(errno, std::system_category());
    return std::unexpected(
        Error::io_text(concat("Cannot write to descriptor ", fd, ": ", os_error_text(code)), code));
  }
  if (!S_ISREG(st.st_mode)) return stream;
  if (scope != nullptr && scope->was_read(identity_of(st))) {
    return std::unexpected(Error::refused(
        concat("Cannot write to descriptor ", fd, ": it is an input of this parse")));
  }
  // Appended output begins at the end, wherever the offset is.
  const int flags = ::fcntl(fd, F_GETFL);
  const off_t at = flags >= 0 && (flags & O_APPEND) != 0 ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
  if (at >= 0) stream.start_ = static_cast<long long>(at);
  return stream;
}

void Stream::discard() const {
  // The failed write is what gets reported; a file that can't be cut back
  // keeps what was written, as it would without this.
  if (start_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(start_)) != 0) return;
}

}  // namespace tq
