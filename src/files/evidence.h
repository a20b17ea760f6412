// File: files/evidence.h
//
// Where the evidence of one parse ends, and what the parse has read of it.
//
//   EvidenceScope scope;
//   scope.begin(given_path, options.follow_symlinks);   // once, by the driver
//   context.scope = &scope;                              // readers open through it
//   ...parse...
//   if (scope.was_read(identity_of(destination))) ...refuse to overwrite it...
//
// Agents' profiles hold links of their own (a `.claude` kept in a dotfiles
// repository, a cache directory on another disk), and some of them are taken
// whatever `follow_symlinks` says. Without `follow_symlinks` such a link is
// taken only when its fully resolved target lies inside the fully resolved path
// the caller gave, so a link planted in the evidence can't make a parse read the
// rest of the machine. Files and directories on pseudo file systems (proc, sysfs,
// …) are never evidence: reading them can block, never end, or leak the state of
// the process. Every refusal becomes a warning that names the skipped path.
//
// Without `follow_symlinks` the files and directories below the given path are
// opened from a descriptor of it, one component at a time and none through a
// link, so that a directory swapped for a link while the parse runs can't lead
// it outside. A link that the rules take is resolved when it is met, and what it
// resolves to is opened the same way, from the given path's descriptor: a link
// put in its place after the check fails that open instead of being followed.
//
// A scope belongs to one call. `begin` runs before the parse, on its thread;
// during the parse, readers on several threads may open files through it at
// once, so what it records of them is kept under a lock.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "error/error.h"
#include "model/model.h"

namespace tq {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// Why a parse leaves a path alone although it could read it.
enum class Refusal : uint8_t {
  OutsideEvidence,
  PseudoFileSystem,
  WalkedAlready,
  SymbolicLink,  // a link where a file was expected, and links aren't followed
  SpecialFile,   // a FIFO, device or socket where a file was expected
};

// The warning text naming the skipped path, e.g. "Not following symbolic link
// outside the evidence: sessions (pass follow_symlinks=True to follow it)".
std::string refusal_text(Refusal refusal, std::string_view relative_path);

// Refusals travel through the readers as error codes of their own category, so
// that an open or a listing that refuses fails like one that can't.
std::error_code refusal_error(Refusal refusal);
std::optional<Refusal> as_refusal(const std::error_code& ec);

// Owner of one open descriptor, closed when the owner goes; moving leaves the
// source empty.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor to the caller, who closes it.
  int release() { return std::exchange(fd_, -1); }
  void reset();

 private:
  int fd_ = -1;  // -1: none
};

// openat(2) of `name` below `directory` with O_NOATIME where the system grants
// it (files/evidence_file.h says when), without otherwise; -1 with errno set on
// failure.
int open_keeping_atime(int directory, const char* name, int flags);

// Whether the open descriptor lies on a pseudo file system (proc, sysfs,
// debugfs, tracefs, securityfs, cgroup, devpts, …).
bool on_pseudo_file_system(int fd);

// Why a directory can't be listed and entered; none when it can.
std::optional<std::error_code> directory_access_error(const std::filesystem::path& path);

// For a profile root that exists but can't be listed and entered, the error
// diagnostic `unreadable_artifact` "Cannot read profile directory: {error}";
// none when it can be read. A fault of the machine (machine_fault) is the error.
[[nodiscard]] Result<std::optional<Diagnostic>> unreadable_profile(
    const std::filesystem::path& root, const std::filesystem::path& evidence_root);

class EvidenceScope {
 public:
  EvidenceScope() = default;
  EvidenceScope(const EvidenceScope&) = delete;
  EvidenceScope& operator=(const EvidenceScope&) = delete;

  // The path as the caller gave it; it is resolved here, and links to it are
  // always taken.
  void begin(const std::filesystem::path& given, bool follow_symlinks);
  // Closes the given path's descriptor once the parse is over; what it read
  // stays known, and `open` then opens by path.
  void end() { root_.reset(); }
  bool follows_links() const { return follow_symlinks_; }
  // Whether a symbolic link at `link` may be followed: always with
  // follow_symlinks, otherwise when its resolved target lies inside the evidence.
  bool may_follow(const std::filesystem::path& link) const;

  // Opens `path` with `flags` (close-on-exec added) as the rules above allow:
  // without follow_symlinks, below the given path component by component, and
  // the given path itself or a path outside it (none is expected) refusing a link
  // at its last component that `may_follow` refuses; with follow_symlinks, by its
  // path. A link refused is the error `refusal_error(OutsideEvidence)`. Safe to
  // call from several threads at once.
  [[nodiscard]] std::expected<Descriptor, std::error_code> open(const std::filesystem::path& path,
                                                                int flags) const;

  // Every file the parse opened as evidence, so that `convert` never writes
  // over one. Sixteen bytes per file.
  void note_read(FileIdentity identity);
  bool was_read(FileIdentity identity) const;
  // Whether a file on `device` was read already, so that the device is known to
  // hold an ordinary file system and needn't be asked again for each file.
  bool device_was_read(uint64_t device) const;

  // Directories whose whole content is this parse's evidence, read or not: the
  // profile directories of a home, the directory an input is measured from,
  // the profile directory an input lies in. Output is never written in or
  // below one. A path that is not a directory now is passed over.
  void note_evidence_directory(const std::filesystem::path& directory);
  bool is_evidence_directory(FileIdentity identity) const;
  bool has_evidence_directories() const;

  // Test seam: called with a file's path right after it was opened as evidence,
  // before any byte of it is read.
  void (*after_open)(const std::filesystem::path& path) = nullptr;

 private:
  [[nodiscard]] std::expected<Descriptor, std::error_code> open_by_path(
      const std::filesystem::path& path, int flags) const;
  [[nodiscard]] std::expected<Descriptor, std::error_code> open_below(
      const std::vector<std::string>& names, int flags) const;
  // `names` (below the given path) with each leading part that is a link taken
  // already replaced by what it resolved to.
  std::vector<std::string> through_known_links(std::vector<std::string> names) const;
  // Remembers that the link at `link` (a resolved path) resolved to `target`
  // (names below the resolved given path).
  void note_link(const std::filesystem::path& link, const std::vector<std::string>& target) const;

  std::filesystem::path given_;     // the path as the caller gave it
  std::filesystem::path boundary_;  // the resolved given path; empty when unresolvable
  Descriptor root_;                 // the given directory (O_PATH); none for anything else
  mutable std::mutex links_mutex_;  // guards links_
  // Guarded; each link taken below the given path ("a/b", names joined by "/")
  // and the names it resolved to.
  mutable std::map<std::string, std::vector<std::string>> links_;
  bool follow_symlinks_ = false;
  mutable std::mutex read_mutex_;                   // guards read_
  std::vector<FileIdentity> read_;                  // guarded; in opening order, repeats allowed
  std::vector<uint64_t> devices_;                   // guarded; the devices of read_, once each
  std::vector<FileIdentity> evidence_directories_;  // guarded
};

}  // namespace tq
