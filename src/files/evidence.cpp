#include "files/evidence.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <mutex>

#include "error/error.h"
#include "files/paths.h"
#include "model/text.h"

namespace tq {
namespace {

class RefusalCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "evidence"; }
  std::string message(int code) const override {
    switch (static_cast<Refusal>(code)) {
      case Refusal::OutsideEvidence:
        return "symbolic link outside the evidence";
      case Refusal::PseudoFileSystem:
        return "file on a pseudo file system";
      case Refusal::WalkedAlready:
        return "directory already walked";
      case Refusal::SymbolicLink:
        return "symbolic link not followed";
      case Refusal::SpecialFile:
        return "not a regular file";
    }
    return "refused";
  }
};

const RefusalCategory& refusal_category() {
  static const RefusalCategory category;
  return category;
}

// File systems whose files describe the running system rather than hold data.
// tmpfs and devtmpfs hold real files and are not listed.
constexpr uint64_t kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,
    SYSFS_MAGIC,
    DEBUGFS_MAGIC,
    TRACEFS_MAGIC,
    SECURITYFS_MAGIC,
    CGROUP_SUPER_MAGIC,
    CGROUP2_SUPER_MAGIC,
    DEVPTS_SUPER_MAGIC,
    BPF_FS_MAGIC,
    PSTOREFS_MAGIC,
    EFIVARFS_MAGIC,
    SELINUX_MAGIC,
    SMACK_MAGIC,
    NSFS_MAGIC,
    BINFMTFS_MAGIC,
    0x62656570 /* configfs */,
    0x65735543 /* fusectl */,
};

// `inner` equals `outer` or lies below it; both absolute and free of links.
bool lies_inside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

std::optional<std::filesystem::path> resolved(const std::filesystem::path& path) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  if (!real) return std::nullopt;
  return std::filesystem::path(real.get());
}

std::error_code last_error() { return {errno, std::system_category()}; }

// O_PATH takes no other flags, O_NOATIME among them.
int with_atime_kept(int flags, const auto& open) {
  if ((flags & O_PATH) != 0) return open(flags);
  const int fd = open(flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
  return open(flags);
}

// Opens `name` below `directory` without following a link at its last
// component: a link there is the error ELOOP, whatever `flags` ask (O_PATH would
// open the link itself, O_DIRECTORY would call it no directory).
std::expected<Descriptor, std::error_code> open_not_following(int directory, const char* name,
                                                              int flags) {
  Descriptor fd(open_keeping_atime(directory, name, flags | O_NOFOLLOW));
  struct stat st {};
  if (fd.valid()) {
    if ((flags & O_PATH) == 0 || ::fstat(fd.get(), &st) != 0 || !S_ISLNK(st.st_mode)) return fd;
  } else if (errno == ENOTDIR) {
    const int error_number = errno;
    if (::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
      return std::unexpected(std::error_code(error_number, std::system_category()));
    }
  } else {
    return std::unexpected(last_error());
  }
  return std::unexpected(std::error_code(ELOOP, std::system_category()));
}

// The directories on the way are opened only to be passed through.
constexpr int kPassThrough = O_PATH | O_DIRECTORY | O_CLOEXEC;

// `names` one below the other from `directory`, none of them a link; a link met
// is a refusal, since the caller resolved the way as free of links. No names
// opens `directory` itself.
std::expected<Descriptor, std::error_code> open_without_links(int directory,
                                                              const std::vector<std::string>& names,
                                                              int flags) {
  if (names.empty()) return open_not_following(directory, ".", flags);
  Descriptor held;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    auto next = open_not_following(directory, names[i].c_str(), last ? flags : kPassThrough);
    if (!next && next.error().value() == ELOOP) {
      return std::unexpected(refusal_error(Refusal::OutsideEvidence));
    }
    if (!next) return next;
    held = std::move(*next);
    directory = held.get();
  }
  return held;
}

// The kernel's own walk below a descriptor that refuses every link and every
// step above it: one call where the way holds no link. None where the kernel
// lacks it (before Linux 5.6) or a sandbox refuses it.
std::optional<Descriptor> open_beneath(int directory, const std::vector<std::string>& names,
                                       int flags) {
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty()) joined += '/';
    joined += name;
  }
  const int fd = with_atime_kept(flags | O_NOFOLLOW, [&](int how_flags) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(how_flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, directory, joined.c_str(), &how, sizeof how));
  });
  if (fd < 0) return std::nullopt;
  Descriptor opened(fd);
  // O_PATH with O_NOFOLLOW opens a link at the last component itself.
  struct stat st {};
  if ((flags & O_PATH) != 0 && (::fstat(fd, &st) != 0 || S_ISLNK(st.st_mode))) return std::nullopt;
  return opened;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Descriptor::reset() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

