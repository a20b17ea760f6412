#include "files/evidence.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

std::string refusal_text(Refusal refusal, std::string_view relative_path) {
  switch (refusal) {
    case Refusal::OutsideEvidence:
      return concat("Not following symbolic link outside the evidence: ", relative_path,
                    " (pass follow_symlinks=True to follow it)");
    case Refusal::PseudoFileSystem:
      return concat("Not reading a file on a pseudo file system: ", relative_path);
    case Refusal::WalkedAlready:
      return concat("Not walking a directory that was walked already: ", relative_path);
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
  if (auto fault = machine_fault(root, error->value())) return std::unexpected(std::move(*fault));
  SourceInfo source;
  source.relative_path = relative_path(root, evidence_root);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Error, std::move(source),
                    "Cannot read profile directory: " + os_error_text(*error)};
}

void EvidenceScope::begin(const std::filesystem::path& given, bool follow_symlinks) {
  follow_symlinks_ = follow_symlinks;
  boundary_ = resolved(given).value_or(std::filesystem::path());
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