int open_keeping_atime(int directory, const char* name, int flags) {
  return with_atime_kept(flags, [&](int how) { return ::openat(directory, name, how); });
}

std::string refusal_text(Refusal refusal, std::string_view relative_path) {
  switch (refusal) {
    case Refusal::OutsideEvidence:
      return concat("Not following symbolic link outside the evidence: ", relative_path,
                    " (pass follow_symlinks=True to follow it)");
    case Refusal::PseudoFileSystem:
      return concat("Not reading a file on a pseudo file system: ", relative_path);
    case Refusal::WalkedAlready:
      return concat("Not walking a directory that was walked already: ", relative_path);
    case Refusal::SymbolicLink:
      return concat("Not following symbolic link: ", relative_path,
                    " (pass follow_symlinks=True to follow it)");
    case Refusal::SpecialFile:
      return concat("Not reading a FIFO, device or socket: ", relative_path);
  }
  return std::string(relative_path);
}

std::error_code refusal_error(Refusal refusal) {
  return {static_cast<int>(refusal), refusal_category()};
}

std::optional<Refusal> as_refusal(const std::error_code& ec) {
  if (ec.category() != refusal_category()) return std::nullopt;
  return static_cast<Refusal>(ec.value());
}

bool on_pseudo_file_system(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  const auto type = static_cast<uint64_t>(fs.f_type);
  return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), type) !=
         std::end(kPseudoFileSystems);
}

std::optional<std::error_code> directory_access_error(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::error_code(errno, std::system_category());
  ::close(fd);
  // Listing needs read permission, and reaching the entries needs search
  // permission, which a directory can lack while it still lists.
  if (::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
    return std::error_code(errno, std::system_category());
  }
  return std::nullopt;
}

Result<std::optional<Diagnostic>> unreadable_profile(const std::filesystem::path& root,
                                                     const std::filesystem::path& evidence_root) {
  std::optional<std::error_code> error = directory_access_error(root);
  if (!error) return std::nullopt;
  if (auto fault = machine_fault(root, *error)) return std::unexpected(std::move(*fault));
  SourceInfo source;
  source.relative_path = relative_path(root, evidence_root);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Error, std::move(source),
                    "Cannot read profile directory: " + os_error_text(*error)};
}

void EvidenceScope::begin(const std::filesystem::path& given, bool follow_symlinks) {
  follow_symlinks_ = follow_symlinks;
  given_ = given;
  // The caller's own path is followed, links and all; whatever lies below it is
  // reached from this descriptor. The resolved path serves only to decide which
  // links lead inside: what they lead to is then opened from the descriptor.
  root_ = Descriptor(::open(given.c_str(), kPassThrough));
  boundary_ = resolved(given).value_or(std::filesystem::path());
  std::lock_guard lock(links_mutex_);
  links_.clear();
}

std::expected<Descriptor, std::error_code> EvidenceScope::open(const std::filesystem::path& path,
                                                               int flags) const {
  flags |= O_CLOEXEC;
  std::optional<std::vector<std::string>> below;
  if (!follow_symlinks_ && root_.valid()) below = components_below(path, given_);
  if (!below || below->empty()) return open_by_path(path, flags);
  std::vector<std::string> names = through_known_links(std::move(*below));
  if (names.empty()) return open_without_links(root_.get(), names, flags);
  if (std::optional<Descriptor> fd = open_beneath(root_.get(), names, flags)) {
    return std::move(*fd);
  }
  return open_below(names, flags);
}

// A profile linked from the home (`.claude` to `dotfiles/claude`) lies on the
// way to every file of it; its resolution is looked up once, not per file. What
// it resolved to is still opened from the given path's descriptor without
// links, so a link changed since leads nowhere outside.
std::vector<std::string> EvidenceScope::through_known_links(std::vector<std::string> names) const {
  std::lock_guard lock(links_mutex_);
  // As many as the system itself follows on one path.
  constexpr int kMostLinks = 40;
  for (int round = 0; round < kMostLinks && !links_.empty(); ++round) {
    std::string way;
    size_t i = 0;
    auto link = links_.end();
    for (; i < names.size() && link == links_.end(); ++i) {
      if (i > 0) way += '/';
      way += names[i];
      link = links_.find(way);
    }
    if (link == links_.end()) break;
    std::vector<std::string> rewritten = link->second;
    rewritten.insert(rewritten.end(), std::make_move_iterator(names.begin() + i),
                     std::make_move_iterator(names.end()));
    names = std::move(rewritten);
  }
  return names;
}

void EvidenceScope::note_link(const std::filesystem::path& link,
                              const std::vector<std::string>& target) const {
  std::optional<std::vector<std::string>> names = components_below(link, boundary_);
  if (!names) return;
  std::string way;
  for (const std::string& name : *names) {
    if (!way.empty()) way += '/';
    way += name;
  }
  std::lock_guard lock(links_mutex_);
  links_.try_emplace(std::move(way), target);
}

std::expected<Descriptor, std::error_code> EvidenceScope::open_by_path(
    const std::filesystem::path& path, int flags) const {
  if (follow_symlinks_) {
    Descriptor fd(open_keeping_atime(AT_FDCWD, path.c_str(), flags));
    if (!fd.valid()) return std::unexpected(last_error());
    return fd;
  }
  auto fd = open_not_following(AT_FDCWD, path.c_str(), flags);
  if (fd || fd.error().value() != ELOOP) return fd;
  if (!may_follow(path)) return std::unexpected(refusal_error(Refusal::OutsideEvidence));
  Descriptor followed(open_keeping_atime(AT_FDCWD, path.c_str(), flags));
  if (!followed.valid()) return std::unexpected(last_error());
  return followed;
}

// One component at a time from the given path's descriptor, so that each is
// looked up in the directory the previous one opened. `where` is the resolved
// path of that directory, against which a link met is resolved.
std::expected<Descriptor, std::error_code> EvidenceScope::open_below(
    const std::vector<std::string>& names, int flags) const {
  Descriptor held;
  int directory = root_.get();
  std::filesystem::path where = boundary_;
  for (size_t i = 0; i < names.size(); ++i) {
    const int step = i + 1 == names.size() ? flags : kPassThrough;
    auto next = open_not_following(directory, names[i].c_str(), step);
    if (!next && next.error().value() == ELOOP) {
      std::optional<std::filesystem::path> target =
          boundary_.empty() ? std::nullopt : resolved(where / names[i]);
      if (!target || !lies_inside(*target, boundary_)) {
        return std::unexpected(refusal_error(Refusal::OutsideEvidence));
      }
      std::optional<std::vector<std::string>> way = components_below(*target, boundary_);
      if (!way) return std::unexpected(refusal_error(Refusal::OutsideEvidence));
      next = open_without_links(root_.get(), *way, step);
      if (next) note_link(where / names[i], *way);
      where = std::move(*target);
    } else {
      where /= names[i];
    }
    if (!next) return next;
    held = std::move(*next);
    directory = held.get();
  }
  return held;
}

bool EvidenceScope::may_follow(const std::filesystem::path& link) const {
  if (follow_symlinks_) return true;
  if (boundary_.empty()) return false;
  std::optional<std::filesystem::path> target = resolved(link);
  return target && lies_inside(*target, boundary_);
}

void EvidenceScope::note_read(FileIdentity identity) {
  std::lock_guard lock(read_mutex_);
  read_.push_back(identity);
  if (std::find(devices_.begin(), devices_.end(), identity.device) == devices_.end()) {
    devices_.push_back(identity.device);
  }
}

bool EvidenceScope::device_was_read(uint64_t device) const {
  std::lock_guard lock(read_mutex_);
  return std::find(devices_.begin(), devices_.end(), device) != devices_.end();
}

bool EvidenceScope::was_read(FileIdentity identity) const {
  std::lock_guard lock(read_mutex_);
  return std::find(read_.begin(), read_.end(), identity) != read_.end();
}

void EvidenceScope::note_evidence_directory(const std::filesystem::path& directory) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const FileIdentity identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  std::lock_guard lock(read_mutex_);
  if (std::find(evidence_directories_.begin(), evidence_directories_.end(), identity) ==
      evidence_directories_.end()) {
    evidence_directories_.push_back(identity);
  }
}

bool EvidenceScope::is_evidence_directory(FileIdentity identity) const {
  std::lock_guard lock(read_mutex_);
  return std::find(evidence_directories_.begin(), evidence_directories_.end(), identity) !=
         evidence_directories_.end();
}

bool EvidenceScope::has_evidence_directories() const {
  std::lock_guard lock(read_mutex_);
  return !evidence_directories_.empty();
}

}  // namespace tq
